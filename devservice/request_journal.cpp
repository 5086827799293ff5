#include "request_journal.h"

#include "fault_knobs.h"

#include <QJsonArray>

void RequestJournal::add(JournalEntry entry)
{
    if (entry.body.size() > kMaxBody) {
        entry.body.truncate(kMaxBody);
        entry.bodyTruncated = true;
    }
    if (entry.rawBody.size() > kMaxBody)
        entry.rawBody.clear();
    m_entries.append(std::move(entry));
    if (m_entries.size() > kMaxEntries)
        m_entries.remove(0, m_entries.size() - kMaxEntries);
}

QJsonObject RequestJournal::toJson(qint64 since, const QString &pathPattern) const
{
    QJsonArray list;
    for (const JournalEntry &e : m_entries) {
        if (e.seq <= since || (!pathPattern.isEmpty() && !FaultKnobs::pathMatches(pathPattern, e.path)))
            continue;
        QJsonArray headers;
        QJsonObject headerMap; // lower-case name → value (the last one when repeated)
        for (const auto &[name, value] : e.headers) {
            headers.append(QJsonArray{QString::fromLatin1(name), QString::fromLatin1(value)});
            headerMap.insert(QString::fromLatin1(name).toLower(), QString::fromLatin1(value));
        }
        QJsonObject o{{QStringLiteral("seq"), e.seq},
                      {QStringLiteral("receivedAtMs"), e.receivedAtMs},
                      {QStringLiteral("method"), e.method},
                      {QStringLiteral("path"), e.path},
                      {QStringLiteral("query"), e.query},
                      {QStringLiteral("headers"), headers},
                      {QStringLiteral("headerMap"), headerMap},
                      {QStringLiteral("bodySize"), e.bodySize},
                      {QStringLiteral("contentEncoding"), e.contentEncoding},
                      {QStringLiteral("status"), e.status},
                      {QStringLiteral("answerGzip"), e.answerGzip},
                      {QStringLiteral("body"), QString::fromUtf8(e.body)},
                      {QStringLiteral("bodyTruncated"), e.bodyTruncated}};
        if (e.decodedSize >= 0)
            o.insert(QStringLiteral("decodedSize"), e.decodedSize);
        if (!e.rawBody.isEmpty())
            o.insert(QStringLiteral("rawBodyBase64"), QString::fromLatin1(e.rawBody.toBase64()));
        if (!e.decodeError.isEmpty())
            o.insert(QStringLiteral("decodeError"), e.decodeError);
        list.append(o);
    }
    return QJsonObject{{QStringLiteral("requests"), list}, {QStringLiteral("lastSeq"), m_seq}};
}
