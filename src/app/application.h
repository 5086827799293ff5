#pragma once
// The composition root: builds the application's services once, in start order, registers them as the shared
// instances, and runs the launch and shutdown sequences.
#include <QObject>
#include <memory>

class AuthState;
class IdleSource;
class IdleTracker;
class PowerEvents;
class ProcessTracker;
class SegmentStore;
class UrlOpener;
class WindowSystem;

class Application : public QObject
{
    Q_OBJECT
public:
    Application();
    ~Application() override;
    static int run(int argc, char *argv[]);

private:
    void initialise();   // before the event loop: feature flags
    void launch();       // once the event loop runs
    void shutdown();     // when the event loop is about to quit

    // Declared in start order, so they are destroyed in reverse.
    std::unique_ptr<AuthState> m_auth;
    std::unique_ptr<WindowSystem> m_windows;
    std::unique_ptr<IdleSource> m_idleSource;
    std::unique_ptr<PowerEvents> m_power;
    std::unique_ptr<UrlOpener> m_urlOpener;
    std::unique_ptr<SegmentStore> m_store;
    std::unique_ptr<IdleTracker> m_idleTracker;
    std::unique_ptr<ProcessTracker> m_processTracker;
};
