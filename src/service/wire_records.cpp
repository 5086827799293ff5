#include "wire_records.h"

#include "json_reader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTextBoundaryFinder>

QString truncatedTitle(const QString &text, int maxLength)
{
    // A UTF-16 unit never holds more than one character, so a short text needs no segmentation.
    if (text.size() <= maxLength)
        return text;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype cut = 0;
    for (int characters = 0; characters < maxLength; ++characters) {
        cut = finder.toNextBoundary();
        if (cut < 0)
            return text;
    }
    if (cut >= text.size())
        return text;
    return text.left(cut) + QChar(0x2026);
}

SegmentDTO SegmentDTO::from(const Segment &segment, int maxTitleLength)
{
    return SegmentDTO{uuidString(segment.id), segment.date, segment.appName,
                      truncatedTitle(segment.windowTitle, maxTitleLength), segment.startTime, segment.endTime,
                      segmentTypeName(segment.type)};
}

QJsonObject SegmentDTO::toJson() const
{
    return QJsonObject{
        {QLatin1String("id"), id},
        {QLatin1String("date"), date},
        {QLatin1String("appName"), appName},
        {QLatin1String("windowTitle"), windowTitle},
        {QLatin1String("startTime"), startTime},
        {QLatin1String("endTime"), endTime},
        {QLatin1String("type"), type},
    };
}

QJsonObject LogSegmentsV2Request::toJson() const
{
    QJsonArray full;
    for (const SegmentDTO &dto : segments)
        full.append(dto.toJson());
    return QJsonObject{
        {QLatin1String("ids"), QJsonArray::fromStringList(ids)},
        {QLatin1String("segments"), full},
        {QLatin1String("emitSocket"), emitSocket},
    };
}

QByteArray LogSegmentsV2Request::encoded() const { return QJsonDocument(toJson()).toJson(QJsonDocument::Compact); }

Result<LogSegmentsV2Response, QString> LogSegmentsV2Response::fromJson(const QJsonValue &json)
{
    JsonReader r(json, QStringLiteral("LogSegmentsV2Response"));
    LogSegmentsV2Response out;
    out.success = r.requiredBool(QLatin1String("success"));
    out.updated = r.requiredInt(QLatin1String("updated"));
    out.rejected = r.optionalInt(QLatin1String("rejected"));
    out.totalLoggedSecs = r.optionalInt(QLatin1String("totalLoggedSecs"));
    out.dates = r.optionalStringList(QLatin1String("dates"));
    out.calendarPatch = r.optionalIntMap(QLatin1String("calendarPatch"));
    if (!r.ok())
        return r.error();
    return out;
}

Result<ServerSegment, QString> ServerSegment::fromJson(const QJsonValue &json, const QString &context)
{
    JsonReader r(json, context);
    ServerSegment out;
    out.id = r.requiredString(QLatin1String("id"));
    out.appName = r.requiredString(QLatin1String("appName"));
    out.windowTitle = r.requiredString(QLatin1String("windowTitle"));
    out.startTime = r.requiredString(QLatin1String("startTime"));
    out.endTime = r.optionalString(QLatin1String("endTime"));
    out.type = r.requiredString(QLatin1String("type"));
    out.logged = r.optionalBool(QLatin1String("logged"));
    if (!r.ok())
        return r.error();
    return out;
}

Result<FetchSegmentsV2Response, QString> FetchSegmentsV2Response::fromJson(const QJsonValue &json)
{
    JsonReader r(json, QStringLiteral("FetchSegmentsV2Response"));
    FetchSegmentsV2Response out;
    out.success = r.requiredBool(QLatin1String("success"));
    out.date = r.requiredString(QLatin1String("date"));
    out.trackedSec = r.optionalInt(QLatin1String("trackedSec"));
    out.loggedSec = r.optionalInt(QLatin1String("loggedSec"));
    out.pendingSec = r.optionalInt(QLatin1String("pendingSec"));
    const QJsonArray segments = r.requiredArray(QLatin1String("segments"));
    if (!r.ok())
        return r.error();
    out.segments.reserve(segments.size());
    for (qsizetype i = 0; i < segments.size(); ++i) {
        auto segment = ServerSegment::fromJson(segments.at(i), QStringLiteral("segments[%1]").arg(i));
        if (!segment)
            return segment.error();
        out.segments.append(std::move(segment).value());
    }
    return out;
}

QSet<QString> FetchLogsResponse::allServerIds() const
{
    QSet<QString> ids;
    ids.reserve(logs.size());
    for (const ServerSegment &s : logs)
        ids.insert(s.normalizedId());
    return ids;
}

QSet<QString> FetchLogsResponse::loggedServerIds() const
{
    QSet<QString> ids;
    for (const ServerSegment &s : logs)
        if (s.isLogged())
            ids.insert(s.normalizedId());
    return ids;
}

Result<CalendarDataResponse, QString> CalendarDataResponse::fromJson(const QJsonValue &json)
{
    JsonReader r(json, QStringLiteral("CalendarDataResponse"));
    CalendarDataResponse out;
    out.success = r.requiredBool(QLatin1String("success"));
    out.calendar = r.requiredIntMap(QLatin1String("calendar"));
    out.startDate = r.requiredString(QLatin1String("startDate"));
    out.endDate = r.requiredString(QLatin1String("endDate"));
    if (!r.ok())
        return r.error();
    return out;
}
