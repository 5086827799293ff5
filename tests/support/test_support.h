#pragma once
// Small fixtures shared by the tests.
#include "clock.h"

#include <QString>
#include <QStringList>

namespace TestSupport {

// Path of a program built by this tree (kelvora, kelvora-devservice, …).
[[nodiscard]] QString builtProgram(const QString &name);

// Runs a program to completion; returns its exit code (-1 when it did not start or finish within the timeout).
struct Run { int exitCode = -1; QByteArray out; QByteArray err; };
[[nodiscard]] Run runProgram(const QString &program, const QStringList &args, const QStringList &extraEnv = {},
                             int timeoutMs = 30000);

// Local epoch milliseconds for a wall-clock time in the process's time zone (TZ).
[[nodiscard]] qint64 localMs(int year, int month, int day, int hour = 0, int minute = 0, int second = 0, int ms = 0);

// Freezes the clock for a scope.
class FixedClock
{
public:
    explicit FixedClock(qint64 ms) { Clock::setNowMs(ms); }
    ~FixedClock() { Clock::reset(); }
    FixedClock(const FixedClock &) = delete;
    FixedClock &operator=(const FixedClock &) = delete;
};

} // namespace TestSupport
