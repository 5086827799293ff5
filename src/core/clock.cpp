#include "clock.h"

#include <atomic>
#include <chrono>
#include <limits>

namespace {
constexpr qint64 kWallClock = std::numeric_limits<qint64>::min();
std::atomic<qint64> fixedNow{kWallClock};
}

qint64 Clock::nowMs()
{
    const qint64 fixed = fixedNow.load(std::memory_order_relaxed);
    if (fixed != kWallClock)
        return fixed;
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void Clock::setNowMs(qint64 ms) { fixedNow.store(ms); }
void Clock::advanceMs(qint64 deltaMs) { fixedNow.store(nowMs() + deltaMs); }
void Clock::reset() { fixedNow.store(kWallClock); }
bool Clock::isFixed() { return fixedNow.load() != kWallClock; }
