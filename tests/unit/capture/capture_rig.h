#pragma once
// The capture layer wired as the application wires it, with fake desktop services and a real segment store whose
// history lives in a temporary folder. Time is frozen; tests move it.
#include "auth_state.h"
#include "config.h"
#include "fake_idle_source.h"
#include "fake_power_events.h"
#include "fake_window_system.h"
#include "idle_tracker.h"
#include "process_tracker.h"
#include "segment_store.h"
#include "test_support.h"

#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace CaptureRigSupport {

inline void setFlags(bool processTracking, bool idleTracking)
{
    QSettings settings;
    settings.setValue(QLatin1String(Config::kProcessTrackingFlag), processTracking);
    settings.setValue(QLatin1String(Config::kIdleTrackingFlag), idleTracking);
}

// Feature flags live in the user settings: point them at a scratch folder once per test program.
inline void useScratchSettings(QTemporaryDir &configHome)
{
    qputenv("XDG_CONFIG_HOME", configHome.path().toUtf8());
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvora"));
    QCoreApplication::setApplicationName(QStringLiteral("Kelvora"));
    setFlags(true, true);
}

} // namespace CaptureRigSupport

struct CaptureRig
{
    explicit CaptureRig(qint64 nowMs) : clock(nowMs) {}

    TestSupport::FixedClock clock;
    QTemporaryDir dir;
    StaticAuthState auth{true, QStringLiteral("user-1")};
    FakeWindowSystem windows;
    FakeIdleSource idleSource;
    FakePowerEvents power;
    SegmentStore store{dir.path(), [this] { return auth.isLoggedIn(); }};
    IdleTracker idle{store, idleSource, power};
    ProcessTracker tracker{store, auth, windows, idle, &power};

    // The records of a day's history file as a fresh load sees them.
    [[nodiscard]] QList<Segment> history(qint64 dayMs) const
    {
        const QString path = store.segmentsFilePath(QDateTime::fromMSecsSinceEpoch(dayMs));
        return SegmentStore::readHistory(path).history.segments;
    }
    [[nodiscard]] QList<Segment> todaysHistory() const { return history(Clock::nowMs()); }
    static void advance(qint64 ms) { Clock::advanceMs(ms); }
};
