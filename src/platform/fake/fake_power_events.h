#pragma once
// PowerEvents for tests: the test posts each event itself.
#include "power_events.h"

class FakePowerEvents final : public PowerEvents
{
    Q_OBJECT
public:
    using PowerEvents::PowerEvents;

    void sleepScreens() { Q_EMIT screensDidSleep(); }
    void wakeScreens() { Q_EMIT screensDidWake(); }
    void wakeSystem() { Q_EMIT systemDidWake(); }
};
