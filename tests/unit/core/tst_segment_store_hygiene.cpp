// SegmentStore hygiene: orphan recovery (also across midnight and DST), the data directory and its modes, the
// legacy migration (only into an empty directory), pruning boundaries, sign-in / sign-out and the sign-out trim,
// and user ids that must never become a path. Runs with TZ=Europe/Berlin under the test host, so every Config
// directory lies in <tmp>/Kelvora-tests-<pid>.
#include "auth_state.h"
#include "failing_file_access.h"
#include "store_fixture.h"

#include <QMutex>
#include <thread>
#include <QSignalSpy>
#include <QTest>

using namespace StoreTest;
using TestSupport::FixedClock;
using TestSupport::localMs;

namespace {

// These tests create, prune and delete history folders: they must only ever see the per-process test root, also
// when the binary is started by hand rather than by ctest (Config reads the variable once, on first use).
const bool testHost = (qputenv("KELVORA_TEST_HOST", "1"), true);

// Captures qInfo / qWarning lines while alive.
class MessageCapture
{
public:
    MessageCapture()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&MessageCapture::handle);
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    QStringList infos() const { QMutexLocker l(&m_mutex); return m_infos; }
    QStringList warnings() const { QMutexLocker l(&m_mutex); return m_warnings; }

private:
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        QMutexLocker l(&s_current->m_mutex);
        if (type == QtInfoMsg)
            s_current->m_infos << text;
        else if (type == QtWarningMsg)
            s_current->m_warnings << text;
    }
    static inline MessageCapture *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QStringList m_infos;
    QStringList m_warnings;
};

QString base() { return Config::appSupportBaseDirectory(); }
QString legacyBase() { return Config::legacyBaseDirectory(); }
QString userDir(const QString &user) { return base() + u'/' + user; }
QString legacyDir(const QString &user) { return legacyBase() + u'/' + user; }
QString fileIn(const QString &dir, const QString &day) { return dir + u"/processes-"_qs + day + u".jsonl"_qs; }

QByteArray trimSummary(int kept, int keptFiles, int deleted, int unreadable)
{
    return QStringLiteral("[SegmentStore] Sign-out history trim — kept %1 unlogged entries in %2 file(s), deleted %3 "
                          "fully-logged file(s), left %4 unreadable file(s) alone")
        .arg(kept)
        .arg(keptFiles)
        .arg(deleted)
        .arg(unreadable)
        .toUtf8();
}

} // namespace

class TestSegmentStoreHygiene : public QObject
{
    Q_OBJECT
    StaticAuthState m_auth{true, u"user-1"_qs};

private Q_SLOTS:
    void init()
    {
        QDir(Config::testHostRootDirectory()).removeRecursively();
        m_auth.set(true, u"user-1"_qs);
        AuthState::setShared(&m_auth);
    }
    void cleanup()
    {
        Clock::reset();
        AuthState::setShared(nullptr);
        QDir(Config::testHostRootDirectory()).removeRecursively();
    }

    void directoriesLieUnderTheTestRoot()
    {
        QVERIFY(testHost && Config::isRunningTests());
        QCOMPARE(Config::testHostRootDirectory(),
                 QDir(QDir::tempPath()).filePath(u"Kelvora-tests-%1"_qs.arg(QCoreApplication::applicationPid())));
        QCOMPARE(base(), Config::testHostRootDirectory() + u"/Kelvora"_qs);
        QCOMPARE(legacyBase(), Config::testHostRootDirectory() + u"/legacy"_qs);
        QCOMPARE(Config::dataDirectory(), userDir(u"user-1"_qs));
        m_auth.set(false, QString());
        QCOMPARE(Config::dataDirectory(), base());
    }

    // A user id that is not one safe path component never becomes a path: it counts as no user id, and says why.
    void unsafeUserIds_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addRow("dot") << u"."_qs;
        QTest::addRow("dot dot") << u".."_qs;
        QTest::addRow("slash") << u"a/b"_qs;
        QTest::addRow("climbing") << u"../../etc"_qs;
        QTest::addRow("root") << u"/"_qs;
        QTest::addRow("NUL") << QString::fromUtf16(u"a\0b", 3);
    }
    void unsafeUserIds()
    {
        QFETCH(QString, id);
        m_auth.set(true, id);
        MessageCapture capture;
        QCOMPARE(Config::currentUserId(), std::nullopt);
        QCOMPARE(Config::dataDirectory(), base());
        QVERIFY(!capture.warnings().isEmpty());
        QVERIFY(capture.warnings().first().contains(u"not a safe folder name"_qs));
        // The store's directories follow: the sign-out trim has nothing to work on and writes no summary.
        FixedClock clock(localMs(2025, 3, 14, 12, 0));
        SegmentStore store(std::nullopt, [] { return true; }, &m_auth);
        QCoreApplication::processEvents();
        QVERIFY(QFileInfo(base()).isDir());   // the signed-out base, nothing beside or above it
        QCOMPARE(QDir(Config::testHostRootDirectory()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{u"Kelvora"_qs});
        Q_EMIT m_auth.authStateChanged(u"logout"_qs, u"userInitiated"_qs);
        settle();
        for (const QString &line : capture.infos())
            QVERIFY2(!line.contains(u"Sign-out history trim"_qs), qPrintable(line));
    }

    void emptyUserIdIsSignedOutDirectory()
    {
        m_auth.set(true, QString());
        QCOMPARE(Config::currentUserId(), std::nullopt);
        QCOMPARE(Config::dataDirectory(), base());
    }

    // A file with an open record, loaded today with no current segment: closed at the moment of loading, and the file
    // rewritten with one record for it.
    void orphanClosedOnLoad()
    {
        FixedClock clock(localMs(2025, 3, 14, 11, 0));
        QTemporaryDir dir;
        SegmentStore store(dir.path(), [] { return true; });
        const Segment open = record(u"Editor"_qs, localMs(2025, 3, 14, 9, 0), localMs(2025, 3, 14, 9, 0));
        writeBytes(store.segmentsFilePath(Clock::now()), line(open) + line(open));
        store.loadSegments(Clock::now());
        Segment closed = open;
        closed.endTime = Clock::nowMs();
        QCOMPARE(store.segments(), QList<Segment>{closed});
        QCOMPARE(readBytes(store.segmentsFilePath(Clock::now())), line(closed));
        QVERIFY(store.uncompactedPaths().isEmpty());
    }

    // Two open records where one is the current segment: only the other is closed.
    void onlyTheNonCurrentOpenRecordIsClosed()
    {
        FixedClock clock(localMs(2025, 3, 14, 11, 0));
        QTemporaryDir dir;
        SegmentStore store(dir.path(), [] { return true; });
        store.startSegment(u"Live"_qs, u"a"_qs, SegmentType::process);
        const Segment live = *store.currentOpenSegment();
        const Segment stale = record(u"Stale"_qs, localMs(2025, 3, 14, 10, 0), localMs(2025, 3, 14, 10, 0));
        appendBytes(store.segmentsFilePath(Clock::now()), line(stale));
        Clock::advanceMs(60'000);
        store.loadToday();
        QVERIFY(store.currentOpenSegment());
        QCOMPARE(store.currentOpenSegment()->id, live.id);
        QCOMPARE(store.segments().size(), 2);
        QVERIFY(store.segments().at(0).isOpen());
        QCOMPARE(store.segments().at(1).id, stale.id);
        QCOMPARE(store.segments().at(1).endTime, Clock::nowMs());
        QCOMPARE(onDisk(store.segmentsFilePath(Clock::now())), store.segments());
    }

    // An open record from 23:00 the day before found in today's list at 08:00: removed from the list; the day before
    // gains 23:00-00:00 and today 00:00-08:00, both new ids; today's piece joins the list. Also across the autumn DST
    // night, and with the record also present in its own day's file.
    void orphanAcrossMidnight_data()
    {
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("now");
        QTest::addColumn<qint64>("firstPiece");
        QTest::addColumn<qint64>("secondPiece");
        QTest::addColumn<bool>("alsoInItsOwnFile");
        const qint64 hour = 3'600'000;
        for (bool own : {false, true}) {
            const char *where = own ? "also in its own day's file" : "only in today's file";
            QTest::addRow("plain, %s", where) << localMs(2025, 3, 13, 23, 0) << localMs(2025, 3, 14, 8, 0) << hour
                                              << 8 * hour << own;
            QTest::addRow("autumn DST, %s", where) << localMs(2024, 10, 26, 23, 0) << localMs(2024, 10, 27, 8, 0)
                                                   << hour << 9 * hour << own;
            QTest::addRow("spring DST, %s", where) << localMs(2025, 3, 29, 23, 0) << localMs(2025, 3, 30, 8, 0)
                                                   << hour << 7 * hour << own;
        }
    }
    void orphanAcrossMidnight()
    {
        QFETCH(qint64, start);
        QFETCH(qint64, now);
        QFETCH(qint64, firstPiece);
        QFETCH(qint64, secondPiece);
        QFETCH(bool, alsoInItsOwnFile);
        FixedClock clock(now);
        QTemporaryDir dir;
        SegmentStore store(dir.path(), [] { return true; });
        const Segment orphan = record(u"Editor"_qs, start, start);
        const Segment todays = record(u"Today"_qs, now - 600'000, now - 300'000);
        const Segment yesterdays = record(u"Yesterday"_qs, start - 600'000, start - 300'000);
        const QString todayFile = dayFile(dir.path(), now);
        const QString yesterdayFile = dayFile(dir.path(), start);
        writeBytes(todayFile, line(todays) + line(orphan));
        writeBytes(yesterdayFile, line(yesterdays) + (alsoInItsOwnFile ? line(orphan) : QByteArray()));
        store.loadToday();

        QCOMPARE(store.segments().size(), 2);
        QCOMPARE(store.segments().at(0), todays);
        const Segment todayPiece = store.segments().at(1);
        QVERIFY(todayPiece.id != orphan.id);
        QCOMPARE(todayPiece.startTime, start + firstPiece);
        QCOMPARE(todayPiece.endTime, now);
        QCOMPARE(todayPiece.durationMs(), secondPiece);
        QCOMPARE(todayPiece.date, Config::dayKeyForMs(now));
        QCOMPARE(onDisk(todayFile), store.segments());

        const QList<Segment> before = onDisk(yesterdayFile);
        QCOMPARE(before.size(), 2);
        QCOMPARE(before.at(0), yesterdays);
        QVERIFY(before.at(1).id != orphan.id);
        QCOMPARE(before.at(1).startTime, start);
        QCOMPARE(before.at(1).endTime, todayPiece.startTime);
        QCOMPARE(before.at(1).durationMs(), firstPiece);
        QCOMPARE(before.at(1).date, Config::dayKeyForMs(start));
        QVERIFY(!before.at(1).isSynced() && !todayPiece.isSynced());
        // A second recovery finds nothing to do.
        const int rewrites = store.fileRewriteCount();
        store.recoverOrphanOpenSegments();
        QCOMPARE(store.fileRewriteCount(), rewrites);
    }

    // The startup sequence (constructor with a signed-in user): directory created 0700, legacy data migrated, today
    // loaded, orphans recovered.
    void startupSequence()
    {
        const mode_t old = ::umask(0);
        FixedClock clock(localMs(2025, 3, 14, 12, 0));
        const Segment open = record(u"Editor"_qs, localMs(2025, 3, 14, 9, 0), localMs(2025, 3, 14, 9, 0));
        writeBytes(fileIn(legacyDir(u"user-1"_qs), u"2025-03-14"_qs), line(open));
        SegmentStore store(std::nullopt, [this] { return m_auth.isLoggedIn(); }, &m_auth);
        QCOMPARE(modeOf(userDir(u"user-1"_qs)), 0700);
        QCOMPARE(modeOf(base()), 0700);   // the missing parents were made 0700 too
        const QString today = fileIn(userDir(u"user-1"_qs), u"2025-03-14"_qs);
        QCOMPARE(modeOf(today), 0600);
        QCOMPARE(store.segments().size(), 1);
        QCOMPARE(store.segments().first().endTime, Clock::nowMs());   // recovered
        QCOMPARE(onDisk(today), store.segments());
        QCOMPARE(store.lastPrunedDayKey(), std::optional<QString>(u"2025-03-14"_qs));
        // The legacy file stays where it was.
        QCOMPARE(readBytes(fileIn(legacyDir(u"user-1"_qs), u"2025-03-14"_qs)), line(open));
        ::umask(old);
    }

    void signedOutConstructionDoesNothing()
    {
        m_auth.set(false, QString());
        SegmentStore store(std::nullopt, [] { return false; }, &m_auth);
        QVERIFY(!QFileInfo::exists(base()));
        QVERIFY(store.segments().isEmpty());
    }

    void ensureDataDirectoryProtectsAnExistingOne()
    {
        QDir().mkpath(userDir(u"user-1"_qs));
        QFile::setPermissions(userDir(u"user-1"_qs), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                         | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                                         | QFileDevice::ExeOther);
        SegmentStore store(std::nullopt, [] { return true; });
        store.ensureDataDirectoryExists();
        QCOMPARE(modeOf(userDir(u"user-1"_qs)), 0700);
    }

    // Migration copies once, only into an empty directory; hidden and non-history files stay behind.
    void migrationOnlyIntoAnEmptyDirectory()
    {
        const QString legacy = legacyDir(u"user-1"_qs);
        const QByteArray content = line(record(u"A"_qs, 1000, 2000));
        writeBytes(fileIn(legacy, u"2025-03-01"_qs), content);
        writeBytes(fileIn(legacy, u"2025-03-02"_qs), content);
        writeBytes(legacy + u"/notes.txt"_qs, "x");
        writeBytes(legacy + u"/.hidden.jsonl"_qs, content);
        SegmentStore store(std::nullopt, [] { return true; });
        const mode_t old = ::umask(0);
        store.ensureDataDirectoryExists();
        ::umask(old);
        const QString target = userDir(u"user-1"_qs);
        QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
                 (QStringList{u"processes-2025-03-01.jsonl"_qs, u"processes-2025-03-02.jsonl"_qs}));
        QCOMPARE(readBytes(fileIn(target, u"2025-03-01"_qs)), content);
        QCOMPARE(modeOf(fileIn(target, u"2025-03-01"_qs)), 0600);
        // A second launch copies nothing, even when new legacy files appeared.
        writeBytes(fileIn(legacy, u"2025-03-03"_qs), content);
        store.ensureDataDirectoryExists();
        QVERIFY(!QFile::exists(fileIn(target, u"2025-03-03"_qs)));
    }

    void migrationSkipsANonEmptyDirectory()
    {
        writeBytes(fileIn(legacyDir(u"user-1"_qs), u"2025-03-01"_qs), "{}\n");
        writeBytes(userDir(u"user-1"_qs) + u"/.anything"_qs, "");   // hidden entries count too
        SegmentStore store(std::nullopt, [] { return true; });
        store.migrateLegacyDataIfNeeded();
        QVERIFY(!QFile::exists(fileIn(userDir(u"user-1"_qs), u"2025-03-01"_qs)));
    }

    void migrationStopsAtTheFirstCopyFailure()
    {
        for (int day = 1; day <= 3; ++day)
            writeBytes(fileIn(legacyDir(u"user-1"_qs), u"2025-03-0%1"_qs.arg(day)), "{}\n");
        QDir().mkpath(userDir(u"user-1"_qs));
        FailingFileAccess files;
        files.failing = {FailingFileAccess::Op::copy};
        SegmentStore store(std::nullopt, [] { return true; }, nullptr, &files);
        store.migrateLegacyDataIfNeeded();
        QCOMPARE(files.calls[FailingFileAccess::Op::copy], 1);
        QVERIFY(QDir(userDir(u"user-1"_qs)).isEmpty());
    }

    void migrationNeedsAUser()
    {
        m_auth.set(false, QString());
        writeBytes(fileIn(legacyDir(u"user-1"_qs), u"2025-03-01"_qs), "{}\n");
        SegmentStore store(std::nullopt, [] { return true; });
        store.ensureDataDirectoryExists();
        QVERIFY(QDir(base()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    }

    // 90 days before 1 June is 3 March: files of 3 March and later stay, 2 March and earlier go. Other ".jsonl" files
    // are never pruned by age but are secured; other extensions and hidden files are left alone, except the
    // temporary of an atomic write a crash cut short.
    void pruningBoundaries()
    {
        FixedClock clock(localMs(2025, 6, 1, 0, 30));
        const QString dir = userDir(u"user-1"_qs);
        const QStringList days{u"2025-01-15"_qs, u"2025-03-01"_qs, u"2025-03-02"_qs, u"2025-03-03"_qs,
                               u"2025-03-04"_qs, u"2025-05-31"_qs, u"2025-06-01"_qs};
        for (const QString &day : days)
            writeBytes(fileIn(dir, day), "{}\n");
        for (const QString &name : {u"notes.jsonl"_qs, u"processes-garbage.jsonl"_qs, u"processes-2020-01-01.txt"_qs,
                                    u".processes-2020-01-01.jsonl"_qs, u".processes-2025-05-31.jsonl.k3x9a.tmp"_qs,
                                    u".other.tmp"_qs})
            writeBytes(dir + u'/' + name, "x\n");
        for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::Hidden))
            QFile::setPermissions(dir + u'/' + name, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                         | QFileDevice::ReadGroup | QFileDevice::ReadOther);
        SegmentStore store(std::nullopt, [] { return true; });
        store.pruneAndSecureHistory();
        QCOMPARE(store.lastPrunedDayKey(), std::optional<QString>(u"2025-06-01"_qs));
        QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 (QStringList{u".other.tmp"_qs, u".processes-2020-01-01.jsonl"_qs, u"notes.jsonl"_qs,
                              u"processes-2020-01-01.txt"_qs, u"processes-2025-03-03.jsonl"_qs,
                              u"processes-2025-03-04.jsonl"_qs, u"processes-2025-05-31.jsonl"_qs,
                              u"processes-2025-06-01.jsonl"_qs, u"processes-garbage.jsonl"_qs}));
        for (const QString &name : {u"notes.jsonl"_qs, u"processes-garbage.jsonl"_qs, u"processes-2025-03-03.jsonl"_qs})
            QCOMPARE(modeOf(dir + u'/' + name), 0600);
        QCOMPARE(modeOf(dir + u"/processes-2020-01-01.txt"_qs), 0644);
        QCOMPARE(modeOf(dir + u"/.processes-2020-01-01.jsonl"_qs), 0644);
    }

    // Late in the day across the autumn change the boundary is still the calendar day.
    void pruningBoundaryLateInTheDay()
    {
        FixedClock clock(localMs(2025, 1, 25, 23, 59, 59));   // 90 days before 25 Jan 2025 is 27 Oct 2024
        const QString dir = userDir(u"user-1"_qs);
        writeBytes(fileIn(dir, u"2024-10-26"_qs), "{}\n");
        writeBytes(fileIn(dir, u"2024-10-27"_qs), "{}\n");
        SegmentStore store(std::nullopt, [] { return true; });
        store.pruneAndSecureHistory();
        QVERIFY(!QFile::exists(fileIn(dir, u"2024-10-26"_qs)));
        QVERIFY(QFile::exists(fileIn(dir, u"2024-10-27"_qs)));
    }

    void pruneOncePerDayWhileSignedIn()
    {
        FixedClock clock(localMs(2025, 6, 1, 9, 0));
        const QString dir = userDir(u"user-1"_qs);
        QDir().mkpath(dir);
        bool signedIn = false;
        SegmentStore store(std::nullopt, [&] { return signedIn; });
        store.pruneHistoryIfDayChanged();
        QCOMPARE(store.lastPrunedDayKey(), std::nullopt);   // signed out: nothing
        signedIn = true;
        store.pruneHistoryIfDayChanged();
        QCOMPARE(store.lastPrunedDayKey(), std::optional<QString>(u"2025-06-01"_qs));
        writeBytes(fileIn(dir, u"2025-03-02"_qs), "{}\n");
        store.pruneHistoryIfDayChanged();   // same day: not again
        QVERIFY(QFile::exists(fileIn(dir, u"2025-03-02"_qs)));
        Clock::setNowMs(localMs(2025, 6, 2, 0, 0, 1));
        store.pruneHistoryIfDayChanged();
        QVERIFY(!QFile::exists(fileIn(dir, u"2025-03-02"_qs)));
        QCOMPARE(store.lastPrunedDayKey(), std::optional<QString>(u"2025-06-02"_qs));
    }

    void pruneWithoutADirectoryLeavesTheKey()
    {
        SegmentStore store(std::nullopt, [] { return true; });
        store.pruneAndSecureHistory();
        QCOMPARE(store.lastPrunedDayKey(), std::nullopt);
    }

    // The lines that survive a sign-out.
    void unsentLines_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("kept");
        const Segment a = record(u"A"_qs, 1000, 2000);
        Segment aSynced = a;
        aSynced.syncedAt = 3000;
        Segment aLater = a;
        aLater.endTime = 2500;
        const Segment b = record(u"B"_qs, 2000, 3000);
        const Segment open = record(u"O"_qs, 4000, 4000);
        const QByteArray la = a.toJSONLine().value(), lb = b.toJSONLine().value();
        QTest::addRow("unsynced, then synced copy, then garbled: only the garbled line")
            << line(a) + line(aSynced) + "garbled {\n" << QByteArray("garbled {\n");
        QTest::addRow("only synced: nothing") << line(aSynced) << QByteArray();
        QTest::addRow("latest version of an unsynced record") << line(a) + line(aLater) << line(aLater);
        QTest::addRow("synced, then unsynced again: kept") << line(aSynced) + line(a) << line(a);
        QTest::addRow("welded records come apart") << la + lb + '\n' << la + '\n' + lb + '\n';
        QTest::addRow("whitespace lines vanish, CR LF too") << la + "\r\n   \n" + lb + '\n' << la + '\n' + lb + '\n';
        QTest::addRow("open records are unsent") << line(open) << line(open);
        QTest::addRow("garbled lines keep their place") << "x\n" + line(b) + "y\n" << "x\n" + line(b) + "y\n";
    }
    void unsentLines()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, kept);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"processes-2025-03-14.jsonl"_qs);
        writeBytes(path, content);
        const auto lines = SegmentStore::unsentLines(path);
        QVERIFY(lines);
        QByteArray joined;
        for (const QByteArray &l : *lines)
            joined += l + '\n';
        QCOMPARE(joined, kept);
    }

    void unsentLinesOfUnreadableFiles()
    {
        QTemporaryDir dir;
        QCOMPARE(SegmentStore::unsentLines(dir.filePath(u"missing.jsonl"_qs)), std::nullopt);
        writeBytes(dir.filePath(u"bad.jsonl"_qs), "\xc3\x28\n");
        QCOMPARE(SegmentStore::unsentLines(dir.filePath(u"bad.jsonl"_qs)), std::nullopt);
    }

    // A sign-out the user asked for: memory emptied at once (no record closed or written), every history directory of
    // the user trimmed to what is not logged yet, emptied directories removed, one summary line.
    void signOutTrim()
    {
        FixedClock clock(localMs(2025, 6, 1, 12, 0));
        const QString dir = userDir(u"user-1"_qs);
        const QString legacy = legacyDir(u"user-1"_qs);
        const Segment unsent = record(u"U"_qs, localMs(2025, 5, 30, 9, 0), localMs(2025, 5, 30, 10, 0));
        const Segment logged = record(u"L"_qs, localMs(2025, 5, 30, 11, 0), localMs(2025, 5, 30, 12, 0), 1);
        Segment loggedLater = unsent;
        loggedLater.syncedAt = 5;
        writeBytes(fileIn(dir, u"2025-05-30"_qs), line(unsent) + line(logged) + "garbled\n");   // 2 kept lines
        writeBytes(fileIn(dir, u"2025-05-29"_qs), line(logged));                                 // deleted
        writeBytes(fileIn(dir, u"2025-05-28"_qs), line(unsent) + "\xff\n");   // unreadable: left alone
        writeBytes(fileIn(legacy, u"2025-05-30"_qs), line(unsent) + line(loggedLater));   // deleted; dir removed
        writeBytes(legacy + u"/other.txt"_qs, "x");

        SegmentStore store(std::nullopt, [] { return true; }, &m_auth);
        QVERIFY(store.segments().isEmpty());
        // Past the horizon (written after the startup's pruning): deleted at sign-out without being read.
        writeBytes(fileIn(dir, u"2025-02-01"_qs), line(unsent));
        store.startSegment(u"Live"_qs, u"a"_qs, SegmentType::process);
        const QString today = fileIn(dir, u"2025-06-01"_qs);
        QVERIFY(store.currentOpenSegment());
        settle();

        QSignalSpy did(&store, &SegmentStore::didChange);
        MessageCapture capture;
        Q_EMIT m_auth.authStateChanged(u"logout"_qs, u"userInitiated"_qs);
        m_auth.set(false, QString());   // the manager forgets the user right after announcing
        QCOMPARE(did.count(), 0);        // the work is queued
        settle();
        QVERIFY(did.count() >= 1);
        QVERIFY(store.segments().isEmpty());
        QVERIFY(!store.currentOpenSegment());

        // Today's record, closed at sign-out, is not logged yet: kept, one line.
        const QList<Segment> todayKept = onDisk(today);
        QCOMPARE(todayKept.size(), 1);
        QCOMPARE(todayKept.first().appName, u"Live"_qs);
        QCOMPARE(readBytes(today).count('\n'), 1);
        QCOMPARE(readBytes(fileIn(dir, u"2025-05-30"_qs)), line(unsent) + "garbled\n");
        QCOMPARE(modeOf(fileIn(dir, u"2025-05-30"_qs)), 0600);
        QVERIFY(!QFile::exists(fileIn(dir, u"2025-05-29"_qs)));
        QVERIFY(!QFile::exists(fileIn(dir, u"2025-02-01"_qs)));
        QCOMPARE(readBytes(fileIn(dir, u"2025-05-28"_qs)), line(unsent) + "\xff\n");
        QCOMPARE(modeOf(dir), 0700);
        QVERIFY(!QFileInfo::exists(legacy));   // no ".jsonl" left: removed with everything in it
        QVERIFY(capture.infos().contains(QString::fromUtf8(trimSummary(3, 2, 3, 1))));
    }

    // The day's file of an id whose latest record is synced, plus a garbled line: only the garbled line stays.
    void signOutTrimKeepsTheGarbledLineOnly()
    {
        FixedClock clock(localMs(2025, 6, 1, 12, 0));
        const QString dir = userDir(u"user-1"_qs);
        const Segment a = record(u"A"_qs, localMs(2025, 6, 1, 9, 0), localMs(2025, 6, 1, 10, 0));
        Segment aSynced = a;
        aSynced.syncedAt = localMs(2025, 6, 1, 11, 0);
        writeBytes(fileIn(dir, u"2025-06-01"_qs), line(a) + line(aSynced) + "{garbled\n");
        SegmentStore store(std::nullopt, [] { return true; }, &m_auth);
        MessageCapture capture;
        Q_EMIT m_auth.authStateChanged(u"logout"_qs, u"userInitiated"_qs);
        settle();
        QCOMPARE(readBytes(fileIn(dir, u"2025-06-01"_qs)), QByteArray("{garbled\n"));
        QVERIFY(capture.infos().contains(QString::fromUtf8(trimSummary(1, 1, 0, 0))));
    }

    void signOutTrimOfOnlyLoggedFilesRemovesTheDirectory()
    {
        FixedClock clock(localMs(2025, 6, 1, 12, 0));
        const QString dir = userDir(u"user-1"_qs);
        writeBytes(fileIn(dir, u"2025-05-31"_qs), line(record(u"L"_qs, 1, 2, 3)));
        SegmentStore store(std::nullopt, [] { return true; });
        MessageCapture capture;
        store.deleteHistoryExceptUnsent({dir, legacyDir(u"user-1"_qs)});   // the legacy one does not exist: skipped
        QVERIFY(!QFileInfo::exists(dir));
        QVERIFY(capture.infos().contains(QString::fromUtf8(trimSummary(0, 0, 1, 0))));
    }

    // A failed trim write leaves the file as it was.
    void signOutTrimWriteFailureLeavesTheFile()
    {
        FixedClock clock(localMs(2025, 6, 1, 12, 0));
        const QString dir = userDir(u"user-1"_qs);
        const Segment a = record(u"A"_qs, localMs(2025, 6, 1, 9, 0), localMs(2025, 6, 1, 10, 0));
        const Segment b = record(u"B"_qs, localMs(2025, 6, 1, 9, 0), localMs(2025, 6, 1, 10, 0), 7);
        const QByteArray content = line(a) + line(b);
        writeBytes(fileIn(dir, u"2025-06-01"_qs), content);
        FailingFileAccess files;
        files.failing = {FailingFileAccess::Op::writeAtomically};
        SegmentStore store(std::nullopt, [] { return true; }, nullptr, &files);
        MessageCapture capture;
        store.deleteHistoryExceptUnsent({dir});
        QCOMPARE(readBytes(fileIn(dir, u"2025-06-01"_qs)), content);
        QVERIFY(capture.infos().contains(QString::fromUtf8(trimSummary(0, 0, 0, 0))));
    }

    void emptyDirectoryListWritesNoSummary()
    {
        SegmentStore store(std::nullopt, [] { return true; });
        MessageCapture capture;
        store.deleteHistoryExceptUnsent({});
        QVERIFY(capture.infos().isEmpty());
    }

    // A sign-out because the sign-in became invalid clears the screen and deletes nothing.
    void invalidSessionDeletesNothing()
    {
        FixedClock clock(localMs(2025, 6, 1, 12, 0));
        const QString dir = userDir(u"user-1"_qs);
        const QByteArray content = line(record(u"L"_qs, localMs(2025, 6, 1, 9, 0), localMs(2025, 6, 1, 10, 0), 3));
        writeBytes(fileIn(dir, u"2025-06-01"_qs), content);
        SegmentStore store(std::nullopt, [] { return true; }, &m_auth);
        QCOMPARE(store.segments().size(), 1);
        MessageCapture capture;
        Q_EMIT m_auth.authStateChanged(u"logout"_qs, u"sessionInvalidated"_qs);
        settle();
        QVERIFY(store.segments().isEmpty());
        QCOMPARE(readBytes(fileIn(dir, u"2025-06-01"_qs)), content);
        for (const QString &l : capture.infos())
            QVERIFY(!l.contains(u"Sign-out history trim"_qs));
    }

    // A segment still being recorded when the session ends is closed at that moment, in the user's own file.
    void signOutClosesTheOpenSegmentAtOnce()
    {
        FixedClock clock(localMs(2025, 6, 1, 12, 0));
        SegmentStore store(std::nullopt, [this] { return m_auth.isLoggedIn(); }, &m_auth);
        settle();
        store.startSegment(u"Editor"_qs, u"notes"_qs, SegmentType::process);
        Clock::advanceMs(90'000);
        Q_EMIT m_auth.authStateChanged(u"logout"_qs, u"sessionInvalidated"_qs);
        m_auth.set(false, QString());   // the sign-in is gone before the queued work runs
        Clock::advanceMs(3'600'000);
        settle();
        QVERIFY(!store.currentOpenSegment());
        const QList<Segment> kept = onDisk(fileIn(userDir(u"user-1"_qs), u"2025-06-01"_qs));
        QCOMPARE(kept.size(), 1);
        QCOMPARE(kept.first().durationMs(), 90'000);
        QVERIFY(!QFile::exists(fileIn(Config::appSupportBaseDirectory(), u"2025-06-01"_qs)));
    }

    // Sign-in runs the startup sequence, queued, for the new user.
    void signInRunsTheStartupSequence()
    {
        FixedClock clock(localMs(2025, 6, 1, 12, 0));
        m_auth.set(false, QString());
        SegmentStore store(std::nullopt, [this] { return m_auth.isLoggedIn(); }, &m_auth);
        const Segment a = record(u"A"_qs, localMs(2025, 6, 1, 9, 0), localMs(2025, 6, 1, 10, 0));
        writeBytes(fileIn(userDir(u"user-2"_qs), u"2025-06-01"_qs), line(a));
        writeBytes(fileIn(userDir(u"user-2"_qs), u"2025-01-01"_qs), line(a));
        m_auth.set(true, u"user-2"_qs);
        Q_EMIT m_auth.authStateChanged(u"login"_qs, QString());
        QVERIFY(store.segments().isEmpty());   // not yet: queued
        settle();
        QCOMPARE(store.segments(), QList<Segment>{a});
        QVERIFY(!QFile::exists(fileIn(userDir(u"user-2"_qs), u"2025-01-01"_qs)));   // pruned
        QCOMPARE(modeOf(userDir(u"user-2"_qs)), 0700);
        // Anything else is ignored.
        Q_EMIT m_auth.authStateChanged(u"somethingElse"_qs, QString());
        settle();
        QCOMPARE(store.segments(), QList<Segment>{a});
    }

    // The announcement may come from another thread: the user's directories are read there, the work happens here.
    void signOutFromAnotherThread()
    {
        FixedClock clock(localMs(2025, 6, 1, 12, 0));
        const QString dir = userDir(u"user-1"_qs);
        writeBytes(fileIn(dir, u"2025-05-31"_qs), line(record(u"L"_qs, 1, 2, 3)));
        SegmentStore store(std::nullopt, [] { return true; }, &m_auth);
        std::thread poster([&] {
            Q_EMIT m_auth.authStateChanged(u"logout"_qs, u"userInitiated"_qs);
            m_auth.set(false, QString());
        });
        poster.join();
        QVERIFY(QFileInfo::exists(dir));   // nothing done on the posting thread
        settle();
        QVERIFY(!QFileInfo::exists(dir));
    }
};

QTEST_GUILESS_MAIN(TestSegmentStoreHygiene)
#include "tst_segment_store_hygiene.moc"
