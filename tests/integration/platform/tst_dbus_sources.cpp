// Screens asleep / awake, system woke and the Wayland idle clocks, against python3-dbusmock services on private
// buses (one standing in for the session bus, one for the system bus).
#include "idle_sources.h"
#include "linux_power_events.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <vector>

namespace {

const QString kFreedesktopSaver = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kGnomeSaver = QStringLiteral("org.gnome.ScreenSaver");
const QString kLogin1 = QStringLiteral("org.freedesktop.login1");
const QString kMutter = QStringLiteral("org.gnome.Mutter.IdleMonitor");

struct Service
{
    QString path;
    QString interface;
};

Service serviceFor(const QString &name)
{
    if (name == kFreedesktopSaver)
        return {QStringLiteral("/org/freedesktop/ScreenSaver"), kFreedesktopSaver};
    if (name == kGnomeSaver)
        return {QStringLiteral("/org/gnome/ScreenSaver"), kGnomeSaver};
    if (name == kMutter)
        return {QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"), kMutter};
    return {QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager")};
}

} // namespace

class TestDBusSources : public QObject
{
    Q_OBJECT

    std::vector<std::unique_ptr<QProcess>> m_processes;
    QDBusConnection m_session{QString()};
    QDBusConnection m_system{QString()};
    QString m_sessionAddress;

    // A private dbus-daemon; returns its address.
    QString startBus()
    {
        auto &p = m_processes.emplace_back(std::make_unique<QProcess>());
        p->start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                 QStringLiteral("--print-address=1")});
        if (!p->waitForReadyRead(10000))
            return {};
        return QString::fromLatin1(p->readLine().trimmed());
    }

    // A dbusmock service on the given bus; waits until it owns its name.
    bool startMock(const QDBusConnection &bus, const QString &address, bool system, const QString &name)
    {
        auto &p = m_processes.emplace_back(std::make_unique<QProcess>());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(system ? QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS") : QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   address);
        p->setProcessEnvironment(env);
        QStringList args{QStringLiteral("-m"), QStringLiteral("dbusmock")};
        if (system)
            args << QStringLiteral("--system");
        if (name == kLogin1)
            args << QStringLiteral("--template") << QStringLiteral("logind");
        else
            args << name << serviceFor(name).path << serviceFor(name).interface;
        p->start(QStringLiteral("/usr/bin/python3"), args);
        for (int i = 0; i < 200; ++i) {
            if (bus.interface()->isServiceRegistered(name))
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    static bool mockCall(const QDBusConnection &bus, const QString &name, const QString &method,
                         const QVariantList &args)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(name, serviceFor(name).path,
                                                           QStringLiteral("org.freedesktop.DBus.Mock"), method);
        call.setArguments(args);
        return bus.call(call).type() == QDBusMessage::ReplyMessage;
    }
    static bool emitFromMock(const QDBusConnection &bus, const QString &name, const QString &signal, bool value)
    {
        return mockCall(bus, name, QStringLiteral("EmitSignal"),
                        {serviceFor(name).interface, signal, QStringLiteral("b"), QVariantList{value}});
    }
    static bool addMethod(const QDBusConnection &bus, const QString &name, const QString &method,
                          const QString &outSignature, const QString &code)
    {
        return mockCall(bus, name, QStringLiteral("AddMethod"), {QString(), method, QString(), outSignature, code});
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_sessionAddress = startBus();
        const QString &sessionAddress = m_sessionAddress;
        const QString systemAddress = startBus();
        QVERIFY(!sessionAddress.isEmpty() && !systemAddress.isEmpty());
        m_session = QDBusConnection::connectToBus(sessionAddress, QStringLiteral("kelvora-test-session"));
        m_system = QDBusConnection::connectToBus(systemAddress, QStringLiteral("kelvora-test-system"));
        QVERIFY(m_session.isConnected() && m_system.isConnected());
        QVERIFY(startMock(m_session, sessionAddress, false, kFreedesktopSaver));
        QVERIFY(startMock(m_session, sessionAddress, false, kGnomeSaver));
        QVERIFY(startMock(m_system, systemAddress, true, kLogin1));
    }

    void cleanupTestCase()
    {
        for (auto it = m_processes.rbegin(); it != m_processes.rend(); ++it) {
            (*it)->kill();
            (*it)->waitForFinished(3000);
        }
    }

    void screensaverActivityIsScreenSleep_data()
    {
        QTest::addColumn<QString>("service");
        QTest::addRow("freedesktop") << kFreedesktopSaver;
        QTest::addRow("gnome") << kGnomeSaver;
    }
    void screensaverActivityIsScreenSleep()
    {
        QFETCH(QString, service);
        LinuxPowerEvents events(m_session, m_system, nullptr);
        QSignalSpy slept(&events, &PowerEvents::screensDidSleep);
        QSignalSpy woke(&events, &PowerEvents::screensDidWake);
        QVERIFY(emitFromMock(m_session, service, QStringLiteral("ActiveChanged"), true));
        QVERIFY(slept.wait(3000));
        // Told twice, announced once.
        QVERIFY(emitFromMock(m_session, service, QStringLiteral("ActiveChanged"), true));
        QVERIFY(emitFromMock(m_session, service, QStringLiteral("ActiveChanged"), false));
        QVERIFY(woke.wait(3000));
        QCOMPARE(slept.size(), 1);
        QCOMPARE(woke.size(), 1);
    }

    // Anyone on the bus can send a signal that looks like the screensaver's; only the name's owner counts.
    void lookAlikeSignalIsIgnored()
    {
        LinuxPowerEvents events(m_session, m_system, nullptr);
        QSignalSpy slept(&events, &PowerEvents::screensDidSleep);
        QDBusMessage fake = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/ScreenSaver"),
                                                       kFreedesktopSaver, QStringLiteral("ActiveChanged"));
        fake << true;
        QVERIFY(m_session.send(fake));
        QVERIFY(!slept.wait(500));
    }

    void systemWokeAfterSleepEnds()
    {
        LinuxPowerEvents events(m_session, m_system, nullptr);
        QSignalSpy woke(&events, &PowerEvents::systemDidWake);
        QVERIFY(emitFromMock(m_system, kLogin1, QStringLiteral("PrepareForSleep"), true));
        QVERIFY(!woke.wait(500));
        QVERIFY(emitFromMock(m_system, kLogin1, QStringLiteral("PrepareForSleep"), false));
        QVERIFY(woke.wait(3000));
        QCOMPARE(woke.size(), 1);
    }

    // No buses and an X server without DPMS (Xvfb): nothing to follow, no error, no polling.
    void absentSourcesStayQuiet()
    {
        const QDBusConnection none =
            QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"), QStringLiteral("kelvora-none"));
        QVERIFY(!none.isConnected());
        const QByteArray display = qgetenv("DISPLAY");
        LinuxPowerEvents events(none, none, display.isEmpty() ? nullptr : display.constData());
        QSignalSpy slept(&events, &PowerEvents::screensDidSleep);
        QSignalSpy woke(&events, &PowerEvents::systemDidWake);
        QTest::qWait(100);
        QVERIFY(!events.hasDpms());
        QVERIFY(!events.isDpmsPolling());
        QCOMPARE(slept.size() + woke.size(), 0);
        QVERIFY(!DBusIdleSource::probe(none));
    }

    // GNOME Shell owns org.freedesktop.ScreenSaver but refuses GetSessionIdleTime; the probe only takes an answer.
    void idleSourceProbe()
    {
        QVERIFY(!DBusIdleSource::probe(m_session));

        QVERIFY(addMethod(m_session, kFreedesktopSaver, QStringLiteral("GetSessionIdleTime"), QStringLiteral("u"),
                          QStringLiteral("ret = 1500")));
        auto kde = DBusIdleSource::probe(m_session);
        QVERIFY(kde);
        QCOMPARE(kde->backendName(), QStringLiteral("freedesktop-screensaver"));
        QCOMPARE(kde->secondsSinceLastInput(), 1.5);

        QVERIFY(startMock(m_session, m_sessionAddress, false, kMutter));
        QVERIFY(addMethod(m_session, kMutter, QStringLiteral("GetIdletime"), QStringLiteral("t"),
                          QStringLiteral("ret = 4200")));
        auto gnome = DBusIdleSource::probe(m_session);
        QVERIFY(gnome);
        QCOMPARE(gnome->backendName(), QStringLiteral("mutter-idle-monitor"));
        QCOMPARE(gnome->secondsSinceLastInput(), 4.2);

        // A service that stops answering reads as 0, never as an error.
        QVERIFY(addMethod(m_session, kMutter, QStringLiteral("GetIdletime"), QStringLiteral("t"),
                          QStringLiteral("raise dbus.exceptions.DBusException('gone', name='org.example.Gone')")));
        QCOMPARE(gnome->secondsSinceLastInput(), 0.0);
    }
};

QTEST_GUILESS_MAIN(TestDBusSources)
#include "tst_dbus_sources.moc"
