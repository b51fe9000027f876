// Speed of the selection filter: a square of Google tiles at level 16 against selected polygons
// in WGS 84 scattered over it, star-shaped, from half a tile to twenty tiles across, with 8 to
// 64 vertices. The time includes projecting the polygons into the tiles' system.
#include "bench_requests.h"
#include "mapout/selection_filter.h"
#include "silent_ui.h"

#include <ogr_spatialref.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>

using namespace tessaro;

namespace {

constexpr auto kType = tiles::TilesType::GoogleSat;
constexpr int kLevel = 16;

mapout::Selection Polygons(const tiles::TileRequest &request, std::int64_t count) {
    auto *wgs84 = new OGRSpatialReference();
    wgs84->importFromEPSG(4326);
    wgs84->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> lon(request.lon1, request.lon2);
    std::uniform_real_distribution<double> lat(request.lat1, request.lat2);
    // A level-16 Google tile is about 0.0055° wide.
    std::uniform_real_distribution<double> radius(0.0014, 0.055);
    std::uniform_int_distribution<int> vertices(8, 64);
    mapout::Selection selection;
    for (std::int64_t i = 0; i < count; ++i) {
        const double cx = lon(random);
        const double cy = lat(random);
        const double r = radius(random);
        const int n = vertices(random);
        auto ring = std::make_unique<OGRLinearRing>();
        for (int v = 0; v <= n; ++v) {
            const double a = 2 * std::numbers::pi * (v % n) / n;
            const double rr =
                r * (0.5 + 0.5 * std::abs(std::sin(3.0 * a + static_cast<double>(i))));
            ring->addPoint(cx + rr * std::cos(a), cy + 0.56 * rr * std::sin(a));
        }
        auto polygon = std::make_unique<OGRPolygon>();
        polygon->addRingDirectly(ring.release());
        polygon->assignSpatialReference(wgs84);
        selection.emplace_back(polygon.release());
    }
    wgs84->Release();
    return selection;
}

void BM_FilterBySelection(benchmark::State &state) {
    const auto side =
        static_cast<std::int64_t>(std::llround(std::sqrt(static_cast<double>(state.range(0)))));
    const tiles::TileList list(bench::SquareRequest(kType, kLevel, side));
    const mapout::Selection selection = Polygons(list.Request(), state.range(1));
    bench::SilentUi ui;
    std::int64_t kept = 0;
    for (auto _ : state) {
        const auto result = mapout::FilterBySelection(list, kType, kLevel, "Goo", selection, ui);
        if (!ui.LastMessage().empty()) {
            state.SkipWithError(ui.LastMessage().c_str());
            break;
        }
        kept = static_cast<std::int64_t>(result.kept.size());
        benchmark::DoNotOptimize(result.kept.data());
    }
    state.counters["tiles"] = static_cast<double>(list.Size());
    state.counters["kept"] = static_cast<double>(kept);
    state.counters["tiles_per_second"] = benchmark::Counter(
        static_cast<double>(list.Size()) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}

} // namespace

// {tiles, polygons}: the smoke size, and 100 000 tiles against 1 000 polygons.
BENCHMARK(BM_FilterBySelection)
    ->Args({1000, 100})
    ->Args({100'000, 1000})
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
