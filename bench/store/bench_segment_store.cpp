// The history store's costs: loading a large day file (the path of every popover day switch and of the 31-day
// calendar fallback) against `jq -c . FILE > /dev/null` on the same file in the same run, the parts of a load
// (UTF-8 check, line splitting, the record codec, latest record per id), one appended record, and
// pruneAndSecureHistory over a 90-day folder.
//
// The day file: 20,000 segments, each written open and then closed (40,000 lines, as the store writes them when
// every start closes the previous segment), 1% of the segments' closed lines welded to the next line.
#include "clock.h"
#include "config.h"
#include "file_access.h"
#include "segment_store.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <map>
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>

extern char **environ;

namespace {

constexpr int kSegments = 20'000;

struct DayFile
{
    QTemporaryDir dir;
    QString path;
    QByteArray bytes;
    qsizetype lines = 0;
    qsizetype weldedPairs = 0;
};

QString realisticTitle(QRandomGenerator &rng, int i)
{
    static const QStringList titles{
        QStringLiteral("segment_store.cpp - kelvora - Visual Studio Code"),
        QStringLiteral("Pull request #%1: Store the history atomically · kelvora/kelvora"),
        QStringLiteral("Inbox (%1) - someone@example.org - Mail"),
        QStringLiteral("~/src/kelvora/build — bash — 120×40"),
        QStringLiteral("Réunion hebdomadaire — notes.odt - LibreOffice Writer"),
        QStringLiteral("https://docs.example.org/api/v2/segments?day=2025-03-14 - Firefox"),
        QStringLiteral("Slack | #engineering | Kelvora"),
        QStringLiteral("\"Quarterly plan\" (draft) {v%1} – Google Docs"),
        QStringLiteral("/home/user/Documents/invoices/2025/03/invoice-%1.pdf"),
        QStringLiteral("日本語のタイトル %1 — テキストエディタ"),
    };
    const QString &title = titles.at(static_cast<qsizetype>(rng.bounded(titles.size())));
    return title.contains(QLatin1String("%1")) ? title.arg(i) : title;
}

const DayFile &dayFile()
{
    static DayFile *file = [] {
        auto *f = new DayFile;
        QRandomGenerator rng(20250314);
        static const QStringList apps{QStringLiteral("Code"),     QStringLiteral("Firefox"),
                                      QStringLiteral("Slack"),    QStringLiteral("Terminal"),
                                      QStringLiteral("Mail"),     QStringLiteral("LibreOffice"),
                                      QStringLiteral("Files"),    QStringLiteral("Zoom"),
                                      QStringLiteral("Figma"),    QStringLiteral("Inactive")};
        qint64 t = QDateTime(QDate(2025, 3, 14), QTime(0, 0)).toMSecsSinceEpoch();
        QByteArray out;
        out.reserve(kSegments * 2 * 260);
        for (int i = 0; i < kSegments; ++i) {
            const QString app = apps.at(static_cast<qsizetype>(rng.bounded(apps.size())));
            Segment s{QUuid::createUuid(), QStringLiteral("2025-03-14"), app, realisticTitle(rng, i), t, t,
                      app == QLatin1String("Inactive") ? SegmentType::inactivity : SegmentType::process, std::nullopt};
            out += s.toJSONLine().value();
            out += '\n';
            ++f->lines;
            t += 1 + rng.bounded(8'000);
            s.endTime = t;
            if (rng.bounded(25) == 0)
                s.syncedAt = t + 60'000;
            out += s.toJSONLine().value();
            ++f->lines;
            // 1% of the segments: the closed line is welded to the next open line (a lost line feed).
            if (i % 100 == 37 && i + 1 < kSegments) {
                ++f->weldedPairs;
                --f->lines;
            } else {
                out += '\n';
            }
        }
        f->bytes = out;
        f->path = f->dir.filePath(QStringLiteral("processes-2025-03-14.jsonl"));
        QFile written(f->path);
        if (!written.open(QIODevice::WriteOnly) || written.write(out) != out.size())
            qFatal("cannot write the day file");
        written.close();
        return f;
    }();
    return *file;
}

double megabytes(qsizetype bytes) { return static_cast<double>(bytes) / 1e6; }

// Seconds per iteration of the last run of each benchmark, for the summary.
std::map<std::string, double> secondsPerIteration;

template <typename F>
void timed(benchmark::State &state, const char *name, F &&body)
{
    const auto begin = std::chrono::steady_clock::now();
    std::int64_t n = 0;
    for (auto _ : state) {
        body();
        ++n;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (n > 0)
        secondsPerIteration[name] = seconds / static_cast<double>(n);
}

void setFileCounters(benchmark::State &state, std::int64_t records)
{
    const DayFile &f = dayFile();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * f.bytes.size());
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsIterationInvariantRate);
}

// The store's load path: read, UTF-8 check, split, decode, latest record per id.
void BM_LoadDayFile(benchmark::State &state)
{
    const DayFile &f = dayFile();
    qsizetype records = 0;
    timed(state, "load", [&] {
        const SegmentStore::HistoryRead read = SegmentStore::readHistory(f.path);
        records = read.history.segments.size() + read.history.superseded;
        benchmark::DoNotOptimize(read);
    });
    setFileCounters(state, records);
    const auto read = SegmentStore::readHistory(f.path);
    state.counters["segments"] = static_cast<double>(read.history.segments.size());
    state.counters["superseded"] = static_cast<double>(read.history.superseded);
    state.counters["welded"] = static_cast<double>(read.history.welded);
    state.counters["unreadable"] = static_cast<double>(read.history.unreadable);
}
BENCHMARK(BM_LoadDayFile)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The same without the file read (bytes already in memory).
void BM_LoadHistoryInMemory(benchmark::State &state)
{
    const DayFile &f = dayFile();
    qsizetype records = 0;
    timed(state, "loadInMemory", [&] {
        const auto loaded = SegmentStore::loadHistory(f.bytes);
        records = loaded.segments.size() + loaded.superseded;
        benchmark::DoNotOptimize(loaded);
    });
    setFileCounters(state, records);
}
BENCHMARK(BM_LoadHistoryInMemory)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The parts of a load.
void BM_ReadFileOnly(benchmark::State &state)
{
    const DayFile &f = dayFile();
    timed(state, "read", [&] { benchmark::DoNotOptimize(FileAccess::real()->readFile(f.path)); });
    setFileCounters(state, f.lines);
}
BENCHMARK(BM_ReadFileOnly)->Unit(benchmark::kMillisecond);

void BM_Utf8CheckOnly(benchmark::State &state)
{
    const DayFile &f = dayFile();
    timed(state, "utf8", [&] { benchmark::DoNotOptimize(QByteArrayView(f.bytes).isValidUtf8()); });
    setFileCounters(state, f.lines);
}
BENCHMARK(BM_Utf8CheckOnly)->Unit(benchmark::kMillisecond);

void BM_SplitLinesOnly(benchmark::State &state)
{
    const DayFile &f = dayFile();
    timed(state, "split", [&] { benchmark::DoNotOptimize(SegmentStore::historyLines(f.bytes)); });
    setFileCounters(state, f.lines);
}
BENCHMARK(BM_SplitLinesOnly)->Unit(benchmark::kMillisecond);

// The lead's codec alone: decodableObjects over the pre-split lines.
void BM_DecodeOnly(benchmark::State &state)
{
    const DayFile &f = dayFile();
    const QList<QByteArrayView> lines = SegmentStore::historyLines(f.bytes);
    qsizetype records = 0;
    timed(state, "decode", [&] {
        records = 0;
        for (QByteArrayView line : lines) {
            if (line.isEmpty())
                continue;
            auto objects = Segment::decodableObjects(line);
            records += objects ? objects->size() : 0;
            benchmark::DoNotOptimize(objects);
        }
    });
    setFileCounters(state, records);
}
BENCHMARK(BM_DecodeOnly)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_LatestRecordPerIdOnly(benchmark::State &state)
{
    const DayFile &f = dayFile();
    QList<Segment> all;
    for (QByteArrayView line : SegmentStore::historyLines(f.bytes))
        if (auto objects = Segment::decodableObjects(line))
            for (const auto &o : *objects)
                all.append(o.second);
    timed(state, "latest", [&] { benchmark::DoNotOptimize(SegmentStore::latestRecordPerId(all)); });
    setFileCounters(state, all.size());
}
BENCHMARK(BM_LatestRecordPerIdOnly)->Unit(benchmark::kMillisecond);

// jq on the same file: `jq -c . FILE > /dev/null`, a fresh process per iteration, as a person would run it.
void BM_Jq(benchmark::State &state)
{
    const DayFile &f = dayFile();
    const QByteArray file = QFile::encodeName(f.path);
    timed(state, "jq", [&] {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        char jq[] = "jq", c[] = "-c", dot[] = ".";
        char *argv[] = {jq, c, dot, const_cast<char *>(file.constData()), nullptr};
        pid_t pid = 0;
        if (posix_spawnp(&pid, "jq", &actions, nullptr, argv, environ) != 0) {
            state.SkipWithError("jq could not be started");
        } else {
            int status = 0;
            waitpid(pid, &status, 0);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                state.SkipWithError("jq failed");
        }
        posix_spawn_file_actions_destroy(&actions);
    });
    setFileCounters(state, f.lines);
}
BENCHMARK(BM_Jq)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// One appended record through the store: each start closes the previous segment (one appended line) and opens a new
// one (another); the day's list already holds 20,000 segments. Reported per appended record.
void BM_AppendRecord(benchmark::State &state)
{
    QTemporaryDir dir;
    QFile::copy(dayFile().path, dir.filePath(QStringLiteral("processes-%1.jsonl").arg(Config::todayString())));
    SegmentStore store(dir.path(), [] { return true; });
    store.loadToday();
    int i = 0;
    timed(state, "appendPerStart", [&] {
        store.startSegment(QStringLiteral("Code"), QStringLiteral("segment_store.cpp - kelvora - %1").arg(++i),
                           SegmentType::process);
        if (i % 256 == 0) {
            state.PauseTiming();
            QCoreApplication::processEvents();   // the queued notifications
            state.ResumeTiming();
        }
    });
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 2);   // appended records
    QCoreApplication::processEvents();
}
BENCHMARK(BM_AppendRecord)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// The file layer's append alone (open, tail check, write, close).
void BM_FileAppendOnly(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.jsonl"));
    FileAccess *files = FileAccess::real();
    (void)files->writeFileAtomically(path, "");
    const Segment s{QUuid::createUuid(), QStringLiteral("2025-03-14"), QStringLiteral("Code"),
                    QStringLiteral("segment_store.cpp - kelvora - Visual Studio Code"), 1, 2, SegmentType::process, {}};
    const QByteArray line = s.toJSONLine().value() + '\n';
    timed(state, "fileAppend", [&] { benchmark::DoNotOptimize(files->appendWithTailCheck(path, line)); });
}
BENCHMARK(BM_FileAppendOnly)->Unit(benchmark::kMicrosecond);

// pruneAndSecureHistory over a 90-day folder (plus ten files past the horizon, recreated before every iteration).
void BM_PruneAndSecure90Days(benchmark::State &state)
{
    const QString dir = Config::dataDirectory();
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    const QDate today = Clock::now().date();
    const QByteArray content = dayFile().bytes.left(64 * 1024);
    for (int d = 0; d <= 90; ++d) {
        QFile f(dir + QStringLiteral("/processes-%1.jsonl").arg(today.addDays(-d).toString(Qt::ISODate)));
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qFatal("cannot write");
    }
    const bool withExpired = state.range(0) != 0;
    SegmentStore store(std::nullopt, [] { return true; });
    timed(state, withExpired ? "pruneExpired" : "prune", [&] {
        if (withExpired) {
            state.PauseTiming();
            for (int d = 91; d <= 100; ++d) {
                QFile f(dir + QStringLiteral("/processes-%1.jsonl").arg(today.addDays(-d).toString(Qt::ISODate)));
                if (!f.open(QIODevice::WriteOnly))
                    qFatal("cannot write");
            }
            state.ResumeTiming();
        }
        store.pruneAndSecureHistory();
    });
    state.counters["files"] = 91 + (withExpired ? 10 : 0);
    QDir(dir).removeRecursively();
}
BENCHMARK(BM_PruneAndSecure90Days)->Arg(0)->Arg(1)->ArgNames({"expired"})->Unit(benchmark::kMicrosecond);

void printSummary()
{
    const DayFile &f = dayFile();
    const double mb = megabytes(f.bytes.size());
    auto rate = [&](const char *name) {
        const auto it = secondsPerIteration.find(name);
        return it == secondsPerIteration.end() ? 0.0 : mb / it->second;
    };
    auto ms = [&](const char *name) {
        const auto it = secondsPerIteration.find(name);
        return it == secondsPerIteration.end() ? 0.0 : it->second * 1e3;
    };
    auto us = [&](const char *name) {
        const auto it = secondsPerIteration.find(name);
        return it == secondsPerIteration.end() ? 0.0 : it->second * 1e6;
    };
    const double load = rate("load");
    const double jq = rate("jq");
    std::printf("\n== History store summary ==\n");
    std::printf("day file: %d segments, %lld lines, %lld welded pairs, %.2f MB\n", kSegments,
                static_cast<long long>(f.lines), static_cast<long long>(f.weldedPairs), mb);
    std::printf("load (store path, from file): %8.1f MB/s  %10.0f records/s  %7.2f ms\n", load,
                static_cast<double>(kSegments * 2) / (ms("load") / 1e3), ms("load"));
    std::printf("  in memory (no file read):   %8.1f MB/s  %7.2f ms\n", rate("loadInMemory"), ms("loadInMemory"));
    std::printf("  read file only:             %8.1f MB/s  %7.2f ms\n", rate("read"), ms("read"));
    std::printf("  UTF-8 check only:           %8.1f MB/s  %7.2f ms\n", rate("utf8"), ms("utf8"));
    std::printf("  line splitting only:        %8.1f MB/s  %7.2f ms\n", rate("split"), ms("split"));
    std::printf("  decode only (codec):        %8.1f MB/s  %7.2f ms\n", rate("decode"), ms("decode"));
    std::printf("  latest record per id only:  %7.2f ms\n", ms("latest"));
    std::printf("jq -c . FILE > /dev/null:     %8.1f MB/s  %7.2f ms\n", jq, ms("jq"));
    if (jq > 0)
        std::printf("load vs jq: %.1fx   goals: >= 300 MB/s %s, >= 10x jq %s\n", load / jq,
                    load >= 300 ? "met" : "MISSED", load >= 10 * jq ? "met" : "MISSED");
    std::printf("one appended record via the store (day of 20,000): %.2f us   file layer append alone: %.2f us\n",
                us("appendPerStart") / 2, us("fileAppend"));
    std::printf("pruneAndSecureHistory, 90-day folder (91 files): %.1f us   with 10 expired files deleted: %.1f us\n",
                us("prune"), us("pruneExpired"));
}

} // namespace

int main(int argc, char **argv)
{
    // Config's directories under a per-process temporary root, never the person's own history.
    qputenv("KELVORA_TEST_HOST", "1");
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    QDir(Config::testHostRootDirectory()).removeRecursively();
    return 0;
}
