#include "log.h"

#include "config.h"

Q_LOGGING_CATEGORY(lcStore, "kelvora.store", QtWarningMsg)
Q_LOGGING_CATEGORY(lcCore, "kelvora.core", QtWarningMsg)

void Log::applyVerbosity()
{
    QLoggingCategory::setFilterRules(Config::verboseLogging() ? QStringLiteral("kelvora.*.debug=true")
                                                              : QStringLiteral("kelvora.*.debug=false"));
}
