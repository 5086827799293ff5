// Ghost detection at the edges of the local day. Registered twice: in a zone whose test day has a DST change (a
// 25-hour day) and in a half-hour-offset zone without DST, so day arithmetic done in UTC or with +24 h fails.
#include "config.h"
#include "ghost_segment_detector.h"
#include "test_support.h"

#include <QTest>

using TestSupport::FixedClock;
using TestSupport::localMs;

namespace {
// 26 October 2025: clocks go back at 03:00 in Europe/Berlin.
qint64 at(int h, int m, int s = 0, int ms = 0) { return localMs(2025, 10, 26, h, m, s, ms); }
const qint64 kNextMidnight = localMs(2025, 10, 27);

Segment seg(SegmentType type, qint64 start, qint64 end)
{
    return Segment{QUuid::createUuid(), Config::dayKeyForMs(start), QStringLiteral("App"), QStringLiteral("w"),
                   start, end, type, std::nullopt};
}
Segment process(qint64 start, qint64 end) { return seg(SegmentType::process, start, end); }
Segment away(qint64 start, qint64 end) { return seg(SegmentType::inactivity, start, end); }
Segment open(SegmentType type, qint64 start) { return seg(type, start, start); }

// Positions of the result's ids in the input, so rows can name the ghosts they expect.
QList<int> positions(const QList<Segment> &segments, const QSet<QUuid> &ids)
{
    QList<int> out;
    for (int i = 0; i < segments.size(); ++i)
        if (ids.contains(segments.at(i).id))
            out.append(i);
    return out;
}
} // namespace

class TestGhostSegmentDetector : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void dayEdges_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<bool>("nearStart");
        QTest::addColumn<bool>("nearEnd");
        QTest::addRow("midnight") << at(0, 0) << true << false;
        QTest::addRow("00:01:30.000, last start ms") << at(0, 1, 30) << true << false;
        QTest::addRow("00:01:30.001") << at(0, 1, 30, 1) << false << false;
        QTest::addRow("noon") << at(12, 0) << false << false;
        QTest::addRow("23:58:29") << at(23, 58, 29) << false << false;
        QTest::addRow("23:58:30") << at(23, 58, 30) << false << true;
        QTest::addRow("23:59:00 on the 25-hour day") << at(23, 59) << false << true;
        QTest::addRow("23:59:59.999") << at(23, 59, 59, 999) << false << true;
        QTest::addRow("next midnight belongs to the next day") << kNextMidnight << true << false;
        // 30 March 2025 is 23 hours long in Europe/Berlin.
        QTest::addRow("23:59:00 on the 23-hour day") << localMs(2025, 3, 30, 23, 59) << false << true;
        QTest::addRow("00:00:30 on the 23-hour day") << localMs(2025, 3, 30, 0, 0, 30) << true << false;
    }
    void dayEdges()
    {
        QFETCH(qint64, ms);
        QFETCH(bool, nearStart);
        QFETCH(bool, nearEnd);
        QCOMPARE(GhostSegmentDetector::isNearDayStart(ms), nearStart);
        QCOMPARE(GhostSegmentDetector::isNearDayEnd(ms), nearEnd);
    }

    // One inactivity segment; `live` makes it the open segment being recorded, measured at `now`.
    void inactivity_data()
    {
        QTest::addColumn<Segment>("segment");
        QTest::addColumn<bool>("live");
        QTest::addColumn<qint64>("now");
        QTest::addColumn<bool>("ghost");
        const qint64 evening = at(23, 59);
        QTest::addRow("exactly 4 h mid-day") << away(at(10, 0), at(14, 0)) << false << evening << true;
        QTest::addRow("4 h less 1 s mid-day") << away(at(14, 0), at(17, 59, 59)) << false << evening << false;
        QTest::addRow("19:59 from midnight") << away(at(0, 0), at(0, 19, 59)) << false << evening << false;
        QTest::addRow("20 min from 00:01:30") << away(at(0, 1, 30), at(0, 21, 30)) << false << evening << true;
        QTest::addRow("20 min from 00:01:31") << away(at(0, 1, 31), at(0, 21, 31)) << false << evening << false;
        QTest::addRow("23:30 to 23:59:59") << away(at(23, 30), at(23, 59, 59)) << false << evening << true;
        QTest::addRow("23:30 to 23:58:29") << away(at(23, 30), at(23, 58, 29)) << false << evening << false;
        QTest::addRow("ends exactly at next midnight") << away(at(23, 30), kNextMidnight) << false << evening << false;
        QTest::addRow("live since 22:00, now 23:59") << open(SegmentType::inactivity, at(22, 0)) << true << at(23, 59)
                                                    << true;
        QTest::addRow("live since 22:00, now 23:00") << open(SegmentType::inactivity, at(22, 0)) << true << at(23, 0)
                                                    << false;
        QTest::addRow("live since 08:00, 4 h later") << open(SegmentType::inactivity, at(8, 0)) << true << at(12, 0)
                                                    << true;
        QTest::addRow("orphan open since 22:00 counts as 0 s") << open(SegmentType::inactivity, at(22, 0)) << false
                                                               << at(23, 59) << false;
    }
    void inactivity()
    {
        QFETCH(Segment, segment);
        QFETCH(bool, live);
        QFETCH(qint64, now);
        QFETCH(bool, ghost);
        FixedClock clock(now);
        const auto openId = live ? std::optional<QUuid>(segment.id) : std::nullopt;
        const QList<Segment> list{segment};
        QCOMPARE(GhostSegmentDetector::abandonedInactivityIds(list, openId).contains(segment.id), ghost);
        QVERIFY(GhostSegmentDetector::abandonedProcessGhostIds(list, openId).isEmpty());
    }

    // Process segments in input order; `liveIndex` (or -1) is the segment being recorded at `now`.
    void processGhosts_data()
    {
        QTest::addColumn<QList<Segment>>("segments");
        QTest::addColumn<int>("liveIndex");
        QTest::addColumn<qint64>("now");
        QTest::addColumn<QList<int>>("ghosts");
        const qint64 late = at(23, 59, 59, 999);
        QTest::addRow("leading run is taken in start order")
            << QList<Segment>{process(at(0, 0, 5), at(0, 30, 5)), process(at(0, 40), at(2, 40)),
                              process(at(0, 0, 50), at(0, 25, 50))}
            << -1 << late << QList<int>{0, 2};
        QTest::addRow("a short first segment ends the run")
            << QList<Segment>{process(at(0, 0, 5), at(0, 10)), process(at(0, 1), at(0, 40))} << -1 << late
            << QList<int>{};
        QTest::addRow("last runs to 23:59:59.500")
            << QList<Segment>{process(at(9, 0), at(12, 0)), process(at(21, 0), at(23, 59, 59, 500))} << -1 << late
            << QList<int>{1};
        QTest::addRow("last ends 23:58") << QList<Segment>{process(at(9, 0), at(12, 0)), process(at(21, 0), at(23, 58))}
                                         << -1 << late << QList<int>{};
        QTest::addRow("last ends exactly at next midnight")
            << QList<Segment>{process(at(21, 0), kNextMidnight)} << -1 << late << QList<int>{};
        QTest::addRow("last shorter than 20 min")
            << QList<Segment>{process(at(9, 0), at(12, 0)), process(at(23, 45), at(23, 59, 59))} << -1 << late
            << QList<int>{};
        QTest::addRow("only the last one is checked")
            << QList<Segment>{process(at(21, 0), at(23, 59, 59)), process(at(23, 59, 59, 100), at(23, 59, 59, 900))}
            << -1 << late << QList<int>{};
        QTest::addRow("whole-day single segment, once")
            << QList<Segment>{process(at(0, 0, 10), at(23, 59, 50))} << -1 << late << QList<int>{0};
        QTest::addRow("live last segment reaching the day's end")
            << QList<Segment>{process(at(9, 0), at(12, 0)), open(SegmentType::process, at(23, 0))} << 1
            << at(23, 59, 30) << QList<int>{1};
        QTest::addRow("live last segment at 23:30") << QList<Segment>{open(SegmentType::process, at(23, 0))} << 0
                                                    << at(23, 30) << QList<int>{};
        QTest::addRow("away stretches do not count as the last process")
            << QList<Segment>{process(at(21, 0), at(23, 59, 59)), away(at(23, 59, 59, 500), at(23, 59, 59, 900))} << -1
            << late << QList<int>{0};
        QTest::addRow("middle segments never")
            << QList<Segment>{process(at(0, 0), at(0, 30)), process(at(1, 0), at(5, 0)), process(at(9, 0), at(10, 0))}
            << -1 << late << QList<int>{0};
    }
    void processGhosts()
    {
        QFETCH(QList<Segment>, segments);
        QFETCH(int, liveIndex);
        QFETCH(qint64, now);
        QFETCH(QList<int>, ghosts);
        FixedClock clock(now);
        const auto openId = liveIndex >= 0 ? std::optional<QUuid>(segments.at(liveIndex).id) : std::nullopt;
        QCOMPARE(positions(segments, GhostSegmentDetector::abandonedProcessGhostIds(segments, openId)), ghosts);
    }

    void abandonedIdsIsTheUnion()
    {
        FixedClock clock(at(23, 59, 59));
        const QList<Segment> day{away(at(0, 0), at(5, 0)), process(at(9, 0), at(12, 0)),
                                 process(at(20, 0), at(23, 59, 30))};
        QCOMPARE(positions(day, GhostSegmentDetector::abandonedIds(day, std::nullopt)), (QList<int>{0, 2}));
        QVERIFY(GhostSegmentDetector::abandonedIds({}, std::nullopt).isEmpty());
        // Without a registered store nothing counts as being recorded.
        QCOMPARE(GhostSegmentDetector::abandonedIds(day), GhostSegmentDetector::abandonedIds(day, std::nullopt));
    }
};

QTEST_GUILESS_MAIN(TestGhostSegmentDetector)
#include "tst_ghost_segment_detector.moc"
