#pragma once
// Segment: one uninterrupted stretch in one application window ("process") or away from the keyboard
// ("inactivity"), and its history-line codec (one compact JSON object per line).
#include <QList>
#include <QString>
#include <QUuid>
#include <QVarLengthArray>
#include <optional>
#include <utility>

enum class SegmentType { process, inactivity };

[[nodiscard]] QString segmentTypeName(SegmentType type);   // "process" / "inactivity"
[[nodiscard]] std::optional<SegmentType> segmentTypeFromName(QStringView name);

struct Segment
{
    QUuid id;
    QString date;          // local day key "yyyy-MM-dd" the record belongs to
    QString appName;
    QString windowTitle;   // already redacted; may be empty
    qint64 startTime = 0;  // epoch ms
    qint64 endTime = 0;    // epoch ms; equal to startTime while open
    SegmentType type = SegmentType::process;
    std::optional<qint64> syncedAt;   // when the web service confirmed it as logged

    friend bool operator==(const Segment &, const Segment &) = default;

    [[nodiscard]] bool isOpen() const { return startTime == endTime; }
    [[nodiscard]] bool isSynced() const { return syncedAt.has_value(); }
    [[nodiscard]] bool isPending() const { return !syncedAt && !isOpen(); }
    [[nodiscard]] bool isLiveOpen(const std::optional<QUuid> &currentOpenId) const
    {
        return isOpen() && currentOpenId && *currentOpenId == id;
    }
    [[nodiscard]] bool isOrphanOpen(const std::optional<QUuid> &currentOpenId) const
    {
        return isOpen() && (!currentOpenId || *currentOpenId != id);
    }
    [[nodiscard]] bool isPendingOrLiveOpen(const std::optional<QUuid> &currentOpenId) const
    {
        return isPending() || isLiveOpen(currentOpenId);
    }
    [[nodiscard]] qint64 durationMs() const { return endTime - startTime; }
    [[nodiscard]] qint64 durationSeconds() const { return (endTime - startTime) / 1000; }
    [[nodiscard]] qint64 liveDurationSeconds(const std::optional<QUuid> &currentOpenId) const;
    [[nodiscard]] QString formattedDuration() const { return formatDuration(durationSeconds()); }
    [[nodiscard]] QString liveFormattedDuration(const std::optional<QUuid> &currentOpenId) const
    {
        return formatDuration(liveDurationSeconds(currentOpenId));
    }
    [[nodiscard]] QString formattedTimeRange() const;   // "09:05 → 10:40", local time

    // A new open segment: fresh id, today's key, start = end = now.
    [[nodiscard]] static Segment create(const QString &appName, const QString &windowTitle, SegmentType type);
    void close();          // end = now
    void markSynced();     // syncedAt = now
    void markUnsynced() { syncedAt.reset(); }

    [[nodiscard]] bool crossesMidnight() const;
    // One piece per local calendar day, each with a fresh id and unsynced; the segment itself when it stays in
    // one day; empty when it crosses midnight backwards.
    [[nodiscard]] QList<Segment> splitAtMidnight() const;

    // "45s", "1m 0s", "1h 1m 1s" (hours never fold into days; negative input keeps the first form).
    [[nodiscard]] static QString formatDuration(qint64 seconds);

    // The id as written: canonical, upper-case.
    [[nodiscard]] QString idString() const;

    // History-line codec. toJSONLine() is the compact object without the newline, keys in the order of the fields,
    // syncedAt left out when absent, "/" written as "\/", non-ASCII as raw UTF-8 except the three Unicode line
    // separators (U+0085, U+2028, U+2029), which are escaped: readers split lines at them, so raw they would cut
    // the record in two.
    [[nodiscard]] std::optional<QByteArray> toJSONLine() const;   // nullopt only for text that is not valid UTF-16
    [[nodiscard]] static std::optional<Segment> fromJSONLine(QByteArrayView utf8);

    // A line that may hold several objects written back to back ("welded"): every (object text, segment) in order;
    // empty for a blank line; nullopt when any part of the line is not a segment.
    using DecodedObject = std::pair<QByteArrayView, Segment>;
    using DecodedObjects = QVarLengthArray<DecodedObject, 1>;   // a line holds one object in all but rare cases
    [[nodiscard]] static std::optional<DecodedObjects> decodableObjects(QByteArrayView utf8Line);
    // The same, for a reader that has already checked the whole text is valid UTF-8 (the history loader).
    [[nodiscard]] static std::optional<DecodedObjects> decodableObjectsOfValidUtf8(QByteArrayView utf8Line);
};

// The id in canonical upper-case form ("8-4-4-4-12").
[[nodiscard]] QString uuidString(const QUuid &id);
// Strictly canonical 36-character UUID text, either case.
[[nodiscard]] std::optional<QUuid> parseUuid(QStringView text);
[[nodiscard]] std::optional<QUuid> parseUuid(QByteArrayView text);
