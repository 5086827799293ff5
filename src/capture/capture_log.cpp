#include "capture_log.h"

Q_LOGGING_CATEGORY(lcProcessTracker, "kelvora.processtracker", QtWarningMsg)
Q_LOGGING_CATEGORY(lcIdleTracker, "kelvora.idletracker", QtWarningMsg)
