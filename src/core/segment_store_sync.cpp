// SegmentStore: reconciliation with the server's view of the day, and the selection of what may be uploaded.
#include "ghost_segment_detector.h"
#include "log.h"
#include "segment_store.h"

namespace {

// Local ids are compared with the server's in lower-case canonical form.
QString serverKey(const QUuid &id) { return id.toString(QUuid::WithoutBraces).toLower(); }

// The caller is meant to lower-case the server's ids already; doing it again here costs little and keeps an
// upper-case answer from marking logged time pending (which would upload it a second time).
QSet<QString> lowerCased(const QSet<QString> &ids)
{
    QSet<QString> out;
    out.reserve(ids.size());
    for (const QString &id : ids)
        out.insert(id.toLower());
    return out;
}

QString flag(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }

} // namespace

QList<Segment> SegmentStore::pendingSegments() const
{
    QList<Segment> out;
    for (const Segment &s : m_segments)
        if (s.isPending())
            out.append(s);
    return out;
}

QList<Segment> SegmentStore::syncedSegments() const
{
    QList<Segment> out;
    for (const Segment &s : m_segments)
        if (s.isSynced())
            out.append(s);
    return out;
}

void SegmentStore::markSegmentsSynced(const QSet<QUuid> &ids)
{
    if (ids.isEmpty())
        return;
    QList<Segment> copy = m_segments;
    int marked = 0;
    for (Segment &s : copy) {
        if (ids.contains(s.id)) {
            s.markSynced();
            ++marked;
        }
    }
    if (marked == 0)
        return;
    setSegments(std::move(copy));
    rewriteFile(m_selectedDate);
    notifyChange();
    qCDebug(lcStore).noquote() << QStringLiteral("Marked %1 segments synced").arg(marked);
}

void SegmentStore::markSegmentUnsynced(const QUuid &id)
{
    for (qsizetype i = 0; i < m_segments.size(); ++i) {
        if (m_segments.at(i).id != id)
            continue;
        Segment s = m_segments.at(i);
        s.markUnsynced();
        replaceSegmentAt(i, s);
        rewriteFile(m_selectedDate);
        notifyChange();
        qCDebug(lcStore).noquote() << QStringLiteral("Marked segment unsynced: %1").arg(uuidString(id));
        return;
    }
}

int SegmentStore::syncWithServer(const QSet<QString> &serverLoggedIdsIn,
                                 const std::optional<QSet<QString>> &allServerIdsIn)
{
    const QSet<QString> serverLoggedIds = lowerCased(serverLoggedIdsIn);
    const std::optional<QSet<QString>> allServerIds =
        allServerIdsIn ? std::optional<QSet<QString>>(lowerCased(*allServerIdsIn)) : std::nullopt;
    const QSet<QString> &excluded = excludedSystemProcesses();

    QList<Segment> copy = m_segments;
    QSet<QUuid> removals;
    int changes = 0;
    bool changed = false;
    for (Segment &element : copy) {
        const Segment s = element;
        const QString key = serverKey(s.id);
        const bool logged = serverLoggedIds.contains(key);
        const bool known = !allServerIds || allServerIds->contains(key);
        const bool isExcluded = excluded.contains(s.appName);
        qCDebug(lcStore).noquote() << QStringLiteral("Sync check: %1 id=%2… existsOnServer=%3 loggedOnServer=%4 "
                                                     "localSynced=%5 localPending=%6")
                                          .arg(s.appName, key.left(8), flag(known), flag(logged), flag(s.isSynced()),
                                               flag(s.isPending()));
        if (isExcluded && !known) {
            removals.insert(s.id);
            qCDebug(lcStore).noquote()
                << QStringLiteral("Sync: Removing excluded segment (not on server): %1 - %2").arg(s.appName, key);
            changed = true;
            continue;
        }
        if (logged && !s.isSynced()) {
            element.markSynced();
            ++changes;
            qCDebug(lcStore).noquote() << QStringLiteral("Sync: Marked synced (server has it logged): %1").arg(key);
            changed = true;
        } else if (!logged && s.isSynced()) {
            element.markUnsynced();
            ++changes;
            qCDebug(lcStore).noquote() << QStringLiteral("Sync: Marked unsynced (server says not logged): %1").arg(key);
            changed = true;
        }
        if (!known && s.isSynced() && !isExcluded) {
            element.markUnsynced();
            ++changes;
            qCDebug(lcStore).noquote()
                << QStringLiteral("Sync: Marked unsynced (segment missing from server entirely): %1 - %2")
                       .arg(s.appName, key);
            changed = true;
        }
    }
    if (!removals.isEmpty()) {
        copy.removeIf([&](const Segment &s) { return removals.contains(s.id); });
        changes += static_cast<int>(removals.size());
        qCDebug(lcStore).noquote()
            << QStringLiteral("Sync: Removed %1 excluded segments from local storage").arg(removals.size());
    }
    setSegments(std::move(copy));
    if (changed) {
        rewriteFile(m_selectedDate);
        notifyChange();
        qCDebug(lcStore).noquote() << QStringLiteral("Sync complete: %1 segments updated/removed").arg(changes);
    } else if (m_uncompactedPaths.contains(segmentsFilePath(m_listDayKey))) {
        // The file a rewrite would write is the list's own day's (normally the selected day's).
        rewriteFile(m_selectedDate);
    }
    return changes;
}

int SegmentStore::syncWithServer(const QList<ServerSegmentState> &serverSegments)
{
    QSet<QString> all;
    QSet<QString> logged;
    for (const ServerSegmentState &s : serverSegments) {
        const QString key = s.id.toLower();
        all.insert(key);
        if (s.logged)
            logged.insert(key);
    }
    return syncWithServer(logged, all);
}

QList<Segment> SegmentStore::loggableBatch(const QList<Segment> &segments, const std::optional<QUuid> &currentOpenId)
{
    QSet<QUuid> abandoned = GhostSegmentDetector::abandonedInactivityIds(segments, currentOpenId);
    abandoned.unite(GhostSegmentDetector::abandonedProcessGhostIds(segments, currentOpenId));
    const QSet<QString> &excluded = excludedSystemProcesses();
    QList<Segment> batch;
    for (const Segment &s : segments)
        if (s.isPending() && !excluded.contains(s.appName) && !abandoned.contains(s.id))
            batch.append(s);
    return batch;
}
