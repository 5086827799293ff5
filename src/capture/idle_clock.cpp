#include "idle_clock.h"

#include <cmath>

IdleClock::Action IdleClock::observe(double idleSeconds, qint64 nowMs, bool isIdle)
{
    Action action = Action::none();
    if (isIdle) {
        if (m_previousIdleSeconds && idleSeconds < *m_previousIdleSeconds)
            action = Action::endIdle();
    } else if (idleSeconds >= m_threshold) {
        action = Action::startIdle(nowMs - std::llround(idleSeconds * 1000.0));
    }
    m_previousIdleSeconds = idleSeconds;
    return action;
}
