#pragma once
// The one source of "now" for the recording core. Wall clock by default; tests set or advance it instead of sleeping.
#include <QDateTime>
#include <QtGlobal>

class Clock
{
public:
    // Wall-clock seconds since the epoch times 1000, truncated toward zero.
    [[nodiscard]] static qint64 nowMs();
    [[nodiscard]] static QDateTime now() { return QDateTime::fromMSecsSinceEpoch(nowMs()); }

    // Test seam: freeze the clock at a value, move it, or go back to the wall clock.
    static void setNowMs(qint64 ms);
    static void advanceMs(qint64 deltaMs);
    static void reset();
    [[nodiscard]] static bool isFixed();
};
