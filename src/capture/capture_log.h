#pragma once
// Diagnostic categories of the capture layer; enabled only with verbose logging.
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcProcessTracker)
Q_DECLARE_LOGGING_CATEGORY(lcIdleTracker)
