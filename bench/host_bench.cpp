// Speed of the QGIS host with many tile layers: adding the tiles of a load to a project as
// layers, adding them again (every tile found present), and saving the project and reading it
// back. QGIS runs headless once for the whole program, in a private profile. The tiles of each
// size are written once, as copies of one JPEG with its side file, into a temporary folder.
#include "bench_requests.h"
#include "integration/qgis_project_file.h"
#include "integration/qgis_session.h"
#include "integration/tile_layers.h"
#include "mapout/spatial_reference.h"
#include "silent_ui.h"
#include "tiles/tile_files.h"

#include <gdal_priv.h>
#include <qgsproject.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

using namespace tessaro;
namespace fs = std::filesystem;
using integration::QgisProjectFile;

namespace {

constexpr auto kType = tiles::TilesType::GoogleSat;
constexpr int kLevel = 18;

// A folder with about n tiles (the nearest square), each with its world file and the side file
// that holds its coordinate system; made on first use, removed when the program ends.
class TileFolder {
public:
    explicit TileFolder(std::int64_t n)
        : m_list(bench::SquareRequest(
              kType, kLevel,
              static_cast<std::int64_t>(std::llround(std::sqrt(static_cast<double>(n)))))) {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tessaro-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
        m_tiles = m_path / "tiles";
        fs::create_directories(m_tiles);
        const fs::path model = WriteModel();
        const fs::path modelSide = mapout::SideFilePath(model);
        m_list.ForEach([&](const tiles::TileRecord &r) {
            const fs::path image = tiles::TilePath(m_tiles, kType, r, kLevel);
            fs::copy_file(model, image);
            fs::copy_file(modelSide, mapout::SideFilePath(image));
            std::ofstream(tiles::WorldFilePath(image, kType)) << r.resX << "\n0\n0\n"
                                                              << r.resY << "\n"
                                                              << r.x << "\n"
                                                              << r.y << "\n";
        });
    }
    TileFolder(const TileFolder &) = delete;
    TileFolder &operator=(const TileFolder &) = delete;
    ~TileFolder() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }

    static TileFolder &Of(std::int64_t n) {
        static std::map<std::int64_t, std::unique_ptr<TileFolder>> folders;
        auto &folder = folders[n];
        if (!folder) {
            folder = std::make_unique<TileFolder>(n);
        }
        return *folder;
    }

    [[nodiscard]] const fs::path &Tiles() const { return m_tiles; }
    [[nodiscard]] const tiles::TileList &List() const { return m_list; }
    // A new empty project in the folder, in place of any saved before.
    [[nodiscard]] QgisProjectFile NewProject() const {
        fs::remove(m_path / "map.qgs");
        return QgisProjectFile::Open(m_path / "map.qgs");
    }

    // Adds every tile to the project; false (with the reason in ui) unless all were added.
    bool AddAll(QgsProject &project, bench::SilentUi &ui, std::int64_t expected) const {
        return integration::AddGoogleRasters(project, m_tiles, m_list, kLevel, kType, Settings(),
                                             ui) == expected;
    }

    static const settings::Settings &Settings() {
        static const settings::Settings settings = settings::Settings::FirstOpening();
        return settings;
    }

private:
    // One JPEG tile with the side file of its coordinate system, made through GDAL.
    fs::path WriteModel() const {
        GDALAllRegister();
        const fs::path model = m_path / "model.jpg";
        GDALDatasetUniquePtr mem(GetGDALDriverManager()->GetDriverByName("MEM")->Create(
            "", 256, 256, 3, GDT_Byte, nullptr));
        GDALDatasetUniquePtr(GetGDALDriverManager()->GetDriverByName("JPEG")->CreateCopy(
            model.c_str(), mem.get(), FALSE, nullptr, nullptr, nullptr));
        GDALDatasetUniquePtr opened(GDALDataset::Open(model.c_str(), GDAL_OF_RASTER));
        const OGRSpatialReference srs = mapout::SetProjectedCoordSystem(mapout::kSphereMercator);
        if (!opened || opened->SetSpatialRef(&srs) != CE_None) {
            throw std::runtime_error("cannot give the model tile its coordinate system");
        }
        return model;
    }

    tiles::TileList m_list;
    fs::path m_path;
    fs::path m_tiles;
};

// Files the process holds open: every layer keeps its tile open.
double OpenFiles() {
    return static_cast<double>(
        std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{}));
}

// Peak resident memory of the process in kB.
double PeakRssKb() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "VmHWM:") {
            double kb = 0;
            status >> kb;
            return kb;
        }
    }
    return 0;
}

void Rate(benchmark::State &state, std::int64_t done, std::int64_t tiles) {
    state.counters["layers_per_second"] =
        benchmark::Counter(static_cast<double>(done), benchmark::Counter::kIsRate);
    state.counters["tiles"] = static_cast<double>(tiles);
}

// Adds every tile of the folder to a new project.
void BM_AddGoogleRasters(benchmark::State &state) {
    const auto &folder = TileFolder::Of(state.range(0));
    const std::int64_t tiles = folder.List().Size();
    bench::SilentUi ui;
    std::int64_t done = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::optional<QgisProjectFile> project = folder.NewProject();
        state.ResumeTiming();
        if (!folder.AddAll(project->Project(), ui, tiles)) {
            state.SkipWithError(("tiles not added: " + ui.LastMessage()).c_str());
            break;
        }
        done += tiles;
        state.PauseTiming();
        state.counters["open_files"] = OpenFiles();
        const auto start = std::chrono::steady_clock::now();
        project.reset();
        state.counters["release_ms"] =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        state.ResumeTiming();
    }
    Rate(state, done, tiles);
    state.counters["peak_rss_mb"] = PeakRssKb() / 1024;
}

// Adds the tiles again to a project that holds them all: each is looked up and passed over.
void BM_AddGoogleRastersAgain(benchmark::State &state) {
    const auto &folder = TileFolder::Of(state.range(0));
    const std::int64_t tiles = folder.List().Size();
    bench::SilentUi ui;
    QgisProjectFile project = folder.NewProject();
    if (!folder.AddAll(project.Project(), ui, tiles)) {
        state.SkipWithError(("tiles not added: " + ui.LastMessage()).c_str());
    }
    std::int64_t done = 0;
    for (auto _ : state) {
        if (!folder.AddAll(project.Project(), ui, 0)) {
            state.SkipWithError("tiles added twice");
            break;
        }
        done += tiles;
    }
    state.counters["tiles_per_second"] =
        benchmark::Counter(static_cast<double>(done), benchmark::Counter::kIsRate);
    state.counters["tiles"] = static_cast<double>(tiles);
}

// Reads a saved project of every tile, its layers opened (range 1 = 0) as the desktop does or
// carried along unopened (range 1 = 1), and saves it again. Only one project of the tiles is
// open at a time: each layer holds its tile open.
void BM_ReadAndSave(benchmark::State &state) {
    const auto &folder = TileFolder::Of(state.range(0));
    const std::int64_t tiles = folder.List().Size();
    const auto loading = state.range(1) == 0 ? QgisProjectFile::LayerLoading::Full
                                             : QgisProjectFile::LayerLoading::Deferred;
    bench::SilentUi ui;
    fs::path path;
    {
        QgisProjectFile project = folder.NewProject();
        if (!folder.AddAll(project.Project(), ui, tiles)) {
            state.SkipWithError(("tiles not added: " + ui.LastMessage()).c_str());
        }
        project.Save();
        path = project.Path();
    }
    std::int64_t done = 0;
    double readSeconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        std::optional<QgisProjectFile> project = QgisProjectFile::Open(path, loading);
        readSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (project->Project().count() != tiles) {
            state.SkipWithError("layers lost on the way through the file");
            break;
        }
        project->Save();
        done += tiles;
        state.PauseTiming();
        project.reset();
        state.ResumeTiming();
    }
    Rate(state, done, tiles);
    state.counters["read_layers_per_second"] =
        readSeconds > 0 ? static_cast<double>(done) / readSeconds : 0;
}

BENCHMARK(BM_AddGoogleRasters)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddGoogleRastersAgain)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAndSave)
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const integration::QgisSession session;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
