// SegmentStore: orphan recovery, the data directory and its legacy migration, pruning, sign-in and
// sign-out, and the sign-out trim.
#include "segment_store.h"

#include "auth_state.h"
#include "clock.h"
#include "config.h"
#include "log.h"

#include <QHash>
#include <QThread>
#include <QRegularExpression>

#include <algorithm>

#define STORE_LOG(text) qCDebug(lcStore).noquote() << (text)

namespace {

constexpr int kRetentionDays = 90;

// "x.jsonl": a name with the extension, not the hidden file ".jsonl".
bool hasJsonlExtension(const QString &name)
{
    return name.size() > 6 && name.endsWith(QLatin1String(".jsonl"));
}

QString join(const QString &dir, const QString &name) { return dir + QLatin1Char('/') + name; }

// ".processes-2025-03-14.jsonl.<random>.tmp", as FileAccess::writeFileAtomically names its temporaries.
bool isInterruptedWriteTemporary(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^\\.processes-[^/]*\\.jsonl\\.[0-9a-z]+\\.tmp$"));
    return pattern.match(name).hasMatch();
}

} // namespace

void SegmentStore::runStartupSequence()
{
    ensureDataDirectoryExists();
    pruneAndSecureHistory();
    loadToday();
    recoverOrphanOpenSegments();
}

// --- Orphan recovery -------------------------------------------------------------------------------------------

void SegmentStore::recoverOrphanOpenSegments()
{
    const std::optional<QUuid> currentId =
        m_currentOpenSegment ? std::optional<QUuid>(m_currentOpenSegment->id) : std::nullopt;
    const QList<Segment> snapshot = m_segments;
    QList<Segment> list = m_segments;
    QList<qsizetype> removals;
    QList<Segment> pieces;
    bool changed = false;
    const qint64 now = Clock::nowMs();
    for (qsizetype i = 0; i < snapshot.size(); ++i) {
        const Segment &orphan = snapshot.at(i);
        if (!orphan.isOrphanOpen(currentId))
            continue;
        if (orphan.startTime > now)
            continue;   // starts in the future (the clock went back): closing it now would end it before its start
        STORE_LOG(QStringLiteral("Recovering orphan open segment: %1").arg(orphan.appName));
        Segment closed = orphan;
        closed.endTime = now;
        if (Config::dayKeyForMs(closed.startTime) == Config::dayKeyForMs(closed.endTime)) {
            list[i] = closed;
        } else {
            removals.append(i);
            const QList<Segment> split = closed.splitAtMidnight();
            for (const Segment &piece : split)
                appendSegmentToDateFile(piece);
            pieces += split;
            // The unsplit record may also sit in its own day's file, which the rewrite below does not touch.
            if (orphan.date != m_listDayKey && Config::parseDayKey(orphan.date))
                purgeRecordFromFile(segmentsFilePath(orphan.date), orphan.id);
            STORE_LOG(QStringLiteral("Recovered open segment crossed midnight — split into %1 pieces")
                          .arg(split.size()));
        }
        changed = true;
    }
    if (!removals.isEmpty()) {
        std::sort(removals.begin(), removals.end(), std::greater<>());
        for (qsizetype index : removals)
            list.removeAt(index);
        // The list's own day is today whenever recovery runs (it follows a load of today).
        for (const Segment &piece : std::as_const(pieces))
            if (piece.date == m_listDayKey)
                list.append(piece);
    }
    if (!changed)
        return;
    setSegments(std::move(list));
    rewriteListFile();
    notifyChange();
}

// --- Data directory and legacy migration -----------------------------------------------------------------------

void SegmentStore::ensureDataDirectoryExists()
{
    const QString dir = Config::dataDirectory();
    if (!m_files->exists(dir)) {
        if (FileResult r = m_files->makeDirectories(dir); r)
            STORE_LOG(QStringLiteral("Created data directory: %1").arg(dir));
        else
            STORE_LOG(QStringLiteral("Failed to create data directory: %1").arg(r.error));
    }
    secureDirectory(dir);
    migrateLegacyDataIfNeeded();
}

void SegmentStore::migrateLegacyDataIfNeeded()
{
    const std::optional<QString> user = Config::currentUserId();
    if (!user)
        return;
    const QString legacy = join(Config::legacyBaseDirectory(), *user);
    const QString target = Config::dataDirectory();
    if (!m_files->exists(legacy))
        return;
    if (!m_files->listDirectory(target, true).value_or(QStringList()).isEmpty())
        return;   // migration happens only into an empty directory
    QString error;
    const std::optional<QStringList> entries = m_files->listDirectory(legacy, false, &error);
    if (!entries) {
        STORE_LOG(QStringLiteral("Failed to migrate legacy data: %1").arg(error));
        return;
    }
    for (const QString &name : *entries) {
        if (!hasJsonlExtension(name))
            continue;
        const QString destination = join(target, name);
        if (m_files->exists(destination))
            continue;
        if (FileResult r = m_files->copyFile(join(legacy, name), destination); !r) {
            STORE_LOG(QStringLiteral("Failed to migrate legacy data: %1").arg(r.error));
            return;
        }
    }
    STORE_LOG(QStringLiteral("Migrated legacy data from: %1").arg(legacy));
}

// --- Pruning ---------------------------------------------------------------------------------------------------

std::optional<QDate> SegmentStore::historyFileDate(const QString &fileName) const
{
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? fileName.left(dot) : fileName;
    static const QString prefix = QStringLiteral("processes-");
    if (!stem.startsWith(prefix))
        return std::nullopt;
    return Config::parseDayKey(stem.mid(prefix.size()));
}

bool SegmentStore::isPastRetentionHorizon(const QString &fileName) const
{
    const QDate today = Clock::now().toLocalTime().date();
    const QDate horizon = today.addDays(-kRetentionDays);
    if (!horizon.isValid())
        return false;
    const std::optional<QDate> date = historyFileDate(fileName);
    return date && *date < horizon;
}

void SegmentStore::pruneAndSecureHistory()
{
    const QString dir = Config::dataDirectory();
    const std::optional<QStringList> all = m_files->listDirectory(dir, true);
    if (!all)
        return;
    m_lastPrunedDayKey = Config::todayString();
    int deleted = 0;
    int temporaries = 0;
    for (const QString &name : *all) {
        if (name.startsWith(QLatin1Char('.'))) {
            // The temporary of an atomic write that a crash cut short; the file it was to replace is intact.
            if (isInterruptedWriteTemporary(name) && m_files->remove(join(dir, name)))
                ++temporaries;
            continue;   // hidden entries are otherwise left alone
        }
        if (!hasJsonlExtension(name))
            continue;
        const QString path = join(dir, name);
        if (isPastRetentionHorizon(name)) {
            if (FileResult r = m_files->remove(path); r) {
                ++deleted;
                continue;
            } else {
                STORE_LOG(QStringLiteral("Failed to prune %1: %2").arg(name, r.error));
            }
        }
        secureFile(path);
    }
    if (deleted > 0)
        STORE_LOG(QStringLiteral("Pruned %1 history files older than %2 days").arg(deleted).arg(kRetentionDays));
    if (temporaries > 0)
        STORE_LOG(QStringLiteral("Removed %1 temporary files left by interrupted writes").arg(temporaries));
}

void SegmentStore::pruneHistoryIfDayChanged()
{
    if (!m_isSignedIn || !m_isSignedIn())
        return;
    if (m_lastPrunedDayKey && *m_lastPrunedDayKey == Config::todayString())
        return;
    pruneAndSecureHistory();
}

// --- Sign-in and sign-out --------------------------------------------------------------------------------------

QStringList SegmentStore::currentUserHistoryDirectories() const
{
    const std::optional<QString> user = Config::currentUserId();
    if (!user)
        return {};
    return {join(Config::appSupportBaseDirectory(), *user), join(Config::legacyBaseDirectory(), *user)};
}

void SegmentStore::handleAuthStateChanged(const QString &action, const QString &reason)
{
    // On the posting thread: the signed-out user's directories, read while their id is still known.
    const QStringList directories = action == QLatin1String("logout") && reason == QLatin1String("userInitiated")
        ? currentUserHistoryDirectories()
        : QStringList();
    // A segment still open at sign-out (the server ended the session while recording) is closed now, into the
    // signed-out user's file: left open, the next sign-in's orphan recovery would stretch it over the whole time
    // in between, and once the user id is gone its close would land in another folder.
    // (Announcements come from the main thread; from any other, the store's state is not ours to touch here.)
    if (action == QLatin1String("logout") && m_currentOpenSegment && QThread::currentThread() == thread())
        closeCurrentSegment();
    QMetaObject::invokeMethod(
        this,
        [this, action, directories] {
            if (action == QLatin1String("logout")) {
                setSegments({});
                m_listLoaded = false;           // the next user's day is read before it is written
                m_currentOpenSegment.reset();   // already closed above
                deleteHistoryExceptUnsent(directories);
                STORE_LOG(QStringLiteral("Cleared segments after sign-out"));
                notifyChange();
            } else if (action == QLatin1String("login")) {
                runStartupSequence();
                STORE_LOG(QStringLiteral("Loaded history after sign-in"));
            }
        },
        Qt::QueuedConnection);
}

void SegmentStore::deleteHistoryExceptUnsent(const QStringList &directories)
{
    if (directories.isEmpty())
        return;
    int keptEntries = 0;
    int keptFiles = 0;
    int deletedFiles = 0;
    int unreadableFiles = 0;
    for (const QString &dir : directories) {
        if (!m_files->exists(dir))
            continue;
        const std::optional<QStringList> entries = m_files->listDirectory(dir, false);
        if (!entries)
            continue;
        for (const QString &name : *entries) {
            if (!hasJsonlExtension(name))
                continue;
            const QString path = join(dir, name);
            QList<QByteArray> keep;
            if (!isPastRetentionHorizon(name)) {
                std::optional<QList<QByteArray>> lines = unsentLines(path, m_files);
                if (!lines) {
                    STORE_LOG(QStringLiteral("Failed to read history file while trimming: %1").arg(name));
                    ++unreadableFiles;
                    continue;
                }
                keep = std::move(*lines);
            }
            if (!keep.isEmpty()) {
                QByteArray content = keep.join('\n');
                content.append('\n');
                if (FileResult r = m_files->writeFileAtomically(path, content); r) {
                    secureFile(path);
                    keptEntries += static_cast<int>(keep.size());
                    ++keptFiles;
                } else {
                    STORE_LOG(QStringLiteral("Failed to trim history file: %1").arg(r.error));
                }
            } else if (FileResult r = m_files->remove(path); r) {
                ++deletedFiles;
            } else {
                STORE_LOG(QStringLiteral("Failed to delete history file: %1").arg(r.error));
            }
        }
        const QStringList remaining = m_files->listDirectory(dir, true).value_or(QStringList());
        const bool holdsHistory = std::any_of(remaining.begin(), remaining.end(), [](const QString &name) {
            return name.endsWith(QLatin1String(".jsonl"));
        });
        if (holdsHistory) {
            secureDirectory(dir);
        } else if (FileResult r = m_files->remove(dir); r) {
            STORE_LOG(QStringLiteral("Removed empty history directory on logout: %1").arg(dir));
        } else {
            STORE_LOG(QStringLiteral("Failed to remove empty history directory: %1").arg(r.error));
        }
    }
    qInfo().noquote() << QStringLiteral("[SegmentStore] Sign-out history trim — kept %1 unlogged entries in %2 "
                                        "file(s), deleted %3 fully-logged file(s), left %4 unreadable file(s) alone")
                             .arg(keptEntries)
                             .arg(keptFiles)
                             .arg(deletedFiles)
                             .arg(unreadableFiles);
}

std::optional<QList<QByteArray>> SegmentStore::unsentLines(const QString &path, FileAccess *files)
{
    if (!files)
        files = FileAccess::real();
    const std::optional<QByteArray> bytes = files->readFile(path);
    if (!bytes || !QByteArrayView(*bytes).isValidUtf8())
        return std::nullopt;
    struct Entry
    {
        bool unreadable = false;
        QByteArrayView text;   // the whole line, or one object's text
        bool synced = false;
        QUuid id;
    };
    QList<Entry> entries;
    QHash<QUuid, qsizetype> latest;
    for (QByteArrayView line : historyLines(*bytes)) {
        if (line.isEmpty())
            continue;
        const auto objects = Segment::decodableObjects(line);
        if (!objects) {
            entries.append(Entry{true, line, false, {}});
            continue;
        }
        for (const auto &[text, segment] : *objects) {
            latest.insert(segment.id, entries.size());
            entries.append(Entry{false, text, segment.isSynced(), segment.id});
        }
    }
    QList<QByteArray> out;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const Entry &e = entries.at(i);
        if (e.unreadable || (latest.value(e.id) == i && !e.synced))
            out.append(e.text.toByteArray());
    }
    return out;
}
