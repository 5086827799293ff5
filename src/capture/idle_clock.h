#pragma once
// The idle decision as a pure state machine: given each idle-clock reading, whether an idle period starts, ends or
// nothing happens. An idle period ends only because the clock went down, never because of its size.
#include <QtGlobal>
#include <optional>

class IdleClock
{
public:
    struct Action
    {
        enum class Kind { none, startIdle, endIdle };
        Kind kind = Kind::none;
        qint64 lastActivityMs = 0;   // startIdle only: the moment of the last input, epoch ms

        [[nodiscard]] static Action none() { return {}; }
        [[nodiscard]] static Action startIdle(qint64 lastActivityMs) { return {Kind::startIdle, lastActivityMs}; }
        [[nodiscard]] static Action endIdle() { return {Kind::endIdle, 0}; }
        friend bool operator==(const Action &, const Action &) = default;
    };

    explicit IdleClock(double threshold) : m_threshold(threshold) {}

    // One reading (seconds since the last input) at nowMs; remembers the reading for the next call.
    [[nodiscard]] Action observe(double idleSeconds, qint64 nowMs, bool isIdle);
    // Forgets the previous reading, so the next observation can only set a baseline while idle.
    void resetBaseline() { m_previousIdleSeconds.reset(); }

    [[nodiscard]] double threshold() const { return m_threshold; }
    [[nodiscard]] std::optional<double> previousIdleSeconds() const { return m_previousIdleSeconds; }

private:
    double m_threshold;
    std::optional<double> m_previousIdleSeconds;
};
