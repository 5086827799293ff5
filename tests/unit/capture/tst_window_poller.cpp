#include "repeating_timer.h"
#include "window_poller.h"

#include <QPointer>
#include <QTest>

class WindowPollerTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void rule_data();
    void rule();
    void ticksCallOwnerAndStopWithPoller();
};

void WindowPollerTest::rule_data()
{
    // Operations: s = start, t = stop, a = setAway(true), p = setAway(false).
    QTest::addColumn<QString>("operations");
    QTest::addColumn<bool>("polling");
    QTest::addRow("new poller is idle") << QString() << false;
    QTest::addRow("start polls") << QStringLiteral("s") << true;
    QTest::addRow("away stops") << QStringLiteral("sa") << false;
    QTest::addRow("back from away polls again") << QStringLiteral("sap") << true;
    QTest::addRow("away before start: no polling") << QStringLiteral("as") << false;
    QTest::addRow("stop while away, back: still stopped") << QStringLiteral("satp") << false;
    QTest::addRow("stop") << QStringLiteral("st") << false;
    QTest::addRow("restart") << QStringLiteral("sts") << true;
}

void WindowPollerTest::rule()
{
    QFETCH(QString, operations);
    QFETCH(bool, polling);
    WindowPoller poller([] {});
    const RepeatingTimer *firstTimer = nullptr;
    for (QChar op : operations) {
        switch (op.toLatin1()) {
        case 's': poller.start(); break;
        case 't': poller.stop(); break;
        case 'a': poller.setAway(true); break;
        case 'p': poller.setAway(false); break;
        }
        if (!firstTimer)
            firstTimer = poller.findChild<RepeatingTimer *>();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(poller.isPolling(), polling);
    QCOMPARE(poller.findChildren<RepeatingTimer *>().size(), polling ? 1 : 0);
    if (polling) {
        QCOMPARE(poller.intervalSeconds(), std::optional<double>(2.0));
        QCOMPARE(poller.tolerance(), std::optional<double>(0.2));
        QVERIFY(poller.findChild<RepeatingTimer *>()->isActive());
    } else {
        QVERIFY(!poller.tolerance());
    }
    // A repeated start keeps the running timer rather than adding one.
    if (polling && operations == QStringLiteral("s")) {
        poller.start();
        QCOMPARE(poller.findChild<RepeatingTimer *>(), firstTimer);
    }
}

void WindowPollerTest::ticksCallOwnerAndStopWithPoller()
{
    int ticks = 0;
    auto *poller = new WindowPoller([&ticks] { ++ticks; });
    poller->start();
    QTRY_COMPARE_WITH_TIMEOUT(ticks, 1, 3000);
    const QPointer<RepeatingTimer> timer = poller->findChild<RepeatingTimer *>();
    delete poller;
    QVERIFY(timer.isNull());   // a destroyed poller leaves no timer that could tick
}

QTEST_GUILESS_MAIN(WindowPollerTest)
#include "tst_window_poller.moc"
