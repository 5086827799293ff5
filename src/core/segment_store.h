#pragma once
// SegmentStore: the segments of the day on display, the open segment being recorded, and the daily history files
// "processes-yyyy-MM-dd.jsonl" (one history line per record, see segment.h).
//
//   segment_store.cpp          open/close, appends and rewrites, loading, day selection, notification
//   segment_store_hygiene.cpp  orphan recovery, data directory, legacy migration, pruning, sign-in/out, sign-out trim
//   segment_store_sync.cpp     reconciliation with the server
//
// Everything runs on the main thread. Observers: `segmentsChanged` / `selectedDateChanged` fire whenever the
// property is assigned; notifyChange() additionally schedules (always queued, never inline) one task that emits
// `segmentsChanged` ("the observable object changed") and then `didChange` ("SegmentStoreDidChange").
//
// The list `segments` always mirrors one day's file; that day is remembered (listDayKey) and every rewrite of
// "the selected day's file" writes the list into the file of the day it belongs to, never into another day's file
// (see rewriteFile). That keeps midnight crossings right whether the day before or the new day is selected.
#include "file_access.h"
#include "segment.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class AuthState;

class SegmentStore : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QList<Segment> segments READ segments NOTIFY segmentsChanged)
    Q_PROPERTY(QDateTime selectedDate READ selectedDate WRITE setSelectedDate NOTIFY selectedDateChanged)

public:
    // dataDirectoryOverride: replaces the configured data directory for history file paths (not for the hygiene
    // below: directory setup, migration, pruning and the sign-out trim always work on Config::dataDirectory()).
    // isSignedIn: asked before a segment is opened and by pruneHistoryIfDayChanged().
    // auth: when given, the store observes its authStateChanged signal and, when someone is signed in, runs the
    // startup sequence (ensureDataDirectoryExists, pruneAndSecureHistory, loadToday, recoverOrphanOpenSegments).
    // files: the file layer (not owned); null = the real file system.
    SegmentStore(std::optional<QString> dataDirectoryOverride, std::function<bool()> isSignedIn,
                 AuthState *auth = nullptr, FileAccess *files = nullptr, QObject *parent = nullptr);
    ~SegmentStore() override;

    // The application's store, registered by the composition root; null until then.
    [[nodiscard]] static SegmentStore *shared();
    static void setShared(SegmentStore *store);

    // Application names that are recorded but never logged (reconciliation drops them).
    [[nodiscard]] static const QSet<QString> &excludedSystemProcesses();

    // Observable state.
    [[nodiscard]] const QList<Segment> &segments() const { return m_segments; }
    [[nodiscard]] QDateTime selectedDate() const { return m_selectedDate; }
    // Another calendar day than before: that day is loaded (loadSegments); a time within the same day: nothing more.
    void setSelectedDate(const QDateTime &date);
    [[nodiscard]] const std::optional<Segment> &currentOpenSegment() const { return m_currentOpenSegment; }
    [[nodiscard]] bool isViewingToday() const;
    [[nodiscard]] QString displayDateString() const;   // "Today" or "Mar 14, 2025"

    // Recording (process tracker, idle tracker).
    // Closes the current segment (no midnight split) and opens a new one; silently refused when signed out or not
    // viewing today.
    void startSegment(const QString &appName, const QString &windowTitle, SegmentType type);
    // Closes the current segment at now, splitting it into day pieces when it crossed midnight. Not gated by sign-in.
    void closeCurrentSegment();

    // Day selection and loading.
    void loadSegments(const QDateTime &date);
    void goToToday();
    void loadToday();
    // Another day's records without touching segments, selectedDate or the open segment.
    [[nodiscard]] QList<Segment> peekSegments(const QDateTime &date);
    [[nodiscard]] QString segmentsFilePath(const QDateTime &date) const;
    [[nodiscard]] QString segmentsFilePath(const QString &dayKey) const;
    [[nodiscard]] QList<Segment> loadSegmentsFromFile(const QString &path);

    // The one way a history file is read (the store, `kelvora history`, tests, the benchmark).
    struct LoadedHistory
    {
        QList<Segment> segments;    // latest record per id, in order of first appearance
        qsizetype superseded = 0;   // records dropped because a later line had the same id
        qsizetype welded = 0;       // records recovered from lines holding more than one object
        qsizetype unreadable = 0;   // non-empty lines that yielded no record
    };
    // Splits at every Unicode line break (LF, VT, FF, CR, NEL, LS, PS; CR LF gives an empty piece between) and
    // decodes each non-empty piece with Segment::decodableObjects. The bytes must be valid UTF-8 (see readHistory).
    [[nodiscard]] static LoadedHistory loadHistory(QByteArrayView utf8);
    // The pieces between line breaks (as above), empty ones included; views into `utf8`.
    [[nodiscard]] static QList<QByteArrayView> historyLines(QByteArrayView utf8);
    struct HistoryRead
    {
        enum class Status { missing, ok, unreadable };
        Status status = Status::missing;
        LoadedHistory history;
        QString error;   // with unreadable: why ("Permission denied", "not valid UTF-8", …)
    };
    // Reads and loads one file: missing, unreadable (cannot be read or is not valid UTF-8), or its records.
    [[nodiscard]] static HistoryRead readHistory(const QString &path, FileAccess *files = nullptr);

    // Compaction halves: latest record per id (order of first appearance, content of the last), and the file text
    // a rewrite writes (one line per record, each ending in "\n"; empty for no records).
    [[nodiscard]] static QList<Segment> latestRecordPerId(const QList<Segment> &segments);
    [[nodiscard]] static QByteArray historyFileContent(const QList<Segment> &segments);

    // Recovery and hygiene (segment_store_hygiene.cpp).
    void recoverOrphanOpenSegments();
    void ensureDataDirectoryExists();
    void migrateLegacyDataIfNeeded();
    void pruneAndSecureHistory();
    void pruneHistoryIfDayChanged();
    // The "AuthStateChanged" observer: reads the user's directories at once, does the rest queued on this object.
    void handleAuthStateChanged(const QString &action, const QString &reason);
    void deleteHistoryExceptUnsent(const QStringList &directories);
    // The lines of one file that must survive a sign-out: unreadable lines as they were, and the latest object text
    // of every id whose latest record is not synced. nullopt when the file cannot be read (or is not UTF-8).
    [[nodiscard]] static std::optional<QList<QByteArray>> unsentLines(const QString &path, FileAccess *files = nullptr);

    // Bookkeeping.
    [[nodiscard]] int fileRewriteCount() const { return m_fileRewriteCount; }
    [[nodiscard]] int recordAppendCount() const { return m_recordAppendCount; }
    [[nodiscard]] const QSet<QString> &uncompactedPaths() const { return m_uncompactedPaths; }
    [[nodiscard]] const std::optional<QString> &lastPrunedDayKey() const { return m_lastPrunedDayKey; }

    // ==== BEGIN Server reconciliation (segment_store_sync.cpp)
    // What is still to be logged (closed, not synced) and what is logged, in list order.
    [[nodiscard]] QList<Segment> pendingSegments() const;
    [[nodiscard]] QList<Segment> syncedSegments() const;
    // Marks the listed segments of the selected day as logged now (again, when already synced); other ids are ignored.
    void markSegmentsSynced(const QSet<QUuid> &ids);
    void markSegmentUnsynced(const QUuid &id);
    // Makes the selected day agree with the server: logged there = synced here, otherwise pending; a synced segment
    // the server no longer knows becomes pending; an excluded-application segment the server does not know is
    // dropped. Pending time is never dropped. allServerIds = nullopt: every id counts as known. Ids are compared in
    // lower case. Returns the number of changes.
    int syncWithServer(const QSet<QString> &serverLoggedIds, const std::optional<QSet<QString>> &allServerIds);
    // One record of the server's answer for the day, as the service layer hands it over.
    struct ServerSegmentState
    {
        QString id;
        bool logged = false;
    };
    // The server's complete answer for the day: every id it returned is known, the logged ones are logged.
    int syncWithServer(const QList<ServerSegmentState> &serverSegments);
    // What may be uploaded: pending, not an excluded application, not a ghost; input order kept.
    [[nodiscard]] static QList<Segment> loggableBatch(const QList<Segment> &segments,
                                                      const std::optional<QUuid> &currentOpenId);
    // ==== END Server reconciliation

Q_SIGNALS:
    void segmentsChanged();
    void selectedDateChanged();
    // "SegmentStoreDidChange": always emitted from a queued call, right after a queued segmentsChanged().
    void didChange();

private:
    // Where history file paths point: the override, or the configured data directory of the signed-in user.
    [[nodiscard]] QString dataDirectory() const;
    [[nodiscard]] QString dayKeyOf(const QDateTime &date) const;

    // Assigning the list (emits segmentsChanged).
    void setSegments(QList<Segment> segments);
    void replaceSegmentAt(qsizetype index, const Segment &segment);

    void append(const Segment &segment);
    void updateSegment(const Segment &segment);
    void appendSegmentToDateFile(const Segment &segment);
    void handleMidnightCrossingSegment(const Segment &segment);
    // Writes `segments` over the file of the day the list belongs to. When `date` names another day than the list's,
    // the list is still written to its own day's file (writing one day's records into another day's file would lose
    // that day's history); a diagnostic line says so.
    void rewriteFile(const QDateTime &date);
    void rewriteListFile();
    // Before the list's file is replaced although it could not be read: a copy named
    // "processes-<day>.unreadable-<ms>.jsonl" (never pruned by age, never loaded as a day). False when that failed.
    bool setAsideUnreadable(const QString &path);
    void loadListOf(const QString &dayKey);
    void appendLine(const QByteArray &line, const QString &path);
    void markForRewrite(const QString &path);
    void markWriteFailed(const QString &path);
    // Removes every record of `id` from a day file other than the list's, keeping all other lines (used when an
    // unsplit record lives in a file that is not rewritten from the list).
    void purgeRecordFromFile(const QString &path, const QUuid &id);
    bool applyPermissions(unsigned mode, const QString &path);
    bool secureFile(const QString &path) { return applyPermissions(0600, path); }
    bool secureDirectory(const QString &path) { return applyPermissions(0700, path); }
    void refreshCurrentOpenSegmentFromMemory();
    void notifyChange();

    // Hygiene helpers.
    void runStartupSequence();
    [[nodiscard]] QStringList currentUserHistoryDirectories() const;
    [[nodiscard]] std::optional<QDate> historyFileDate(const QString &fileName) const;
    [[nodiscard]] bool isPastRetentionHorizon(const QString &fileName) const;

    QList<Segment> m_segments;
    QDateTime m_selectedDate;
    FileAccess *m_files;
    std::optional<Segment> m_currentOpenSegment;
    std::optional<QString> m_dataDirectoryOverride;
    std::function<bool()> m_isSignedIn;
    QSet<QString> m_uncompactedPaths;
    // Files whose last write failed (create, append or rewrite): they lack something memory holds, so the next write
    // to the list's own file is a whole rewrite rather than an append.
    QSet<QString> m_pathsNeedingRepair;
    int m_fileRewriteCount = 0;
    int m_recordAppendCount = 0;
    std::optional<QString> m_lastPrunedDayKey;
    QString m_listDayKey;      // the day whose file `segments` mirrors
    bool m_listLoaded = false; // false until that file was read (a new store, or after sign-out)
    // Files whose last load failed (unreadable, not UTF-8): a rewrite first keeps a copy instead of replacing them.
    QSet<QString> m_unreadablePaths;
    AuthState *m_auth = nullptr;
};
