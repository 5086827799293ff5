// `kelvora report`: the command run as a person runs it, on a small day file with a ghost, an overlap, an excluded
// application, a superseded line and the segment being recorded.
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using TestSupport::localMs;

namespace {
qint64 at(int h, int m) { return localMs(2025, 3, 14, h, m); }
const qint64 kNoon = at(12, 0);

QByteArray record(int n, const char *app, const char *title, qint64 start, qint64 end, const char *type = "process",
                  std::optional<qint64> synced = std::nullopt)
{
    QByteArray line = "{\"id\":\"aaaaaaaa-0000-4000-8000-00000000000" + QByteArray::number(n) +
                      "\",\"date\":\"2025-03-14\",\"appName\":\"" + app + "\",\"windowTitle\":\"" + title +
                      "\",\"startTime\":" + QByteArray::number(start) + ",\"endTime\":" + QByteArray::number(end) +
                      ",\"type\":\"" + type + "\"";
    if (synced)
        line += ",\"syncedAt\":" + QByteArray::number(*synced);
    return line + "}\n";
}

QByteArray dayFile()
{
    return record(1, "Inactivity", "Away from keyboard", at(0, 0), at(5, 0), "inactivity")   // 5 h: a ghost
           + record(3, "Editor", "main.cpp", at(10, 30), at(10, 30))                         // superseded below
           + record(2, "Editor", "main.cpp", at(9, 0), at(10, 0), "process", at(10, 1))
           + record(3, "Editor", "main.cpp", at(10, 30), at(11, 0))
           + record(4, "Browser", "100%1 \\\"q\\\" \\/docs", at(9, 30), at(10, 15))       // overlaps 2
           + record(5, "loginwindow", "", at(11, 0), at(11, 5))
           + record(6, "Editor", "notes.txt", at(11, 50), at(11, 50))                       // being recorded
           + record(7, "Inactivity", "Away from keyboard", at(11, 5), at(11, 35), "inactivity")
           + record(8, "calendar", "Week", at(8, 0), at(8, 10));
}

// The whole JSON answer for dayFile() at noon, as one line.
QString expectedJson()
{
    QFile f(QFINDTESTDATA("report_day.expected.json"));
    if (!f.open(QIODevice::ReadOnly))
        qFatal("report_day.expected.json is missing");
    return QString::fromUtf8(f.readAll());
}

struct Result
{
    int exitCode = -1;
    QString out;
    QString err;
};

// The data directory is $XDG_DATA_HOME/Kelvora of `dataHome`, as for a person running Kelvora.
Result report(const QStringList &args, const QString &dataHome)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("KELVORA_TEST_HOST"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    env.insert(QStringLiteral("TZ"), QStringLiteral("Europe/Berlin"));
    p.setProcessEnvironment(env);
    p.start(TestSupport::builtProgram(QStringLiteral("kelvora")), QStringList{QStringLiteral("report")} + args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return {};
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

void write(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        qFatal("cannot write the fixture");
}
} // namespace

class TestReportCommand : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home;
    QString m_dayPath;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        m_dayPath = m_home.filePath(QStringLiteral("processes-2025-03-14.jsonl"));
        write(m_dayPath, dayFile());
    }

    void jsonOfADay()
    {
        const Result r = report({m_dayPath, u"--json"_qs, u"--now"_qs, QString::number(kNoon)}, m_home.path());
        QCOMPARE(r.err, QString());
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, expectedJson());
    }

    void textTree()
    {
        const Result r = report({u"--now=%1"_qs.arg(kNoon), m_dayPath}, m_home.path());
        QCOMPARE(r.exitCode, 0);
        const QStringList lines = r.out.split(u'\n');
        QCOMPARE(lines.mid(0, 3), (QStringList{u"2025-03-14"_qs,
                                               u"Tracked 2h 35m 0s, pending 2h 5m 0s, synced 1h 0m 0s"_qs,
                                               u"Segments 8, loggable 4, ghosts 1"_qs}));
        for (const QString &expected :
             {u"Editor  pending 40m 0s"_qs, u"  main.cpp  1h 30m 0s, pending 30m 0s"_qs,
              u"    11:50 → now  10m 0s  recording  AAAAAAAA-0000-4000-8000-000000000006"_qs,
              u"    09:00 → 10:00  1h 0m 0s  logged  AAAAAAAA-0000-4000-8000-000000000002"_qs,
              u"  Overnight away (not counted)  5h 0m 0s"_qs,
              u"    00:00 → 05:00  5h 0m 0s  ghost (not counted)  AAAAAAAA-0000-4000-8000-000000000001"_qs})
            QVERIFY2(lines.contains(expected), qPrintable(expected));
        QVERIFY(!r.out.contains(u"loginwindow"_qs));
    }

    // A day names its file in the signed-out data directory, or in a user's with --user; no such file is an empty day.
    void daysResolveToTheDataDirectory()
    {
        QTemporaryDir home;
        write(home.filePath(u"Kelvora/processes-2025-03-14.jsonl"_qs),
              record(8, "calendar", "Week", at(8, 0), at(8, 10)));
        write(home.filePath(u"Kelvora/u1/processes-2025-03-14.jsonl"_qs), dayFile());
        const QString now = u"--now=%1"_qs.arg(kNoon);
        QVERIFY(report({u"2025-03-14"_qs, u"--json"_qs, now}, home.path()).out.startsWith(
            u"{\"date\":\"2025-03-14\",\"trackedSeconds\":600,"_qs));
        QCOMPARE(report({u"--user"_qs, u"u1"_qs, u"--json"_qs, now}, home.path()).out, expectedJson());
        QCOMPARE(report({u"2025-03-15"_qs, u"--json"_qs, now}, home.path()).out,
                 u"{\"date\":\"2025-03-15\",\"trackedSeconds\":0,\"pendingSeconds\":0,\"syncedSeconds\":0,"
                 u"\"ghostIds\":[],\"loggableIds\":[],\"apps\":[]}\n"_qs);
    }

    void refusals_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addRow("--now not a number") << QStringList{u"--now"_qs, u"12abc"_qs};
        QTest::addRow("--now without a value") << QStringList{u"--now"_qs};
        QTest::addRow("unknown option") << QStringList{u"--bogus"_qs};
        QTest::addRow("two targets") << QStringList{u"2025-03-14"_qs, u"2025-03-15"_qs};
        QTest::addRow("not a calendar day") << QStringList{u"2025-02-30"_qs};
        QTest::addRow("--user with a path") << QStringList{u"--user"_qs, u"u1"_qs, u"/tmp/x.jsonl"_qs};
        QTest::addRow("unsafe user id") << QStringList{u"--user"_qs, u"../u1"_qs, u"2025-03-14"_qs};
        QTest::addRow("unreadable file") << QStringList{u"."_qs};
    }
    void refusals()
    {
        QFETCH(QStringList, args);
        const Result r = report(args, m_home.path());
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains(u"kelvora report: "_qs), qPrintable(r.err));
        QCOMPARE(r.out, QString());
    }
};

QTEST_GUILESS_MAIN(TestReportCommand)
#include "tst_report_command.moc"
