#pragma once
// IdleTracker records away-from-keyboard stretches as inactivity segments. While recording it samples the idle
// clock once a second; when IdleClock says an idle period starts (threshold reached, or the screens went to sleep)
// it pauses the process tracker and opens an inactivity segment, and when input returns it closes that segment
// and lets the process tracker capture again.
#include "idle_clock.h"
#include "segment_hierarchy.h"

#include <QMetaObject>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class IdleSource;
class PowerEvents;
class ProcessTracker;
class RepeatingTimer;
class SegmentStore;

class IdleTracker : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isIdle READ isIdle NOTIFY isIdleChanged)
    Q_PROPERTY(int idleSeconds READ idleSeconds NOTIFY idleSecondsChanged)

public:
    static constexpr int kDefaultThreshold = 60;
    static constexpr double kSampleIntervalSeconds = 1.0;

    IdleTracker(SegmentStore &store, IdleSource &idleSource, PowerEvents &power, QObject *parent = nullptr);

    // The application's instance, registered by the composition root; null until then.
    [[nodiscard]] static IdleTracker *shared();
    static void setShared(IdleTracker *tracker);

    // The inactivity segment's fixed names.
    // The same name the activity tree sorts last and relabels, so the two can never drift apart.
    [[nodiscard]] static QString inactivityAppName() { return SegmentHierarchy::inactivityAppName(); }
    [[nodiscard]] static QString inactivityWindowTitle() { return QStringLiteral("Away from keyboard"); }

    // Set by the process tracker when it is built, cleared when it goes away.
    void setProcessTracker(ProcessTracker *tracker) { m_processTracker = tracker; }

    // The system idle clock, through the idle source.
    [[nodiscard]] double systemIdleSeconds();
    // Replaces where readings come from (the tracker reads the idle clock only through it); null restores the
    // system idle clock.
    void setIdleSecondsProvider(std::function<double()> provider);

    [[nodiscard]] int threshold() const { return m_threshold; }
    // Seconds; takes effect for the next reading (the idle clock is rebuilt with it).
    void setThreshold(int seconds);

    void startMonitoring();
    void stopMonitoring();
    // One sample; the 1-second sampler calls it.
    void checkIdleState();
    // After the process tracker closed the open segment at midnight: while idle, the new day gets its own
    // inactivity segment.
    void continueIdleAfterMidnight();

    [[nodiscard]] bool isIdle() const { return m_isIdle; }
    [[nodiscard]] int idleSeconds() const { return m_idleSeconds; }
    [[nodiscard]] bool isMonitoring() const { return m_idleTimer != nullptr; }
    [[nodiscard]] std::optional<double> samplerTolerance() const;
    [[nodiscard]] std::optional<double> samplerIntervalSeconds() const;
    [[nodiscard]] qint64 lastActivityTimeMs() const { return m_lastActivityTimeMs; }
    [[nodiscard]] std::optional<qint64> idleStartTimeMs() const { return m_idleStartTimeMs; }

Q_SIGNALS:
    void isIdleChanged();
    void idleSecondsChanged();

private:
    [[nodiscard]] IdleClock &idleClock();
    void startIdlePeriod();
    void endIdlePeriod();
    void handleScreensDidSleep();
    void handleScreensDidWake();
    // isIdle and idleSeconds: set at once, announced from a queued call after the current handler returns.
    void publishIdle(bool idle, std::optional<int> seconds);
    void publishIdleSeconds(int seconds);
    void notifyLater(void (IdleTracker::*signal)());

    SegmentStore &m_store;
    IdleSource &m_idleSource;
    PowerEvents &m_power;
    ProcessTracker *m_processTracker = nullptr;

    bool m_isIdle = false;
    int m_idleSeconds = 0;
    RepeatingTimer *m_idleTimer = nullptr;   // child of the tracker
    qint64 m_lastActivityTimeMs;
    std::optional<qint64> m_idleStartTimeMs;
    QMetaObject::Connection m_sleepObserver;
    QMetaObject::Connection m_wakeObserver;
    int m_threshold = kDefaultThreshold;
    std::optional<IdleClock> m_idleClock;
    std::function<double()> m_idleSecondsProvider;
};
