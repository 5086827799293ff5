#include "config.h"

#include "auth_state.h"
#include "clock.h"
#include "version.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QtGlobal>
#include <mutex>

namespace {

QString envOr(const char *name, const QString &fallback)
{
    const QByteArray value = qgetenv(name);
    return value.isEmpty() ? fallback : QString::fromUtf8(value);
}

Config::Deployment loadDeployment()
{
    Config::Deployment d{QStringLiteral(KELVORA_DEFAULT_API_HOST), QStringLiteral(KELVORA_DEFAULT_WEB_APP_HOST),
                         QStringLiteral(KELVORA_DEFAULT_MARKETING_HOST), QStringLiteral(KELVORA_DEFAULT_REALTIME_HOST),
                         QStringLiteral(KELVORA_DEFAULT_PUBLISHABLE_KEY)};
    const QString configHome = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString file = configHome + QStringLiteral("/Kelvora/deployment.conf");
    if (!Config::isRunningTests() && QFile::exists(file)) {
        QSettings conf(file, QSettings::IniFormat);
        d.apiHost = conf.value(QStringLiteral("api_host"), d.apiHost).toString();
        d.webAppHost = conf.value(QStringLiteral("web_app_host"), d.webAppHost).toString();
        d.marketingHost = conf.value(QStringLiteral("marketing_host"), d.marketingHost).toString();
        d.realtimeHost = conf.value(QStringLiteral("realtime_host"), d.realtimeHost).toString();
        d.publishableKey = conf.value(QStringLiteral("publishable_key"), d.publishableKey).toString();
    }
    d.apiHost = envOr("KELVORA_API_HOST", d.apiHost);
    d.webAppHost = envOr("KELVORA_WEB_APP_HOST", d.webAppHost);
    d.marketingHost = envOr("KELVORA_MARKETING_HOST", d.marketingHost);
    d.realtimeHost = envOr("KELVORA_REALTIME_HOST", d.realtimeHost);
    d.publishableKey = envOr("KELVORA_PUBLISHABLE_KEY", d.publishableKey);
    for (QString *host : {&d.apiHost, &d.webAppHost, &d.marketingHost, &d.realtimeHost})
        while (host->endsWith(QLatin1Char('/')))
            host->chop(1);
    return d;
}

std::mutex deploymentMutex;
std::optional<Config::Deployment> deploymentValue;

std::optional<QUrl> webAppURL(const QString &path, const QString &query = {})
{
    const QString host = Config::deployment().webAppHost;
    if (host.isEmpty())
        return std::nullopt;
    // The query is appended verbatim (the sign-in nonce is not percent-encoded).
    QUrl url(host + path + (query.isEmpty() ? QString() : QStringLiteral("?") + query), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

bool flag(const char *key) { return QSettings().value(QLatin1String(key), false).toBool(); }

} // namespace

bool Config::isRunningTests()
{
    static const bool value = qEnvironmentVariableIsSet("KELVORA_TEST_HOST");
    return value;
}

QString Config::testHostRootDirectory()
{
    static const QString value =
        QDir(QDir::tempPath()).filePath(QStringLiteral("Kelvora-tests-%1").arg(QCoreApplication::applicationPid()));
    return value;
}

QString Config::legacyBaseDirectory()
{
    if (isRunningTests())
        return testHostRootDirectory() + QStringLiteral("/legacy");
    return QDir::homePath() + QStringLiteral("/.kelvora");
}

QString Config::appSupportBaseDirectory()
{
    if (isRunningTests())
        return testHostRootDirectory() + QStringLiteral("/Kelvora");
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        qFatal("Application Support directory not found");
    return base + QStringLiteral("/Kelvora");
}

std::optional<QString> Config::safeUserId(const QString &raw)
{
    if (raw.isEmpty())
        return std::nullopt;
    if (raw == QLatin1String(".") || raw == QLatin1String("..") || raw.contains(QLatin1Char('/'))
        || raw.contains(QChar(u'\0')) || raw.size() > 255) {
        qWarning("[Kelvora] Ignoring a user id that is not a safe folder name (length %lld)",
                 static_cast<long long>(raw.size()));
        return std::nullopt;
    }
    return raw;
}

std::optional<QString> Config::currentUserId()
{
    AuthState *auth = AuthState::shared();
    if (!auth)
        return std::nullopt;
    return safeUserId(auth->userId());
}

QString Config::dataDirectory()
{
    const QString base = appSupportBaseDirectory();
    const auto user = currentUserId();
    return user ? base + QLatin1Char('/') + *user : base;
}

QString Config::dayKey(const QDateTime &instant) { return instant.toLocalTime().toString(QStringLiteral("yyyy-MM-dd")); }
QString Config::dayKeyForMs(qint64 epochMs) { return dayKey(QDateTime::fromMSecsSinceEpoch(epochMs)); }

std::optional<QDate> Config::parseDayKey(const QString &key)
{
    if (key.size() != 10)
        return std::nullopt;
    const QDate date = QDate::fromString(key, QStringLiteral("yyyy-MM-dd"));
    if (!date.isValid())
        return std::nullopt;
    return date;
}

QString Config::todayString() { return dayKey(Clock::now()); }

QString Config::appVersion()
{
    const QString v = QStringLiteral(KELVORA_APP_VERSION);
    return v.isEmpty() ? QStringLiteral("1.0") : v;
}

QString Config::buildNumber()
{
    const QString v = QStringLiteral(KELVORA_BUILD_NUMBER);
    return v.isEmpty() ? QStringLiteral("1") : v;
}

QString Config::environmentName() { return QStringLiteral("Kelvora App"); }
QString Config::displayVersion() { return QStringLiteral("Kelvora App v.") + appVersion(); }

const Config::Deployment &Config::deployment()
{
    std::lock_guard lock(deploymentMutex);
    if (!deploymentValue)
        deploymentValue = loadDeployment();
    return *deploymentValue;
}

void Config::reloadDeployment()
{
    std::lock_guard lock(deploymentMutex);
    deploymentValue = loadDeployment();
}

QString Config::notConfiguredMessage(const QString &what)
{
    return QStringLiteral("The %1 is not configured. Set it in ~/.config/Kelvora/deployment.conf or with the "
                          "KELVORA_* environment variables (./scripts/run.sh points Kelvora at a local stand-in).")
        .arg(what);
}

QString Config::apiBaseURL() { return deployment().apiHost; }
std::optional<QUrl> Config::loginURL(const QString &nonce)
{
    return webAppURL(QStringLiteral("/desktop-auth"), QStringLiteral("redirect=kelvora://auth&nonce=") + nonce);
}
std::optional<QUrl> Config::signupURL() { return webAppURL(QStringLiteral("/signup")); }
std::optional<QUrl> Config::dashboardURL() { return webAppURL(QStringLiteral("/dashboard")); }

bool Config::processTrackingEnabled() { return flag(kProcessTrackingFlag); }
bool Config::idleTrackingEnabled() { return flag(kIdleTrackingFlag); }
bool Config::apiSyncEnabled() { return flag(kApiSyncFlag); }
bool Config::authFlowEnabled() { return flag(kAuthFlowFlag); }
bool Config::realtimeSyncEnabled() { return flag(kRealtimeSyncFlag); }
void Config::enableFlag(const char *key) { QSettings().setValue(QLatin1String(key), true); }

bool Config::verboseLogging() { return qEnvironmentVariableIntValue("KELVORA_VERBOSE") == 1; }
