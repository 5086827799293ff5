#include "ghost_segment_detector.h"

#include "clock.h"
#include "segment_store.h"

#include <QDate>
#include <QDateTime>
#include <algorithm>
#include <vector>

namespace {

struct LiveView
{
    qint64 seconds;
    qint64 end;
};

// The segment being recorded runs until now; everything else is taken as stored.
LiveView liveView(const Segment &s, const std::optional<QUuid> &currentOpenId, qint64 nowMs)
{
    if (s.isLiveOpen(currentOpenId))
        return {(nowMs - s.startTime) / 1000, nowMs};
    return {s.durationSeconds(), s.endTime};
}

QDate localDate(qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms).date(); }

} // namespace

bool GhostSegmentDetector::isNearDayStart(qint64 ms)
{
    const QDateTime dayStart = localDate(ms).startOfDay();
    if (!dayStart.isValid())
        return false;
    const qint64 offset = ms - dayStart.toMSecsSinceEpoch();
    return offset >= 0 && offset <= kDayEdgeWindowMs;
}

bool GhostSegmentDetector::isNearDayEnd(qint64 ms)
{
    // Calendar arithmetic rather than +24 h, so days made longer or shorter by a DST change end at their real midnight.
    const QDateTime next = localDate(ms).addDays(1).startOfDay();
    if (!next.isValid())
        return false;
    const qint64 before = (next.toMSecsSinceEpoch() - 1) - ms;
    return before >= 0 && before <= kDayEdgeWindowMs;
}

QSet<QUuid> GhostSegmentDetector::abandonedInactivityIds(const QList<Segment> &segments,
                                                         const std::optional<QUuid> &currentOpenId)
{
    QSet<QUuid> ghosts;
    const qint64 now = Clock::nowMs();
    for (const Segment &s : segments) {
        if (s.type != SegmentType::inactivity)
            continue;
        const LiveView live = liveView(s, currentOpenId, now);
        if (live.seconds >= kAlwaysAbandonedAwaySeconds)
            ghosts.insert(s.id);
        else if (live.seconds >= kMinimumGhostSeconds && (isNearDayStart(s.startTime) || isNearDayEnd(live.end)))
            ghosts.insert(s.id);
    }
    return ghosts;
}

QSet<QUuid> GhostSegmentDetector::abandonedProcessGhostIds(const QList<Segment> &segments,
                                                           const std::optional<QUuid> &currentOpenId)
{
    std::vector<const Segment *> processes;
    processes.reserve(static_cast<size_t>(segments.size()));
    for (const Segment &s : segments)
        if (s.type == SegmentType::process)
            processes.push_back(&s);
    QSet<QUuid> ghosts;
    if (processes.empty())
        return ghosts;
    const auto byStart = [](const Segment *a, const Segment *b) { return a->startTime < b->startTime; };
    if (!std::is_sorted(processes.begin(), processes.end(), byStart))   // usually already in time order
        std::stable_sort(processes.begin(), processes.end(), byStart);

    const qint64 now = Clock::nowMs();
    // Only the unbroken run from the start of the day: a genuine morning segment ends it.
    for (const Segment *s : processes) {
        if (!isNearDayStart(s->startTime) || liveView(*s, currentOpenId, now).seconds < kMinimumGhostSeconds)
            break;
        ghosts.insert(s->id);
    }
    const Segment *last = processes.back();
    if (!ghosts.contains(last->id)) {
        const LiveView live = liveView(*last, currentOpenId, now);
        if (live.seconds >= kMinimumGhostSeconds && isNearDayEnd(live.end))
            ghosts.insert(last->id);
    }
    return ghosts;
}

QSet<QUuid> GhostSegmentDetector::abandonedIds(const QList<Segment> &segments,
                                               const std::optional<QUuid> &currentOpenId)
{
    QSet<QUuid> ids = abandonedInactivityIds(segments, currentOpenId);
    ids.unite(abandonedProcessGhostIds(segments, currentOpenId));
    return ids;
}

QSet<QUuid> GhostSegmentDetector::abandonedIds(const QList<Segment> &segments)
{
    return abandonedIds(segments, sharedStoreOpenId());
}

std::optional<QUuid> GhostSegmentDetector::sharedStoreOpenId()
{
    const SegmentStore *store = SegmentStore::shared();
    if (!store || !store->currentOpenSegment())
        return std::nullopt;
    return store->currentOpenSegment()->id;
}
