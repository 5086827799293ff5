#pragma once
// ProcessTracker turns the frontmost application and its focused window's (redacted) title into process segments
// while recording is on. Three stimuli drive it: the desktop's activation signal (application switches), the
// 2-second window poller (title changes) and a one-shot timer at the next local midnight. Every segment goes
// through the segment store, which decides whether it is actually opened.
#include "window_poller.h"

#include <QMetaObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <optional>

class AuthState;
class IdleTracker;
class PowerEvents;
class QTimer;
class SegmentStore;
class WindowSystem;

class ProcessTracker : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isRecording READ isRecording NOTIFY isRecordingChanged)
    Q_PROPERTY(QString currentApp READ currentApp NOTIFY currentAppChanged)
    Q_PROPERTY(QString currentWindow READ currentWindow NOTIFY currentWindowChanged)

public:
    // The tracker attaches itself to the idle tracker, which pauses and resumes it around idle periods.
    // power (optional): after a system suspend the midnight timer is re-checked against the wall clock, because
    // the event loop's timers do not count the time the machine slept.
    ProcessTracker(SegmentStore &store, AuthState &auth, WindowSystem &windows, IdleTracker &idle,
                   PowerEvents *power = nullptr, QObject *parent = nullptr);
    ~ProcessTracker() override;

    // The application's instance, registered by the composition root; null until then.
    [[nodiscard]] static ProcessTracker *shared();
    static void setShared(ProcessTracker *tracker);

    // Application names (exact, case-sensitive) and application ids that are never recorded: the session's login,
    // lock and greeter screens.
    [[nodiscard]] static const QSet<QString> &excludedProcesses();
    [[nodiscard]] static const QSet<QString> &excludedApplicationIds();

    // An application switch is captured exactly while recording and not away.
    [[nodiscard]] static bool capturesAppSwitch(bool isRecording, bool isAway) { return isRecording && !isAway; }

    [[nodiscard]] bool isRecording() const { return m_isRecording; }
    [[nodiscard]] QString currentApp() const { return m_currentApp; }
    [[nodiscard]] QString currentWindow() const { return m_currentWindow; }

    void startRecording();
    void stopRecording();
    void toggleRecording();
    void setAway(bool away);
    // After the idle tracker closed an inactivity segment: capture again (only while recording).
    void resumeAfterIdle();
    void captureCurrentWindow();
    // Asks the menu-bar shell to open the setup checklist; safe from any thread (delivered on the main thread).
    void requestSetupChecklist();
    // The midnight timer's work: hygiene, then close the day's segment and continue in the new day.
    void handleMidnight();
    // The "AuthStateChanged" observer.
    void handleAuthStateChanged(const QString &action, const QString &reason);

    // Observable state for the shell and tests.
    [[nodiscard]] WindowPoller &windowPoller();
    [[nodiscard]] bool hasActivationObserver() const { return static_cast<bool>(m_workspaceObserver); }
    [[nodiscard]] const QTimer *midnightTimer() const { return m_midnightTimer; }
    // Wall-clock epoch ms the midnight timer aims at; nullopt when none is scheduled.
    [[nodiscard]] std::optional<qint64> nextMidnightMs() const;

Q_SIGNALS:
    void isRecordingChanged();
    void currentAppChanged();
    void currentWindowChanged();
    void processTrackerStarted();    // "ProcessTrackerStarted"
    void processTrackerStopped();    // "ProcessTrackerStopped"
    // "KelvoraOpenSetupChecklist"; source is "processTracker".
    void openSetupChecklistRequested(const QString &source);

private:
    void setRecording(bool recording);
    void setCurrent(const QString &app, const QString &window);
    // The remembered pair only stands for a segment while the store still has it open; whoever else closes the
    // tracker's segment (stop, the idle tracker, midnight, a day switch) makes the next capture open a new one.
    void forgetCapturedWindow() { setCurrent({}, {}); }
    [[nodiscard]] bool storeStillRecordsCurrent() const;
    void scheduleMidnightCheck();
    void onMidnightTimer();
    void cancelMidnightCheck();

    SegmentStore &m_store;
    AuthState &m_auth;
    WindowSystem &m_windows;
    IdleTracker *m_idle;   // cleared if it goes away first

    bool m_isRecording = false;
    QString m_currentApp;
    QString m_currentWindow;
    QMetaObject::Connection m_workspaceObserver;
    QTimer *m_midnightTimer = nullptr;
    qint64 m_midnightTargetMs = 0;
    WindowPoller *m_windowPoller = nullptr;
};
