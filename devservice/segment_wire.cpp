#include "segment_wire.h"

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QUuid>

#include <cmath>
#include <limits>

namespace {

const QString kId = QStringLiteral("id");
const QString kDate = QStringLiteral("date");
const QString kAppName = QStringLiteral("appName");
const QString kWindowTitle = QStringLiteral("windowTitle");
const QString kStartTime = QStringLiteral("startTime");
const QString kEndTime = QStringLiteral("endTime");
const QString kType = QStringLiteral("type");

bool isUuid(const QString &text)
{
    return text.size() == 36 && !QUuid::fromString(text).isNull();
}

// A JSON number that is an exact 64-bit integer (no fraction, no exponent overflow).
bool readInteger(const QJsonValue &value, qint64 *out)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    if (!std::isfinite(d) || std::trunc(d) != d)
        return false;
    constexpr qint64 sentinel = std::numeric_limits<qint64>::min();
    const qint64 i = value.toInteger(sentinel);
    if (i == sentinel)
        return false;
    *out = i;
    return true;
}

QString unexpectedKeys(const QJsonObject &object, const QStringList &allowed, const QString &where)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!allowed.contains(it.key()))
            return QStringLiteral("%1: unexpected key \"%2\"").arg(where, it.key());
    }
    return {};
}

std::variant<IncomingSegment, QString> decodeSegment(const QJsonValue &value, const QString &where)
{
    if (!value.isObject())
        return QStringLiteral("%1 is not an object").arg(where);
    const QJsonObject o = value.toObject();
    static const QStringList keys{kId, kDate, kAppName, kWindowTitle, kStartTime, kEndTime, kType};
    if (QString extra = unexpectedKeys(o, keys, where); !extra.isEmpty())
        return extra;
    for (const QString &key : {kId, kDate, kAppName, kWindowTitle, kType}) {
        if (!o.contains(key))
            return QStringLiteral("%1: missing required key \"%2\"").arg(where, key);
        if (!o.value(key).isString())
            return QStringLiteral("%1.%2 must be a string").arg(where, key);
    }
    IncomingSegment s;
    for (const QString &key : {kStartTime, kEndTime}) {
        if (!o.contains(key))
            return QStringLiteral("%1: missing required key \"%2\"").arg(where, key);
        qint64 *target = key == kStartTime ? &s.startMs : &s.endMs;
        if (!readInteger(o.value(key), target))
            return QStringLiteral("%1.%2 must be an integer (epoch milliseconds)").arg(where, key);
    }
    s.id = o.value(kId).toString().toLower();
    s.date = o.value(kDate).toString();
    s.appName = o.value(kAppName).toString();
    s.windowTitle = o.value(kWindowTitle).toString();
    s.type = o.value(kType).toString();
    if (!isUuid(s.id))
        s.problem = QStringLiteral("id is not a UUID");
    else if (!isDayText(s.date))
        s.problem = QStringLiteral("date is not a yyyy-MM-dd day");
    else if (s.type != QStringLiteral("process") && s.type != QStringLiteral("inactivity"))
        s.problem = QStringLiteral("type must be \"process\" or \"inactivity\"");
    else if (s.startMs < 0 || s.endMs < s.startMs)
        s.problem = QStringLiteral("endTime lies before startTime");
    return s;
}

} // namespace

bool isDayText(const QString &text)
{
    static const QRegularExpression shape(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    return shape.match(text).hasMatch() && QDate::fromString(text, QStringLiteral("yyyy-MM-dd")).isValid();
}

QString wireTime(qint64 epochMs)
{
    return QDateTime::fromMSecsSinceEpoch(epochMs, Qt::UTC).toString(Qt::ISODateWithMs);
}

std::variant<LogRequest, QString> decodeLogRequest(const QByteArray &body)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("body is not valid JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset);
    if (!doc.isObject())
        return QStringLiteral("body must be a JSON object");
    const QJsonObject o = doc.object();
    const QString ids = QStringLiteral("ids");
    const QString segments = QStringLiteral("segments");
    const QString emitSocket = QStringLiteral("emitSocket");
    if (QString extra = unexpectedKeys(o, {ids, segments, emitSocket}, QStringLiteral("body")); !extra.isEmpty())
        return extra;
    for (const QString &key : {ids, segments, emitSocket}) {
        if (!o.contains(key))
            return QStringLiteral("body: missing required key \"%1\"").arg(key);
    }
    if (!o.value(ids).isArray())
        return QStringLiteral("ids must be a list of strings");
    if (!o.value(segments).isArray())
        return QStringLiteral("segments must be a list of objects");
    if (!o.value(emitSocket).isBool())
        return QStringLiteral("emitSocket must be a boolean");

    LogRequest request;
    request.emitSocket = o.value(emitSocket).toBool();
    const QJsonArray idList = o.value(ids).toArray();
    if (idList.size() > kMaxIdsPerRequest)
        return QStringLiteral("ids: at most %1 per request, got %2").arg(kMaxIdsPerRequest).arg(idList.size());
    QSet<QString> listed;
    for (qsizetype i = 0; i < idList.size(); ++i) {
        if (!idList.at(i).isString() || idList.at(i).toString().isEmpty())
            return QStringLiteral("ids[%1] must be a non-empty string").arg(i);
        request.ids.append(idList.at(i).toString().toLower());
        listed.insert(request.ids.constLast());
    }
    const QJsonArray segmentList = o.value(segments).toArray();
    if (segmentList.size() > kMaxSegmentsPerRequest) {
        return QStringLiteral("segments: at most %1 per request, got %2")
            .arg(kMaxSegmentsPerRequest)
            .arg(segmentList.size());
    }
    for (qsizetype i = 0; i < segmentList.size(); ++i) {
        auto decoded = decodeSegment(segmentList.at(i), QStringLiteral("segments[%1]").arg(i));
        if (auto *message = std::get_if<QString>(&decoded))
            return *message;
        IncomingSegment segment = std::get<IncomingSegment>(std::move(decoded));
        if (!listed.contains(segment.id))
            return QStringLiteral("segments[%1]: id %2 is not listed in ids").arg(i).arg(segment.id);
        request.segments.append(std::move(segment));
    }
    return request;
}
