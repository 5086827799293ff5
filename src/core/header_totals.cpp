#include "header_totals.h"

#include "clock.h"
#include "ghost_segment_detector.h"

#include <algorithm>
#include <vector>

namespace {

struct Interval
{
    qint64 start;
    qint64 end;
    bool pending;
};

Interval intervalOf(const Segment &s, const std::optional<QUuid> &currentOpenId, qint64 nowMs)
{
    qint64 end = s.isLiveOpen(currentOpenId) ? nowMs : s.endTime;
    // A record whose end lies before its start (a damaged line, or a live segment after the clock moved back)
    // covers no time; left as is it would subtract from the day.
    if (end < s.startTime)
        end = s.startTime;
    return {s.startTime, end, s.isPendingOrLiveOpen(currentOpenId)};
}

// The order of equal starts cannot change a merge, so no stable sort is needed.
void sortByStart(std::vector<Interval> &intervals)
{
    const auto byStart = [](const Interval &a, const Interval &b) { return a.start < b.start; };
    if (!std::is_sorted(intervals.begin(), intervals.end(), byStart))
        std::sort(intervals.begin(), intervals.end(), byStart);
}

// Intervals sorted by start; `keep` picks the subset to merge. A subsequence of a sorted list is sorted, so several
// merges can share one sort.
template<typename Keep>
qint64 mergeSorted(const std::vector<Interval> &sorted, Keep keep)
{
    qint64 seconds = 0;
    bool open = false;
    qint64 blockStart = 0;
    qint64 blockEnd = 0;
    for (const Interval &i : sorted) {
        if (!keep(i))
            continue;
        if (!open) {
            open = true;
            blockStart = i.start;
            blockEnd = i.end;
        } else if (blockEnd < i.start) {
            seconds += (blockEnd - blockStart) / 1000;
            blockStart = i.start;
            blockEnd = i.end;
        } else {
            blockEnd = std::max(blockEnd, i.end);
        }
    }
    if (open)
        seconds += (blockEnd - blockStart) / 1000;
    return seconds;
}

} // namespace

HeaderTotals HeaderTotals::resolve(qint64 localTotal, qint64 localPending, qint64 localSyncedCount,
                                   qint64 localSyncedSeconds, qint64 serverLogged, std::optional<qint64> serverTracked)
{
    HeaderTotals t;
    if (localSyncedCount > 0) {
        t.total = localTotal;
        // The server claims more than a minute beyond anything this machine can account for: trust the local record.
        t.logged = localTotal + localPending + 60 < serverLogged ? localSyncedSeconds : serverLogged;
        t.basis = Basis::local;
    } else {
        const qint64 tracked = serverTracked.value_or(serverLogged);
        t.total = std::max(serverLogged, tracked) + localPending;
        t.logged = serverLogged;
        t.basis = Basis::server;
    }
    t.pending = t.total - t.logged;
    return t;
}

QString basisName(HeaderTotals::Basis basis)
{
    return basis == HeaderTotals::Basis::local ? QStringLiteral("local") : QStringLiteral("server");
}

qint64 mergedWallClockSeconds(const QList<Segment> &segments, const std::optional<QUuid> &currentOpenId)
{
    if (segments.isEmpty())
        return 0;
    const qint64 now = Clock::nowMs();
    std::vector<Interval> intervals;
    intervals.reserve(static_cast<size_t>(segments.size()));
    for (const Segment &s : segments)
        intervals.push_back(intervalOf(s, currentOpenId, now));
    sortByStart(intervals);
    return mergeSorted(intervals, [](const Interval &) { return true; });
}

qint64 mergedWallClockSeconds(const QList<Segment> &segments)
{
    return mergedWallClockSeconds(segments, GhostSegmentDetector::sharedStoreOpenId());
}

LocalDayTotals LocalDayTotals::compute(const QList<Segment> &segments, const std::optional<QUuid> &currentOpenId,
                                       const QSet<QString> &excludedApps)
{
    LocalDayTotals t;
    t.ghostIds = GhostSegmentDetector::abandonedIds(segments, currentOpenId);
    const qint64 now = Clock::nowMs();
    std::vector<Interval> candidates;
    candidates.reserve(static_cast<size_t>(segments.size()));
    for (const Segment &s : segments) {
        if (excludedApps.contains(s.appName) || t.ghostIds.contains(s.id))
            continue;
        candidates.push_back(intervalOf(s, currentOpenId, now));
        if (!candidates.back().pending)
            ++t.syncedCount;
    }
    sortByStart(candidates);
    t.total = mergeSorted(candidates, [](const Interval &) { return true; });
    t.pending = mergeSorted(candidates, [](const Interval &i) { return i.pending; });
    t.syncedSeconds = mergeSorted(candidates, [](const Interval &i) { return !i.pending; });
    return t;
}

QString formatDurationShort(qint64 seconds)
{
    const qint64 h = seconds / 3600;
    const qint64 m = (seconds % 3600) / 60;
    const qint64 r = seconds % 60;
    if (seconds >= 3600)
        return seconds % 3600 < 60 ? QStringLiteral("%1h").arg(h) : QStringLiteral("%1h %2m").arg(h).arg(m);
    if (seconds < 60)
        return QStringLiteral("%1s").arg(r);
    return r == 0 ? QStringLiteral("%1m").arg(m) : QStringLiteral("%1m %2s").arg(m).arg(r);
}

QMap<QString, QString> alreadyLoggedTimes(const QList<Segment> &segments, const std::optional<QUuid> &currentOpenId,
                                          const QSet<QString> &excludedApps)
{
    struct Split
    {
        bool hasSynced = false;
        bool hasPending = false;
        qint64 pendingSeconds = 0;
    };
    QMap<QString, Split> byApp;
    const qint64 now = Clock::nowMs();
    for (const Segment &s : segments) {
        if (excludedApps.contains(s.appName))
            continue;
        Split &split = byApp[s.appName];
        if (s.isSynced()) {
            split.hasSynced = true;
        } else if (s.type == SegmentType::process && (!s.isOpen() || s.isLiveOpen(currentOpenId))) {
            split.hasPending = true;
            split.pendingSeconds += s.isLiveOpen(currentOpenId) ? (now - s.startTime) / 1000 : s.durationSeconds();
        }
    }
    QMap<QString, QString> texts;
    for (auto it = byApp.cbegin(); it != byApp.cend(); ++it)
        if (it->hasSynced && it->hasPending && it->pendingSeconds > 0)
            texts.insert(it.key(), formatDurationShort(it->pendingSeconds));
    return texts;
}
