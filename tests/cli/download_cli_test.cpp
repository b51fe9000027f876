// `tessaro load` downloading from the built-in tile server: where every type's tiles land, the
// questions without and with a terminal, signals, full and read-only disks and proxies.
#include "../mapout/mapout_support.h"
#include "../tiles/proj_reference.h"
#include "cli_support.h"
#include "download/load_log.h"
#include "support/http_client.h"
#include "support/image_decode.h"
#include "support/scripted_server.h"
#include "support/terminal.h"
#include "support/tmpfs.h"
#include "tiles/tile_files.h"
#include "tileserver/fault.h"
#include "tileserver/tile_code.h"

#include <gdal_priv.h>

#include <algorithm>
#include <csignal>
#include <mutex>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>

using namespace tessaro;
using test::ReadFile;
using tiles::TilesType;

namespace {

tiles::TileRequest Moscow(TilesType type, int level) {
    return {type, level, 55.70, 55.80, 37.50, 37.70};
}

// The counters a load prints.
std::string Counters(std::int64_t loaded, std::int64_t fresh, std::int64_t errors) {
    return "Loaded:" + std::to_string(loaded) + "\r\nNew:   " + std::to_string(fresh) +
           "\r\nErrors:   " + std::to_string(errors) + "\r\nAdded: 0 (skipped)\n";
}

// The level-13 Google satellite tiles, and a fault on one of them.
const auto kSat13 = tiles::BuildTileList(Moscow(TilesType::GoogleSat, 13));
tileserver::Fault FaultAt(const std::string &kind, std::size_t i, const std::string &more = "") {
    return tileserver::ParseFault(kind + ":tile=" + std::to_string(kSat13[i].col) + "/" +
                                  std::to_string(kSat13[i].row) + more);
}

// Counts the tiles of a list in a folder, checking that each is a whole image with its world
// file and that no world file stands without its tile.
std::int64_t WholeTilesIn(const std::filesystem::path &folder, const tiles::TileList &list,
                          TilesType type, int level) {
    std::int64_t onDisk = 0;
    list.ForEach([&](const tiles::TileRecord &rec) {
        const auto path = tiles::TilePath(folder, type, rec, level);
        const bool tile = std::filesystem::exists(path);
        EXPECT_EQ(std::filesystem::exists(tiles::WorldFilePath(path, type)), tile) << path;
        if (tile) {
            ++onDisk;
            EXPECT_EQ(test::DecodeImage(ReadFile(path)).width, 256) << path;
        }
    });
    return onDisk;
}

class DownloadCliTest : public test::CliTest {
protected:
    test::ProcessResult Load(const char *source, const char *kind, int level,
                             std::vector<std::string> more = {},
                             const std::filesystem::path &dir = {}) {
        return Tessaro(LoadArgs(source, kind, level, more, "55.70,55.80,37.50,37.70", dir));
    }
};

} // namespace

// Every tile decodes to the tile it should be; its corners lie, through the world file and
// PROJ, where that tile's numbers put them by the closed Mercator formulas; and GDAL reads its
// coordinate system from the side file.
TEST_F(DownloadCliTest, EveryPixelLandsWhereTheServerSaysItBelongs) {
    GDALAllRegister();
    const std::tuple<const char *, const char *, TilesType, int> types[] = {
        {"goo", "sat", TilesType::GoogleSat, 13},   {"goo", "map", TilesType::GoogleMap, 13},
        {"goo", "land", TilesType::GoogleLand, 13}, {"scan", "sat", TilesType::ScanSat, 12},
        {"scan", "map", TilesType::ScanMap, 12},    {"shade", "sat", TilesType::Shade, 8},
        {"yand", "sat", TilesType::YandSat, 12},    {"yand", "map", TilesType::YandMap, 12},
    };
    for (const auto &[source, kind, type, level] : types) {
        SCOPED_TRACE(std::string(source) + " " + kind);
        const auto r = Load(source, kind, level, {"--connections", "4"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const tiles::TileList list(Moscow(type, level));
        EXPECT_EQ(r.out, Counters(list.Size(), list.Size(), 0));
        const char *system = tiles::IsEllipsoidal(type) ? "ESRI:54004" : "ESRI:53004";
        test::ProjTransform proj(system);
        OGRSpatialReference srs;
        srs.SetFromUserInput(system);
        list.ForEach([&](const tiles::TileRecord &rec) {
            const auto path = tiles::TilePath(tiles / std::to_string(level), type, rec, level);
            const auto image = test::DecodeImage(ReadFile(path));
            ASSERT_EQ(image.width, 256) << path;
            const auto code = tileserver::DecodeTileImage({image.rgb.data(), 256, 256, 0});
            ASSERT_TRUE(code) << path;
            EXPECT_EQ(std::tuple(code->type, code->x, code->y), std::tuple(type, rec.col, rec.row));
            std::istringstream in(ReadFile(tiles::WorldFilePath(path, type)));
            double world[6] = {};
            for (double &value : world) {
                ASSERT_TRUE(in >> value) << path;
            }
            // The world file gives pixel centres: the tile's corners lie half a pixel beyond them.
            const auto corner = [&](double px, double py) {
                return proj.ToGeographic(world[4] + px * world[0] + py * world[2],
                                         world[5] + px * world[1] + py * world[3]);
            };
            const auto bounds = test::TileGeoBounds(type, rec, level);
            const double tolerance = (bounds.east - bounds.west) / 256 / 4;
            const auto [west, north] = corner(-0.5, -0.5);
            const auto [east, south] = corner(255.5, 255.5);
            EXPECT_LT(std::max({std::abs(west - bounds.west), std::abs(north - bounds.north),
                                std::abs(east - bounds.east), std::abs(south - bounds.south)}),
                      tolerance)
                << path;
            GDALDatasetUniquePtr ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
            ASSERT_TRUE(ds && ds->GetSpatialRef()) << path;
            EXPECT_TRUE(ds->GetSpatialRef()->IsSame(&srs)) << path;
        });
    }
}

// A page, an empty 200, a 204 or an image cut short (with or without a length) becomes no tile
// file of any source: the tile fails, says why (the summary line sums the causes up), gets no
// world file, and the next run fetches it.
// (A Google page or empty body is the header check's bad tile, asked about below.)
TEST_F(DownloadCliTest, OnlyWholeImagesBecomeTiles) {
    const std::tuple<const char *, const char *, TilesType, int> types[] = {
        {"goo", "sat", TilesType::GoogleSat, 13},
        {"scan", "map", TilesType::ScanMap, 12},
        {"shade", "sat", TilesType::Shade, 8},
        {"yand", "sat", TilesType::YandSat, 12},
    };
    for (const auto &[source, kind, type, level] : types) {
        const tiles::TileList list(Moscow(type, level));
        const std::int64_t n = list.Size();
        const std::tuple<std::string, std::string, std::string> faults[] = {
            {"html", "the answer is not an image", "not an image"},
            {"empty", "the answer is empty", "empty answer"},
            {"204", "the server answered HTTP 204", "HTTP 204"},
            {"cut", "the image is cut short", "cut short"},
            {"truncate", "transfer closed with", "cut short"}};
        for (const auto &[fault, cause, summed] : faults) {
            if (tiles::IsGoogle(type) && (fault == "html" || fault == "empty")) {
                continue;
            }
            SCOPED_TRACE(std::string(source) + " " + kind + " " + fault);
            test::TempDir dir;
            server.SetFaults({tileserver::ParseFault(fault + ":every=2")});
            auto r = Load(source, kind, level, {"--connections", "4"}, dir.Path());
            EXPECT_EQ(r.exitCode, 3) << r.err;
            EXPECT_EQ(r.out, Counters(n - n / 2, n - n / 2, n / 2));
            std::int64_t said = 0; // each failed tile says why, once
            for (std::size_t at = 0;
                 (at = r.err.find(" failed: " + cause, at)) != std::string::npos; ++at) {
                ++said;
            }
            EXPECT_EQ(said, n / 2) << r.err;
            EXPECT_TRUE(r.err.ends_with("Tiles wanted: " + std::to_string(n) +
                                        ", on disk: " + std::to_string(n - n / 2) +
                                        ", failed: " + std::to_string(n / 2) + " (" + summed +
                                        ": " + std::to_string(n / 2) + ").\n"))
                << r.err;
            EXPECT_EQ(WholeTilesIn(dir / std::to_string(level), list, type, level), n - n / 2);
            server.SetFaults({});
            r = Load(source, kind, level, {}, dir.Path());
            EXPECT_EQ(r.out, Counters(n, n / 2, 0)) << r.err;
        }
    }
}

// Two runs into one folder at once, against a server that sends pages for every third tile:
// whatever either run left, every tile file is a whole image with its world file, and a third
// run finds nothing missing that it has to fetch twice.
TEST_F(DownloadCliTest, TwoRunsIntoOneFolderLeaveOnlyWholeTiles) {
    const tiles::TileList list(Moscow(TilesType::GoogleSat, 16));
    server.SetFaults({tileserver::ParseFault("html:every=3")});
    const auto args = LoadArgs("goo", "sat", 16, {"--connections", "8", "--bad-tile", "retry"});
    std::vector<test::ProcessResult> runs(2);
    {
        std::jthread first([&] { runs[0] = Tessaro(args); });
        runs[1] = Tessaro(args);
    }
    for (const auto &r : runs) {
        EXPECT_TRUE(r.exitCode == 0 || r.exitCode == 3) << r.err;
    }
    const auto onDisk = WholeTilesIn(tiles / "16", list, TilesType::GoogleSat, 16);
    server.SetFaults({});
    const auto last = Load("goo", "sat", 16);
    EXPECT_EQ(last.out, Counters(list.Size(), list.Size() - onDisk, 0)) << last.err;
}

// A server that asks to slow down gets its pause, then the tiles; one that keeps asking fails
// them, naming the status, once the retries are spent.
TEST_F(DownloadCliTest, ServersThatAskToSlowDownGetTheirPause) {
    const auto n = std::ssize(kSat13);
    server.SetFaults({tileserver::ParseFault("429=1:first=2")});
    const auto start = std::chrono::steady_clock::now();
    auto r = Load("goo", "sat", 13, {"--connections", "4"});
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_EQ(r.out, Counters(n, n, 0)) << r.err;
    server.SetFaults({tileserver::ParseFault("503")});
    std::filesystem::remove_all(tiles / "13");
    r = Load("goo", "sat", 13, {"--retries", "1", "--connections", "16"});
    EXPECT_EQ(r.out, Counters(0, 0, n)) << r.err;
    EXPECT_TRUE(Exited(r, 3, "failed: the server answered HTTP 503 (asked to slow down 2 times)."));
}

// Without a terminal a bad Google tile is shown (address and the start of what came) and
// cancels the run, or is fetched again with --bad-tile retry, three times at most; pauses count
// down on their own; an offline run keeps a bad file unless --bad-offline delete.
TEST_F(DownloadCliTest, QuestionsWithoutATerminalTakeTheAnswersGivenOrCancel) {
    server.SetFaults({FaultAt("html", 5)});
    auto r = Load("goo", "sat", 13, {"--tiles-at-once", "4", "--timeout", "2"});
    EXPECT_TRUE(Exited(r, 3, "The server did not send an image for " + server.BaseUrl()));
    EXPECT_TRUE(Exited(r, 3, " bytes, beginning:\n<html"));
    EXPECT_TRUE(Exited(r, 3, "скачка плохих блоков\nПродолжить загрузку?\r\n"));
    EXPECT_TRUE(Exited(r, 3, "обработано блоков 4\n1 секунд осталось\n0 секунд осталось\n"));
    EXPECT_EQ(r.out, Counters(5, 6, 0));
    EXPECT_EQ(Count(tiles.Path(), ".jpg"), 5u) << "the bad file is deleted";

    server.SetFaults({FaultAt("html", 6)});
    r = Load("goo", "sat", 13, {"--bad-tile", "retry"});
    EXPECT_TRUE(Exited(r, 3, "Giving up after 3 retries"));
    EXPECT_EQ(r.out, Counters(6, 5, 0)) << "the bad tile fetched four times";

    const auto bad = tiles::TilePath(tiles / "13", TilesType::GoogleSat, kSat13[0], 13);
    test::WriteFile(bad, "<html>bad</html>");
    EXPECT_EQ(Load("goo", "sat", 13, {"--offline"}).exitCode, 3);
    EXPECT_TRUE(std::filesystem::exists(bad)) << "exit deletes nothing";
    r = Load("goo", "sat", 13, {"--offline", "--bad-offline", "delete"});
    EXPECT_EQ(r.out, Counters(5, 0, std::ssize(kSat13) - 5));
    EXPECT_FALSE(std::filesystem::exists(bad));
}

// A retried tile that comes good is kept; a pause ends when Enter is pressed, long before its
// 100 seconds.
TEST_F(DownloadCliTest, QuestionsAreAnsweredAtTheTerminal) {
    server.SetFaults({FaultAt("html", 3, ",first=1")});
    auto args = LoadArgs("goo", "sat", 13, {"--tiles-at-once", "2", "--timeout", "100"});
    args.insert(args.begin(), TESSARO_BINARY);
    const auto start = std::chrono::steady_clock::now();
    const auto run = test::RunOnTerminal(args,
                                         {{"обработано блоков 2", "\n"},
                                          {"[r]etry / [c]ancel? ", "maybe\n"},
                                          {"[r]etry / [c]ancel? ", "r\n"},
                                          {"обработано блоков 4", "\n"},
                                          {"обработано блоков 6", "\n"},
                                          {"обработано блоков 8", "\n"}},
                                         {{"HOME", home.Path().string()}});
    EXPECT_EQ(run.exitCode, 0) << run.screen;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_NE(run.screen.find("99 секунд осталось"), std::string::npos) << run.screen;
    EXPECT_NE(run.screen.find("Продолжить загрузку?"), std::string::npos);
    EXPECT_EQ(Count(tiles.Path(), ".jpg"), kSat13.size());
}

// Ctrl-C and a request to terminate stop after the tile in hand, with the log and the .ion
// list finished; a run killed outright has still logged every tile it left on disk.
TEST_F(DownloadCliTest, StopSignalsEndAfterTheTileInHand) {
    server.SetFaults({tileserver::ParseFault("delay=300:all")});
    const auto args = LoadArgs("scan", "map", 12, {"--log", "--ion"});
    const auto folder = tiles.Path() / "12";
    for (const int signal : {SIGINT, SIGTERM, SIGKILL}) {
        std::filesystem::remove_all(folder);
        std::filesystem::remove(tiles.Path() / "SSevice_map.log");
        const pid_t pid = Spawn(args);
        // The signal comes once two tiles are on disk: the server's count runs ahead of the
        // files, more so on a slow (sanitised) build.
        for (int i = 0; i < 200 && Count(folder, ".jpg") < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const auto got = Count(folder, ".jpg");
        EXPECT_GE(got, 2u) << signal;
        EXPECT_LT(got, tiles::BuildTileList(Moscow(TilesType::ScanMap, 12)).size()) << signal;
        EXPECT_EQ(Count(folder, ".jgw"), got) << "every tile on disk has its world file";
        const auto log = ReadFile(tiles.Path() / "SSevice_map.log");
        const auto logLines = static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
        if (signal == SIGKILL) {
            EXPECT_GE(logLines, got + 1) << "header and a line per tile on disk";
            continue;
        }
        ASSERT_TRUE(WIFEXITED(status)) << signal;
        EXPECT_EQ(WEXITSTATUS(status), 3);
        EXPECT_EQ(logLines, got + 2) << "the interrupted tile is logged as an error";
        const auto ion = ReadFile(OnlyFile(folder, ".ion"));
        EXPECT_EQ(static_cast<std::size_t>(std::count(ion.begin(), ion.end(), '\n')), got + 1);
    }
}

// A load log of whole records: the header first, then lines of eleven fields, each ended.
testing::AssertionResult WholeLog(const std::string &log, std::size_t records) {
    std::size_t lines = 0;
    std::size_t start = 0;
    while (start < log.size()) {
        const auto end = log.find("\r\n", start);
        if (end == std::string::npos) {
            return testing::AssertionFailure() << "a torn last line: " << log.substr(start);
        }
        const auto line = log.substr(start, end - start);
        if (lines == 0 ? line != download::kLogHeader : std::ranges::count(line, ';') != 10) {
            return testing::AssertionFailure() << "line " << lines << ": " << line;
        }
        ++lines;
        start = end + 2;
    }
    if (lines != records + 1) {
        return testing::AssertionFailure() << lines << " lines for " << records << " records";
    }
    return testing::AssertionSuccess();
}

// The exit status of a run a second after the signal, or -1 when it was still going (it is
// then killed: it could fill the disk).
int StatusASecondAfter(pid_t pid, int signal) {
    ::kill(pid, signal);
    int status = 0;
    for (int i = 0; i < 20 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A calculate-only run of a billion tiles stops within a second of a hang-up, with whole log
// lines and the list of the tiles walked, and so does the selection of four billion tiles
// before it; a request too large to count is refused before anything is written.
TEST_F(DownloadCliTest, LongRunsStopAtOnceAndUncountableOnesDoNotStart) {
    const std::string world = "-85,85,-180,180";
    const auto point = home / "point.geojson";
    test::WriteFile(point, R"({"type": "Point", "coordinates": [37.61, 55.75]})");
    pid_t pid = Spawn(LoadArgs(
        "goo", "sat", 16, {"--calculate-only", "--ion", "--selection", point.string()}, world));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(StatusASecondAfter(pid, SIGTERM), 3) << "the selection goes on";
    EXPECT_TRUE(std::filesystem::is_empty(tiles.Path() / "16"));
    std::filesystem::remove(tiles.Path() / "16");

    pid = Spawn(LoadArgs("goo", "sat", 15, {"--calculate-only", "--log", "--ion"}, world));
    const auto log = tiles.Path() / "Tessaro_sat.log";
    for (int i = 0;
         i < 200 && (!std::filesystem::exists(log) || std::filesystem::file_size(log) < (1u << 20));
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(StatusASecondAfter(pid, SIGHUP), 3) << "still running a second after the hang-up";
    const auto text = ReadFile(log);
    const auto records = static_cast<std::size_t>(std::ranges::count(text, '\n')) - 1;
    EXPECT_TRUE(WholeLog(text, records));
    const auto ion = ReadFile(OnlyFile(tiles.Path() / "15", ".ion"));
    EXPECT_EQ(static_cast<std::size_t>(std::ranges::count(ion, '\n')), records);

    std::filesystem::remove_all(tiles.Path() / "15");
    std::filesystem::remove(log);
    const auto r = Tessaro(LoadArgs("goo", "sat", 17, {"--calculate-only", "--log"}, world));
    EXPECT_TRUE(Exited(r, 1, "Переполнение! Очень много выбрано блоков"));
    EXPECT_TRUE(std::filesystem::is_empty(tiles.Path()));
}

// A disk that fills up keeps every file it holds whole, the load log too, whose next run goes
// on with whole records. A read-only folder fails every tile and gets nothing.
TEST_F(DownloadCliTest, FullAndReadOnlyDisks) {
    test::ScopedTmpfs small(tiles / "small", "128k");
    test::ScopedTmpfs readOnly(tiles / "ro", "1m");
    if (!small.Mounted() || !readOnly.Mounted()) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << small.Error() << ")";
    }
    const auto many = tiles::BuildTileList(Moscow(TilesType::GoogleSat, 15)).size();
    ASSERT_GT(many, 60u) << "more tiles than the folder holds";
    auto r = Load("goo", "sat", 15, {"--log"}, tiles / "small");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    std::size_t images = 0;
    for (const auto &e : std::filesystem::directory_iterator(tiles / "small" / "15")) {
        const auto name = e.path().filename().string();
        EXPECT_EQ(name.find(".part-"), std::string::npos) << name;
        if (e.path().extension() == ".jpg") {
            ++images;
            const auto image = test::DecodeImage(ReadFile(e.path()));
            EXPECT_TRUE(tileserver::DecodeTileImage({image.rgb.data(), 256, 256, 0}).has_value())
                << name;
        }
    }
    EXPECT_GT(images, 0u);
    EXPECT_LT(images, many);
    const auto log = tiles / "small" / "Tessaro_sat.log";
    const auto records = [&] {
        const auto text = ReadFile(log);
        return static_cast<std::size_t>(std::ranges::count(text, '\n')) - 1;
    };
    EXPECT_TRUE(WholeLog(ReadFile(log), records()));
    std::filesystem::remove_all(tiles / "small" / "15"); // room for the next run
    const auto before = records();
    r = Load("goo", "sat", 13, {"--log"}, tiles / "small");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(WholeLog(ReadFile(log), before + kSat13.size()));

    std::filesystem::create_directories(tiles / "ro" / "13");
    ASSERT_TRUE(readOnly.MakeReadOnly());
    // A folder that takes no file stops the run at its first tile, with one message.
    r = Load("goo", "sat", 13, {}, tiles / "ro");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, Counters(0, 0, 1));
    EXPECT_EQ(std::ranges::count(r.err, '\n'), 2) << r.err;
    EXPECT_TRUE(r.err.starts_with("The run stops: Cannot create " + (tiles / "ro" / "13").string()))
        << r.err;
    EXPECT_NE(r.err.find("\nTiles wanted: " + std::to_string(kSat13.size()) +
                         ", on disk: 0, failed: 1 (not written: 1), not reached: " +
                         std::to_string(kSat13.size() - 1) + ".\n"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(tiles / "ro" / "13"));
}

// A proxy that wants tiles:secret gets the user of --proxy-user and the password of the
// environment, and every transfer it turned away goes again with them; a wrong password fails
// every tile, no password without a terminal is a usage error, and Ctrl-C at the prompt stops.
// Every request gives the stored User-Agent, or what --user-agent says.
TEST_F(DownloadCliTest, ProxyCredentialsComeFromTheEnvironment) {
    std::mutex mutex;
    std::set<std::string> agents;
    test::ScriptedServer proxy([&](test::ScriptedServer::Exchange &ex) {
        {
            const std::lock_guard lock(mutex);
            agents.insert(ex.Header("User-Agent"));
        }
        if (ex.Header("Proxy-Authorization") != "Basic dGlsZXM6c2VjcmV0") {
            ex.send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                    "realm=\"t\"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            return;
        }
        const std::string target = ex.Target();
        const auto answer = test::HttpClient().Get(
            server.BaseUrl() + target.substr(target.find('/', std::string("http://").size())));
        ex.send(test::ScriptedServer::Answer(static_cast<int>(answer.status), "image/jpeg",
                                             answer.body));
    });
    // The tile servers are named by a host only the proxy knows.
    auto args = LoadArgs("yand", "map", 12, {"--proxy-user", "tiles", "--connections", "4"});
    for (auto &a : args) {
        if (const auto pos = a.find(server.BaseUrl()); pos != std::string::npos) {
            a.replace(pos, server.BaseUrl().size(), "http://tiles.invalid");
        }
    }
    const auto n = tiles::TileList(Moscow(TilesType::YandMap, 12)).Size();
    ASSERT_EQ(Tessaro({"settings", "save", "--config=" + (home / "store.ini").string(), "--set",
                       "txtUserAgent= Stored/1 "})
                  .exitCode,
              0);
    for (const std::string password : {"guess", "secret"}) { // the wrong one writes nothing
        auto more = args;
        if (password == "secret") {
            more.insert(more.end(), {"--user-agent", "MapFetch/2 (gis@example.org)"});
        }
        const auto r = Tessaro(more, {{"http_proxy", proxy.Url("")},
                                      {"TESSARO_PROXY_PASSWORD", password},
                                      {"no_proxy", ""}});
        EXPECT_EQ(r.exitCode, password == "secret" ? 0 : 3);
        EXPECT_EQ(r.out, password == "secret" ? Counters(n, n, 0) : Counters(0, 0, n)) << r.err;
    }
    EXPECT_TRUE(Exited(Tessaro(args, {{"http_proxy", proxy.Url("")}}), 2, "TESSARO_PROXY_PASSWORD"))
        << "no terminal and no password";
    EXPECT_EQ(agents, (std::set<std::string>{"Stored/1", "MapFetch/2 (gis@example.org)"}));
    // Ctrl-C at the password prompt stops the run and gives the terminal its echo back.
    args.insert(args.begin(), TESSARO_BINARY);
    const auto run =
        test::RunOnTerminal(args, {{"Proxy password: ", "\x03"}}, {{"HOME", home.Path().string()}},
                            std::chrono::seconds(10));
    EXPECT_EQ(std::tuple(run.exitCode, run.echo), std::tuple(3, true)) << run.screen;
}
