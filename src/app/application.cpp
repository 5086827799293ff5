#include "application.h"

#include "config.h"
#include "log.h"

#include <QCoreApplication>
#include <QTimer>
#include <csignal>

int Application::run(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Log::applyVerbosity();
    Application kelvora;
    kelvora.initialise();
    QTimer::singleShot(0, &kelvora, &Application::launch);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &kelvora, &Application::shutdown);
    // SIGINT / SIGTERM end the loop normally so the shutdown sequence closes the open segment.
    for (int sig : {SIGINT, SIGTERM})
        std::signal(sig, [](int) { QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection); });
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
    qInfo("[Kelvora2] App launched - Sprint 04: Realtime Sync");
}

void Application::shutdown()
{
    if (Config::isRunningTests())
        return;
    qInfo("[Kelvora2] App terminated");
}
