#include "capture_rig.h"

#include <QSignalSpy>
#include <limits>

using TestSupport::localMs;

namespace {
const qint64 kMorning = localMs(2026, 3, 10, 10, 0, 0);

void startWith(CaptureRig &rig, const QString &app, const QString &title)
{
    rig.windows.setFrontmost(app, QStringLiteral("org.example.") + app, title);
    rig.tracker.startRecording();
    QVERIFY(rig.tracker.isRecording());
}

void sample(CaptureRig &rig, double seconds)
{
    rig.idleSource.setSeconds(seconds);
    rig.idle.checkIdleState();
}

[[nodiscard]] int inactivityCount(const QList<Segment> &history)
{
    return int(std::count_if(history.begin(), history.end(),
                             [](const Segment &s) { return s.type == SegmentType::inactivity; }));
}
} // namespace

class IdleTrackerTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_configHome;

private Q_SLOTS:
    void initTestCase() { CaptureRigSupport::useScratchSettings(m_configHome); }
    void cleanup() { CaptureRigSupport::setFlags(true, true); }

    void flagOffRecordsWithoutIdle();
    void idlePeriodAndReturn();
    void screensAsleepAndAwake();
    void stopWhileIdleClosesAndStaysStopped();
    void brokenReadingsStayInRange();
};

void IdleTrackerTest::flagOffRecordsWithoutIdle()
{
    CaptureRigSupport::setFlags(true, false);
    CaptureRig rig(kMorning);
    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    QVERIFY(!rig.idle.isMonitoring());
    rig.power.sleepScreens();   // nobody listens
    QVERIFY(!rig.idle.isIdle());
    QVERIFY(rig.tracker.windowPoller().isPolling());
    QCOMPARE(inactivityCount(rig.todaysHistory()), 0);
}

void IdleTrackerTest::idlePeriodAndReturn()
{
    CaptureRig rig(kMorning);
    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    QSignalSpy idleChanged(&rig.idle, &IdleTracker::isIdleChanged);

    rig.advance(59'900);
    sample(rig, 59.9);
    QVERIFY(!rig.idle.isIdle());
    rig.advance(100);
    sample(rig, 60.0);
    const qint64 detectedAt = Clock::nowMs();
    QVERIFY(rig.idle.isIdle());
    QCOMPARE(idleChanged.size(), 0);   // observers hear of it after the handler returns
    QCoreApplication::processEvents();
    QCOMPARE(idleChanged.size(), 1);
    QCOMPARE(rig.idle.idleSeconds(), 60);
    QCOMPARE(rig.idle.idleStartTimeMs(), std::optional<qint64>(kMorning));
    QVERIFY(!rig.tracker.windowPoller().isPolling());

    // The absence before the detection stays in the process segment; the inactivity starts at the detection.
    QList<Segment> history = rig.todaysHistory();
    QCOMPARE(history.size(), 2);
    QCOMPARE(history.first().endTime, detectedAt);
    QCOMPARE(history.last().appName, QStringLiteral("Inactivity"));
    QCOMPARE(history.last().windowTitle, QStringLiteral("Away from keyboard"));
    QCOMPARE(history.last().startTime, detectedAt);

    // Steady or rising readings keep the period; a switch while away records nothing.
    for (double s : {120.0, 121.0, 121.0}) {
        rig.advance(1000);
        sample(rig, s);
    }
    rig.windows.emitApplicationActivated();
    QCOMPARE(rig.todaysHistory().size(), 2);

    rig.advance(1000);
    sample(rig, 3);
    QVERIFY(!rig.idle.isIdle());
    QCOMPARE(rig.idle.idleSeconds(), 0);
    history = rig.todaysHistory();
    QCOMPARE(history.size(), 3);
    QCOMPARE(history[1].endTime, Clock::nowMs());
    // Same window as before the break: it still gets a new segment, so the time after the break is kept.
    QCOMPARE(history.last().appName, QStringLiteral("Editor"));
    QCOMPARE(history.last().startTime, Clock::nowMs());
    QVERIFY(history.last().isOpen());
    QVERIFY(rig.tracker.windowPoller().isPolling());
}

void IdleTrackerTest::screensAsleepAndAwake()
{
    CaptureRig rig(kMorning);
    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    rig.advance(5000);
    sample(rig, 5);
    rig.power.sleepScreens();   // at once, whatever the reading
    QVERIFY(rig.idle.isIdle());
    QVERIFY(!rig.tracker.windowPoller().isPolling());
    rig.power.sleepScreens();
    QCOMPARE(inactivityCount(rig.todaysHistory()), 1);

    rig.power.wakeScreens();
    rig.advance(1000);
    sample(rig, 1);   // below the last reading, but only a baseline after waking
    QVERIFY(rig.idle.isIdle());
    rig.advance(1000);
    sample(rig, 0.5);
    QVERIFY(!rig.idle.isIdle());
    QVERIFY(rig.tracker.windowPoller().isPolling());
    QCOMPARE(rig.todaysHistory().last().appName, QStringLiteral("Editor"));
}

void IdleTrackerTest::stopWhileIdleClosesAndStaysStopped()
{
    CaptureRig rig(kMorning);
    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    rig.advance(70'000);
    sample(rig, 70);
    QVERIFY(rig.idle.isIdle());
    rig.advance(10'000);

    rig.tracker.stopRecording();

    QVERIFY(!rig.tracker.isRecording());
    QVERIFY(!rig.idle.isIdle());
    QVERIFY(!rig.idle.isMonitoring());
    QVERIFY(!rig.tracker.windowPoller().isPolling());
    QVERIFY(!rig.store.currentOpenSegment());
    // The inactivity segment ends at the stop and nothing resumes after it.
    const QList<Segment> history = rig.todaysHistory();
    QCOMPARE(history.size(), 2);
    QCOMPARE(history.last().type, SegmentType::inactivity);
    QCOMPARE(history.last().endTime, Clock::nowMs());
}

void IdleTrackerTest::brokenReadingsStayInRange()
{
    CaptureRig rig(kMorning);
    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    sample(rig, std::numeric_limits<double>::quiet_NaN());
    sample(rig, -5);
    QVERIFY(!rig.idle.isIdle());
    QCOMPARE(rig.idle.idleSeconds(), 0);
    sample(rig, 1e300);
    QVERIFY(rig.idle.isIdle());
    QCOMPARE(rig.idle.idleSeconds(), std::numeric_limits<int>::max());
    QVERIFY(rig.idle.lastActivityTimeMs() < kMorning);
}

QTEST_GUILESS_MAIN(IdleTrackerTest)
#include "tst_idle_tracker.moc"
