#include "idle_clock.h"

#include <QTest>

Q_DECLARE_METATYPE(IdleClock::Action)

namespace {
// One observation: reading, whether the caller was idle, and the expected action. "R" resets the baseline first.
struct Step
{
    double seconds;
    bool isIdle;
    IdleClock::Action expected;
    bool resetFirst = false;
};
constexpr qint64 kNow = 1'000'000;
const IdleClock::Action none = IdleClock::Action::none();
const IdleClock::Action endIdle = IdleClock::Action::endIdle();
IdleClock::Action startAt(double seconds) { return IdleClock::Action::startIdle(kNow - qint64(seconds * 1000)); }
}
Q_DECLARE_METATYPE(QList<Step>)

class IdleClockTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void sequences_data();
    void sequences();
};

void IdleClockTest::sequences_data()
{
    QTest::addColumn<QList<Step>>("steps");
    QTest::addRow("starts on reaching the threshold, not before")
        << QList<Step>{{10, false, none}, {30, false, none}, {59.9, false, none}, {60.0, false, startAt(60.0)}};
    QTest::addRow("start carries the moment of the last input")
        << QList<Step>{{125.5, false, startAt(125.5)}};
    QTest::addRow("idle: equal is not lower, a drop ends")
        << QList<Step>{{120, true, none}, {121, true, none}, {121, true, none}, {3, true, endIdle}};
    QTest::addRow("idle without a baseline cannot end")
        << QList<Step>{{0, true, none}, {5, true, none}};
    QTest::addRow("a short burst ends the period, a later long absence starts another")
        << QList<Step>{{600, true, none}, {2, true, endIdle}, {30, false, none}, {60, false, startAt(60)}};
    QTest::addRow("baseline reset: first sample only records, the next can end")
        << QList<Step>{{200, true, none}, {1, true, none, true}, {0.5, true, endIdle}};
    QTest::addRow("not idle: a drop does nothing")
        << QList<Step>{{50, false, none}, {1, false, none}};
    QTest::addRow("not idle above threshold starts every time it is asked")
        << QList<Step>{{61, false, startAt(61)}, {62, false, startAt(62)}};
}

void IdleClockTest::sequences()
{
    QFETCH(QList<Step>, steps);
    IdleClock clock(60.0);
    QVERIFY(!clock.previousIdleSeconds());
    for (qsizetype i = 0; i < steps.size(); ++i) {
        const Step &step = steps[i];
        if (step.resetFirst)
            clock.resetBaseline();
        const IdleClock::Action action = clock.observe(step.seconds, kNow, step.isIdle);
        QVERIFY2(action == step.expected, qPrintable(QStringLiteral("step %1").arg(i)));
        QCOMPARE(clock.previousIdleSeconds(), std::optional<double>(step.seconds));
    }
}

QTEST_GUILESS_MAIN(IdleClockTest)
#include "tst_idle_clock.moc"
