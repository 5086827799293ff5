#include "repeating_timer.h"

#include <cmath>

RepeatingTimer::RepeatingTimer(double everySeconds, QObject *parent, std::function<void(RepeatingTimer *)> block)
    : QTimer(parent), m_tolerance(everySeconds / 10.0)
{
    setInterval(static_cast<int>(std::lround(everySeconds * 1000.0)));
    setSingleShot(false);
    setTimerType(Qt::CoarseTimer);
    connect(this, &QTimer::timeout, this, [this, block = std::move(block)] { block(this); });
    start();
}

RepeatingTimer *kelvoraRepeating(double everySeconds, QObject *parent, std::function<void(RepeatingTimer *)> block)
{
    return new RepeatingTimer(everySeconds, parent, std::move(block));
}
