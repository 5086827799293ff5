// What the popover recomputes every second while it is open and recording: ghost ids, the header's candidates and
// three merges, resolve, and the activity tree, for a synthetic day of N segments.
#include "clock.h"
#include "config.h"
#include "ghost_segment_detector.h"
#include "header_totals.h"
#include "segment_hierarchy.h"
#include "segment_store.h"

#include <QDate>
#include <QDateTime>
#include <QRandomGenerator>
#include <benchmark/benchmark.h>

namespace {

struct Day
{
    QList<Segment> segments;
    std::optional<QUuid> openId;
    qint64 now = 0;
};

// A working day squeezed or stretched to n segments: a dozen applications with about one window per ten segments,
// about one in ten stretches away, most of the morning already logged, an overlap every fiftieth segment, a few
// excluded records, the ghosts a forgotten recorder leaves (a 5-hour overnight away stretch, a process segment
// from midnight, one running into the next midnight) and the segment being recorded.
Day makeDay(int n)
{
    QRandomGenerator rng(42);
    const qint64 dayStart = QDate(2025, 3, 14).startOfDay().toMSecsSinceEpoch();
    const qint64 workStart = dayStart + 5 * 3600'000LL;
    const qint64 workEnd = dayStart + 23 * 3600'000LL;
    const qint64 step = (workEnd - workStart) / n;
    const QStringList apps{u"Editor"_qs, u"Browser"_qs, u"Terminal"_qs, u"Mail"_qs, u"chat"_qs, u"Calendar"_qs,
                           u"Files"_qs, u"Notes"_qs, u"Music"_qs, u"Designer"_qs, u"Spreadsheet"_qs, u"Viewer"_qs};
    // About one distinct window per ten segments, each application with its own titles.
    const int titlesPerApp = std::max(2, n / 10 / 12);
    const QString date = Config::dayKeyForMs(workStart);

    Day day;
    day.now = workEnd + 30 * 60'000;
    auto add = [&](const QString &app, const QString &title, qint64 start, qint64 end, SegmentType type,
                   std::optional<qint64> synced) {
        day.segments.append(Segment{QUuid::createUuid(), date, app, title, start, end, type, synced});
    };
    add(u"Inactivity"_qs, u"Away from keyboard"_qs, dayStart, dayStart + 5 * 3600'000LL, SegmentType::inactivity, {});
    add(u"Browser"_qs, u"Night tab"_qs, dayStart + 5'000, dayStart + 40 * 60'000, SegmentType::process, {});
    for (int i = 0; i < n; ++i) {
        const qint64 start = workStart + i * step;
        qint64 end = start + step - static_cast<qint64>(rng.bounded(500));
        if (i % 50 == 49)
            end += 3 * step;   // overlaps the next segments
        const bool away = i % 10 == 9;
        const bool synced = start < workStart + (workEnd - workStart) * 6 / 10;
        const std::optional<qint64> syncedAt = synced ? std::optional<qint64>(end + 60'000) : std::nullopt;
        if (i % 400 == 7)
            add(u"loginwindow"_qs, QString(), start, end, SegmentType::process, syncedAt);
        else if (away)
            add(u"Inactivity"_qs, u"Away from keyboard"_qs, start, end, SegmentType::inactivity, syncedAt);
        else
        {
            const QString &app = apps.at(static_cast<qsizetype>(rng.bounded(apps.size())));
            add(app, QStringLiteral("%1 window %2").arg(app).arg(rng.bounded(titlesPerApp)), start, end,
                SegmentType::process, syncedAt);
        }
    }
    add(u"Terminal"_qs, u"build"_qs, day.now - 5 * 60'000, day.now - 5 * 60'000, SegmentType::process, {});
    day.openId = day.segments.last().id;
    return day;
}

void recompute(const Day &day)
{
    const QSet<QString> &excluded = SegmentStore::excludedSystemProcesses();
    const LocalDayTotals local = LocalDayTotals::compute(day.segments, day.openId, excluded);
    const HeaderTotals header = local.resolve(7200, 9000);
    QList<Segment> shown;
    shown.reserve(day.segments.size());
    for (const Segment &s : day.segments)
        if (!excluded.contains(s.appName))
            shown.append(s);
    const QList<AppGroup> apps = SegmentHierarchyBuilder::build(shown, day.openId);
    benchmark::DoNotOptimize(header);
    benchmark::DoNotOptimize(apps.size());
}

void BM_FullRecompute(benchmark::State &state)
{
    const Day day = makeDay(static_cast<int>(state.range(0)));
    Clock::setNowMs(day.now);
    for (auto _ : state)
        recompute(day);
    state.SetComplexityN(state.range(0));
    Clock::reset();
}
BENCHMARK(BM_FullRecompute)->Arg(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FullRecompute)
    ->RangeMultiplier(10)
    ->Ranges({{500, 50000}})
    ->Arg(1581)->Arg(15811)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oNLogN);

// The parts, to see where the time goes.
void BM_GhostIds(benchmark::State &state)
{
    const Day day = makeDay(static_cast<int>(state.range(0)));
    Clock::setNowMs(day.now);
    for (auto _ : state)
        benchmark::DoNotOptimize(GhostSegmentDetector::abandonedIds(day.segments, day.openId).size());
    Clock::reset();
}
BENCHMARK(BM_GhostIds)->Arg(5000)->Unit(benchmark::kMicrosecond);

void BM_LocalTotals(benchmark::State &state)
{
    const Day day = makeDay(static_cast<int>(state.range(0)));
    Clock::setNowMs(day.now);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            LocalDayTotals::compute(day.segments, day.openId, SegmentStore::excludedSystemProcesses()).total);
    Clock::reset();
}
BENCHMARK(BM_LocalTotals)->Arg(5000)->Unit(benchmark::kMicrosecond);

void BM_TreeBuild(benchmark::State &state)
{
    const Day day = makeDay(static_cast<int>(state.range(0)));
    Clock::setNowMs(day.now);
    for (auto _ : state)
        benchmark::DoNotOptimize(SegmentHierarchyBuilder::build(day.segments, day.openId).size());
    Clock::reset();
}
BENCHMARK(BM_TreeBuild)->Arg(5000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
