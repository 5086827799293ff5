#pragma once
// An IdleSource for tests: the reading is whatever the test set last.
#include "idle_source.h"

class FakeIdleSource final : public IdleSource
{
    Q_OBJECT
public:
    using IdleSource::IdleSource;

    double secondsSinceLastInput() override
    {
        ++m_reads;
        return m_seconds;
    }
    QString backendName() const override { return QStringLiteral("fake"); }

    void setSeconds(double seconds) { m_seconds = seconds; }
    [[nodiscard]] int reads() const { return m_reads; }

private:
    double m_seconds = 0.0;
    int m_reads = 0;
};
