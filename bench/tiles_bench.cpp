// Speed and memory of the tile lists: streaming records, materialising them, and formatting
// them as list lines.
#include "bench_requests.h"
#include "tiles/tile_list.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <string>

using namespace tessaro;

namespace {

std::int64_t SideFor(std::int64_t tiles) {
    return static_cast<std::int64_t>(std::llround(std::sqrt(static_cast<double>(tiles))));
}

void StreamRecords(benchmark::State &state, tiles::TilesType type, int level) {
    const auto request = bench::SquareRequest(type, level, SideFor(state.range(0)));
    std::int64_t records = 0;
    for (auto _ : state) {
        tiles::TileStream stream(request);
        tiles::TileRecord record;
        while (stream.Next(record)) {
            benchmark::DoNotOptimize(record);
            ++records;
        }
    }
    state.counters["records_per_second"] =
        benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
    state.counters["tiles"] = static_cast<double>(tiles::TileStream(request).Size());
}

void BM_StreamGoogle22(benchmark::State &s) {
    StreamRecords(s, tiles::TilesType::GoogleSat, 22);
}
void BM_StreamShade9(benchmark::State &s) {
    StreamRecords(s, tiles::TilesType::Shade, 9);
}
void BM_StreamScanex17(benchmark::State &s) {
    StreamRecords(s, tiles::TilesType::ScanSat, 17);
}
void BM_StreamYandex17(benchmark::State &s) {
    StreamRecords(s, tiles::TilesType::YandMap, 17);
}

void BM_MaterialiseList(benchmark::State &state) {
    const auto request =
        bench::SquareRequest(tiles::TilesType::GoogleSat, 22, SideFor(state.range(0)));
    double bytesPerRecord = 0;
    for (auto _ : state) {
        auto list = tiles::BuildTileList(request);
        bytesPerRecord = static_cast<double>(list.capacity() * sizeof(tiles::TileRecord)) /
                         static_cast<double>(list.size());
        benchmark::DoNotOptimize(list.data());
    }
    state.counters["bytes_per_record"] = bytesPerRecord;
}

void BM_FormatRecordLines(benchmark::State &state) {
    const auto request =
        bench::SquareRequest(tiles::TilesType::GoogleSat, 22, SideFor(state.range(0)));
    std::int64_t lines = 0;
    std::string buffer;
    buffer.reserve(1 << 20);
    for (auto _ : state) {
        tiles::TileStream stream(request);
        tiles::TileRecord record;
        while (stream.Next(record)) {
            tiles::AppendRecordText(buffer, record);
            buffer += "\r\n";
            if (buffer.size() > (1 << 19)) {
                benchmark::DoNotOptimize(buffer.data());
                buffer.clear();
            }
            ++lines;
        }
    }
    state.counters["lines_per_second"] =
        benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
}

} // namespace

// The small size is the CI smoke run; the large one gives the figures in the README.
BENCHMARK(BM_StreamGoogle22)->Arg(1000)->Arg(10'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamShade9)->Arg(1000)->Arg(10'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamScanex17)->Arg(1000)->Arg(10'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamYandex17)->Arg(1000)->Arg(10'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MaterialiseList)->Arg(1000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormatRecordLines)->Arg(1000)->Arg(10'000'000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
