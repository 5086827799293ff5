#pragma once
// Static configuration every layer reads: feature flags (user defaults), where history lives, version texts,
// the web service's addresses (deployment values) and the day-key format.
#include <QDate>
#include <QDateTime>
#include <QString>
#include <QUrl>
#include <optional>

namespace Config {

// Process-wide, computed once.
[[nodiscard]] bool isRunningTests();               // KELVORA_TEST_HOST is set
[[nodiscard]] QString testHostRootDirectory();     // <temp>/Kelvora-tests-<pid>

// Evaluated at every call, so dataDirectory() follows sign-in and sign-out at once.
[[nodiscard]] QString legacyBaseDirectory();       // ~/.kelvora (tests: <root>/legacy)
[[nodiscard]] QString appSupportBaseDirectory();   // $XDG_DATA_HOME/Kelvora (tests: <root>/Kelvora)
[[nodiscard]] QString dataDirectory();             // base/<userId> when signed in with a safe id, else base

// A user id may name a folder only when it is one safe path component; otherwise it counts as no user id.
[[nodiscard]] std::optional<QString> safeUserId(const QString &rawUserId);
// The signed-in user's safe id from AuthState::shared(), if any.
[[nodiscard]] std::optional<QString> currentUserId();

// Day keys: "yyyy-MM-dd" in the local time zone.
[[nodiscard]] QString dayKey(const QDateTime &instant);
[[nodiscard]] QString dayKeyForMs(qint64 epochMs);
[[nodiscard]] std::optional<QDate> parseDayKey(const QString &key);   // strict: exactly yyyy-MM-dd
[[nodiscard]] QString todayString();

[[nodiscard]] QString appVersion();
[[nodiscard]] QString buildNumber();
[[nodiscard]] QString environmentName();           // "Kelvora App"
[[nodiscard]] QString displayVersion();            // "Kelvora App v.<appVersion>"

// Deployment values: CMake defaults, then ~/.config/Kelvora/deployment.conf, then KELVORA_* environment variables.
// Empty means "not configured"; notConfiguredMessage() says how to configure it.
struct Deployment
{
    QString apiHost;         // KELVORA_API_HOST        / api_host
    QString webAppHost;      // KELVORA_WEB_APP_HOST    / web_app_host
    QString marketingHost;   // KELVORA_MARKETING_HOST  / marketing_host
    QString realtimeHost;    // KELVORA_REALTIME_HOST   / realtime_host
    QString publishableKey;  // KELVORA_PUBLISHABLE_KEY / publishable_key
};
[[nodiscard]] const Deployment &deployment();
void reloadDeployment();   // tests that change the environment
[[nodiscard]] QString notConfiguredMessage(const QString &what);

[[nodiscard]] QString apiBaseURL();                // without a trailing slash; empty when not configured
[[nodiscard]] std::optional<QUrl> loginURL(const QString &nonce);
[[nodiscard]] std::optional<QUrl> signupURL();
[[nodiscard]] std::optional<QUrl> dashboardURL();

inline constexpr const char *kProcessTrackingFlag = "DESKTOP_PROCESS_TRACKING";
inline constexpr const char *kIdleTrackingFlag = "DESKTOP_IDLE_TRACKING";
inline constexpr const char *kApiSyncFlag = "DESKTOP_API_SYNC";
inline constexpr const char *kAuthFlowFlag = "DESKTOP_AUTH_FLOW";
inline constexpr const char *kRealtimeSyncFlag = "DESKTOP_REALTIME_SYNC";

// Read from the user defaults at every access; a missing key is false.
[[nodiscard]] bool processTrackingEnabled();
[[nodiscard]] bool idleTrackingEnabled();
[[nodiscard]] bool apiSyncEnabled();
[[nodiscard]] bool authFlowEnabled();
[[nodiscard]] bool realtimeSyncEnabled();
void enableFlag(const char *key);

[[nodiscard]] bool verboseLogging();               // KELVORA_VERBOSE=1

} // namespace Config
