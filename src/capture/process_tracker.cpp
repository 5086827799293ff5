#include "process_tracker.h"

#include "auth_state.h"
#include "capture_log.h"
#include "clock.h"
#include "config.h"
#include "idle_tracker.h"
#include "power_events.h"
#include "segment_store.h"
#include "title_redaction.h"
#include "window_system.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>

namespace {
QPointer<ProcessTracker> sharedTracker;
}

ProcessTracker *ProcessTracker::shared() { return sharedTracker.data(); }
void ProcessTracker::setShared(ProcessTracker *tracker) { sharedTracker = tracker; }

const QSet<QString> &ProcessTracker::excludedProcesses()
{
    static const QSet<QString> names{
        QStringLiteral("loginwindow"), QStringLiteral("ScreenSaverEngine"), QStringLiteral("SecurityAgent"),
        QStringLiteral("UserNotificationCenter"), QStringLiteral("SystemUIServer"),
        // Screen lockers and greeters on X11 desktops, by display name and by WM_CLASS class (what the window
        // system reports when no .desktop file names them). They take the focus while the person is away, so
        // recording them would count a locked screen as work.
        QStringLiteral("XScreenSaver"), QStringLiteral("xscreensaver"), QStringLiteral("Xscreensaver"),
        QStringLiteral("light-locker"), QStringLiteral("Light-locker"), QStringLiteral("i3lock"),
        QStringLiteral("I3lock"), QStringLiteral("xsecurelock"), QStringLiteral("Xsecurelock"),
        QStringLiteral("slock"), QStringLiteral("Slock"), QStringLiteral("xlock"), QStringLiteral("XLock"),
        QStringLiteral("gnome-screensaver"), QStringLiteral("Gnome-screensaver"),
        QStringLiteral("GNOME Screensaver"), QStringLiteral("mate-screensaver"), QStringLiteral("Mate-screensaver"),
        QStringLiteral("cinnamon-screensaver"), QStringLiteral("Cinnamon-screensaver"),
        QStringLiteral("xfce4-screensaver"), QStringLiteral("Xfce4-screensaver"),
        QStringLiteral("kscreenlocker_greet"), QStringLiteral("lightdm-gtk-greeter"),
        QStringLiteral("Lightdm-gtk-greeter"), QStringLiteral("slick-greeter"), QStringLiteral("Slick-greeter"),
        QStringLiteral("unity-greeter"), QStringLiteral("Unity-greeter"), QStringLiteral("lightdm-webkit2-greeter"),
        QStringLiteral("Lightdm-webkit2-greeter"), QStringLiteral("gdm-greeter"), QStringLiteral("sddm-greeter"),
        QStringLiteral("Sddm-greeter"),
    };
    return names;
}

const QSet<QString> &ProcessTracker::excludedApplicationIds()
{
    // Desktop-file ids (or WM_CLASS instances) of the same programs.
    static const QSet<QString> ids{
        QStringLiteral("com.apple.loginwindow"), QStringLiteral("xscreensaver"), QStringLiteral("light-locker"),
        QStringLiteral("i3lock"), QStringLiteral("xsecurelock"), QStringLiteral("slock"), QStringLiteral("xlock"),
        QStringLiteral("gnome-screensaver"), QStringLiteral("org.gnome.ScreenSaver"),
        QStringLiteral("mate-screensaver"), QStringLiteral("cinnamon-screensaver"),
        QStringLiteral("xfce4-screensaver"), QStringLiteral("kscreenlocker_greet"),
        QStringLiteral("lightdm-gtk-greeter"), QStringLiteral("slick-greeter"), QStringLiteral("unity-greeter"),
        QStringLiteral("lightdm-webkit2-greeter"), QStringLiteral("gdm-greeter"), QStringLiteral("sddm-greeter"),
    };
    return ids;
}

ProcessTracker::ProcessTracker(SegmentStore &store, AuthState &auth, WindowSystem &windows, IdleTracker &idle,
                               PowerEvents *power, QObject *parent)
    : QObject(parent), m_store(store), m_auth(auth), m_windows(windows), m_idle(&idle)
{
    idle.setProcessTracker(this);
    connect(&idle, &QObject::destroyed, this, [this] { m_idle = nullptr; });
    connect(&m_auth, &AuthState::authStateChanged, this, &ProcessTracker::handleAuthStateChanged);
    if (power)
        connect(power, &PowerEvents::systemDidWake, this, [this] {
            if (m_midnightTimer)
                onMidnightTimer();
        });
}

ProcessTracker::~ProcessTracker()
{
    if (m_idle)
        m_idle->setProcessTracker(nullptr);
}

WindowPoller &ProcessTracker::windowPoller()
{
    if (!m_windowPoller) {
        // The poller is this object's child: its ticks end with the tracker.
        m_windowPoller = new WindowPoller([this] { captureCurrentWindow(); }, this);
    }
    return *m_windowPoller;
}

void ProcessTracker::setRecording(bool recording)
{
    if (m_isRecording == recording)
        return;
    m_isRecording = recording;
    Q_EMIT isRecordingChanged();
}

void ProcessTracker::setCurrent(const QString &app, const QString &window)
{
    if (m_currentApp != app) {
        m_currentApp = app;
        Q_EMIT currentAppChanged();
    }
    if (m_currentWindow != window) {
        m_currentWindow = window;
        Q_EMIT currentWindowChanged();
    }
}

void ProcessTracker::startRecording()
{
    if (!Config::processTrackingEnabled()) {
        qCDebug(lcProcessTracker) << "Process tracking is disabled; not recording";
        return;
    }
    if (!m_auth.isLoggedIn()) {
        qCDebug(lcProcessTracker) << "Nobody is signed in; not recording";
        return;
    }
    if (m_isRecording)
        return;
    if (!m_windows.isTrusted(false)) {
        qCDebug(lcProcessTracker).noquote() << "Windows cannot be read; asking for the setup checklist:"
                                            << m_windows.untrustedReason();
        requestSetupChecklist();
        return;
    }

    setRecording(true);
    m_store.goToToday();
    forgetCapturedWindow();
    captureCurrentWindow();
    m_workspaceObserver = connect(&m_windows, &WindowSystem::applicationActivated, this, [this] {
        if (capturesAppSwitch(m_isRecording, windowPoller().isAway()))
            captureCurrentWindow();
    });

    windowPoller().start();
    if (m_idle)
        m_idle->startMonitoring();
    scheduleMidnightCheck();
    qCDebug(lcProcessTracker) << "Recording started";
    Q_EMIT processTrackerStarted();
}

void ProcessTracker::stopRecording()
{
    if (!m_isRecording)
        return;
    setRecording(false);
    if (m_workspaceObserver) {
        disconnect(m_workspaceObserver);
        m_workspaceObserver = {};
    }
    if (m_idle)
        m_idle->stopMonitoring();
    windowPoller().stop();
    cancelMidnightCheck();
    m_store.closeCurrentSegment();
    forgetCapturedWindow();
    qCDebug(lcProcessTracker) << "Recording stopped";
    Q_EMIT processTrackerStopped();
}

void ProcessTracker::toggleRecording()
{
    if (m_isRecording)
        stopRecording();
    else
        startRecording();
}

void ProcessTracker::setAway(bool away) { windowPoller().setAway(away); }

void ProcessTracker::resumeAfterIdle()
{
    // Only reached while not recording when a stop ends a running idle period; resuming would fight that stop.
    if (!m_isRecording)
        return;
    forgetCapturedWindow();
    captureCurrentWindow();
    qCDebug(lcProcessTracker) << "Resumed after idle";
}

bool ProcessTracker::storeStillRecordsCurrent() const
{
    const std::optional<Segment> &open = m_store.currentOpenSegment();
    return open && open->type == SegmentType::process && open->appName == m_currentApp
        && open->windowTitle == m_currentWindow;
}

void ProcessTracker::captureCurrentWindow()
{
    const std::optional<FrontmostApplication> app = m_windows.frontmostApplication();
    if (!app) {
        qCDebug(lcProcessTracker) << "No frontmost application";
        return;
    }
    const QString appName = app->localizedName && !app->localizedName->isEmpty() ? *app->localizedName
                                                                                  : QStringLiteral("Unknown");
    const QString bundleId = app->bundleIdentifier.value_or(QString());
    if (excludedProcesses().contains(appName)) {
        qCDebug(lcProcessTracker).noquote() << QStringLiteral("Skipping excluded process: %1").arg(appName);
        return;
    }
    if (excludedApplicationIds().contains(bundleId)) {
        qCDebug(lcProcessTracker).noquote() << QStringLiteral("Skipping excluded application id: %1").arg(bundleId);
        return;
    }
    const QString title = redactSensitive(m_windows.focusedWindowTitle(app->processIdentifier).value_or(QString()));

    if (appName == m_currentApp && title == m_currentWindow && storeStillRecordsCurrent())
        return;
    setCurrent(appName, title);
    m_store.startSegment(appName, title, SegmentType::process);
}

void ProcessTracker::requestSetupChecklist()
{
    QThread *mainThread = QCoreApplication::instance() ? QCoreApplication::instance()->thread() : thread();
    if (QThread::currentThread() == mainThread) {
        Q_EMIT openSetupChecklistRequested(QStringLiteral("processTracker"));
        return;
    }
    QMetaObject::invokeMethod(
        this, [this] { Q_EMIT openSetupChecklistRequested(QStringLiteral("processTracker")); },
        Qt::QueuedConnection);
}

std::optional<qint64> ProcessTracker::nextMidnightMs() const
{
    if (!m_midnightTimer)
        return std::nullopt;
    return m_midnightTargetMs;
}

void ProcessTracker::scheduleMidnightCheck()
{
    const QDateTime now = Clock::now();
    const QDateTime tomorrow = now.addDays(1);
    if (!tomorrow.isValid())
        return;
    // startOfDay: the first valid moment, also where a time-zone change skips 00:00.
    const QDateTime nextMidnight = tomorrow.date().startOfDay();
    if (!nextMidnight.isValid())
        return;
    const qint64 delayMs = now.msecsTo(nextMidnight);
    qCDebug(lcProcessTracker).noquote()
        << QStringLiteral("Next midnight check scheduled in %1 seconds").arg(delayMs / 1000);

    cancelMidnightCheck();
    m_midnightTargetMs = nextMidnight.toMSecsSinceEpoch();
    m_midnightTimer = new QTimer(this);
    m_midnightTimer->setSingleShot(true);
    // Precise: a coarse timer of this length may fire a moment before midnight.
    m_midnightTimer->setTimerType(Qt::PreciseTimer);
    m_midnightTimer->setInterval(std::chrono::milliseconds(delayMs));
    connect(m_midnightTimer, &QTimer::timeout, this, &ProcessTracker::onMidnightTimer);
    m_midnightTimer->start();
}

void ProcessTracker::onMidnightTimer()
{
    // Timers run on the monotonic clock, which stands still while the machine sleeps, and the wall clock may have
    // been set: the handler runs only once local midnight has really passed, otherwise the timer waits the rest.
    const qint64 remainingMs = m_midnightTargetMs - Clock::nowMs();
    if (remainingMs > 0) {
        m_midnightTimer->start(std::chrono::milliseconds(remainingMs));
        return;
    }
    handleMidnight();
}

void ProcessTracker::cancelMidnightCheck()
{
    if (m_midnightTimer) {
        m_midnightTimer->stop();
        m_midnightTimer->deleteLater();
        m_midnightTimer = nullptr;
    }
}

void ProcessTracker::handleMidnight()
{
    m_store.pruneHistoryIfDayChanged();
    if (!m_isRecording)
        return;
    qCDebug(lcProcessTracker) << "Midnight: closing the day's segment";
    m_store.closeCurrentSegment();
    forgetCapturedWindow();
    // The store takes the new day's first segment only once today is selected, so select it before capturing.
    m_store.goToToday();
    if (m_idle && m_idle->isIdle())
        m_idle->continueIdleAfterMidnight();
    else
        captureCurrentWindow();
    scheduleMidnightCheck();
}

void ProcessTracker::handleAuthStateChanged(const QString &action, const QString &reason)
{
    Q_UNUSED(reason);
    if (action != QLatin1String("logout") || !m_isRecording)
        return;
    QMetaObject::invokeMethod(this, &ProcessTracker::stopRecording, Qt::QueuedConnection);
    qCDebug(lcProcessTracker) << "Signed out: stopping recording";
}
