// `kelvora history PATH_OR_DATE`, run as a program: the records as a rewrite would write them on stdout, the
// summary on stderr, nothing for a missing file, exit 2 for an unreadable one, and a day read from the data folder.
#include "config.h"
#include "segment_store.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Runs `kelvora history ARGS` outside the test host (its data folders are the real ones, under XDG_DATA_HOME).
Result history(const QStringList &args, const QString &xdgDataHome = {}, bool asNobody = false)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(u"KELVORA_TEST_HOST"_qs);
    if (!xdgDataHome.isEmpty())
        env.insert(u"XDG_DATA_HOME"_qs, xdgDataHome);
    p.setProcessEnvironment(env);
    if (asNobody)
        p.setChildProcessModifier([] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(99);
        });
    p.start(TestSupport::builtProgram(u"kelvora"_qs), QStringList{u"history"_qs} + args);
    Result r;
    if (!p.waitForFinished(30'000) || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

void write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

Segment record(const QString &app, qint64 start, qint64 end, std::optional<qint64> synced = std::nullopt)
{
    return Segment{QUuid::createUuid(), Config::dayKeyForMs(start), app, u"title / \"x\" é"_qs, start, end,
                   SegmentType::process, synced};
}
QByteArray line(const Segment &s) { return s.toJSONLine().value(); }

} // namespace

class TestHistoryCli : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY(QFile::exists(TestSupport::builtProgram(u"kelvora"_qs))); }

    void printsWhatARewriteWouldWrite()
    {
        QTemporaryDir dir;
        const qint64 t = TestSupport::localMs(2025, 3, 14, 9, 0);
        const Segment a = record(u"A"_qs, t, t);
        Segment aClosed = a;
        aClosed.endTime = t + 60'000;
        const Segment b = record(u"B"_qs, t + 60'000, t + 120'000, t + 200'000);
        const Segment c = record(u"C"_qs, t + 120'000, t + 180'000);
        // CR LF, a welded pair, a garbled line, a blank line, and no final line feed.
        const QByteArray content = line(a) + "\r\n" + line(b) + line(c) + "\ngarbage\n\n" + line(aClosed);
        const QString path = dir.filePath(u"processes-2025-03-14.jsonl"_qs);
        write(path, content);
        const Result r = history({path});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, SegmentStore::historyFileContent({aClosed, b, c}));
        QCOMPARE(r.out, SegmentStore::historyFileContent(SegmentStore::readHistory(path).history.segments));
        QCOMPARE(r.err, QByteArray("records=3 superseded=1 welded=2 unreadable=1\n"));
        // The file itself is only read.
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), content);
    }

    void emptyFile()
    {
        QTemporaryDir dir;
        write(dir.filePath(u"e.jsonl"_qs), "");
        const Result r = history({dir.filePath(u"e.jsonl"_qs)});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QByteArray());
        QCOMPARE(r.err, QByteArray("records=0 superseded=0 welded=0 unreadable=0\n"));
    }

    void missingFilePrintsNothing()
    {
        QTemporaryDir dir;
        const Result r = history({dir.filePath(u"none.jsonl"_qs)});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QByteArray());
        QCOMPARE(r.err, QByteArray());
    }

    void notUtf8IsUnreadable()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"bad.jsonl"_qs);
        write(path, line(record(u"A"_qs, 1000, 2000)) + "\n\xc0\xaf\n");
        const Result r = history({path});
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(r.out, QByteArray());
        QVERIFY2(r.err.contains(path.toUtf8()) && r.err.contains("not valid UTF-8"), r.err.constData());
    }

    void permissionDeniedIsUnreadable()
    {
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                      | QFileDevice::ExeOwner | QFileDevice::ExeOther));
        const QString path = dir.filePath(u"secret.jsonl"_qs);
        write(path, line(record(u"A"_qs, 1000, 2000)) + '\n');
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        // As root every file is readable: drop to nobody for the child.
        const bool root = ::geteuid() == 0;
        const Result r = history({path}, {}, root);
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(r.out, QByteArray());
        QVERIFY2(r.err.contains("cannot read") && r.err.contains("Permission denied"), r.err.constData());
    }

    void directoryIsUnreadable()
    {
        QTemporaryDir dir;
        const Result r = history({dir.path()});
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.err.contains("cannot read"));
    }

    // A date reads that day's file of the data folder: the signed-out one, or --user's.
    void dateArguments()
    {
        QTemporaryDir xdg;
        const qint64 t = TestSupport::localMs(2025, 3, 14, 9, 0);
        const Segment signedOut = record(u"SignedOut"_qs, t, t + 1000);
        const Segment user = record(u"User"_qs, t, t + 1000);
        const Segment today = record(u"Today"_qs, Clock::nowMs(), Clock::nowMs() + 1000);
        write(xdg.filePath(u"Kelvora/processes-2025-03-14.jsonl"_qs), line(signedOut) + '\n');
        write(xdg.filePath(u"Kelvora/u-1/processes-2025-03-14.jsonl"_qs), line(user) + '\n');
        write(xdg.filePath(u"Kelvora/processes-%1.jsonl"_qs.arg(Config::todayString())), line(today) + '\n');

        Result r = history({u"2025-03-14"_qs}, xdg.path());
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, line(signedOut) + '\n');
        r = history({u"--user"_qs, u"u-1"_qs, u"2025-03-14"_qs}, xdg.path());
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, line(user) + '\n');
        r = history({u"today"_qs}, xdg.path());
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, line(today) + '\n');
        r = history({u"2025-03-15"_qs}, xdg.path());   // no file that day
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QByteArray());
    }

    void badArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addRow("nothing") << QStringList{};
        QTest::addRow("two targets") << QStringList{u"a"_qs, u"b"_qs};
        QTest::addRow("unknown option") << QStringList{u"--frobnicate"_qs, u"today"_qs};
        QTest::addRow("no calendar day") << QStringList{u"2025-02-30"_qs};
        QTest::addRow("unsafe user") << QStringList{u"--user"_qs, u"../other"_qs, u"today"_qs};
        QTest::addRow("user without id") << QStringList{u"today"_qs, u"--user"_qs};
    }
    void badArguments()
    {
        QFETCH(QStringList, args);
        QTemporaryDir xdg;
        const Result r = history(args, xdg.path());
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(r.out, QByteArray());
        QVERIFY2(r.err.contains("kelvora history: "), r.err.constData());
        QVERIFY(QDir(xdg.path()).isEmpty());   // nothing created
    }

    void help()
    {
        const Result r = history({u"--help"_qs});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.contains("PATH_OR_DATE"));
        QVERIFY(r.out.contains("--user ID"));
        QVERIFY(r.out.contains("signed-out data directory"));
        QVERIFY(r.out.contains("records=N superseded=N welded=N unreadable=N"));
    }
};

QTEST_GUILESS_MAIN(TestHistoryCli)
#include "tst_history_cli.moc"
