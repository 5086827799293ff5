#include "segment_hierarchy.h"

#include "clock.h"
#include "ghost_segment_detector.h"

#include <QCollator>
#include <QHash>
#include <algorithm>
#include <vector>

QString SegmentHierarchy::inactivityAppName() { return QStringLiteral("Inactivity"); }
QString SegmentHierarchy::overnightAwayTitle() { return QStringLiteral("Overnight away (not counted)"); }

namespace {

// One clock reading per total, so every term of a sum sees the same now.
qint64 liveSeconds(const Segment &s, const std::optional<QUuid> &currentOpenId, qint64 nowMs)
{
    return s.isLiveOpen(currentOpenId) ? (nowMs - s.startTime) / 1000 : s.durationSeconds();
}

qint64 sumLive(const QList<Segment> &segments, const std::optional<QUuid> &currentOpenId, bool pendingOnly)
{
    const qint64 now = Clock::nowMs();
    qint64 total = 0;
    for (const Segment &s : segments)
        if (!pendingOnly || s.isPendingOrLiveOpen(currentOpenId))
            total += liveSeconds(s, currentOpenId, now);
    return total;
}

} // namespace

qint64 ProcessGroup::liveTotalSeconds(const std::optional<QUuid> &currentOpenId) const
{
    return sumLive(segments, currentOpenId, false);
}

qint64 ProcessGroup::pendingLiveTotalSeconds(const std::optional<QUuid> &currentOpenId) const
{
    return sumLive(segments, currentOpenId, true);
}

QString ProcessGroup::formattedPendingDuration(const std::optional<QUuid> &currentOpenId) const
{
    return Segment::formatDuration(pendingLiveTotalSeconds(currentOpenId));
}

QString ProcessGroup::formattedLogPickerDuration(const std::optional<QUuid> &currentOpenId) const
{
    if (isOvernightAway())
        return Segment::formatDuration(liveTotalSeconds(currentOpenId));
    return formattedPendingDuration(currentOpenId);
}

qint64 AppGroup::pendingLiveTotalSeconds(const std::optional<QUuid> &currentOpenId) const
{
    qint64 total = 0;
    for (const ProcessGroup &p : processes)
        total += p.pendingLiveTotalSeconds(currentOpenId);
    return total;
}

QString AppGroup::formattedLogPickerDuration(const std::optional<QUuid> &currentOpenId) const
{
    if (appName != SegmentHierarchy::inactivityAppName())
        return Segment::formatDuration(pendingLiveTotalSeconds(currentOpenId));
    qint64 total = 0;
    for (const ProcessGroup &p : processes)
        total += p.isOvernightAway() ? p.liveTotalSeconds(currentOpenId) : p.pendingLiveTotalSeconds(currentOpenId);
    return Segment::formatDuration(total);
}

QList<AppGroup> SegmentHierarchyBuilder::build(const QList<Segment> &segments,
                                               const std::optional<QUuid> &currentOpenId)
{
    const QSet<QUuid> abandoned = GhostSegmentDetector::abandonedIds(segments, currentOpenId);
    const QString overnight = SegmentHierarchy::overnightAwayTitle();
    const QString inactivity = SegmentHierarchy::inactivityAppName();

    // Grouping and sorting work on pointers into the input; each segment is copied once, into its final place.
    struct GroupBuild
    {
        QString title;
        std::vector<const Segment *> members;
    };
    struct AppBuild
    {
        QString appName;
        std::vector<GroupBuild> groups;
        QHash<QString, size_t> groupByTitle;
    };
    std::vector<AppBuild> builds;
    QHash<QString, size_t> appIndex;
    for (const Segment &s : segments) {
        auto app = appIndex.constFind(s.appName);
        if (app == appIndex.constEnd()) {
            app = appIndex.insert(s.appName, builds.size());
            builds.push_back(AppBuild{s.appName, {}, {}});
        }
        AppBuild &build = builds[*app];
        const bool relabel = s.type == SegmentType::inactivity && abandoned.contains(s.id);
        const QString &title = relabel ? overnight : s.windowTitle;
        auto group = build.groupByTitle.constFind(title);
        if (group == build.groupByTitle.constEnd()) {
            group = build.groupByTitle.insert(title, build.groups.size());
            build.groups.push_back(GroupBuild{title, {}});
        }
        build.groups[*group].members.push_back(&s);
    }

    QList<AppGroup> apps;
    apps.reserve(static_cast<qsizetype>(builds.size()));
    for (AppBuild &build : builds) {
        struct Ordered
        {
            bool overnight;
            qint64 latestStart;
            GroupBuild *group;
        };
        std::vector<Ordered> order;
        order.reserve(build.groups.size());
        for (GroupBuild &g : build.groups) {
            // Day files are written in time order: strictly ascending members only need reversing (no equal starts
            // whose order a reversal could swap).
            const auto notAscending = [](const Segment *a, const Segment *b) { return a->startTime >= b->startTime; };
            if (std::adjacent_find(g.members.begin(), g.members.end(), notAscending) == g.members.end())
                std::reverse(g.members.begin(), g.members.end());
            else
                std::stable_sort(g.members.begin(), g.members.end(),
                                 [](const Segment *a, const Segment *b) { return a->startTime > b->startTime; });
            order.push_back({g.title == overnight, g.members.empty() ? 0 : g.members.front()->startTime, &g});
        }
        std::stable_sort(order.begin(), order.end(), [](const Ordered &a, const Ordered &b) {
            if (a.overnight != b.overnight)
                return a.overnight;
            return a.latestStart > b.latestStart;
        });
        AppGroup app{build.appName, build.appName, {}};
        app.processes.reserve(static_cast<qsizetype>(order.size()));
        for (const Ordered &o : order) {
            ProcessGroup group{build.appName + QLatin1Char('-') + o.group->title, o.group->title, {}};
            group.segments.reserve(static_cast<qsizetype>(o.group->members.size()));
            for (const Segment *s : o.group->members) {
                group.segments.append(*s);
                if (o.overnight)
                    group.segments.last().windowTitle = overnight;
            }
            app.processes.append(std::move(group));
        }
        apps.append(std::move(app));
    }

    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::sort(apps.begin(), apps.end(), [&](const AppGroup &a, const AppGroup &b) {
        const bool aLast = a.appName == inactivity;
        const bool bLast = b.appName == inactivity;
        if (aLast != bLast)
            return bLast;
        const int order = collator.compare(a.appName, b.appName);
        // Names the collator calls equal still get one fixed order, so repeated builds do not reshuffle rows.
        return order != 0 ? order < 0 : a.appName < b.appName;
    });
    return apps;
}

QList<AppGroup> SegmentHierarchyBuilder::build(const QList<Segment> &segments)
{
    return build(segments, GhostSegmentDetector::sharedStoreOpenId());
}
