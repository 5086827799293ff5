#pragma once
// Screens asleep / awake and system woke, as one-shot signals on the main thread.
#include <QObject>

class PowerEvents : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

Q_SIGNALS:
    void screensDidSleep();   // displays off, screensaver or lock active
    void screensDidWake();
    void systemDidWake();     // after suspend
};
