// The application → window tree: ordering of applications and windows, the ghost row, and the totals beside rows.
#include "config.h"
#include "segment_hierarchy.h"
#include "test_support.h"

#include <QTest>

using TestSupport::FixedClock;
using TestSupport::localMs;

namespace {
qint64 at(int h, int m, int s = 0) { return localMs(2025, 3, 14, h, m, s); }

Segment seg(const QString &app, const QString &title, qint64 start, qint64 end,
            SegmentType type = SegmentType::process, std::optional<qint64> synced = std::nullopt)
{
    return Segment{QUuid::createUuid(), Config::dayKeyForMs(start), app, title, start, end, type, synced};
}
Segment away(qint64 start, qint64 end, std::optional<qint64> synced = std::nullopt)
{
    return seg(QStringLiteral("Inactivity"), QStringLiteral("Away from keyboard"), start, end, SegmentType::inactivity,
               synced);
}

QStringList appNames(const QList<AppGroup> &apps)
{
    QStringList names;
    for (const AppGroup &a : apps)
        names << a.appName;
    return names;
}
QStringList titles(const AppGroup &app)
{
    QStringList out;
    for (const ProcessGroup &p : app.processes)
        out << p.windowTitle;
    return out;
}
} // namespace

class TestSegmentHierarchy : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void applicationOrder_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("expected");
        QTest::addRow("case-insensitive, inactivity last")
            << QStringList{u"Safari"_qs, u"Inactivity"_qs, u"calendar"_qs}
            << QStringList{u"calendar"_qs, u"Safari"_qs, u"Inactivity"_qs};
        QTest::addRow("inactivity first in input") << QStringList{u"Inactivity"_qs, u"beta"_qs, u"Alpha"_qs}
                                                   << QStringList{u"Alpha"_qs, u"beta"_qs, u"Inactivity"_qs};
        QTest::addRow("lower-case inactivity is an ordinary app")
            << QStringList{u"Inactivity"_qs, u"inactivity"_qs, u"Zed"_qs}
            << QStringList{u"inactivity"_qs, u"Zed"_qs, u"Inactivity"_qs};
        QTest::addRow("empty") << QStringList{} << QStringList{};
    }
    void applicationOrder()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, expected);
        QList<Segment> segments;
        for (int i = 0; i < names.size(); ++i)
            segments << seg(names.at(i), u"w"_qs, at(9, i), at(9, i, 30));
        QCOMPARE(appNames(SegmentHierarchyBuilder::build(segments, std::nullopt)), expected);
    }

    void windowsAndSegmentsNewestFirst()
    {
        const QString editor = u"Editor"_qs;
        const QList<Segment> segments{
            seg(editor, u"a"_qs, at(9, 0), at(9, 30)),
            seg(editor, u"b"_qs, at(10, 0), at(10, 30)),
            seg(editor, u"a"_qs, at(11, 0), at(11, 30)),
            seg(editor, u"A"_qs, at(8, 0), at(8, 5)),
        };
        const QList<AppGroup> apps = SegmentHierarchyBuilder::build(segments, std::nullopt);
        QCOMPARE(apps.size(), 1);
        QCOMPARE(apps.first().id, editor);
        // Titles differing only in case stay apart.
        QCOMPARE(titles(apps.first()), (QStringList{u"a"_qs, u"b"_qs, u"A"_qs}));
        const ProcessGroup &a = apps.first().processes.first();
        QCOMPARE(a.id, u"Editor-a"_qs);
        QCOMPARE(a.segments.size(), 2);
        QCOMPARE(a.segments.at(0).startTime, at(11, 0));
        QCOMPARE(a.latestSegment().value_or(Segment{}).id, segments.at(2).id);

        // Equal starts keep their input order.
        const QList<Segment> ties{seg(editor, u"t"_qs, at(9, 0), at(9, 10)),
                                  seg(editor, u"t"_qs, at(12, 0), at(12, 10)),
                                  seg(editor, u"t"_qs, at(12, 0), at(12, 20))};
        const QList<Segment> sorted =
            SegmentHierarchyBuilder::build(ties, std::nullopt).first().processes.first().segments;
        QCOMPARE(sorted, (QList<Segment>{ties.at(1), ties.at(2), ties.at(0)}));
    }

    // A 5-hour overnight away stretch and a 30-minute one at 14:00: the ghost row comes first and shows its whole
    // length in the log picker; the ordinary row only what is still pending.
    void ghostAwayRow_data()
    {
        QTest::addColumn<bool>("afternoonSynced");
        QTest::addColumn<QString>("appText");
        QTest::addColumn<QString>("afternoonText");
        QTest::addRow("afternoon pending") << false << u"5h 30m 0s"_qs << u"30m 0s"_qs;
        QTest::addRow("afternoon synced") << true << u"5h 0m 0s"_qs << u"0s"_qs;
    }
    void ghostAwayRow()
    {
        QFETCH(bool, afternoonSynced);
        QFETCH(QString, appText);
        QFETCH(QString, afternoonText);
        FixedClock clock(at(18, 0));
        const auto afternoonSyncedAt = afternoonSynced ? std::optional<qint64>(at(15, 0)) : std::nullopt;
        const QList<Segment> segments{away(at(14, 0), at(14, 30), afternoonSyncedAt), away(at(0, 0), at(5, 0))};
        const AppGroup &inactivity = SegmentHierarchyBuilder::build(segments, std::nullopt).first();
        QCOMPARE(titles(inactivity), (QStringList{u"Overnight away (not counted)"_qs, u"Away from keyboard"_qs}));
        const ProcessGroup &ghost = inactivity.processes.at(0);
        QCOMPARE(ghost.id, u"Inactivity-Overnight away (not counted)"_qs);
        QCOMPARE(ghost.segments.first().windowTitle, u"Overnight away (not counted)"_qs);
        QCOMPARE(ghost.segments.first().id, segments.at(1).id);
        QCOMPARE(ghost.formattedLogPickerDuration(std::nullopt), u"5h 0m 0s"_qs);
        QCOMPARE(inactivity.processes.at(1).formattedLogPickerDuration(std::nullopt), afternoonText);
        QCOMPARE(inactivity.formattedLogPickerDuration(std::nullopt), appText);
    }

    void processGhostKeepsItsTitleAndCountsAsPending()
    {
        FixedClock clock(at(18, 0));
        const QList<Segment> segments{seg(u"Editor"_qs, u"main.cpp"_qs, at(0, 0, 10), at(2, 0))};
        const AppGroup &editor = SegmentHierarchyBuilder::build(segments, std::nullopt).first();
        QCOMPARE(titles(editor), QStringList{u"main.cpp"_qs});
        QCOMPARE(editor.pendingLiveTotalSeconds(std::nullopt), 7190);
        QCOMPARE(editor.formattedLogPickerDuration(std::nullopt), u"1h 59m 50s"_qs);
    }

    // The segment being recorded counts up with the clock; a synced one counts in the live total only; an open
    // record nobody is recording counts nothing.
    void liveTotals()
    {
        const QString editor = u"Editor"_qs;
        const Segment synced = seg(editor, u"w"_qs, at(9, 0), at(9, 30), SegmentType::process, at(9, 31));
        const Segment live = seg(editor, u"w"_qs, at(10, 0), at(10, 0));
        const Segment orphan = seg(editor, u"w"_qs, at(8, 0), at(8, 0));
        const QList<Segment> segments{synced, live, orphan};
        FixedClock clock(at(10, 5));
        const ProcessGroup group = SegmentHierarchyBuilder::build(segments, live.id).first().processes.first();
        QCOMPARE(group.liveTotalSeconds(live.id), 1800 + 300);
        QCOMPARE(group.pendingLiveTotalSeconds(live.id), 300);
        QCOMPARE(group.formattedLogPickerDuration(live.id), u"5m 0s"_qs);
        Clock::advanceMs(61'000);
        QCOMPARE(group.pendingLiveTotalSeconds(live.id), 361);
        QCOMPARE(group.pendingLiveTotalSeconds(std::nullopt), 0);   // not recording: the open record is an orphan
    }
};

QTEST_GUILESS_MAIN(TestSegmentHierarchy)
#include "tst_segment_hierarchy.moc"
