#pragma once
// GhostSegmentDetector: recognises the stretches a running recorder produces while nobody is there (a long away
// period that runs into midnight, process segments that start at midnight and last for hours). Their ids are never
// uploaded, are shown apart and stay out of pending totals. Pure: reads segments, the clock and the local calendar.
#include "segment.h"

#include <QList>
#include <QSet>
#include <QUuid>
#include <optional>

namespace GhostSegmentDetector {

inline constexpr qint64 kDayEdgeWindowMs = 90'000;
inline constexpr qint64 kMinimumGhostSeconds = 1200;
inline constexpr qint64 kAlwaysAbandonedAwaySeconds = 14400;

// Within the first 90 s of the local calendar day of ms (inclusive).
[[nodiscard]] bool isNearDayStart(qint64 ms);
// Within the last 90 s before the last millisecond of the local calendar day of ms (23:58:30.000 to 23:59:59.999 on an
// ordinary day). The next day's midnight itself belongs to the next day, so it is never near its day's end.
[[nodiscard]] bool isNearDayEnd(qint64 ms);

[[nodiscard]] QSet<QUuid> abandonedInactivityIds(const QList<Segment> &segments,
                                                 const std::optional<QUuid> &currentOpenId);
[[nodiscard]] QSet<QUuid> abandonedProcessGhostIds(const QList<Segment> &segments,
                                                   const std::optional<QUuid> &currentOpenId);
[[nodiscard]] QSet<QUuid> abandonedIds(const QList<Segment> &segments, const std::optional<QUuid> &currentOpenId);
// The same with the id of the segment the application's store is recording (none when no store is registered).
[[nodiscard]] QSet<QUuid> abandonedIds(const QList<Segment> &segments);

// The id of the segment the application's store (SegmentStore::shared()) is recording, if any.
[[nodiscard]] std::optional<QUuid> sharedStoreOpenId();

} // namespace GhostSegmentDetector
