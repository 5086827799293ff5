// The X11 window system, idle clock and `kelvora capture` against the real X server of the test desktop (Xvfb with
// an EWMH window manager): real windows, switched and retitled with xdotool.
#include "idle_sources.h"
#include "test_support.h"
#include "x11_window_system.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <memory>

namespace {

QStringList strings(std::initializer_list<const char *> list)
{
    QStringList out;
    for (const char *s : list)
        out << QString::fromUtf8(s);
    return out;
}

bool xdotool(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A client process with its windows; killed when the fixture ends.
struct Client
{
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    QStringList windows;   // hex ids
    ~Client()
    {
        process->kill();
        process->waitForFinished(3000);
    }
    [[nodiscard]] qint64 pid() const { return process->processId(); }
    bool activate(int index = 0)
    {
        return xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), windows.value(index)});
    }
};

std::unique_ptr<Client> testWindow(const QStringList &args, int count = 1)
{
    auto client = std::make_unique<Client>();
    client->process->start(TestSupport::builtProgram(QStringLiteral("kelvora_test_window")),
                           args + QStringList{QStringLiteral("--count"), QString::number(count)});
    while (client->windows.size() < count && client->process->waitForReadyRead(5000))
        while (client->process->canReadLine())
            client->windows << QString::fromLatin1(client->process->readLine().trimmed());
    if (client->windows.size() < count)
        return nullptr;
    // Managed by the window manager (listed in _NET_CLIENT_LIST) before anyone activates it.
    for (int tries = 0; tries < 100; ++tries) {
        QProcess xprop;
        xprop.start(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_CLIENT_LIST")});
        xprop.waitForFinished(5000);
        const QStringList list = QString::fromLatin1(xprop.readAllStandardOutput())
                                     .split(QRegularExpression(QStringLiteral("[\\s,#]+")), Qt::SkipEmptyParts);
        if (std::all_of(client->windows.cbegin(), client->windows.cend(),
                        [&](const QString &id) { return list.contains(id); }))
            return client;
        QTest::qWait(50);
    }
    return nullptr;
}

// xmessage sets WM_NAME as STRING and no _NET_WM_PID: the old-client path.
std::unique_ptr<Client> xmessage(const QString &title)
{
    auto client = std::make_unique<Client>();
    client->process->start(QStringLiteral("xmessage"), {QStringLiteral("-title"), title, QStringLiteral("fixture")});
    QProcess search;
    search.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--sync"),
                                             QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                                             QStringLiteral("^%1$").arg(title)});
    if (!search.waitForFinished(10000))
        return nullptr;
    const QString id = QString::fromLatin1(search.readAllStandardOutput()).section(u'\n', 0, 0).trimmed();
    if (id.isEmpty())
        return nullptr;
    client->windows << id;
    QTest::qWait(150);
    return client;
}

const QByteArray kDesktopFile = "[Desktop Entry]\nType=Application\nName=Fixture Pad\nExec=fixture-pad\n"
                                "StartupWMClass=kelvorafixture\n";

} // namespace

class TestX11WindowSystem : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_data;
    [[nodiscard]] QString applications() const { return m_data.filePath(QStringLiteral("applications")); }
    [[nodiscard]] std::unique_ptr<X11WindowSystem> makeWindowSystem() const
    {
        return std::make_unique<X11WindowSystem>(nullptr, nullptr, DesktopEntryIndex({applications()}));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!qEnvironmentVariableIsEmpty("DISPLAY"), "run inside scripts/desktop-session.sh");
        // On a busy machine the window manager may still be starting.
        QTRY_VERIFY2_WITH_TIMEOUT(makeWindowSystem()->isTrusted(false), "no window manager on DISPLAY", 15000);
        QVERIFY(QDir().mkpath(applications()));
        QFile file(applications() + QStringLiteral("/org.example.FixturePad.desktop"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(kDesktopFile);
    }

    void trustedUnderWindowManager()
    {
        auto windows = makeWindowSystem();
        QVERIFY2(windows->isTrusted(false), qPrintable(windows->untrustedReason()));
        QCOMPARE(windows->untrustedReason(), QString());
        QCOMPARE(windows->backendName(), QStringLiteral("x11"));
    }

    void readsActiveWindow_data()
    {
        QTest::addColumn<QString>("program");   // "xmessage" or "window"
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("title");   // null: no title
        const QStringList fixtureClass{QStringLiteral("--class"), QStringLiteral("kelvora-fixture,KelvoraFixture")};
        QTest::addRow("xmessage: STRING title, pid from the server")
            << "xmessage" << strings({"Quarterly report - xmessage"}) << "Xmessage"
            << "xmessage" << "Quarterly report - xmessage";
        QTest::addRow("UTF-8 _NET_WM_NAME wins, .desktop by StartupWMClass")
            << "window"
            << (fixtureClass + strings({"--net-name", "Ünïcode ✓ — café", "--wm-name-hex", "6f6c64"}))
            << "Fixture Pad" << "org.example.FixturePad" << "Ünïcode ✓ — café";
        QTest::addRow("WM_NAME STRING is Latin-1")
            << "window" << strings({"--wm-name-hex", "636166e920a3", "--wm-name-type", "string"})
            << "KelvoraTestWindow" << "kelvora-test-window" << "café £";
        QTest::addRow("WM_NAME UTF8_STRING")
            << "window" << strings({"--wm-name-hex", "e29c93206f6b", "--wm-name-type", "utf8"})
            << "KelvoraTestWindow" << "kelvora-test-window" << "✓ ok";
        // ISO 8859-2 designated into GR, then a UTF-8 segment.
        QTest::addRow("WM_NAME COMPOUND_TEXT")
            << "window" << strings({"--wm-name-hex", "1b2d42b3f364bc201b2547e29c931b2540", "--wm-name-type",
                                       "compound"})
            << "KelvoraTestWindow" << "kelvora-test-window" << "łódź ✓";
        QTest::addRow("no _NET_WM_PID: pid from the server, no title")
            << "window" << strings({"--no-pid"}) << "KelvoraTestWindow" << "kelvora-test-window" << QString();
    }

    void readsActiveWindow()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, args);
        QFETCH(QString, name);
        QFETCH(QString, id);
        QFETCH(QString, title);
        const auto client = program == QLatin1String("xmessage") ? xmessage(args.value(0)) : testWindow(args);
        QVERIFY(client);
        QVERIFY(client->activate());
        auto windows = makeWindowSystem();
        const std::optional<FrontmostApplication> app = windows->frontmostApplication();
        QVERIFY(app);
        QCOMPARE(app->localizedName, std::optional<QString>(name));
        QCOMPARE(app->bundleIdentifier, std::optional<QString>(id));
        QCOMPARE(app->processIdentifier, client->pid());
        const std::optional<QString> read = windows->focusedWindowTitle(app->processIdentifier);
        QCOMPARE(read, title.isNull() ? std::nullopt : std::optional<QString>(title));
        // Another process's pid gets nothing: the title belongs to the window in front only.
        QCOMPARE(windows->focusedWindowTitle(app->processIdentifier + 100000), std::nullopt);
    }

    void activationFollowsApplicationSwitches()
    {
        const auto editor = testWindow({QStringLiteral("--net-name"), QStringLiteral("Editor")}, 2);
        const auto viewer = xmessage(QStringLiteral("Viewer - xmessage"));
        QVERIFY(editor && viewer);
        QVERIFY(editor->activate(0));
        auto windows = makeWindowSystem();
        QSignalSpy activated(windows.get(), &WindowSystem::applicationActivated);

        QVERIFY(viewer->activate());
        QVERIFY(activated.wait(3000));
        QCOMPARE(windows->frontmostApplication()->processIdentifier, viewer->pid());

        QVERIFY(editor->activate(0));
        QTRY_COMPARE(activated.size(), 2);
        // Another window of the same application is no application switch.
        QVERIFY(editor->activate(1));
        QTest::qWait(400);
        QCOMPARE(activated.size(), 2);
        QCOMPARE(windows->focusedWindowTitle(editor->pid()), std::optional<QString>(QStringLiteral("Editor 2")));

        // The 0x0 a window manager leaves between two windows: nobody in front, and coming back is no switch.
        QVERIFY(QProcess::execute(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("-f"),
                                                            QStringLiteral("_NET_ACTIVE_WINDOW"), QStringLiteral("32x"),
                                                            QStringLiteral("-set"), QStringLiteral("_NET_ACTIVE_WINDOW"),
                                                            QStringLiteral("0")})
                == 0);
        QTRY_COMPARE(windows->frontmostApplication(), std::nullopt);
        QVERIFY(editor->activate(0));
        QTest::qWait(400);
        QCOMPARE(activated.size(), 2);
        QVERIFY(windows->frontmostApplication());
        QVERIFY(viewer->activate());
        QTRY_COMPARE(activated.size(), 3);
    }

    void retitleIsRead()
    {
        const auto client = testWindow({QStringLiteral("--net-name"), QStringLiteral("Draft")});
        QVERIFY(client && client->activate());
        auto windows = makeWindowSystem();
        const qint64 pid = windows->frontmostApplication()->processIdentifier;
        QCOMPARE(windows->focusedWindowTitle(pid), std::optional<QString>(QStringLiteral("Draft")));
        QVERIFY(xdotool({QStringLiteral("set_window"), QStringLiteral("--name"), QStringLiteral("Final – v2"),
                         client->windows.first()}));
        QTRY_COMPARE(windows->focusedWindowTitle(pid), std::optional<QString>(QStringLiteral("Final – v2")));
    }

    void idleGrowsAndResetsOnInput()
    {
        X11IdleSource idle;
        QVERIFY(idle.isAvailable());
        QCOMPARE(idle.backendName(), QStringLiteral("x11-screensaver"));
        QVERIFY(xdotool({QStringLiteral("mousemove_relative"), QStringLiteral("1"), QStringLiteral("1")}));
        const double before = idle.secondsSinceLastInput();
        QTest::qWait(1200);
        const double after = idle.secondsSinceLastInput();
        QVERIFY2(after >= before + 1.0, qPrintable(QStringLiteral("%1 -> %2").arg(before).arg(after)));
        QVERIFY(xdotool({QStringLiteral("mousemove_relative"), QStringLiteral("--"), QStringLiteral("-1"),
                         QStringLiteral("-1")}));
        QVERIFY(idle.secondsSinceLastInput() < 0.5);
    }

    void captureCommandPrintsRedactedJson()
    {
        const auto client = testWindow({QStringLiteral("--class"), QStringLiteral("kelvora-fixture,KelvoraFixture"),
                                        QStringLiteral("--net-name"),
                                        QStringLiteral("Inbox - ada@example.org - https://mail.example.org/u/0")});
        QVERIFY(client && client->activate());
        const TestSupport::Run run = TestSupport::runProgram(
            TestSupport::builtProgram(QStringLiteral("kelvora")), {QStringLiteral("capture"), QStringLiteral("--json")},
            {QStringLiteral("XDG_DATA_HOME=") + m_data.path(), QStringLiteral("XDG_DATA_DIRS=") + m_data.path()});
        QCOMPARE(run.exitCode, 0);
        QJsonParseError error;
        const QJsonObject o = QJsonDocument::fromJson(run.out, &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, run.out.constData());
        QCOMPARE(o.value(QStringLiteral("appName")).toString(), QStringLiteral("Fixture Pad"));
        QCOMPARE(o.value(QStringLiteral("appId")).toString(), QStringLiteral("org.example.FixturePad"));
        QCOMPARE(o.value(QStringLiteral("pid")).toInteger(), client->pid());
        QCOMPARE(o.value(QStringLiteral("windowTitle")).toString(), QStringLiteral("Inbox - [EMAIL] - [URL]"));
        QVERIFY(o.value(QStringLiteral("idleSeconds")).toDouble(-1) >= 0);
        QCOMPARE(o.value(QStringLiteral("windowBackend")).toString(), QStringLiteral("x11"));
        QCOMPARE(o.value(QStringLiteral("idleBackend")).toString(), QStringLiteral("x11-screensaver"));
        QCOMPARE(o.value(QStringLiteral("trusted")).toBool(), true);
        QCOMPARE(o.value(QStringLiteral("reason")).toString(), QString());
    }

    // Samples arrive through a pipe as they happen: one at the start, one on the switch, then a clean exit on SIGTERM.
    void captureWatchFollowsSwitches()
    {
        const auto first = testWindow({QStringLiteral("--net-name"), QStringLiteral("First window")});
        const auto second = xmessage(QStringLiteral("Second window - xmessage"));
        QVERIFY(first && second && first->activate());
        QProcess watch;
        watch.start(TestSupport::builtProgram(QStringLiteral("kelvora")),
                    {QStringLiteral("capture"), QStringLiteral("--watch"), QStringLiteral("--json")});
        const auto nextSample = [&watch]() -> QJsonObject {
            QElapsedTimer waited;
            waited.start();
            while (!watch.canReadLine() && waited.elapsed() < 4000)
                watch.waitForReadyRead(100);
            return QJsonDocument::fromJson(watch.readLine()).object();
        };
        QCOMPARE(nextSample().value(QStringLiteral("windowTitle")).toString(), QStringLiteral("First window"));
        QVERIFY(second->activate());
        QCOMPARE(nextSample().value(QStringLiteral("windowTitle")).toString(),
                 QStringLiteral("Second window - xmessage"));
        watch.terminate();
        QVERIFY(watch.waitForFinished(3000));
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch.exitCode(), 0);
    }

    // A bare X server without a window manager: the server answers, but nobody says which window is active.
    void untrustedWithoutWindowManager()
    {
        int display = 150;
        while (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(display)))
            ++display;
        const QString name = QStringLiteral(":%1").arg(display);
        QProcess xvfb;
        xvfb.start(QStringLiteral("Xvfb"), {name, QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QVERIFY(xvfb.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(display)), 10000);
        QTest::qWait(200);
        X11WindowSystem windows(nullptr, name.toLatin1().constData(), DesktopEntryIndex({applications()}));
        QVERIFY(!windows.isTrusted(false));
        QVERIFY2(windows.untrustedReason().contains(QStringLiteral("window manager")),
                 qPrintable(windows.untrustedReason()));
        QCOMPARE(windows.frontmostApplication(), std::nullopt);
        xvfb.terminate();
        xvfb.waitForFinished(5000);

        X11WindowSystem unreachable(nullptr, name.toLatin1().constData(), DesktopEntryIndex({applications()}));
        QVERIFY(!unreachable.isTrusted(false));
        QVERIFY2(unreachable.untrustedReason().contains(QStringLiteral("cannot reach the X server")),
                 qPrintable(unreachable.untrustedReason()));
        QCOMPARE(unreachable.frontmostApplication(), std::nullopt);
    }
};

QTEST_MAIN(TestX11WindowSystem)
#include "tst_x11_window_system.moc"
