// The header's numbers: wall-clock merge, the choice of evidence (with the clamp), the day's local inputs, the short
// duration text and the "already logged" pills.
#include "config.h"
#include "header_totals.h"
#include "test_support.h"

#include <QTest>

using TestSupport::FixedClock;
using TestSupport::localMs;

namespace {
qint64 at(int h, int m, int s = 0, int ms = 0) { return localMs(2025, 3, 14, h, m, s, ms); }
const QSet<QString> kExcluded{u"loginwindow"_qs};

Segment seg(qint64 start, qint64 end, std::optional<qint64> synced = std::nullopt, const QString &app = u"Editor"_qs,
            SegmentType type = SegmentType::process)
{
    return Segment{QUuid::createUuid(), Config::dayKeyForMs(start), app, u"w"_qs, start, end, type, synced};
}
} // namespace

class TestHeaderTotals : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // `liveIndex` (or -1) is the segment being recorded; the clock stands at 12:00.
    void merge_data()
    {
        QTest::addColumn<QList<Segment>>("segments");
        QTest::addColumn<int>("liveIndex");
        QTest::addColumn<qint64>("seconds");
        QTest::addRow("empty") << QList<Segment>{} << -1 << qint64(0);
        QTest::addRow("overlapping") << QList<Segment>{seg(at(9, 0), at(10, 0)), seg(at(9, 30), at(10, 30))} << -1
                                     << qint64(5400);
        QTest::addRow("touching join") << QList<Segment>{seg(at(10, 0), at(11, 0)), seg(at(9, 0), at(10, 0))} << -1
                                       << qint64(7200);
        QTest::addRow("contained, out of order")
            << QList<Segment>{seg(at(9, 15), at(9, 45)), seg(at(11, 0), at(11, 10)), seg(at(9, 0), at(10, 0))} << -1
            << qint64(3600 + 600);
        QTest::addRow("each block truncates on its own")
            << QList<Segment>{seg(at(9, 0), at(9, 0, 1, 500)), seg(at(10, 0), at(10, 0, 1, 500))} << -1 << qint64(2);
        QTest::addRow("joined block truncates once")
            << QList<Segment>{seg(at(9, 0), at(9, 0, 1, 500)), seg(at(9, 0, 1, 500), at(9, 0, 3))} << -1 << qint64(3);
        QTest::addRow("live open runs to now") << QList<Segment>{seg(at(9, 0), at(10, 0)), seg(at(11, 30), at(11, 30))}
                                               << 1 << qint64(3600 + 1800);
        QTest::addRow("orphan open counts nothing")
            << QList<Segment>{seg(at(9, 0), at(10, 0)), seg(at(11, 30), at(11, 30))} << -1 << qint64(3600);
        QTest::addRow("live open inside an earlier block")
            << QList<Segment>{seg(at(11, 0), at(11, 0)), seg(at(10, 0), at(11, 30))} << 0 << qint64(7200);
        QTest::addRow("end before start covers nothing")
            << QList<Segment>{seg(at(9, 0), at(10, 0)), seg(at(10, 30), at(8, 0))} << -1 << qint64(3600);
    }
    void merge()
    {
        QFETCH(QList<Segment>, segments);
        QFETCH(int, liveIndex);
        QFETCH(qint64, seconds);
        FixedClock clock(at(12, 0));
        const auto openId = liveIndex >= 0 ? std::optional<QUuid>(segments.at(liveIndex).id) : std::nullopt;
        QCOMPARE(mergedWallClockSeconds(segments, openId), seconds);
    }

    void resolve_data()
    {
        QTest::addColumn<qint64>("localTotal");
        QTest::addColumn<qint64>("localPending");
        QTest::addColumn<qint64>("localSyncedCount");
        QTest::addColumn<qint64>("localSyncedSeconds");
        QTest::addColumn<qint64>("serverLogged");
        QTest::addColumn<std::optional<qint64>>("serverTracked");
        QTest::addColumn<HeaderTotals>("expected");
        using B = HeaderTotals::Basis;
        QTest::addRow("server: fresh install")
            << qint64(600) << qint64(600) << qint64(0) << qint64(0) << qint64(3600) << std::optional<qint64>(5400)
            << HeaderTotals{6000, 3600, 2400, B::server};
        QTest::addRow("server: tracked absent falls back to logged")
            << qint64(600) << qint64(600) << qint64(0) << qint64(0) << qint64(3600) << std::optional<qint64>()
            << HeaderTotals{4200, 3600, 600, B::server};
        QTest::addRow("server: tracked below logged")
            << qint64(0) << qint64(0) << qint64(0) << qint64(0) << qint64(3600) << std::optional<qint64>(100)
            << HeaderTotals{3600, 3600, 0, B::server};
        QTest::addRow("local: server logged trusted") << qint64(4000) << qint64(1000) << qint64(2) << qint64(3000)
                                                      << qint64(3100) << std::optional<qint64>(9000)
                                                      << HeaderTotals{4000, 3100, 900, B::local};
        QTest::addRow("local: inflated server logged is clamped")
            << qint64(4000) << qint64(1000) << qint64(2) << qint64(3000) << qint64(10000) << std::optional<qint64>()
            << HeaderTotals{4000, 3000, 1000, B::local};
        QTest::addRow("local: exactly 60 s beyond is not clamped")
            << qint64(4000) << qint64(1000) << qint64(1) << qint64(3000) << qint64(5060) << std::optional<qint64>()
            << HeaderTotals{4000, 5060, -1060, B::local};
        QTest::addRow("local: 61 s beyond is clamped") << qint64(4000) << qint64(1000) << qint64(1) << qint64(3000)
                                                       << qint64(5061) << std::optional<qint64>()
                                                       << HeaderTotals{4000, 3000, 1000, B::local};
    }
    void resolve()
    {
        QFETCH(qint64, localTotal);
        QFETCH(qint64, localPending);
        QFETCH(qint64, localSyncedCount);
        QFETCH(qint64, localSyncedSeconds);
        QFETCH(qint64, serverLogged);
        QFETCH(std::optional<qint64>, serverTracked);
        QFETCH(HeaderTotals, expected);
        const HeaderTotals t = HeaderTotals::resolve(localTotal, localPending, localSyncedCount, localSyncedSeconds,
                                                     serverLogged, serverTracked);
        QCOMPARE(t.total, expected.total);
        QCOMPARE(t.logged, expected.logged);
        QCOMPARE(t.pending, expected.pending);
        QCOMPARE(basisName(t.basis), basisName(expected.basis));
        QCOMPARE(t.publishedPending(), std::max<qint64>(expected.pending, 0));
    }

    // Excluded applications and ghosts add to none of the numbers; the live segment is pending, an orphan open one
    // falls on the synced side but covers nothing.
    void localDayTotals()
    {
        FixedClock clock(at(12, 0));
        const Segment live = seg(at(11, 30), at(11, 30));
        const QList<Segment> day{
            seg(at(0, 0, 5), at(3, 0)),                                // process ghost (leading run)
            seg(at(9, 0), at(10, 0), at(10, 1)),                       // synced
            seg(at(9, 30), at(10, 30)),                                // pending, overlaps the synced one
            seg(at(10, 0), at(11, 0), std::nullopt, u"loginwindow"_qs), // excluded
            seg(at(6, 0), at(6, 0)),                                   // orphan open
            live,
        };
        const LocalDayTotals t = LocalDayTotals::compute(day, live.id, kExcluded);
        QCOMPARE(t.ghostIds, QSet<QUuid>{day.at(0).id});
        QCOMPARE(t.total, 5400 + 1800);
        QCOMPARE(t.pending, 3600 + 1800);
        QCOMPARE(t.syncedCount, 2);
        QCOMPARE(t.syncedSeconds, 3600);
        const HeaderTotals h = t.resolve(3600, std::nullopt);
        QCOMPARE(h.total, 7200);
        QCOMPARE(h.logged, 3600);
        QCOMPARE(h.basis, HeaderTotals::Basis::local);
    }

    void formatShort_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("text");
        QTest::addRow("0") << qint64(0) << u"0s"_qs;
        QTest::addRow("45") << qint64(45) << u"45s"_qs;
        QTest::addRow("60") << qint64(60) << u"1m"_qs;
        QTest::addRow("125") << qint64(125) << u"2m 5s"_qs;
        QTest::addRow("3599") << qint64(3599) << u"59m 59s"_qs;
        QTest::addRow("3600") << qint64(3600) << u"1h"_qs;
        QTest::addRow("3659") << qint64(3659) << u"1h"_qs;
        QTest::addRow("3725") << qint64(3725) << u"1h 2m"_qs;
        QTest::addRow("90000") << qint64(90000) << u"25h"_qs;
    }
    void formatShort()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, text);
        QCOMPARE(formatDurationShort(seconds), text);
    }

    void alreadyLogged()
    {
        FixedClock clock(at(12, 0));
        const Segment live = seg(at(11, 55), at(11, 55), std::nullopt, u"Browser"_qs);
        const QList<Segment> day{
            seg(at(9, 0), at(9, 30), at(9, 31)),                                                    // Editor: mixed
            seg(at(10, 0), at(10, 2, 5)),
            seg(at(9, 0), at(9, 30), at(9, 31), u"Browser"_qs),                                     // Browser: mixed,
            live,                                                                                   // pending is live
            seg(at(9, 0), at(9, 30), at(9, 31), u"Mail"_qs),                                        // Mail: logged only
            seg(at(9, 0), at(9, 30), std::nullopt, u"Notes"_qs),                                 // Notes: pending only
            seg(at(9, 0), at(9, 30), at(9, 31), u"Inactivity"_qs, SegmentType::inactivity),         // away pending
            seg(at(10, 0), at(10, 30), std::nullopt, u"Inactivity"_qs, SegmentType::inactivity),    // is not counted
            seg(at(9, 0), at(9, 30), at(9, 31), u"loginwindow"_qs),                                 // excluded
            seg(at(10, 0), at(10, 30), std::nullopt, u"loginwindow"_qs),
            seg(at(8, 0), at(8, 0), std::nullopt, u"Mail"_qs),                                      // orphan open
        };
        const QMap<QString, QString> expected{{u"Editor"_qs, u"2m 5s"_qs}, {u"Browser"_qs, u"5m"_qs}};
        QCOMPARE(alreadyLoggedTimes(day, live.id, kExcluded), expected);
        // Not recording: Browser's open record is an orphan and its pending time is gone.
        QCOMPARE(alreadyLoggedTimes(day, std::nullopt, kExcluded),
                 (QMap<QString, QString>{{u"Editor"_qs, u"2m 5s"_qs}}));
    }
};

QTEST_GUILESS_MAIN(TestHeaderTotals)
#include "tst_header_totals.moc"
