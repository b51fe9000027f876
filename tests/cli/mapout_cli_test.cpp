// `tessaro load` and `tessaro extent` with the data layer: selections, the block index and the
// mosaic of a run.
#include "../mapout/mapout_support.h"
#include "cli_support.h"
#include "common/file_lock.h"
#include "tiles/tile_files.h"

#include <gdal_priv.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <set>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>

using namespace tessaro;
using tiles::TilesType;

namespace {

// Two points and a feature without geometry, in longitude-latitude degrees on WGS 84.
constexpr const char *kPoints = R"({"type": "FeatureCollection", "features": [
 {"type": "Feature", "properties": {"kind": "keep"},
  "geometry": {"type": "Point", "coordinates": [37.6101, 55.7501]}},
 {"type": "Feature", "properties": {"kind": "other"},
  "geometry": {"type": "Point", "coordinates": [37.6505, 55.7702]}},
 {"type": "Feature", "properties": {"kind": "none"}, "geometry": null}
]})";

class MapoutCliTest : public test::CliTest {
protected:
    MapoutCliTest() {
        GDALAllRegister();
        test::WriteFile(points, kPoints);
    }

    const std::filesystem::path points = home / "points.geojson";
};

} // namespace

// The extent of the selected features, in --extent order; nothing selected stops the command.
TEST_F(MapoutCliTest, ExtentPrintsTheUnionOfTheSelectedFeatures) {
    auto r = Tessaro({"extent", "--selection", points.string()});
    EXPECT_EQ(std::tuple(r.exitCode, r.out, r.err),
              std::tuple(0, "55.7501,55.7702,37.6101,37.6505\n", ""));
    r = Tessaro({"extent", "--selection=" + points.string(), "--selection-where", "kind = 'keep'"});
    EXPECT_EQ(r.out, "55.7501,55.7501,37.6101,37.6101\n");
    r = Tessaro({"extent", "--selection", points.string(), "--selection-where", "kind = 'none'"});
    EXPECT_EQ(std::tuple(r.exitCode, r.out, r.err),
              std::tuple(1, "", "На карте нет выбранных объектов\n"));
}

// Only the tiles that meet the features an attribute filter picks are loaded; nothing met or no
// such file stops the run.
TEST_F(MapoutCliTest, OnlyTheTilesThatMeetTheSelectionAreLoaded) {
    const auto load = [&](const std::string &extent, const std::string &where) {
        return Tessaro(LoadArgs("goo", "sat", 14,
                                {"--selection", points.string(), "--selection-where", where},
                                extent));
    };
    auto r = load("55.70,55.80,37.55,37.75", "kind = 'keep'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Loaded:1\r\nNew:   1\r\nErrors:   0\r\nAdded: 0 (skipped)\n");
    const auto grid = tiles::SphericalGrid::Google(14);
    const auto name = tiles::QuadKey(grid.LonToCol(37.6101), grid.LatToRow(55.7501), 14);
    EXPECT_TRUE(std::filesystem::exists(tiles / "14" / (name + ".jpg"))) << name;
    r = load("55.70,55.71,37.55,37.56", "kind = 'keep'");
    EXPECT_EQ(std::tuple(r.exitCode, r.err),
              std::tuple(1, "Указанный регион не имеет пересечений с выделенными элементами\n"));
    EXPECT_TRUE(
        Exited(Tessaro(LoadArgs("goo", "sat", 14, {"--selection", (home / "no.gpkg").string()})), 1,
               "no.gpkg"));
}

// Without a terminal and without --yes a missing index is not created and nothing loaded. With
// --yes it is, with one record per tile, its Present flag refreshed once the tile is on disk.
TEST_F(MapoutCliTest, TheIndexIsCreatedOnlyWhenTheAnswerIsYes) {
    const auto index = (tiles / "blocks").string();
    const auto load = [&](std::vector<std::string> more) {
        return Tessaro(LoadArgs("yand", "sat", 12, more));
    };
    EXPECT_TRUE(
        Exited(load({"--index", index}), 1, "SHP-файл для хранения полигонов не существует\r\n"));
    EXPECT_FALSE(std::filesystem::exists(tiles / "12")) << "nothing downloaded";
    const auto n = static_cast<std::size_t>(
        tiles::TileList({TilesType::YandSat, 12, 55.70, 55.80, 37.50, 37.70}).Size());
    for (const int present : {0, -1}) { // calculated only, then on disk
        const auto r =
            load({"--index", index, "--yes", present == 0 ? "--calculate-only" : "--log"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err.find("Создать новый?\n(yes)\n") != std::string::npos, present == 0);
        const auto rows = test::ReadBlockRows(tiles / "blocks.shp");
        ASSERT_EQ(rows.size(), n) << "the same tiles again: no second record";
        for (const auto &row : rows) {
            EXPECT_EQ(row.present, present) << row.blockName;
        }
    }
}

// Runs at once on one index add their records one after another, each tile once (a shapefile
// written by runs at once kept one run's records). While another holds the index each run says
// once that it waits (again if it waits again to record); one stopped meanwhile ends at once.
TEST_F(MapoutCliTest, RunsAtOnceRecordEveryTileOnce) {
    const auto lockFile = home / "blocks.shp.lock";
    auto held = FileLock::Acquire(
        lockFile, [] {}, [] { return false; });
    const auto args = [&](int level, const char *answer) {
        return LoadArgs("goo", "sat", level,
                        {"--index", (home / "blocks").string(), answer, "--calculate-only"});
    };
    std::vector<std::future<test::ProcessResult>> runs;
    for (const int level : {12, 13, 14, 13}) {
        runs.push_back(
            std::async(std::launch::async, [&, level] { return Tessaro(args(level, "--yes")); }));
    }
    const pid_t stopped = Spawn(args(15, "--no"));
    // Runs of the program (not children before they become it) holding the lock file open.
    const auto waiting = [&] {
        namespace fs = std::filesystem;
        int n = 0;
        std::error_code ec;
        for (fs::directory_iterator p("/proc", ec), end; !ec && p != end; p.increment(ec)) {
            std::error_code e;
            if (fs::read_symlink(p->path() / "exe", e) == TESSARO_BINARY) {
                for (fs::directory_iterator fd(p->path() / "fd", e); !e && fd != end;
                     fd.increment(e)) {
                    n += fs::read_symlink(*fd, e) == lockFile;
                }
            }
        }
        return n;
    };
    for (int i = 0; i < 200 && waiting() < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(stopped, SIGTERM);
    int status = 0;
    ::waitpid(stopped, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    held.reset();
    for (auto &run : runs) {
        const auto r = run.get();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::size_t told = 0;
        for (auto at = r.err.find("in use by another run; waiting"); at != std::string::npos;
             at = r.err.find("in use by another run; waiting", at + 1)) {
            ++told;
        }
        EXPECT_TRUE(told == 1 || told == 2) << r.err; // at the start, perhaps to record
    }
    std::int64_t n = 0;
    for (const int level : {12, 13, 14}) {
        n += tiles::TileList({TilesType::GoogleSat, level, 55.70, 55.80, 37.50, 37.70}).Size();
    }
    const auto rows = test::ReadBlockRows(home / "blocks.shp");
    EXPECT_EQ(static_cast<std::int64_t>(rows.size()), n);
    EXPECT_EQ(std::ranges::adjacent_find(rows, {}, &test::BlockRow::blockName), rows.end());
}

// A stored index (here a database named alone: its layer "blocks") is opened at the start of a
// load as the dialog opens it (one not created leaves the run without an index), and records
// the run's tiles with their whole version; --index overrides it. An index that does not read back
// whole stops the run before any tile is fetched, and is left byte for byte as it was.
TEST_F(MapoutCliTest, TheStoredOrGivenIndexIsCheckedBeforeTheRun) {
    const auto stored = home / "stored.gpkg";
    ASSERT_EQ(Tessaro({"settings", "save", "--config", (home / "store.ini").string(), "--set",
                       "txtOutPolygon=" + stored.string()})
                  .exitCode,
              0);
    auto r = Tessaro(LoadArgs("goo", "map", 13, {"--yes", "--calculate-only"}));
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto rows = test::ReadBlockRows(stored, "blocks");
    ASSERT_EQ(rows.size(),
              tiles::BuildTileList({TilesType::GoogleMap, 13, 55.70, 55.80, 37.50, 37.70}).size());
    EXPECT_EQ(rows[0].version, "w2.97&hl=ru");
    // A stored index that is missing and not created leaves the run without one, as the
    // opened dialog goes on without it.
    std::filesystem::remove(stored);
    r = Tessaro(LoadArgs("goo", "map", 13, {"--no", "--calculate-only"}));
    EXPECT_TRUE(Exited(r, 0, "Создать новый?")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(stored));
    ASSERT_EQ(Tessaro(LoadArgs("goo", "map", 13, {"--yes", "--calculate-only"})).exitCode, 0);

    const auto given = (home / "given").string();
    ASSERT_EQ(Tessaro(LoadArgs("goo", "sat", 12, {"--index", given, "--yes", "--calculate-only"}))
                  .exitCode,
              0);
    EXPECT_EQ(test::ReadBlockRows(stored, "blocks").size(), rows.size());
    auto dbf = test::ReadFile(home / "given.dbf");
    test::WriteFile(home / "given.dbf", dbf.replace(0, 12, "garbage head"));
    const auto before = test::FolderContents(home.Path());
    r = Tessaro(LoadArgs("goo", "sat", 14, {"--index", given}));
    EXPECT_TRUE(Exited(r, 1, "The block index " + given + ".shp does not read back whole: "));
    EXPECT_EQ(test::FolderContents(home.Path()), before);
    EXPECT_FALSE(std::filesystem::exists(tiles / "14")) << "nothing fetched";
}

// The mosaic of the run's tiles covers them whole; an existing raster is refused without
// --combine, and so is a project file that cannot be written, before anything is fetched.
TEST_F(MapoutCliTest, AMosaicOfTheRunIsBuiltAfterTheDownload) {
    const auto out = (home / "moscow.tif").string();
    const auto args = LoadArgs("goo", "sat", 14, {"--mosaic", out, "--datatype", "unsigned 16 bit"},
                               "55.74,55.76,37.60,37.64");
    auto r = Tessaro(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    GDALDatasetUniquePtr ds(GDALDataset::Open(out.c_str(), GDAL_OF_RASTER));
    ASSERT_NE(ds, nullptr);
    const auto range = tiles::RangeOf({TilesType::GoogleSat, 14, 55.74, 55.76, 37.60, 37.64});
    EXPECT_EQ(std::tuple(ds->GetRasterXSize(), ds->GetRasterYSize(), ds->GetRasterCount(),
                         ds->GetRasterBand(1)->GetRasterDataType()),
              std::tuple(256 * range.Columns(), 256 * range.Rows(), 3, GDT_UInt16));
    ds.reset(); // where its pixels lie is the mosaic tests' concern

    // Outputs that would be refused at the end are refused before a tile is fetched.
    const auto fresh = home / "fresh";
    std::filesystem::create_directories(fresh);
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"--mosaic", out}, "Растр мозаики существует"},
        {{"--project", (home / "none" / "p.qgs").string()}, "p.qgs: its folder does not exist"},
        {{"--project", fresh.string()}, "fresh: a folder of that name is in its place"},
    };
    for (const auto &[more, message] : refused) {
        EXPECT_TRUE(
            Exited(Tessaro(LoadArgs("goo", "sat", 14, more, "55.74,55.76,37.60,37.64", fresh)), 1,
                   message));
        EXPECT_FALSE(std::filesystem::exists(fresh / "14")) << message;
    }
}

// A run killed while it writes its mosaic leaves its working folder behind; the next run on
// that mosaic removes it, but not the folder of a run still going on (held locked here), nor
// one of another mosaic.
TEST_F(MapoutCliTest, WorkingFoldersOfKilledMosaicRunsAreRemovedByTheNext) {
    ASSERT_EQ(Tessaro(LoadArgs("goo", "sat", 15)).exitCode, 0);
    const auto offline =
        LoadArgs("goo", "sat", 15, {"--offline", "--mosaic", (home / "moscow.tif").string()});
    const auto working = [&] {
        std::set<std::filesystem::path> found;
        for (const auto &e : std::filesystem::directory_iterator(home.Path())) {
            if (e.path().filename().string().starts_with(".tessaro-mosaic-")) {
                found.insert(e.path());
            }
        }
        return found;
    };
    // Killed once its raster is being written (or after a minute at most).
    const pid_t pid = Spawn(offline);
    bool writing = false;
    int status = 0;
    pid_t ended = 0;
    for (int ms = 0; ms < 60'000 && !writing && (ended = ::waitpid(pid, &status, WNOHANG)) == 0;
         ++ms) {
        for (const auto &folder : working()) {
            writing = writing || std::filesystem::exists(folder / "moscow.tif");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (ended == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(writing) << "the run ended before it wrote its mosaic";
    ASSERT_EQ(working().size(), 1u);

    const auto held = home / ".tessaro-mosaic-moscow.tif-Held01";
    const auto other = home / ".tessaro-mosaic-other.tif-Left01";
    std::filesystem::create_directories(held / "x");
    std::filesystem::create_directories(other);
    const int lock = ::open(held.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    const auto r = Tessaro(offline);
    ::close(lock);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(working(), (std::set{held, other}));
    EXPECT_TRUE(std::filesystem::exists(held / "x"));
}

// A tile whose coordinate system cannot be recorded (a folder in place of its side file) stops
// that step with the error report and fails the run; the counters are printed all the same.
TEST_F(MapoutCliTest, ACoordinateSystemThatCannotBeRecordedFailsTheRun) {
    const auto list = tiles::BuildTileList({TilesType::GoogleSat, 14, 55.74, 55.76, 37.60, 37.64});
    const auto first = tiles::TilePath(tiles / "14", TilesType::GoogleSat, list.at(0), 14);
    std::filesystem::create_directories(first.string() + ".aux.xml");
    const auto r = Tessaro(LoadArgs("goo", "sat", 14, {}, "55.74,55.76,37.60,37.64"));
    EXPECT_TRUE(Exited(r, 1, "\tSetRasterSpatRef  \r\n"));
    const auto n = std::to_string(list.size());
    EXPECT_EQ(r.out, "Loaded:" + n + "\r\nNew:   " + n + "\r\nErrors:   0\r\nAdded: 0 (skipped)\n");
}

// GDAL is no library of the program but a module loaded by the runs that need it: the others
// run without it (a plain load writes its side files all the same), and the ones that need it
// stop before a tile is fetched with a message that names the module.
TEST_F(MapoutCliTest, OnlyRunsThatNeedGdalLoadItsModule) {
    const auto linked = Tessaro({"--help"}, {{"LD_TRACE_LOADED_OBJECTS", "1"}});
    EXPECT_EQ(linked.out.find("libgdal"), std::string::npos) << linked.out;

    const std::map<std::string, std::string> noModule{
        {"TESSARO_GDAL_MODULE", (home / "missing.so").string()}};
    const std::vector<std::string> runs[] = {
        {"--help"}, {"estimate"}, {"list", "--level", "3"}, LoadArgs("goo", "sat", 14, {"--log"})};
    for (const auto &args : runs) {
        EXPECT_TRUE(Exited(Tessaro(args, noModule), 0)) << args[0];
    }
    EXPECT_EQ(Count(tiles / "14", ".jpg.aux.xml"), Count(tiles / "14", ".jpg"));

    const auto fresh = home / "fresh";
    std::filesystem::create_directories(fresh);
    const std::vector<std::string> needGdal[] = {
        {"extent", "--selection", points.string()},
        LoadArgs("goo", "sat", 14, {"--selection", points.string()}, "55.70,55.80,37.50,37.70",
                 fresh),
        LoadArgs("goo", "sat", 14, {"--index", (home / "b.gpkg").string(), "--yes"},
                 "55.70,55.80,37.50,37.70", fresh),
        LoadArgs("goo", "sat", 14, {"--mosaic", (home / "m.tif").string()},
                 "55.70,55.80,37.50,37.70", fresh),
    };
    for (const auto &args : needGdal) {
        EXPECT_TRUE(Exited(Tessaro(args, noModule), 1,
                           "need the module libtessaro-gdal.so, which could not be loaded:\n  " +
                               (home / "missing.so").string() + ": no such file"))
            << args.back();
    }
    EXPECT_TRUE(std::filesystem::is_empty(fresh)) << "nothing fetched";
}
