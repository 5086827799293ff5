// Cost of the history-line codec per record: encoding, strict decoding, and the welded-line reader.
#include "segment.h"

#include <QUuid>
#include <benchmark/benchmark.h>

namespace {
Segment typical()
{
    return Segment{QUuid::createUuid(), QStringLiteral("2025-03-14"), QStringLiteral("Firefox"),
                   QStringLiteral("Pull request #4821: Fix the flaky upload test — [URL] - Mozilla Firefox"),
                   1741950000123, 1741950423456, SegmentType::process, std::nullopt};
}

void BM_encode(benchmark::State &state)
{
    const Segment s = typical();
    for (auto _ : state)
        benchmark::DoNotOptimize(s.toJSONLine());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_encode);

void BM_decode(benchmark::State &state)
{
    const QByteArray line = typical().toJSONLine().value();
    for (auto _ : state)
        benchmark::DoNotOptimize(Segment::fromJSONLine(line));
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * line.size());
}
BENCHMARK(BM_decode);

void BM_decodeWelded(benchmark::State &state)
{
    const QByteArray line = typical().toJSONLine().value() + typical().toJSONLine().value();
    for (auto _ : state)
        benchmark::DoNotOptimize(Segment::decodableObjects(line));
    state.SetItemsProcessed(state.iterations() * 2);
    state.SetBytesProcessed(state.iterations() * line.size());
}
BENCHMARK(BM_decodeWelded);
} // namespace

BENCHMARK_MAIN();
