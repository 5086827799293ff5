#pragma once
// The time log's records as they travel to and from the web service: what we send (SegmentDTO,
// LogSegmentsV2Request), what we decode strictly (LogSegmentsV2Response, ServerSegment, FetchSegmentsV2Response,
// CalendarDataResponse) and the results the logs service builds from them (LogSegmentsResponse, FetchLogsResponse).
#include "result.h"
#include "segment.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <optional>

// The first maxLength user-perceived characters (extended grapheme clusters) of text, followed by "…" when
// anything was cut; never splits a character made of several code points (composed emoji, combining marks).
[[nodiscard]] QString truncatedTitle(const QString &text, int maxLength);

// Days to seconds, as the calendar and its patches carry them.
using DaySeconds = QMap<QString, qint64>;

// One segment sent in full; every key is always written.
struct SegmentDTO
{
    QString id;            // canonical upper-case UUID text
    QString date;          // "yyyy-MM-dd"
    QString appName;
    QString windowTitle;   // cut to maxTitleLength characters plus "…"
    qint64 startTime = 0;  // epoch ms
    qint64 endTime = 0;    // epoch ms
    QString type;          // "process" / "inactivity"

    [[nodiscard]] static SegmentDTO from(const Segment &segment, int maxTitleLength = 100);
    [[nodiscard]] QJsonObject toJson() const;
    friend bool operator==(const SegmentDTO &, const SegmentDTO &) = default;
};

// The body of POST "/api/segments/log".
struct LogSegmentsV2Request
{
    QStringList ids;
    QList<SegmentDTO> segments;   // empty in an IDs-only request
    bool emitSocket = false;      // true only on the last request of one logging call

    [[nodiscard]] QJsonObject toJson() const;
    [[nodiscard]] QByteArray encoded() const;   // compact JSON, as sent before compression
};

struct LogSegmentsV2Response
{
    bool success = false;                     // required, not examined
    qint64 updated = 0;                       // required
    std::optional<qint64> rejected;
    std::optional<qint64> totalLoggedSecs;
    std::optional<QStringList> dates;
    std::optional<DaySeconds> calendarPatch;

    [[nodiscard]] static Result<LogSegmentsV2Response, QString> fromJson(const QJsonValue &json);
};

// What one logging call achieved, over all its requests.
struct LogSegmentsResponse
{
    bool success = true;
    QStringList loggedIds;                   // every id sent, in sending order, as sent
    qint64 totalLoggedSecs = 0;              // the last value any answer carried
    std::optional<DaySeconds> calendarPatch; // merged, later answers winning; absent when empty
    qint64 sentCount = 0;
    qint64 updatedCount = 0;

    [[nodiscard]] bool storedEverything() const { return sentCount >= 1 && updatedCount >= sentCount; }
};

// A segment as the server holds it. Times stay text: the server formats them and nothing here interprets them.
struct ServerSegment
{
    QString id;   // any letter case
    QString appName;
    QString windowTitle;
    QString startTime;
    std::optional<QString> endTime;
    QString type;
    std::optional<bool> logged;

    // For matching against local ids, which are upper-case.
    [[nodiscard]] QString normalizedId() const { return id.toLower(); }
    [[nodiscard]] std::optional<QUuid> uuid() const { return parseUuid(id); }
    [[nodiscard]] bool isLogged() const { return logged.value_or(false); }

    [[nodiscard]] static Result<ServerSegment, QString> fromJson(const QJsonValue &json, const QString &context);
};

// The answer of GET "/api/segments?date=…".
struct FetchSegmentsV2Response
{
    bool success = false;
    QString date;
    std::optional<qint64> trackedSec;
    std::optional<qint64> loggedSec;
    std::optional<qint64> pendingSec;
    QList<ServerSegment> segments;

    [[nodiscard]] static Result<FetchSegmentsV2Response, QString> fromJson(const QJsonValue &json);
};

struct FetchLogsResponse
{
    QList<ServerSegment> logs;
    std::optional<qint64> totalLoggedSec;
    std::optional<qint64> totalTrackedSec;

    // Lower-cased ids of every returned segment, and of the ones the server counts as logged.
    [[nodiscard]] QSet<QString> allServerIds() const;
    [[nodiscard]] QSet<QString> loggedServerIds() const;
};

// The answer of GET "/api/segments/calendar"; every key required.
struct CalendarDataResponse
{
    bool success = false;
    DaySeconds calendar;
    QString startDate;
    QString endDate;

    [[nodiscard]] static Result<CalendarDataResponse, QString> fromJson(const QJsonValue &json);
};
