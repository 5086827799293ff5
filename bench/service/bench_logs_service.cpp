// How quick and how small logging a heavy day is: 10,000 segments sent in full (200 batches), then the same
// 10,000 again as ids (40 batches), against the stand-in on loopback; and gzip of one full batch.
#include "api_client.h"
#include "auth_state.h"
#include "config.h"
#include "gzip.h"
#include "logs_service.h"
#include "service_fixture.h"

#include <QCoreApplication>
#include <QSettings>
#include <QStandardPaths>
#include <benchmark/benchmark.h>

namespace {

ServiceTest::DevService *devService = nullptr;
QString sessionToken;

QList<Segment> heavyDay(int count)
{
    QList<Segment> out;
    out.reserve(count);
    const qint64 dayStart = 1765411200000;
    for (int i = 0; i < count; ++i) {
        Segment s;
        s.id = QUuid::createUuid();
        s.date = QStringLiteral("2026-12-11");
        s.appName = i % 3 ? QStringLiteral("Code Editor") : QStringLiteral("Web Browser");
        s.windowTitle = QStringLiteral("project-%1/src/module_%2.cpp — feature branch review").arg(i % 17).arg(i);
        s.startTime = dayStart + qint64(i) * 8000;
        s.endTime = s.startTime + 7000;
        out.append(s);
    }
    return out;
}

void BM_LogHeavyDay(benchmark::State &state)
{
    const QList<Segment> segments = heavyDay(10000);
    StaticAuthState auth(true, QStringLiteral("bench"));
    double fullSeconds = 0, idsSeconds = 0;
    APIClient::TransferStats fullStats, idsStats;
    for (auto _ : state) {
        state.PauseTiming();
        if (!devService->reset())
            state.SkipWithError("the stand-in did not reset");
        ServiceTest::FakeTokenProvider tokens;
        tokens.token = sessionToken;
        APIClient client(&tokens);
        LogsService logs(client, auth);
        state.ResumeTiming();

        auto t0 = std::chrono::steady_clock::now();
        const auto first = ServiceTest::await(logs.logSegments(segments), 120000);
        auto t1 = std::chrono::steady_clock::now();
        fullStats = client.transferStats();
        const auto second = ServiceTest::await(logs.logSegments(segments), 120000);
        auto t2 = std::chrono::steady_clock::now();
        if (!first || !second || first->sentCount != 10000 || !second->storedEverything()) {
            state.SkipWithError("a logging call failed");
            break;
        }
        const APIClient::TransferStats all = client.transferStats();
        idsStats = {all.requests - fullStats.requests, all.bodyBytesSent - fullStats.bodyBytesSent,
                    all.bodyBytesUncompressed - fullStats.bodyBytesUncompressed,
                    all.compressedBodies - fullStats.compressedBodies};
        fullSeconds += std::chrono::duration<double>(t1 - t0).count();
        idsSeconds += std::chrono::duration<double>(t2 - t1).count();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["full_call_s"] = fullSeconds / n;
    state.counters["ids_call_s"] = idsSeconds / n;
    state.counters["full_requests"] = static_cast<double>(fullStats.requests);
    state.counters["full_sent_KB"] = static_cast<double>(fullStats.bodyBytesSent) / 1024;
    state.counters["full_json_KB"] = static_cast<double>(fullStats.bodyBytesUncompressed) / 1024;
    state.counters["ids_requests"] = static_cast<double>(idsStats.requests);
    state.counters["ids_sent_KB"] = static_cast<double>(idsStats.bodyBytesSent) / 1024;
    state.counters["ids_json_KB"] = static_cast<double>(idsStats.bodyBytesUncompressed) / 1024;
}
BENCHMARK(BM_LogHeavyDay)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_GzipFullBatch(benchmark::State &state)
{
    LogSegmentsV2Request request;
    for (const Segment &s : heavyDay(LogsService::fullSegmentBatchSize)) {
        request.segments.append(SegmentDTO::from(s));
        request.ids.append(request.segments.constLast().id);
    }
    const QByteArray json = request.encoded();
    qsizetype compressed = 0;
    for (auto _ : state) {
        auto gz = Gzip::compress(json);
        compressed = gz ? gz->size() : 0;
        benchmark::DoNotOptimize(gz);
    }
    state.counters["json_bytes"] = static_cast<double>(json.size());
    state.counters["gzip_bytes"] = static_cast<double>(compressed);
    state.SetBytesProcessed(state.iterations() * json.size());
}
BENCHMARK(BM_GzipFullBatch)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvora-bench"));
    Config::enableFlag(Config::kApiSyncFlag);
    if (!qEnvironmentVariableIsSet("KELVORA_BIN_DIR"))
        qputenv("KELVORA_BIN_DIR", KELVORA_BUILT_BIN_DIR);

    ServiceTest::DevService dev;
    if (!dev.start())
        return 1;
    devService = &dev;
    sessionToken = dev.issueToken(QStringLiteral("bench@example.org"));

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
