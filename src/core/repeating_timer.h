#pragma once
// kelvoraRepeating(every:block:): a started, repeating, coarse timer whose tolerance is a tenth of its interval.
// Qt has no per-timer tolerance; CoarseTimer lets the event loop batch wake-ups (about 5%), and tolerance() records
// the intended slack so callers and tests can read it.
#include <QTimer>
#include <functional>

class RepeatingTimer final : public QTimer
{
    Q_OBJECT
public:
    RepeatingTimer(double everySeconds, QObject *parent, std::function<void(RepeatingTimer *)> block);
    [[nodiscard]] double intervalSeconds() const { return interval() / 1000.0; }
    [[nodiscard]] double tolerance() const { return m_tolerance; }

private:
    double m_tolerance;
};

// The timer is owned by parent (its callbacks stop with it); delete the timer to stop it.
RepeatingTimer *kelvoraRepeating(double everySeconds, QObject *parent, std::function<void(RepeatingTimer *)> block);
