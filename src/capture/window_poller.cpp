#include "window_poller.h"

#include "repeating_timer.h"

WindowPoller::WindowPoller(std::function<void()> onTick, QObject *parent)
    : QObject(parent), m_onTick(std::move(onTick))
{
}

void WindowPoller::start()
{
    m_isRecording = true;
    update();
}

void WindowPoller::stop()
{
    m_isRecording = false;
    update();
}

void WindowPoller::setAway(bool away)
{
    m_isAway = away;
    update();
}

std::optional<double> WindowPoller::tolerance() const
{
    if (!m_timer)
        return std::nullopt;
    return m_timer->tolerance();
}

std::optional<double> WindowPoller::intervalSeconds() const
{
    if (!m_timer)
        return std::nullopt;
    return m_timer->intervalSeconds();
}

void WindowPoller::update()
{
    if (m_isRecording && !m_isAway) {
        if (m_timer)
            return;
        // The timer is the poller's child: a destroyed poller takes it along and never ticks.
        m_timer = kelvoraRepeating(kIntervalSeconds, this, [this](RepeatingTimer *) {
            if (m_onTick)
                m_onTick();
        });
        return;
    }
    // Deferred: this may run inside a tick of the timer being dropped.
    if (m_timer) {
        m_timer->stop();
        m_timer->deleteLater();
        m_timer = nullptr;
    }
}
