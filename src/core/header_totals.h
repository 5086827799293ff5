#pragma once
// The day's numbers as the header shows them: wall-clock time of a set of segments without double counting overlaps,
// the choice between local and server evidence for tracked / logged / pending (HeaderTotals), the short duration
// text and the per-application "already logged" pills. Shared by the popover and the command line.
#include "segment.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QUuid>
#include <optional>

struct HeaderTotals
{
    enum class Basis { local, server };

    qint64 total = 0;
    qint64 logged = 0;
    qint64 pending = 0;   // total - logged; may be negative here, publish publishedPending()
    Basis basis = Basis::local;

    [[nodiscard]] qint64 publishedPending() const { return pending < 0 ? 0 : pending; }

    // Local basis once any local segment is synced; otherwise the server's summary plus what is pending here.
    [[nodiscard]] static HeaderTotals resolve(qint64 localTotal, qint64 localPending, qint64 localSyncedCount,
                                              qint64 localSyncedSeconds, qint64 serverLogged,
                                              std::optional<qint64> serverTracked);

    friend bool operator==(const HeaderTotals &, const HeaderTotals &) = default;
};

[[nodiscard]] QString basisName(HeaderTotals::Basis basis);   // "local" / "server"

// Covered wall-clock seconds: the segment being recorded runs to now, other open segments count as nothing,
// overlapping and touching intervals join, and each joined block is truncated to whole seconds on its own.
[[nodiscard]] qint64 mergedWallClockSeconds(const QList<Segment> &segments, const std::optional<QUuid> &currentOpenId);
// The same with the id of the segment the application's store is recording.
[[nodiscard]] qint64 mergedWallClockSeconds(const QList<Segment> &segments);

// The local inputs of HeaderTotals::resolve for one day. Ghosts are found on the whole list; candidates leave out
// excluded applications and ghosts; pending = candidates pending or live; synced = the other candidates.
struct LocalDayTotals
{
    QSet<QUuid> ghostIds;
    qint64 total = 0;
    qint64 pending = 0;
    qint64 syncedCount = 0;
    qint64 syncedSeconds = 0;

    [[nodiscard]] static LocalDayTotals compute(const QList<Segment> &segments,
                                                const std::optional<QUuid> &currentOpenId,
                                                const QSet<QString> &excludedApps);
    [[nodiscard]] HeaderTotals resolve(qint64 serverLogged, std::optional<qint64> serverTracked) const
    {
        return HeaderTotals::resolve(total, pending, syncedCount, syncedSeconds, serverLogged, serverTracked);
    }
};

// "45s", "1m", "2m 5s", "1h", "1h 2m": seconds are dropped once there is an hour.
[[nodiscard]] QString formatDurationShort(qint64 seconds);

// Applications partly logged and partly not: the short text of their still-unlogged process time (closed or being
// recorded). Applications with only logged or only unlogged time have no entry.
[[nodiscard]] QMap<QString, QString> alreadyLoggedTimes(const QList<Segment> &segments,
                                                        const std::optional<QUuid> &currentOpenId,
                                                        const QSet<QString> &excludedApps);
