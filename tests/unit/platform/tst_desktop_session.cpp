// Which session Kelvora is in, and what a Wayland user is told when windows cannot be read there.
#include "platform_services.h"

#include <QTest>

Q_DECLARE_METATYPE(DesktopSession::Type)

class TestDesktopSession : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void detect_data()
    {
        QTest::addColumn<QString>("sessionType");
        QTest::addColumn<QString>("waylandDisplay");
        QTest::addColumn<QString>("display");
        QTest::addColumn<DesktopSession::Type>("type");
        using T = DesktopSession::Type;
        QTest::addRow("x11") << "x11" << "" << ":0" << T::X11;
        // XWayland's DISPLAY is there too, but it sees only X11 clients.
        QTest::addRow("wayland with XWayland") << "wayland" << "wayland-0" << ":0" << T::Wayland;
        QTest::addRow("wayland, case differs") << "Wayland" << "" << ":1" << T::Wayland;
        QTest::addRow("x11 says the session, not a nested compositor") << "x11" << "wayland-1" << ":0" << T::X11;
        QTest::addRow("x11 without DISPLAY") << "x11" << "" << "" << T::None;
        QTest::addRow("tty from startx") << "tty" << "" << ":0" << T::X11;
        QTest::addRow("unset, Wayland socket") << "" << "wayland-0" << ":0" << T::Wayland;
        QTest::addRow("unset, only DISPLAY") << "" << "" << "localhost:10.0" << T::X11;
        QTest::addRow("nothing") << "" << "" << "" << T::None;
    }
    void detect()
    {
        QFETCH(QString, sessionType);
        QFETCH(QString, waylandDisplay);
        QFETCH(QString, display);
        QFETCH(DesktopSession::Type, type);
        QProcessEnvironment env;
        env.insert(QStringLiteral("XDG_CURRENT_DESKTOP"), QStringLiteral("ubuntu:GNOME"));
        if (!sessionType.isEmpty())
            env.insert(QStringLiteral("XDG_SESSION_TYPE"), sessionType);
        if (!waylandDisplay.isEmpty())
            env.insert(QStringLiteral("WAYLAND_DISPLAY"), waylandDisplay);
        if (!display.isEmpty())
            env.insert(QStringLiteral("DISPLAY"), display);
        const DesktopSession session = detectDesktopSession(env);
        QCOMPARE(session.type, type);
        QCOMPARE(session.desktop, QStringLiteral("ubuntu:GNOME"));
        QCOMPARE(session.display, type == DesktopSession::Type::X11 ? display : QString());
    }

    void waylandReason_data()
    {
        QTest::addColumn<QString>("desktop");
        QTest::addColumn<QString>("says");
        QTest::addRow("GNOME") << "GNOME" << "GNOME on Wayland does not let applications read other windows' titles: ";
        QTest::addRow("Ubuntu's GNOME") << "ubuntu:GNOME" << "\"GNOME on Xorg\"";
        QTest::addRow("KDE") << "KDE" << "\"Plasma (X11)\"";
        QTest::addRow("sway") << "sway" << "sway on Wayland is not supported yet";
        QTest::addRow("Hyprland") << "Hyprland" << "X11 session";
        QTest::addRow("unknown") << "Foo" << "This Wayland desktop (Foo)";
        QTest::addRow("unset") << "" << "This Wayland desktop does not";
    }
    void waylandReason()
    {
        QFETCH(QString, desktop);
        QFETCH(QString, says);
        QVERIFY2(waylandUntrustedReason(desktop).contains(says), qPrintable(waylandUntrustedReason(desktop)));
    }

    void waylandWindowSystemIsNeverTrusted()
    {
        const auto windows = createWindowSystem({DesktopSession::Type::Wayland, QStringLiteral("KDE"), {}});
        QVERIFY(!windows->isTrusted(true));
        QCOMPARE(windows->untrustedReason(), waylandUntrustedReason(QStringLiteral("KDE")));
        QCOMPARE(windows->frontmostApplication(), std::nullopt);
        QCOMPARE(windows->backendName(), QStringLiteral("none"));
    }
};

QTEST_GUILESS_MAIN(TestDesktopSession)
#include "tst_desktop_session.moc"
