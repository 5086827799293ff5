#pragma once
// The last requests the stand-in received, so that tests can check headers and bodies exactly as sent.
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

struct JournalEntry {
    qint64 seq = 0;
    qint64 receivedAtMs = 0;
    QString method;
    QString path;
    QString query; // as received, still percent-encoded
    QList<QPair<QByteArray, QByteArray>> headers;
    qsizetype bodySize = 0; // bytes on the wire
    QString contentEncoding;
    qsizetype decodedSize = -1; // after inflating; -1 when nothing was inflated
    QString decodeError;
    QByteArray body;    // the decoded body, cut at kMaxBody bytes
    QByteArray rawBody; // the bytes as received, kept only for encoded bodies (to check their framing)
    bool bodyTruncated = false;
    int status = 0;
    bool answerGzip = false;
};

class RequestJournal
{
public:
    static constexpr qsizetype kMaxEntries = 400;
    static constexpr qsizetype kMaxBody = 256 * 1024;

    [[nodiscard]] qint64 nextSeq() { return ++m_seq; }
    void add(JournalEntry entry);
    void clear() { m_entries.clear(); }
    // Entries after seq `since`, optionally only those of one path (exact, "prefix*" or "*").
    [[nodiscard]] QJsonObject toJson(qint64 since, const QString &pathPattern) const;

private:
    qint64 m_seq = 0;
    QList<JournalEntry> m_entries;
};
