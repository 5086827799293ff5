// The store's file layer: modes from the first byte (0600 files, 0700 directories, whatever the umask), the atomic
// write (nothing left behind, the old content on failure), the append with its tail check, and the small helpers.
#include "file_access.h"
#include "store_fixture.h"

#include <QTest>

#include <atomic>
#include <cstring>
#include <dirent.h>
#include <thread>

using namespace StoreTest;

namespace {

// Restores the umask on scope exit.
struct Umask
{
    mode_t previous;
    explicit Umask(mode_t mask) : previous(::umask(mask)) {}
    ~Umask() { ::umask(previous); }
};

QStringList allEntries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class TestSegmentStoreFiles : public QObject
{
    Q_OBJECT
    FileAccess *files = FileAccess::real();

private Q_SLOTS:
    void atomicWriteCreatesAndReplaces()
    {
        Umask mask(0);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"processes-2025-03-14.jsonl"_qs);
        QVERIFY(files->writeFileAtomically(path, "one\n"));
        QCOMPARE(readBytes(path), QByteArray("one\n"));
        QCOMPARE(modeOf(path), 0600);
        // Replacing a file someone made world-readable: the new file is 0600 from its first byte.
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther
                                                | QFileDevice::WriteOther));
        QVERIFY(files->writeFileAtomically(path, "two\n"));
        QCOMPARE(readBytes(path), QByteArray("two\n"));
        QCOMPARE(modeOf(path), 0600);
        QVERIFY(files->writeFileAtomically(path, ""));
        QVERIFY(QFile::exists(path));
        QCOMPARE(readBytes(path), QByteArray());
        QCOMPARE(allEntries(dir.path()), QStringList{u"processes-2025-03-14.jsonl"_qs});   // no temporary left
    }

    // Watch the directory while large writes run: every temporary file ever seen is already 0600.
    void temporaryFileIsPrivateFromTheStart()
    {
        Umask mask(0);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"big.jsonl"_qs);
        const QByteArray data(48 * 1024 * 1024, 'x');
        std::atomic<bool> done{false};
        std::atomic<int> seen{0};
        std::atomic<int> wrongMode{-1};
        const QByteArray dirName = QFile::encodeName(dir.path());
        std::thread watcher([&] {
            while (!done.load()) {
                DIR *d = ::opendir(dirName.constData());
                if (!d)
                    continue;
                while (const dirent *e = ::readdir(d)) {
                    if (std::strstr(e->d_name, ".tmp") == nullptr)
                        continue;
                    struct stat st;
                    const QByteArray full = dirName + '/' + e->d_name;
                    if (::stat(full.constData(), &st) == 0) {
                        ++seen;
                        if ((st.st_mode & 07777) != 0600)
                            wrongMode = static_cast<int>(st.st_mode & 07777);
                    }
                }
                ::closedir(d);
            }
        });
        for (int i = 0; i < 20 && seen.load() == 0; ++i)
            QVERIFY(files->writeFileAtomically(path, data));
        done = true;
        watcher.join();
        if (seen.load() == 0)
            QSKIP("the temporary file was never caught in the act");
        QCOMPARE(wrongMode.load(), -1);
    }

    void atomicWriteFailureKeepsTheOldFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"a.jsonl"_qs);
        QVERIFY(files->writeFileAtomically(path, "old\n"));
        // The target is a directory now: rename fails, the temporary is removed.
        const QString blocked = dir.filePath(u"blocked"_qs);
        QVERIFY(QDir().mkpath(blocked + u"/inner"_qs));
        const FileResult r = files->writeFileAtomically(blocked, "new\n");
        QVERIFY(!r.ok);
        QVERIFY(!r.error.isEmpty());
        QCOMPARE(allEntries(dir.path()), (QStringList{u"a.jsonl"_qs, u"blocked"_qs}));
        // A missing directory fails cleanly.
        QVERIFY(!files->writeFileAtomically(dir.filePath(u"missing/a.jsonl"_qs), "x"));
        QCOMPARE(readBytes(path), QByteArray("old\n"));
    }

    void appendWithTailCheck_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<bool>("repaired");
        QTest::addColumn<QByteArray>("after");
        QTest::addRow("empty file") << QByteArray() << false << QByteArray("L\n");
        QTest::addRow("terminated") << QByteArray("a\n") << false << QByteArray("a\nL\n");
        QTest::addRow("unterminated") << QByteArray("a") << true << QByteArray("a\nL\n");
        QTest::addRow("ends in CR") << QByteArray("a\r") << true << QByteArray("a\r\nL\n");
    }
    void appendWithTailCheck()
    {
        QFETCH(QByteArray, before);
        QFETCH(bool, repaired);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"a.jsonl"_qs);
        writeBytes(path, before);
        const auto r = files->appendWithTailCheck(path, "L\n");
        QVERIFY(r.ok);
        QCOMPARE(r.repairedTail, repaired);
        QCOMPARE(readBytes(path), after);
    }

    void appendToAMissingFileFailsToOpen()
    {
        QTemporaryDir dir;
        const auto r = files->appendWithTailCheck(dir.filePath(u"none.jsonl"_qs), "L\n");
        QVERIFY(!r.ok);
        QVERIFY(r.openFailed);
        QVERIFY(!QFile::exists(dir.filePath(u"none.jsonl"_qs)));   // append never creates
    }

    void makeDirectoriesIs0700()
    {
        Umask mask(0);
        QTemporaryDir dir;
        const QString deep = dir.filePath(u"a/b/c"_qs);
        QVERIFY(files->makeDirectories(deep));
        for (const QString &p : {dir.filePath(u"a"_qs), dir.filePath(u"a/b"_qs), deep})
            QCOMPARE(modeOf(p), 0700);
        QVERIFY(files->makeDirectories(deep));   // already there
        writeBytes(dir.filePath(u"file"_qs), "x");
        QVERIFY(!files->makeDirectories(dir.filePath(u"file/sub"_qs)));
    }

    void permissions()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"a"_qs);
        writeBytes(path, "x");
        QVERIFY(files->setPermissions(path, 0600));
        QCOMPARE(modeOf(path), 0600);
        QVERIFY(files->setPermissions(dir.path(), 0700));
        QCOMPARE(modeOf(dir.path()), 0700);
        QVERIFY(files->setPermissions(dir.filePath(u"missing"_qs), 0600));   // nothing there: nothing to do
    }

    void listRemoveCopy()
    {
        QTemporaryDir dir;
        writeBytes(dir.filePath(u"a.jsonl"_qs), "a");
        writeBytes(dir.filePath(u".hidden"_qs), "h");
        writeBytes(dir.filePath(u"sub/b.jsonl"_qs), "b");
        auto visible = files->listDirectory(dir.path(), false);
        QVERIFY(visible);
        visible->sort();
        QCOMPARE(*visible, (QStringList{u"a.jsonl"_qs, u"sub"_qs}));
        auto all = files->listDirectory(dir.path(), true);
        QCOMPARE(all->size(), 3);
        QString error;
        QVERIFY(!files->listDirectory(dir.filePath(u"missing"_qs), true, &error));
        QVERIFY(!error.isEmpty());

        QVERIFY(files->copyFile(dir.filePath(u"a.jsonl"_qs), dir.filePath(u"sub/a.jsonl"_qs)));
        QCOMPARE(readBytes(dir.filePath(u"sub/a.jsonl"_qs)), QByteArray("a"));
        QCOMPARE(modeOf(dir.filePath(u"sub/a.jsonl"_qs)), 0600);
        QVERIFY(!files->copyFile(dir.filePath(u"a.jsonl"_qs), dir.filePath(u"sub/b.jsonl"_qs)));   // never over a file
        QCOMPARE(readBytes(dir.filePath(u"sub/b.jsonl"_qs)), QByteArray("b"));

        QVERIFY(files->remove(dir.filePath(u"sub"_qs)));
        QVERIFY(!QFileInfo::exists(dir.filePath(u"sub"_qs)));
        QVERIFY(!files->remove(dir.filePath(u"sub"_qs)));
        QVERIFY(files->exists(dir.filePath(u"a.jsonl"_qs)));
        QVERIFY(!files->exists(dir.filePath(u"sub"_qs)));
    }

    void readFile()
    {
        QTemporaryDir dir;
        QByteArray big(3 * 1024 * 1024 + 17, '\0');
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = static_cast<char>(i * 31);
        writeBytes(dir.filePath(u"big"_qs), big);
        QCOMPARE(files->readFile(dir.filePath(u"big"_qs)).value(), big);
        writeBytes(dir.filePath(u"empty"_qs), QByteArray());
        QCOMPARE(files->readFile(dir.filePath(u"empty"_qs)).value(), QByteArray());
        QString error;
        QVERIFY(!files->readFile(dir.path(), &error));   // a directory
        QVERIFY(!error.isEmpty());
        QVERIFY(!files->readFile(dir.filePath(u"missing"_qs), &error));
    }
};

QTEST_GUILESS_MAIN(TestSegmentStoreFiles)
#include "tst_segment_store_files.moc"
