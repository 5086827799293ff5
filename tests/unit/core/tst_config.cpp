// Configuration: where history lives (test host, signed in or out, unsafe user ids), version texts, the web
// addresses built from deployment values, feature flags and the repeating timer.
#include "auth_state.h"
#include "config.h"
#include "repeating_timer.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class TestConfig : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Kelvora"));
        QCoreApplication::setApplicationName(QStringLiteral("Kelvora"));
        QVERIFY(m_config.isValid());
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    }

    void testHostDirectoriesArePerProcess()
    {
        QVERIFY(Config::isRunningTests());
        const QString root = QDir(QDir::tempPath()).filePath(
            QStringLiteral("Kelvora-tests-%1").arg(QCoreApplication::applicationPid()));
        QCOMPARE(Config::testHostRootDirectory(), root);
        QCOMPARE(Config::legacyBaseDirectory(), root + QStringLiteral("/legacy"));
        QCOMPARE(Config::appSupportBaseDirectory(), root + QStringLiteral("/Kelvora"));
    }

    void dataDirectoryFollowsSignIn_data()
    {
        QTest::addColumn<QString>("userId");
        QTest::addColumn<bool>("isOwnFolder");
        QTest::addRow("user") << QStringLiteral("user_42") << true;
        QTest::addRow("empty") << QString() << false;
        QTest::addRow("dot") << QStringLiteral(".") << false;
        QTest::addRow("dot dot") << QStringLiteral("..") << false;
        QTest::addRow("slash") << QStringLiteral("../other") << false;
        QTest::addRow("NUL") << QStringLiteral("a%1b").arg(QChar(u'\0')) << false;
    }
    void dataDirectoryFollowsSignIn()
    {
        QFETCH(QString, userId);
        QFETCH(bool, isOwnFolder);
        const QString base = Config::appSupportBaseDirectory();
        QCOMPARE(Config::dataDirectory(), base);   // nobody registered
        StaticAuthState auth(true, userId);
        AuthState::setShared(&auth);
        QCOMPARE(Config::dataDirectory(), isOwnFolder ? base + QLatin1Char('/') + userId : base);
        auth.set(false, QString());
        QCOMPARE(Config::dataDirectory(), base);   // re-evaluated at every call
        AuthState::setShared(nullptr);
    }

    void versionTexts()
    {
        QVERIFY(!Config::appVersion().isEmpty());
        QCOMPARE(Config::environmentName(), QStringLiteral("Kelvora App"));
        QCOMPARE(Config::displayVersion(), QStringLiteral("Kelvora App v.") + Config::appVersion());
    }

    void webAddresses()
    {
        qputenv("KELVORA_WEB_APP_HOST", "https://app.example.test/");
        Config::reloadDeployment();
        QCOMPARE(Config::loginURL(QStringLiteral("n-1"))->toString(),
                 QStringLiteral("https://app.example.test/desktop-auth?redirect=kelvora://auth&nonce=n-1"));
        QCOMPARE(Config::dashboardURL()->toString(), QStringLiteral("https://app.example.test/dashboard"));
        QCOMPARE(Config::signupURL()->toString(), QStringLiteral("https://app.example.test/signup"));
        qputenv("KELVORA_WEB_APP_HOST", "not a url");
        Config::reloadDeployment();
        QVERIFY(!Config::dashboardURL());
        qunsetenv("KELVORA_WEB_APP_HOST");
        Config::reloadDeployment();
        QVERIFY(!Config::dashboardURL());   // not configured
        QVERIFY(Config::notConfiguredMessage(QStringLiteral("web app address")).contains(QStringLiteral("not configured")));
    }

    void flagsReadTheUserDefaults()
    {
        QSettings().clear();
        QVERIFY(!Config::processTrackingEnabled());   // missing key reads false
        Config::enableFlag(Config::kProcessTrackingFlag);
        QVERIFY(Config::processTrackingEnabled());
        QVERIFY(!Config::idleTrackingEnabled());
        QSettings().setValue(QLatin1String(Config::kProcessTrackingFlag), false);
        QVERIFY(!Config::processTrackingEnabled());   // read at every access
    }

    void repeatingTimerTolerance()
    {
        QObject owner;
        int fired = 0;
        RepeatingTimer *timer = kelvoraRepeating(0.02, &owner, [&](RepeatingTimer *) { ++fired; });
        QVERIFY(timer->isActive());
        QVERIFY(!timer->isSingleShot());
        QCOMPARE(timer->tolerance(), 0.002);
        QTRY_VERIFY(fired >= 2);
        QCOMPARE(kelvoraRepeating(2, &owner, [](RepeatingTimer *) {})->tolerance(), 0.2);
    }

private:
    QTemporaryDir m_config;
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
