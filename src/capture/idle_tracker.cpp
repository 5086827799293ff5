#include "idle_tracker.h"

#include "capture_log.h"
#include "clock.h"
#include "config.h"
#include "idle_source.h"
#include "power_events.h"
#include "process_tracker.h"
#include "repeating_timer.h"
#include "segment_store.h"

#include <QPointer>
#include <algorithm>
#include <cmath>

namespace {
QPointer<IdleTracker> sharedTracker;
// About 68 years: keeps every conversion to whole seconds and milliseconds in range.
constexpr double kMaxReadingSeconds = 2147483647.0;
}


IdleTracker *IdleTracker::shared() { return sharedTracker.data(); }
void IdleTracker::setShared(IdleTracker *tracker) { sharedTracker = tracker; }

IdleTracker::IdleTracker(SegmentStore &store, IdleSource &idleSource, PowerEvents &power, QObject *parent)
    : QObject(parent), m_store(store), m_idleSource(idleSource), m_power(power), m_lastActivityTimeMs(Clock::nowMs())
{
}

double IdleTracker::systemIdleSeconds() { return m_idleSource.secondsSinceLastInput(); }

void IdleTracker::setIdleSecondsProvider(std::function<double()> provider)
{
    m_idleSecondsProvider = std::move(provider);
}

void IdleTracker::setThreshold(int seconds)
{
    m_threshold = seconds;
    m_idleClock.reset();
}

IdleClock &IdleTracker::idleClock()
{
    if (!m_idleClock)
        m_idleClock.emplace(static_cast<double>(m_threshold));
    return *m_idleClock;
}

std::optional<double> IdleTracker::samplerTolerance() const
{
    if (!m_idleTimer)
        return std::nullopt;
    return m_idleTimer->tolerance();
}

std::optional<double> IdleTracker::samplerIntervalSeconds() const
{
    if (!m_idleTimer)
        return std::nullopt;
    return m_idleTimer->intervalSeconds();
}

void IdleTracker::startMonitoring()
{
    if (!Config::idleTrackingEnabled()) {
        qCDebug(lcIdleTracker) << "Idle tracking is disabled; not monitoring";
        return;
    }
    // A second start without a stop would leave a second sampler and double observers behind.
    if (m_idleTimer)
        return;
    m_sleepObserver = connect(&m_power, &PowerEvents::screensDidSleep, this, &IdleTracker::handleScreensDidSleep);
    m_wakeObserver = connect(&m_power, &PowerEvents::screensDidWake, this, &IdleTracker::handleScreensDidWake);
    // The sampler is this object's child: a destroyed tracker takes it along and never samples.
    m_idleTimer = kelvoraRepeating(kSampleIntervalSeconds, this, [this](RepeatingTimer *) { checkIdleState(); });
    qCDebug(lcIdleTracker).noquote()
        << QStringLiteral("Started idle monitoring from the system idle clock (threshold: %1s)").arg(m_threshold);
}

void IdleTracker::stopMonitoring()
{
    if (m_sleepObserver)
        disconnect(m_sleepObserver);
    if (m_wakeObserver)
        disconnect(m_wakeObserver);
    m_sleepObserver = {};
    m_wakeObserver = {};
    // Deferred: this may run inside a tick of the sampler itself.
    if (m_idleTimer) {
        m_idleTimer->stop();
        m_idleTimer->deleteLater();
        m_idleTimer = nullptr;
    }
    if (m_isIdle)
        endIdlePeriod();
    qCDebug(lcIdleTracker) << "Stopped idle monitoring";
}

void IdleTracker::checkIdleState()
{
    double seconds = m_idleSecondsProvider ? m_idleSecondsProvider() : systemIdleSeconds();
    // Sources promise finite, non-negative readings; a broken one must not reach the integer conversions below.
    if (!std::isfinite(seconds) || seconds < 0)
        seconds = 0;
    seconds = std::min(seconds, kMaxReadingSeconds);
    const qint64 now = Clock::nowMs();
    m_lastActivityTimeMs = now - std::llround(seconds * 1000.0);
    publishIdleSeconds(static_cast<int>(seconds));
    const IdleClock::Action action = idleClock().observe(seconds, now, m_isIdle);
    switch (action.kind) {
    case IdleClock::Action::Kind::startIdle:
        startIdlePeriod();
        break;
    case IdleClock::Action::Kind::endIdle:
        endIdlePeriod();
        break;
    case IdleClock::Action::Kind::none:
        break;
    }
}

void IdleTracker::startIdlePeriod()
{
    if (m_isIdle)
        return;
    publishIdle(true, std::nullopt);
    m_idleStartTimeMs = m_lastActivityTimeMs;
    if (m_processTracker)
        m_processTracker->setAway(true);
    // Opened now, not at the last input: the absence before the detection stays in the process segment.
    m_store.startSegment(inactivityAppName(), inactivityWindowTitle(), SegmentType::inactivity);
    qCDebug(lcIdleTracker).noquote() << QStringLiteral("Idle period started (threshold: %1s)").arg(m_threshold);
}

void IdleTracker::endIdlePeriod()
{
    if (!m_isIdle)
        return;
    publishIdle(false, 0);
    m_store.closeCurrentSegment();
    if (m_idleStartTimeMs) {
        qCDebug(lcIdleTracker).noquote()
            << QStringLiteral("Idle period ended (duration: %1s)").arg((Clock::nowMs() - *m_idleStartTimeMs) / 1000);
        m_idleStartTimeMs.reset();
    }
    if (m_processTracker) {
        m_processTracker->setAway(false);
        m_processTracker->resumeAfterIdle();
    }
}

void IdleTracker::handleScreensDidSleep()
{
    qCDebug(lcIdleTracker) << "Screens did sleep";
    if (!m_isIdle)
        startIdlePeriod();
    if (m_processTracker)
        m_processTracker->setAway(true);
}

void IdleTracker::handleScreensDidWake()
{
    // Waking ends nothing: the next sample only sets a baseline, a later lower one ends the period.
    qCDebug(lcIdleTracker) << "Screens did wake";
    idleClock().resetBaseline();
}

void IdleTracker::continueIdleAfterMidnight()
{
    if (!m_isIdle)
        return;
    m_store.startSegment(inactivityAppName(), inactivityWindowTitle(), SegmentType::inactivity);
    qCDebug(lcIdleTracker) << "Continued the idle period into the new day";
}

void IdleTracker::publishIdle(bool idle, std::optional<int> seconds)
{
    // The value changes at once, so every guard sees the period that is really running (a stop in the same turn
    // as a screens-asleep event must end that period); observers are told after the current handler returns.
    if (m_isIdle != idle) {
        m_isIdle = idle;
        notifyLater(&IdleTracker::isIdleChanged);
    }
    if (seconds)
        publishIdleSeconds(*seconds);
}

void IdleTracker::publishIdleSeconds(int seconds)
{
    if (m_idleSeconds == seconds)
        return;
    m_idleSeconds = seconds;
    notifyLater(&IdleTracker::idleSecondsChanged);
}

void IdleTracker::notifyLater(void (IdleTracker::*signal)())
{
    QMetaObject::invokeMethod(this, [this, signal] { Q_EMIT(this->*signal)(); }, Qt::QueuedConnection);
}
