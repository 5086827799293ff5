#pragma once
// Logging: always-on lines go through qInfo() with their "[Component]" tag; diagnostics go through one category
// per component, enabled only when verbose logging is on (KELVORA_VERBOSE=1).
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcStore)
Q_DECLARE_LOGGING_CATEGORY(lcCore)

namespace Log {
// Applies Config::verboseLogging() to every kelvora.* category. Called once at start-up.
void applyVerbosity();
}
