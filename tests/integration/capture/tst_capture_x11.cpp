// Recording on a real X server with a real window manager: window switches, a title change, and an idle period
// ended by real input, checked in the history file.
#include "auth_state.h"
#include "clock.h"
#include "config.h"
#include "idle_tracker.h"
#include "platform_services.h"
#include "process_tracker.h"
#include "segment_store.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {

// Runs xdotool; false when it failed. Its output goes to *out when asked for.
[[nodiscard]] bool xdotool(const QStringList &args, QByteArray *out = nullptr)
{
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(10000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return false;
    if (out)
        *out = p.readAllStandardOutput().trimmed();
    return true;
}

// A window that was just mapped may not be managed by the window manager yet: try again for a moment.
[[nodiscard]] bool activate(const QByteArray &window)
{
    for (int attempt = 0; attempt < 30; ++attempt) {
        if (xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), QString::fromLatin1(window)}))
            return true;
        QTest::qWait(100);
    }
    return false;
}

} // namespace

class CaptureX11Test : public QObject
{
    Q_OBJECT
    QTemporaryDir m_configHome;
    QTemporaryDir m_data;
    std::vector<std::unique_ptr<QProcess>> m_windows;

    // Opens an xmessage window with a title and returns its X window id.
    QByteArray openWindow(const QString &title)
    {
        auto p = std::make_unique<QProcess>();
        p->start(QStringLiteral("xmessage"), {QStringLiteral("-title"), title, QStringLiteral("capture test")});
        if (!p->waitForStarted(5000))
            return {};
        m_windows.push_back(std::move(p));
        QByteArray found;
        if (!xdotool({QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                      QStringLiteral("--name"),
                      QLatin1Char('^') + QRegularExpression::escape(title) + QLatin1Char('$')},
                     &found))
            return {};
        return found.split('\n').value(0);
    }

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void recordsSwitchesTitlesAndIdle();
};

void CaptureX11Test::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("needs an X display: run inside scripts/desktop-session.sh");
    for (const char *tool : {"xdotool", "xmessage"})
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
    qputenv("XDG_CONFIG_HOME", m_configHome.path().toUtf8());
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvora"));
    QCoreApplication::setApplicationName(QStringLiteral("Kelvora"));
    Config::enableFlag(Config::kProcessTrackingFlag);
    Config::enableFlag(Config::kIdleTrackingFlag);
}

void CaptureX11Test::cleanupTestCase()
{
    for (auto &p : m_windows) {
        p->kill();
        p->waitForFinished(2000);
    }
}

void CaptureX11Test::recordsSwitchesTitlesAndIdle()
{
    const QByteArray alpha = openWindow(QStringLiteral("Alpha notes for jane@example.com"));
    const QByteArray beta = openWindow(QStringLiteral("Beta"));
    QVERIFY2(!alpha.isEmpty() && !beta.isEmpty(), "xmessage windows did not appear");
    QVERIFY(activate(alpha));

    const DesktopSession session = detectDesktopSession();
    const std::unique_ptr<WindowSystem> windows = createWindowSystem(session);
    const std::unique_ptr<IdleSource> idleSource = createIdleSource(session);
    const std::unique_ptr<PowerEvents> power = createPowerEvents(session);
    QVERIFY2(windows->isTrusted(false), qPrintable(windows->untrustedReason()));
    QCOMPARE(idleSource->backendName(), QStringLiteral("x11-screensaver"));

    StaticAuthState auth(true, QStringLiteral("user-1"));
    SegmentStore store(m_data.path(), [&auth] { return auth.isLoggedIn(); });
    IdleTracker idle(store, *idleSource, *power);
    ProcessTracker tracker(store, auth, *windows, idle, power.get());
    const auto openTitle = [&store] {
        return store.currentOpenSegment() ? store.currentOpenSegment()->windowTitle : QString();
    };

    // Fresh input, so the idle clock starts low.
    QVERIFY(xdotool({QStringLiteral("mousemove"), QStringLiteral("5"), QStringLiteral("5")}));
    tracker.startRecording();
    QVERIFY(tracker.isRecording());
    QCOMPARE(openTitle(), QStringLiteral("Alpha notes for [EMAIL]"));

    QVERIFY(activate(beta));
    QTRY_COMPARE_WITH_TIMEOUT(openTitle(), QStringLiteral("Beta"), 5000);

    // Title changes without a switch reach the tracker on the next poll.
    QVERIFY(xdotool({QStringLiteral("set_window"), QStringLiteral("--name"),
                     QStringLiteral("Beta https://intra.example/x?u=1"), QString::fromLatin1(beta)}));
    QTRY_COMPARE_WITH_TIMEOUT(openTitle(), QStringLiteral("Beta [URL]"), 5000);

    // No input for longer than a short threshold: an inactivity segment, and the poller stops.
    idle.setThreshold(3);
    QVERIFY(xdotool({QStringLiteral("mousemove"), QStringLiteral("40"), QStringLiteral("40")}));
    QTRY_VERIFY_WITH_TIMEOUT(idle.isIdle(), 10000);
    QCOMPARE(store.currentOpenSegment()->appName, QStringLiteral("Inactivity"));
    QVERIFY(!tracker.windowPoller().isPolling());

    // Input again: the inactivity closes, the same window is recorded anew and polling restarts.
    QVERIFY(xdotool({QStringLiteral("mousemove"), QStringLiteral("300"), QStringLiteral("200")}));
    QTRY_VERIFY_WITH_TIMEOUT(!idle.isIdle(), 5000);
    QCOMPARE(openTitle(), QStringLiteral("Beta [URL]"));
    QVERIFY(tracker.windowPoller().isPolling());

    tracker.stopRecording();
    const auto read = SegmentStore::readHistory(store.segmentsFilePath(Clock::now()));
    QCOMPARE(read.status, SegmentStore::HistoryRead::Status::ok);
    QStringList recorded;
    for (const Segment &s : read.history.segments) {
        QVERIFY(!s.isOpen());
        recorded << s.appName + QStringLiteral(": ") + s.windowTitle;
    }
    const QString app = read.history.segments.value(0).appName;
    QVERIFY2(!app.isEmpty() && app != QStringLiteral("Unknown"), qPrintable(app));
    const QStringList expected{app + QStringLiteral(": Alpha notes for [EMAIL]"), app + QStringLiteral(": Beta"),
                               app + QStringLiteral(": Beta [URL]"), QStringLiteral("Inactivity: Away from keyboard"),
                               app + QStringLiteral(": Beta [URL]")};
    QCOMPARE(recorded, expected);
}

QTEST_GUILESS_MAIN(CaptureX11Test)
#include "tst_capture_x11.moc"
