#include "application.h"

#include "auth_state.h"
#include "config.h"
#include "idle_tracker.h"
#include "log.h"
#include "platform_services.h"
#include "process_tracker.h"
#include "segment_store.h"
#include "unix_signals.h"

#include <QCoreApplication>
#include <QTimer>

namespace {
// Until sign-in exists, the headless recorder records for a local account named by KELVORA_USER_ID.
QString localUserId() { return qEnvironmentVariable("KELVORA_USER_ID", QStringLiteral("local")); }
} // namespace

Application::Application() = default;

Application::~Application()
{
    // The trackers refer to the store and the platform services: let them go first.
    m_processTracker.reset();
    m_idleTracker.reset();
}

int Application::run(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Log::applyVerbosity();
    Application kelvora;
    kelvora.initialise();
    QTimer::singleShot(0, &kelvora, &Application::launch);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &kelvora, &Application::shutdown);
    // SIGINT / SIGTERM / SIGHUP end the loop normally, so the shutdown sequence closes the open segment.
    UnixSignals::quitOnTermination(&app);
    return app.exec();
}

void Application::initialise()
{
    if (Config::isRunningTests())
        return;
    for (const char *flag : {Config::kProcessTrackingFlag, Config::kIdleTrackingFlag, Config::kApiSyncFlag,
                             Config::kAuthFlowFlag, Config::kRealtimeSyncFlag})
        Config::enableFlag(flag);
    qInfo("[Kelvora] Feature flags enabled in App.init()");
}

void Application::launch()
{
    if (Config::isRunningTests()) {
        qInfo("[Kelvora] Test host - menu bar and URL scheme skipped");
        return;
    }

    const auto userId = Config::safeUserId(localUserId());
    if (!userId) {
        qCritical("[Kelvora] KELVORA_USER_ID must be a plain folder name");
        QCoreApplication::exit(2);
        return;
    }
    m_auth = std::make_unique<StaticAuthState>(true, *userId);
    AuthState::setShared(m_auth.get());

    const DesktopSession session = detectDesktopSession();
    m_windows = createWindowSystem(session);
    m_idleSource = createIdleSource(session);
    m_power = createPowerEvents(session);
    m_urlOpener = createUrlOpener();

    AuthState *auth = m_auth.get();
    m_store = std::make_unique<SegmentStore>(std::nullopt, [auth] { return auth->isLoggedIn(); }, auth);
    SegmentStore::setShared(m_store.get());
    m_idleTracker = std::make_unique<IdleTracker>(*m_store, *m_idleSource, *m_power);
    IdleTracker::setShared(m_idleTracker.get());
    m_processTracker = std::make_unique<ProcessTracker>(*m_store, *m_auth, *m_windows, *m_idleTracker, m_power.get());
    ProcessTracker::setShared(m_processTracker.get());

    qInfo("[Kelvora2] App launched - Sprint 04: Realtime Sync");

    // No tray yet: the headless recorder starts recording at once and says where the history goes.
    qInfo("[Kelvora] Headless recorder: no tray or sign-in yet. Recording as local user '%s' into %s "
          "(windows: %s, idle: %s). Ctrl+C stops and closes the open segment.",
          qUtf8Printable(*userId), qUtf8Printable(Config::dataDirectory()), qUtf8Printable(m_windows->backendName()),
          qUtf8Printable(m_idleSource->backendName()));
    if (!m_windows->isTrusted(false))
        qWarning("[Kelvora] Windows cannot be read: %s", qUtf8Printable(m_windows->untrustedReason()));
    m_processTracker->startRecording();
}

void Application::shutdown()
{
    if (Config::isRunningTests() || !m_processTracker)
        return;
    m_processTracker->stopRecording();
    m_idleTracker->stopMonitoring();
    qInfo("[Kelvora2] App terminated");
}
