// The crash test: a child process records segments through a real SegmentStore and is killed with SIGKILL at random
// moments, many times over the same history folder. After every kill each file must load completely (no unreadable
// line), hold every record the child reported as written (its whole time span, split only at midnights), keep every
// piece in its own day's file, and never hold the same stretch of time twice.
#include "config.h"
#include "segment_store.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {

struct Report
{
    bool closed = false;
    QString app;
    qint64 start = 0;
    qint64 end = 0;
};

struct History
{
    QList<Segment> records;   // every record of every file
    int files = 0;
    int temporaries = 0;      // temporaries of rewrites cut short by a kill (hidden, never read)
    int tornLines = 0;        // record lines whose write a kill cut short
};

bool isLocalMidnight(qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms).time() == QTime(0, 0); }

} // namespace

class TestHistoryCrash : public QObject
{
    Q_OBJECT

    // Loads every file of the folder and checks what holds whatever the child was doing when it died.
    static bool loadAndCheck(const QString &dir, History *out)
    {
        History h;
        const QStringList names = QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
        for (const QString &name : names) {
            if (name.startsWith(u'.')) {
                ++h.temporaries;
                continue;
            }
            const QString path = dir + u'/' + name;
            const auto read = SegmentStore::readHistory(path);
            if (read.status != SegmentStore::HistoryRead::Status::ok) {
                qWarning("%s: %s", qPrintable(name), qPrintable(read.error));
                return false;
            }
            if (read.history.welded != 0) {
                qWarning("%s: %lld welded records", qPrintable(name), static_cast<long long>(read.history.welded));
                return false;
            }
            if (read.history.unreadable != 0) {
                // Only a record line the kill cut short may fail to read (Linux can stop a write that spans a page
                // boundary when a fatal signal arrives); its record was never reported as written.
                QFile f(path);
                if (!f.open(QIODevice::ReadOnly))
                    return false;
                const QByteArray bytes = f.readAll();
                for (QByteArrayView l : SegmentStore::historyLines(bytes)) {
                    if (l.isEmpty() || Segment::decodableObjects(l))
                        continue;
                    if (!l.startsWith("{\"id\":\"")) {
                        qWarning("%s: unreadable line: %s", qPrintable(name), l.toByteArray().constData());
                        return false;
                    }
                    ++h.tornLines;
                }
            }
            ++h.files;
            for (const Segment &s : read.history.segments) {
                // Each piece in its own day's file, and no piece reaching past the next midnight.
                const QString expectedName = u"processes-"_qs + s.date + u".jsonl"_qs;
                if (name != expectedName || Config::dayKeyForMs(s.startTime) != s.date || s.endTime < s.startTime
                    || (s.crossesMidnight() && !(isLocalMidnight(s.endTime)
                                                 && Config::dayKeyForMs(s.endTime - 1) == s.date))) {
                    qWarning("%s holds a misplaced record: %s", qPrintable(name), s.toJSONLine().value().constData());
                    return false;
                }
                h.records.append(s);
            }
        }
        // The same stretch of time is never recorded twice (segments follow each other).
        QList<Segment> byStart = h.records;
        std::sort(byStart.begin(), byStart.end(), [](const Segment &a, const Segment &b) {
            return a.startTime != b.startTime ? a.startTime < b.startTime : a.endTime < b.endTime;
        });
        for (qsizetype i = 1; i < byStart.size(); ++i) {
            if (byStart.at(i).startTime < byStart.at(i - 1).endTime) {
                qWarning("overlapping records:\n%s\n%s", byStart.at(i - 1).toJSONLine().value().constData(),
                         byStart.at(i).toJSONLine().value().constData());
                return false;
            }
        }
        *out = h;
        return true;
    }

    // A reported record is present: pieces of its app starting at its start, following each other without a gap,
    // and (when it was reported closed) ending at its end.
    static bool covers(const QMultiMap<QString, Segment> &byApp, const Report &r)
    {
        QList<Segment> pieces = byApp.values(r.app);
        // A kill in the middle of a midnight split leaves the unsplit open record (zero length) beside the pieces
        // already written: it holds no time, and its day is never "today" again, so nothing ever closes it.
        if (std::any_of(pieces.begin(), pieces.end(), [](const Segment &s) { return !s.isOpen(); }))
            pieces.removeIf([](const Segment &s) { return s.isOpen(); });
        std::sort(pieces.begin(), pieces.end(),
                  [](const Segment &a, const Segment &b) { return a.startTime < b.startTime; });
        if (pieces.isEmpty() || pieces.first().startTime != r.start)
            return false;
        for (qsizetype i = 1; i < pieces.size(); ++i)
            if (pieces.at(i).startTime != pieces.at(i - 1).endTime)
                return false;
        return !r.closed || pieces.last().endTime == r.end;
    }

private Q_SLOTS:
    void killedAtRandomMomentsLosesNothing()
    {
        const QString child = TestSupport::builtProgram(u"kelvora-history-crash-child"_qs);
        QVERIFY2(QFile::exists(child), qPrintable(child));
        QTemporaryDir dir;
        const int runs = qEnvironmentVariableIntValue("KELVORA_CRASH_RUNS") > 0
            ? qEnvironmentVariableIntValue("KELVORA_CRASH_RUNS")
            : 150;
        const quint32 seed = qEnvironmentVariableIsSet("KELVORA_CRASH_SEED")
            ? static_cast<quint32>(qEnvironmentVariableIntValue("KELVORA_CRASH_SEED"))
            : QRandomGenerator::global()->generate();
        qInfo("crash test: %d runs, seed %u (KELVORA_CRASH_SEED to repeat)", runs, seed);
        QRandomGenerator rng(seed);

        QList<Report> reported;
        qint64 next = TestSupport::localMs(2024, 10, 25, 21, 0);   // toward the autumn DST change in Berlin
        int killedMidWork = 0;
        int finished = 0;
        History h;
        for (int run = 0; run < runs; ++run) {
            QProcess p;
            p.setProcessChannelMode(QProcess::SeparateChannels);
            p.setStandardErrorFile(QProcess::nullDevice());
            p.start(child, {dir.path(), QString::number(next), QString::number(rng.generate()), u"400"_qs,
                            QString::number(run)});
            QVERIFY(p.waitForStarted());
            // A random moment: a quarter of the kills anywhere from the start (also while the child loads and
            // recovers), the rest once it records, so that slow machines still kill it mid-work.
            if (rng.bounded(4) != 0)
                p.waitForReadyRead(10'000);
            QThread::usleep(rng.bounded(45'000));
            p.kill();   // SIGKILL
            QVERIFY(p.waitForFinished(10'000));
            const QByteArray out = p.readAllStandardOutput();
            // Only complete report lines count: a line cut by the kill was never fully reported.
            const QList<QByteArray> lines = out.left(out.lastIndexOf('\n') + 1).split('\n');
            bool done = false;
            int reports = 0;
            for (const QByteArray &l : lines) {
                const QList<QByteArray> f = l.split(' ');
                if (l == "done") {
                    done = true;
                } else if (f.size() == 3 && f[0] == "open") {
                    reported.append(Report{false, QString::fromUtf8(f[1]), f[2].toLongLong(), 0});
                    ++reports;
                } else if (f.size() == 4 && f[0] == "closed") {
                    reported.append(Report{true, QString::fromUtf8(f[1]), f[2].toLongLong(), f[3].toLongLong()});
                    ++reports;
                }
            }
            if (done)
                ++finished;
            else if (reports > 0)
                ++killedMidWork;

            QVERIFY2(loadAndCheck(dir.path(), &h), qPrintable(u"after run %1"_qs.arg(run)));
            QMultiMap<QString, Segment> byApp;
            for (const Segment &s : std::as_const(h.records))
                byApp.insert(s.appName, s);
            for (const Report &r : std::as_const(reported)) {
                const QString what = u"after run %1: %2 %3 %4 %5 is not in the history"_qs.arg(run)
                                         .arg(r.closed ? u"closed"_qs : u"open"_qs, r.app)
                                         .arg(r.start)
                                         .arg(r.end);
                QVERIFY2(covers(byApp, r), qPrintable(what));
            }

            // The next run starts after everything on disk, sometimes hours later (across midnights).
            qint64 latest = next;
            for (const Segment &s : std::as_const(h.records))
                latest = std::max({latest, s.startTime, s.endTime});
            next = latest + 1000 + (rng.bounded(4) == 0 ? rng.bounded(6 * 3'600'000) : rng.bounded(120'000));
        }
        qInfo("crash test: %d runs, %d killed mid-work, %d finished first, %lld reports checked, %lld records in %d "
              "files, %d rewrite temporaries left by kills, %d torn lines",
              runs, killedMidWork, finished, static_cast<long long>(reported.size()),
              static_cast<long long>(h.records.size()), h.files, h.temporaries, h.tornLines);
        QVERIFY2(killedMidWork >= runs / 4, "too few kills landed while the child was writing");
        QVERIFY(h.files > 5);   // the simulated clock crossed many midnights
    }
};

QTEST_GUILESS_MAIN(TestHistoryCrash)
#include "tst_history_crash.moc"
