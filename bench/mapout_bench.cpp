// Speed and memory of the data layer: giving downloaded tiles their coordinate system, and
// recording tiles in a block index (new records, then a run that only checks them again).
// The tiles of each size are written once, as copies of one JPEG, into a temporary folder.
#include "bench_requests.h"
#include "mapout/block_index.h"
#include "mapout/spatial_reference.h"
#include "silent_ui.h"
#include "tiles/tile_files.h"

#include <gdal_priv.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

// Resident memory of the process: the peak since ResetPeak and the current figure, in kB.
void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}
long StatusKb(const char *key) {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == key) {
            long kb = 0;
            status >> kb;
            return kb;
        }
    }
    return 0;
}

constexpr auto kType = tiles::TilesType::GoogleSat;
constexpr int kLevel = 18;

tiles::TileRequest RequestFor(std::int64_t tiles) {
    const auto side =
        static_cast<std::int64_t>(std::llround(std::sqrt(static_cast<double>(tiles))));
    return bench::SquareRequest(kType, kLevel, side);
}

// A folder holding the tiles of one size with their world files, made on first use and
// removed when the program ends.
class TileFolder {
public:
    explicit TileFolder(std::int64_t tiles) : m_request(RequestFor(tiles)) {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tessaro-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
        GDALAllRegister();
        const fs::path model = m_path / "model.jpg";
        GDALDatasetUniquePtr mem(GetGDALDriverManager()->GetDriverByName("MEM")->Create(
            "", 256, 256, 3, GDT_Byte, nullptr));
        GDALDatasetUniquePtr(GetGDALDriverManager()->GetDriverByName("JPEG")->CreateCopy(
            model.c_str(), mem.get(), FALSE, nullptr, nullptr, nullptr));
        fs::remove(m_path / "model.jpg.aux.xml");
        tiles::TileStream stream(m_request);
        tiles::TileRecord r;
        while (stream.Next(r)) {
            const auto image = tiles::TilePath(m_path, kType, r, kLevel);
            fs::copy_file(model, image);
            std::ofstream(tiles::WorldFilePath(image, kType)) << r.resX << "\n0\n0\n"
                                                              << r.resY << "\n"
                                                              << r.x << "\n"
                                                              << r.y << "\n";
            ++m_count;
        }
        fs::remove(model);
    }
    TileFolder(const TileFolder &) = delete;
    TileFolder &operator=(const TileFolder &) = delete;
    ~TileFolder() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }

    static TileFolder &Of(std::int64_t tiles) {
        static std::map<std::int64_t, std::unique_ptr<TileFolder>> folders;
        auto &folder = folders[tiles];
        if (!folder) {
            folder = std::make_unique<TileFolder>(tiles);
        }
        return *folder;
    }

    void RemoveSideFiles() const {
        for (const auto &entry : fs::directory_iterator(m_path)) {
            if (entry.path().extension() == ".xml") {
                fs::remove(entry.path());
            }
        }
    }

    [[nodiscard]] const fs::path &Path() const { return m_path; }
    [[nodiscard]] const tiles::TileRequest &Request() const { return m_request; }
    [[nodiscard]] std::int64_t Count() const { return m_count; }

private:
    tiles::TileRequest m_request;
    fs::path m_path;
    std::int64_t m_count = 0;
};

void BM_SetRasterSpatRef(benchmark::State &state) {
    auto &folder = TileFolder::Of(state.range(0));
    bench::SilentUi ui(true);
    std::int64_t done = 0;
    long peakGrowth = 0;
    for (auto _ : state) {
        state.PauseTiming();
        folder.RemoveSideFiles();
        tiles::TileStream stream(folder.Request());
        const long before = StatusKb("VmRSS:");
        ResetPeak();
        state.ResumeTiming();
        const auto summary = download::SetRasterSpatRef(
            folder.Path(), tiles::TileSequence::FromStream(stream), kType, kLevel, ui);
        state.PauseTiming();
        if (summary.assigned != folder.Count()) {
            state.SkipWithError(
                ("tiles left without a coordinate system: " + ui.LastMessage()).c_str());
        }
        done += summary.assigned;
        peakGrowth = std::max(peakGrowth, StatusKb("VmHWM:") - before);
        state.ResumeTiming();
    }
    state.counters["tiles_per_second"] =
        benchmark::Counter(static_cast<double>(done), benchmark::Counter::kIsRate);
    state.counters["tiles"] = static_cast<double>(folder.Count());
    state.counters["peak_rss_growth_kb"] = static_cast<double>(peakGrowth);
}

// Records every tile of the folder in a new index (added) or, with refresh, once more in an
// index that already holds them (each record found and checked).
void RecordTiles(benchmark::State &state, const char *indexName, bool refresh) {
    auto &folder = TileFolder::Of(state.range(0));
    bench::SilentUi ui(true);
    std::int64_t done = 0;
    long peakGrowth = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path dir =
            folder.Path().parent_path() / (folder.Path().filename().string() + "-index");
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::path indexPath = dir / indexName;
        {
            auto index = mapout::OpenPolygonFC(indexPath, ui);
            if (!index) {
                state.SkipWithError(("index not opened: " + ui.LastMessage()).c_str());
                break;
            }
            tiles::TileStream stream(folder.Request());
            if (refresh) {
                (void)mapout::AddPolygonFC(folder.Path(), &*index,
                                           tiles::TileSequence::FromStream(stream), kType, kLevel,
                                           "Goo", {"1", "1", "1"}, ui);
            }
            const long before = StatusKb("VmRSS:");
            ResetPeak();
            state.ResumeTiming();
            const auto summary = mapout::AddPolygonFC(folder.Path(), &*index,
                                                      tiles::TileSequence::FromStream(stream),
                                                      kType, kLevel, "Goo", {"1", "1", "1"}, ui);
            state.PauseTiming();
            peakGrowth = std::max(peakGrowth, StatusKb("VmHWM:") - before);
            const auto handled = summary.added + summary.unchanged + summary.refreshed;
            if (!summary.completed || handled != folder.Count()) {
                state.SkipWithError(("records missing: " + ui.LastMessage()).c_str());
            }
            done += handled;
        }
        fs::remove_all(dir);
        state.ResumeTiming();
    }
    state.counters["records_per_second"] =
        benchmark::Counter(static_cast<double>(done), benchmark::Counter::kIsRate);
    state.counters["tiles"] = static_cast<double>(folder.Count());
    state.counters["peak_rss_growth_kb"] = static_cast<double>(peakGrowth);
}

void BM_AddPolygonFC_GeoPackage(benchmark::State &s) {
    RecordTiles(s, "index.gpkg/blocks", false);
}
void BM_AddPolygonFC_GeoPackageAgain(benchmark::State &s) {
    RecordTiles(s, "index.gpkg/blocks", true);
}
void BM_AddPolygonFC_Shapefile(benchmark::State &s) {
    RecordTiles(s, "blocks", false);
}
void BM_AddPolygonFC_FileGdb(benchmark::State &s) {
    RecordTiles(s, "index.gdb/blocks", false);
}

} // namespace

BENCHMARK(BM_SetRasterSpatRef)->Arg(1000)->Arg(10'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddPolygonFC_GeoPackage)->Arg(1000)->Arg(10'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddPolygonFC_GeoPackageAgain)->Arg(1000)->Arg(10'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddPolygonFC_Shapefile)->Arg(1000)->Arg(10'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddPolygonFC_FileGdb)->Arg(1000)->Arg(10'000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
