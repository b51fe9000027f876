// Speed and memory of the mosaic, side by side with GDAL's own tools on the same tiles:
// `gdalbuildvrt` followed by `gdal_translate` with the same GeoTIFF creation options and the
// same statistics step (-stats), then `gdaladdo` for the same overviews. The tiles are the built-in tile server's JPEG tiles of Google
// satellite at level 16 with their world files, written once per size into a temporary folder:
// the first N tiles, row by row, of the smallest square that holds them.
#include "bench_requests.h"
#include "download/world_file.h"
#include "mosaic/mosaic_raster.h"
#include "silent_ui.h"
#include "tiles/tile_files.h"
#include "tileserver/tile_image.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

constexpr auto kType = tiles::TilesType::GoogleSat;
constexpr int kLevel = 16;

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

// Runs a command line through the shell and waits for it; false when it fails.
bool Shell(const std::string &command) {
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

class TileFolder {
public:
    explicit TileFolder(std::int64_t count) {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tessaro-mosaic-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_root = pattern;
        m_level = m_root / std::to_string(kLevel);
        fs::create_directories(m_level);
        const auto side =
            static_cast<std::int64_t>(std::ceil(std::sqrt(static_cast<double>(count))));
        const auto request = bench::SquareRequest(kType, kLevel, side);
        tiles::TileStream stream(request);
        std::vector<tiles::TileRecord> kept;
        tiles::TileRecord r;
        std::ofstream list(m_root / "tiles.txt");
        while (static_cast<std::int64_t>(kept.size()) < count && stream.Next(r)) {
            const fs::path image = tiles::TilePath(m_level, kType, r, kLevel);
            std::ofstream(image, std::ios::binary)
                << tileserver::EncodeTile({kType, r.col, r.row, 18 - kLevel});
            download::WriteWorldFile(tiles::WorldFilePath(image, kType), r, 0);
            list << image.string() << "\n";
            kept.push_back(r);
        }
        m_list = std::make_unique<tiles::TileList>(request, std::move(kept));
    }
    TileFolder(const TileFolder &) = delete;
    TileFolder &operator=(const TileFolder &) = delete;
    ~TileFolder() {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    static TileFolder &Of(std::int64_t count) {
        static std::map<std::int64_t, std::unique_ptr<TileFolder>> folders;
        auto &folder = folders[count];
        if (!folder) {
            folder = std::make_unique<TileFolder>(count);
        }
        return *folder;
    }

    [[nodiscard]] const fs::path &Root() const { return m_root; }
    [[nodiscard]] const fs::path &Level() const { return m_level; }
    [[nodiscard]] const tiles::TileList &List() const { return *m_list; }

    // Builds the mosaic with Tessaro; the output is removed first. Returns false on failure.
    bool Tessaro(bench::SilentUi &ui, const char *name = "tessaro.tif", bool cog = false) const {
        const fs::path output = m_root / name;
        fs::remove(output);
        mosaic::MosaicOptions options;
        options.output = output;
        options.cog = cog;
        const auto result = mosaic::BuildMosaic(m_level, *m_list, kType, kLevel, options, ui);
        return result.outcome == mosaic::MosaicOutcome::Built && result.placed == m_list->Size();
    }

    // The same mosaic by GDAL's command-line tools.
    bool Gdal() const {
        const fs::path vrt = m_root / "gdal.vrt";
        const fs::path output = m_root / "gdal.tif";
        fs::remove(vrt);
        fs::remove(output);
        return Shell("gdalbuildvrt -q -input_file_list '" + (m_root / "tiles.txt").string() +
                     "' '" + vrt.string() + "'") &&
               Shell("gdal_translate -q -stats -co TILED=YES -co BLOCKXSIZE=256 "
                     "-co BLOCKYSIZE=256 -co COMPRESS=JPEG -co PHOTOMETRIC=YCBCR "
                     "-co JPEG_QUALITY=90 -co BIGTIFF=IF_SAFER '" +
                     vrt.string() + "' '" + output.string() + "'") &&
               Shell("gdaladdo -q -r average '" + output.string() + "'");
    }

private:
    fs::path m_root;
    fs::path m_level;
    std::unique_ptr<tiles::TileList> m_list;
};

void BM_BuildMosaic(benchmark::State &state) {
    const auto &folder = TileFolder::Of(state.range(0));
    bench::SilentUi ui;
    // A small run first, so that the memory GDAL and PROJ take once per process (drivers, the
    // coordinate-system database) is not counted as the mosaic's.
    if (!TileFolder::Of(64).Tessaro(ui)) {
        state.SkipWithError(("mosaic failed: " + ui.LastMessage()).c_str());
        return;
    }
    long peakGrowth = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const long before = StatusKb("VmRSS:");
        ResetPeak();
        state.ResumeTiming();
        const bool built = folder.Tessaro(ui);
        state.PauseTiming();
        peakGrowth = std::max(peakGrowth, StatusKb("VmHWM:") - before);
        if (!built) {
            state.SkipWithError(("mosaic failed: " + ui.LastMessage()).c_str());
            break;
        }
        state.ResumeTiming();
    }
    state.counters["tiles"] = static_cast<double>(folder.List().Size());
    state.counters["tiles_per_second"] = benchmark::Counter(
        static_cast<double>(folder.List().Size()) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
    state.counters["peak_rss_growth_kb"] = static_cast<double>(peakGrowth);
}

// A mosaic of real size (100 000 tiles: 80 896 pixels a side, 19 GB of pixels) in each of the
// forms a user opens elsewhere, once each; the counter is the process's peak resident memory,
// GDAL and PROJ included, against the limit of 300 MB.
void BM_LargeMosaic(benchmark::State &state) {
    const auto &folder = TileFolder::Of(state.range(0));
    const char *const names[] = {"large.tif", "large-cog.tif", "large.vrt"};
    const char *name = names[state.range(1)];
    bench::SilentUi ui;
    std::uintmax_t bytes = 0;
    for (auto _ : state) {
        if (!folder.Tessaro(ui, name, state.range(1) == 1)) {
            state.SkipWithError(("mosaic failed: " + ui.LastMessage()).c_str());
            break;
        }
        state.PauseTiming();
        bytes = fs::file_size(folder.Root() / name);
        fs::remove(folder.Root() / name);
        state.ResumeTiming();
    }
    state.SetLabel(name);
    state.counters["tiles"] = static_cast<double>(folder.List().Size());
    state.counters["peak_rss_mb"] = static_cast<double>(StatusKb("VmHWM:")) / 1024;
    state.counters["output_mb"] = static_cast<double>(bytes) / 1e6;
}

void BM_GdalBuildVrtTranslate(benchmark::State &state) {
    const auto &folder = TileFolder::Of(state.range(0));
    for (auto _ : state) {
        if (!folder.Gdal()) {
            state.SkipWithError("gdalbuildvrt or gdal_translate failed (is gdal-bin installed?)");
            break;
        }
    }
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    state.counters["tiles"] = static_cast<double>(folder.List().Size());
    state.counters["largest_child_rss_kb"] = static_cast<double>(usage.ru_maxrss);
}

// Both, one after the other in every iteration, so that they meet the same machine load; the
// counter "ratio" is Tessaro's time over GDAL's tools' time.
void BM_MosaicAgainstGdal(benchmark::State &state) {
    const auto &folder = TileFolder::Of(state.range(0));
    bench::SilentUi ui;
    double ours = 0;
    double theirs = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (!folder.Tessaro(ui)) {
            state.SkipWithError(("mosaic failed: " + ui.LastMessage()).c_str());
            break;
        }
        ours += Seconds(start);
        start = std::chrono::steady_clock::now();
        if (!folder.Gdal()) {
            state.SkipWithError("gdalbuildvrt or gdal_translate failed (is gdal-bin installed?)");
            break;
        }
        theirs += Seconds(start);
    }
    state.counters["tessaro_s"] =
        ours / static_cast<double>(std::max<std::int64_t>(1, state.iterations()));
    state.counters["gdal_s"] =
        theirs / static_cast<double>(std::max<std::int64_t>(1, state.iterations()));
    state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
}

} // namespace

// 1000 is the smoke size (`--benchmark_filter='/1000(/|$)'`), which also runs GDAL's tools once
// through BM_MosaicAgainstGdal; 64 … 4096 show that memory does not grow with the tiles.
BENCHMARK(BM_BuildMosaic)
    ->Arg(64)
    ->Arg(256)
    ->Arg(1000)
    ->Arg(1024)
    ->Arg(4096)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// Not in the smoke run: about 10 minutes and 2 GB of tiles on disk.
BENCHMARK(BM_LargeMosaic)
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Args({100000, 2})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK(BM_GdalBuildVrtTranslate)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MosaicAgainstGdal)->Arg(1000)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
