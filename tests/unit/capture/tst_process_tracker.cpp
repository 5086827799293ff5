#include "capture_rig.h"
#include "repeating_timer.h"

#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <thread>

using TestSupport::localMs;

namespace {
const qint64 kMorning = localMs(2026, 3, 10, 10, 0, 0);

void startWith(CaptureRig &rig, const QString &app, const QString &title)
{
    rig.windows.setFrontmost(app, QStringLiteral("org.example.") + app, title);
    rig.tracker.startRecording();
    QVERIFY(rig.tracker.isRecording());
}

void fireMidnightTimer(CaptureRig &rig)
{
    QVERIFY(rig.tracker.midnightTimer());
    QVERIFY(QMetaObject::invokeMethod(const_cast<QTimer *>(rig.tracker.midnightTimer()), "timeout"));
}
} // namespace

class ProcessTrackerTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_configHome;

private Q_SLOTS:
    void initTestCase() { CaptureRigSupport::useScratchSettings(m_configHome); }
    void cleanup() { CaptureRigSupport::setFlags(true, true); }

    void startGuards_data();
    void startGuards();
    void startAndStopHappenOnce();
    void captures_data();
    void captures();
    void sameWindowKeepsOneSegment();
    void awayIgnoresApplicationSwitches();
    void restartInSameWindowOpensSegment();
    void signOutStops_data();
    void signOutStops();
    void midnightWhileActive();
    void midnightWhileIdle();
    void midnightWhileStopped();
    void midnightSchedule_data();
    void midnightSchedule();
    void midnightTimerFollowsWallClock();
    void checklistRequestReachesMainThread();
};

void ProcessTrackerTest::startGuards_data()
{
    QTest::addColumn<bool>("flag");
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<bool>("trusted");
    QTest::addColumn<bool>("records");
    QTest::addColumn<bool>("asksForChecklist");
    QTest::addRow("flag off") << false << true << true << false << false;
    QTest::addRow("signed out") << true << false << true << false << false;
    QTest::addRow("windows not readable") << true << true << false << false << true;
    QTest::addRow("allowed") << true << true << true << true << false;
}

void ProcessTrackerTest::startGuards()
{
    QFETCH(bool, flag);
    QFETCH(bool, signedIn);
    QFETCH(bool, trusted);
    QFETCH(bool, records);
    QFETCH(bool, asksForChecklist);
    CaptureRigSupport::setFlags(flag, true);
    CaptureRig rig(kMorning);
    rig.auth.set(signedIn, QStringLiteral("user-1"));
    rig.windows.setTrusted(trusted, QStringLiteral("no window manager"));
    rig.windows.setFrontmost(QStringLiteral("Editor"), QStringLiteral("org.example.Editor"),
                             QStringLiteral("notes for jane@example.com"));
    QSignalSpy started(&rig.tracker, &ProcessTracker::processTrackerStarted);
    QSignalSpy checklist(&rig.tracker, &ProcessTracker::openSetupChecklistRequested);

    rig.tracker.startRecording();

    QCOMPARE(rig.tracker.isRecording(), records);
    QCOMPARE(started.size(), records ? 1 : 0);
    QCOMPARE(checklist.size(), asksForChecklist ? 1 : 0);
    if (asksForChecklist)
        QCOMPARE(checklist.first().first().toString(), QStringLiteral("processTracker"));
    // The trust question comes after the cheap guards and never shows a prompt.
    QCOMPARE(rig.windows.trustQueries(), (flag && signedIn) ? QList<bool>{false} : QList<bool>{});
    QCOMPARE(rig.tracker.hasActivationObserver(), records);
    QCOMPARE(rig.tracker.windowPoller().isPolling(), records);
    QCOMPARE(rig.idle.isMonitoring(), records);
    QCOMPARE(rig.tracker.midnightTimer() != nullptr, records);
    QCOMPARE(rig.todaysHistory().size(), records ? 1 : 0);
    if (!records)
        return;
    const Segment open = *rig.store.currentOpenSegment();
    QCOMPARE(open.appName, QStringLiteral("Editor"));
    QCOMPARE(open.windowTitle, QStringLiteral("notes for [EMAIL]"));
    QCOMPARE(open.type, SegmentType::process);
    QCOMPARE(rig.tracker.windowPoller().intervalSeconds(), std::optional<double>(2.0));
    QCOMPARE(rig.tracker.windowPoller().tolerance(), std::optional<double>(0.2));
    QCOMPARE(rig.idle.samplerIntervalSeconds(), std::optional<double>(1.0));
    QCOMPARE(rig.idle.samplerTolerance(), std::optional<double>(0.1));
}

void ProcessTrackerTest::startAndStopHappenOnce()
{
    CaptureRig rig(kMorning);
    QSignalSpy started(&rig.tracker, &ProcessTracker::processTrackerStarted);
    QSignalSpy stopped(&rig.tracker, &ProcessTracker::processTrackerStopped);
    rig.tracker.stopRecording();
    QCOMPARE(stopped.size(), 0);

    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    rig.tracker.startRecording();
    QCOMPARE(started.size(), 1);
    QCOMPARE(rig.windows.trustQueries().size(), 1);

    // One observer: a switch is read once.
    const int queries = rig.windows.frontmostQueries();
    rig.windows.activate(QStringLiteral("Terminal"), QStringLiteral("org.example.Terminal"), QStringLiteral("~"));
    QCOMPARE(rig.windows.frontmostQueries(), queries + 1);

    rig.advance(5000);
    rig.tracker.toggleRecording();
    QVERIFY(!rig.tracker.isRecording());
    QCOMPARE(stopped.size(), 1);
    QVERIFY(!rig.store.currentOpenSegment());
    QVERIFY(!rig.tracker.hasActivationObserver());
    QVERIFY(!rig.tracker.windowPoller().isPolling());
    QVERIFY(!rig.idle.isMonitoring());
    QVERIFY(!rig.tracker.midnightTimer());
    const QList<Segment> history = rig.todaysHistory();
    QCOMPARE(history.size(), 2);
    QCOMPARE(history.last().appName, QStringLiteral("Terminal"));
    QCOMPARE(history.last().endTime, Clock::nowMs());

    rig.tracker.stopRecording();
    QCOMPARE(stopped.size(), 1);
    rig.windows.activate(QStringLiteral("Mail"), QStringLiteral("org.example.Mail"), QStringLiteral("Inbox"));
    QCOMPARE(rig.todaysHistory().size(), 2);
}

void ProcessTrackerTest::captures_data()
{
    QTest::addColumn<QVariant>("name");   // invalid: the application has no name
    QTest::addColumn<QString>("id");
    QTest::addColumn<QVariant>("title");  // invalid: no focused window title
    QTest::addColumn<bool>("recorded");
    QTest::addColumn<QString>("app");
    QTest::addColumn<QString>("window");
    const QVariant none;
    QTest::addRow("name and masked title") << QVariant(QStringLiteral("Browser")) << QStringLiteral("org.x.Browser")
        << QVariant(QStringLiteral("Docs https://x.org/?a=b - Browser")) << true << QStringLiteral("Browser")
        << QStringLiteral("Docs [URL] - Browser");
    QTest::addRow("no name is Unknown") << none << QStringLiteral("xterm") << QVariant(QStringLiteral("bash"))
                                        << true << QStringLiteral("Unknown") << QStringLiteral("bash");
    QTest::addRow("no title is empty") << QVariant(QStringLiteral("Viewer")) << QStringLiteral("org.x.Viewer") << none
                                       << true << QStringLiteral("Viewer") << QString();
    QTest::addRow("excluded name") << QVariant(QStringLiteral("loginwindow")) << QStringLiteral("x") << none << false
                                   << QString() << QString();
    QTest::addRow("excluded locker") << QVariant(QStringLiteral("XScreenSaver")) << QStringLiteral("xscreensaver")
                                     << QVariant(QStringLiteral("Locked")) << false << QString() << QString();
    QTest::addRow("excluded login window id") << QVariant(QStringLiteral("Login"))
                                              << QStringLiteral("com.apple.loginwindow")
                                              << none << false << QString() << QString();
    QTest::addRow("excluded greeter id") << QVariant(QStringLiteral("Greeter")) << QStringLiteral("lightdm-gtk-greeter")
                                         << none << false << QString() << QString();
    QTest::addRow("names are case-sensitive") << QVariant(QStringLiteral("LoginWindow")) << QStringLiteral("x")
        << QVariant(QStringLiteral("t")) << true << QStringLiteral("LoginWindow") << QStringLiteral("t");
}

void ProcessTrackerTest::captures()
{
    QFETCH(QVariant, name);
    QFETCH(QString, id);
    QFETCH(QVariant, title);
    QFETCH(bool, recorded);
    QFETCH(QString, app);
    QFETCH(QString, window);
    CaptureRig rig(kMorning);
    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    const std::optional<Segment> before = rig.store.currentOpenSegment();

    rig.advance(3000);
    rig.windows.setFrontmost(FrontmostApplication{
        name.isValid() ? std::optional<QString>(name.toString()) : std::nullopt, id, 77});
    rig.windows.setTitle(title.isValid() ? std::optional<QString>(title.toString()) : std::nullopt);
    rig.windows.emitApplicationActivated();

    const QList<Segment> history = rig.todaysHistory();
    if (!recorded) {
        QCOMPARE(rig.store.currentOpenSegment(), before);
        QCOMPARE(history.size(), 1);
        return;
    }
    QCOMPARE(history.size(), 2);
    QCOMPARE(history.first().endTime, Clock::nowMs());
    QCOMPARE(history.last().appName, app);
    QCOMPARE(history.last().windowTitle, window);
    QVERIFY(history.last().isOpen());
    QCOMPARE(rig.tracker.currentApp(), app);
    QCOMPARE(rig.tracker.currentWindow(), window);
    QCOMPARE(rig.windows.titleQueries().last(), qint64(77));
}

void ProcessTrackerTest::sameWindowKeepsOneSegment()
{
    CaptureRig rig(kMorning);
    rig.windows.setFrontmost(std::nullopt);
    rig.tracker.startRecording();
    QVERIFY(rig.tracker.isRecording());
    QCOMPARE(rig.todaysHistory().size(), 0);   // nothing in front: nothing recorded

    rig.windows.activate(QStringLiteral("Browser"), QStringLiteral("b"), QStringLiteral("Read https://a.org/1 now"));
    rig.advance(2000);
    rig.tracker.captureCurrentWindow();
    rig.windows.setTitle(QStringLiteral("Read https://b.org/2 now"));   // differs only in the masked part
    rig.advance(2000);
    rig.tracker.captureCurrentWindow();
    QCOMPARE(rig.todaysHistory().size(), 1);

    rig.windows.setTitle(QStringLiteral("Other page"));
    rig.tracker.captureCurrentWindow();
    const QList<Segment> history = rig.todaysHistory();
    QCOMPARE(history.size(), 2);
    QCOMPARE(history.last().windowTitle, QStringLiteral("Other page"));
}

void ProcessTrackerTest::awayIgnoresApplicationSwitches()
{
    CaptureRig rig(kMorning);
    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    rig.tracker.setAway(true);
    QVERIFY(!rig.tracker.windowPoller().isPolling());
    QVERIFY(rig.tracker.hasActivationObserver());
    rig.windows.activate(QStringLiteral("Terminal"), QStringLiteral("t"), QStringLiteral("~"));
    QCOMPARE(rig.todaysHistory().size(), 1);

    rig.tracker.setAway(false);
    QVERIFY(rig.tracker.windowPoller().isPolling());
    rig.windows.activate(QStringLiteral("Terminal"), QStringLiteral("t"), QStringLiteral("~"));
    QCOMPARE(rig.todaysHistory().size(), 2);
}

void ProcessTrackerTest::restartInSameWindowOpensSegment()
{
    CaptureRig rig(kMorning);
    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    rig.advance(60'000);
    rig.tracker.stopRecording();
    QCOMPARE(rig.tracker.currentApp(), QString());
    rig.advance(60'000);
    rig.tracker.startRecording();   // same window still in front

    const QList<Segment> history = rig.todaysHistory();
    QCOMPARE(history.size(), 2);
    QCOMPARE(history.first().durationMs(), 60'000);
    QCOMPARE(history.last().appName, QStringLiteral("Editor"));
    QCOMPARE(history.last().startTime, Clock::nowMs());
    QVERIFY(history.last().isOpen());
}

void ProcessTrackerTest::signOutStops_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("stops");
    QTest::addRow("logout") << QStringLiteral("logout") << true;
    QTest::addRow("login") << QStringLiteral("login") << false;
    QTest::addRow("missing action") << QString() << false;
}

void ProcessTrackerTest::signOutStops()
{
    QFETCH(QString, action);
    QFETCH(bool, stops);
    CaptureRig rig(kMorning);
    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    QSignalSpy stopped(&rig.tracker, &ProcessTracker::processTrackerStopped);
    Q_EMIT rig.auth.authStateChanged(action, QStringLiteral("userInitiated"));
    QVERIFY(rig.tracker.isRecording());   // the stop is queued, not run inside the announcement
    QCoreApplication::processEvents();
    QCOMPARE(rig.tracker.isRecording(), !stops);
    QCOMPARE(stopped.size(), stops ? 1 : 0);
}

void ProcessTrackerTest::midnightWhileActive()
{
    CaptureRig rig(localMs(2026, 3, 10, 23, 59, 30));
    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    QCOMPARE(rig.tracker.nextMidnightMs(), std::optional<qint64>(localMs(2026, 3, 11)));

    Clock::setNowMs(localMs(2026, 3, 11, 0, 0, 2));
    fireMidnightTimer(rig);

    const QList<Segment> yesterday = rig.history(localMs(2026, 3, 10, 12));
    QCOMPARE(yesterday.size(), 1);
    QCOMPARE(yesterday.first().startTime, localMs(2026, 3, 10, 23, 59, 30));
    QCOMPARE(yesterday.first().endTime, localMs(2026, 3, 11));
    const QList<Segment> today = rig.todaysHistory();
    QCOMPARE(today.size(), 2);
    QCOMPARE(today.first().startTime, localMs(2026, 3, 11));
    QCOMPARE(today.first().endTime, Clock::nowMs());
    // The same window goes on in a segment of its own in the new day.
    QCOMPARE(today.last().appName, QStringLiteral("Editor"));
    QVERIFY(today.last().isOpen());
    QCOMPARE(rig.store.currentOpenSegment()->id, today.last().id);
    QVERIFY(rig.store.isViewingToday());
    QCOMPARE(rig.tracker.nextMidnightMs(), std::optional<qint64>(localMs(2026, 3, 12)));
}

void ProcessTrackerTest::midnightWhileIdle()
{
    CaptureRig rig(localMs(2026, 3, 10, 23, 58, 0));
    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    rig.advance(61'000);
    rig.idleSource.setSeconds(61);
    rig.idle.checkIdleState();
    QVERIFY(rig.idle.isIdle());

    Clock::setNowMs(localMs(2026, 3, 11, 0, 0, 1));
    rig.tracker.handleMidnight();

    const QList<Segment> today = rig.todaysHistory();
    QCOMPARE(today.size(), 2);
    for (const Segment &s : today)
        QCOMPARE(s.type, SegmentType::inactivity);
    QCOMPARE(today.first().startTime, localMs(2026, 3, 11));
    QVERIFY(today.last().isOpen());
    QVERIFY(!rig.tracker.windowPoller().isPolling());   // still away
    QVERIFY(rig.idle.isIdle());

    // Coming back in the new day ends that inactivity and records the window again.
    rig.advance(5000);
    rig.idleSource.setSeconds(0.5);
    rig.idle.checkIdleState();
    QCOMPARE(rig.todaysHistory().last().appName, QStringLiteral("Editor"));
    QVERIFY(rig.tracker.windowPoller().isPolling());
}

void ProcessTrackerTest::midnightWhileStopped()
{
    CaptureRig rig(localMs(2026, 3, 11, 0, 0, 1));
    rig.tracker.handleMidnight();
    QVERIFY(!rig.tracker.midnightTimer());
    QCOMPARE(rig.todaysHistory().size(), 0);
}

void ProcessTrackerTest::midnightSchedule_data()
{
    QTest::addColumn<qint64>("now");
    QTest::addColumn<qint64>("next");
    QTest::addRow("ordinary day") << localMs(2026, 3, 10, 0, 0, 1) << localMs(2026, 3, 11);
    QTest::addRow("23 hours (clocks go forward)") << localMs(2026, 3, 29, 0, 0, 1) << localMs(2026, 3, 30);
    QTest::addRow("25 hours (clocks go back)") << localMs(2026, 10, 25, 0, 0, 1) << localMs(2026, 10, 26);
    QTest::addRow("late evening") << localMs(2026, 12, 31, 23, 59, 59, 500) << localMs(2027, 1, 1);
}

void ProcessTrackerTest::midnightSchedule()
{
    QFETCH(qint64, now);
    QFETCH(qint64, next);
    CaptureRig rig(now);
    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    QCOMPARE(rig.tracker.nextMidnightMs(), std::optional<qint64>(next));
    QCOMPARE(qint64(rig.tracker.midnightTimer()->interval()), next - now);
    QVERIFY(rig.tracker.midnightTimer()->isSingleShot());
    QVERIFY(rig.tracker.midnightTimer()->isActive());
}

void ProcessTrackerTest::midnightTimerFollowsWallClock()
{
    CaptureRig rig(localMs(2026, 3, 10, 23, 0, 0));
    startWith(rig, QStringLiteral("Editor"), QStringLiteral("a.cpp"));
    // Fired before midnight (the wall clock was set back): wait for the rest, handle nothing.
    Clock::setNowMs(localMs(2026, 3, 10, 23, 59, 30));
    fireMidnightTimer(rig);
    QCOMPARE(rig.tracker.midnightTimer()->interval(), 30'000);
    QCOMPARE(rig.todaysHistory().size(), 1);

    // Woken from suspend long after midnight: the timer had not counted the sleep; the day turns at once.
    Clock::setNowMs(localMs(2026, 3, 11, 7, 30, 0));
    rig.power.wakeSystem();
    QCOMPARE(rig.todaysHistory().size(), 2);
    QVERIFY(rig.store.isViewingToday());
    QCOMPARE(rig.tracker.nextMidnightMs(), std::optional<qint64>(localMs(2026, 3, 12)));
}

void ProcessTrackerTest::checklistRequestReachesMainThread()
{
    CaptureRig rig(kMorning);
    QThread *deliveredOn = nullptr;
    connect(&rig.tracker, &ProcessTracker::openSetupChecklistRequested, this,
            [&deliveredOn](const QString &) { deliveredOn = QThread::currentThread(); }, Qt::DirectConnection);
    std::thread worker([&rig] { rig.tracker.requestSetupChecklist(); });
    worker.join();
    QTRY_VERIFY(deliveredOn != nullptr);
    QCOMPARE(deliveredOn, QCoreApplication::instance()->thread());
}

QTEST_GUILESS_MAIN(ProcessTrackerTest)
#include "tst_process_tracker.moc"
