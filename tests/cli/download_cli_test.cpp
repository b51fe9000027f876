// `tessaro load` downloading from the built-in tile server: placement of every tile through its
// world file and PROJ, the fault modes, the questions without a terminal, pauses and exit codes.
#include "../mapout/mapout_support.h"
#include "../tiles/proj_reference.h"
#include "cli_support.h"
#include "support/files.h"
#include "support/http_client.h"
#include "support/image_decode.h"
#include "support/process.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "support/terminal.h"
#include "support/tmpfs.h"
#include "tiles/tile_files.h"
#include "tileserver/fault.h"
#include "tileserver/tile_code.h"
#include "tileserver/tile_server.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sstream>
#include <sys/mount.h>
#include <sys/wait.h>
#include <thread>

using namespace tessaro;
using test::ProcessResult;
using test::ReadFile;
using tiles::TilesType;

namespace {

class DownloadCliTest : public ::testing::Test {
protected:
    void SetUp() override { server.Start(); }

    // A load of the test's extent over central Moscow.
    std::vector<std::string> Args(const char *source, const char *kind, int level,
                                  const std::filesystem::path &dir = {}) {
        return test::LoadArgs(server.BaseUrl(), source, kind, level, "55.70,55.80,37.50,37.70",
                              dir.empty() ? tiles.Path() : dir, home / "store.ini");
    }

    ProcessResult Run(std::vector<std::string> args, std::vector<std::string> more = {}) {
        args.insert(args.end(), more.begin(), more.end());
        return test::RunProcess(
            args, {},
            {{"HOME", home.Path().string()}, {"XDG_CONFIG_HOME", (home / "config").string()}});
    }

    std::size_t Count(const std::filesystem::path &folder, const std::string &extension) {
        std::size_t n = 0;
        for (const auto &e : std::filesystem::recursive_directory_iterator(folder)) {
            n += e.path().extension() == extension;
        }
        return n;
    }

    tileserver::TileServer server;
    test::TempDir tiles;
    test::TempDir home;
};

std::vector<double> WorldFile(const std::filesystem::path &path) {
    std::istringstream in(ReadFile(path));
    std::vector<double> v;
    double d = 0;
    while (in >> d)
        v.push_back(d);
    return v;
}

struct TypeCase {
    const char *source;
    const char *kind;
    TilesType type;
    int level;
};

const TypeCase kTypes[] = {
    {"goo", "sat", TilesType::GoogleSat, 13},   {"goo", "map", TilesType::GoogleMap, 13},
    {"goo", "land", TilesType::GoogleLand, 13}, {"scan", "sat", TilesType::ScanSat, 12},
    {"scan", "map", TilesType::ScanMap, 12},    {"shade", "sat", TilesType::Shade, 8},
    {"yand", "sat", TilesType::YandSat, 12},    {"yand", "map", TilesType::YandMap, 12},
};

tiles::TileRequest Moscow(TilesType type, int level) {
    return {type, level, 55.70, 55.80, 37.50, 37.70};
}

// The tile at a position of a list.
tiles::TileRecord TileAt(const tiles::TileRequest &request, std::int64_t position) {
    tiles::TileStream stream(request);
    tiles::TileRecord record;
    for (std::int64_t i = 0; i <= position; ++i) {
        stream.Next(record);
    }
    return record;
}

const tiles::TileRequest kSat13 = Moscow(TilesType::GoogleSat, 13);

std::string TileSelector(const tiles::TileRecord &r) {
    return "tile=" + std::to_string(r.col) + "/" + std::to_string(r.row);
}

} // namespace

// Every tile decodes to the tile it should be, and its corners lie, through the world file and
// PROJ, where that tile's numbers put them by the closed Mercator formulas.
TEST_F(DownloadCliTest, EveryPixelLandsWhereTheServerSaysItBelongs) {
    for (const auto &c : kTypes) {
        const auto r = Run(Args(c.source, c.kind, c.level), {"--connections", "4"});
        ASSERT_EQ(r.exitCode, 0) << c.source << " " << c.kind << ": " << r.err;
        const tiles::TileRequest request = Moscow(c.type, c.level);
        const tiles::TileList list(request);
        EXPECT_EQ(r.out, "Loaded:" + std::to_string(list.Size()) +
                             "\r\nNew:   " + std::to_string(list.Size()) +
                             "\r\nErrors:   0\r\nAdded: 0 (skipped)\n");
        test::ProjTransform proj(tiles::IsEllipsoidal(c.type) ? "ESRI:54004" : "ESRI:53004");
        list.ForEach([&](const tiles::TileRecord &rec) {
            const auto path =
                tiles::TilePath(tiles.Path() / std::to_string(c.level), c.type, rec, c.level);
            const auto image = test::DecodeImage(ReadFile(path));
            ASSERT_EQ(image.width, 256) << path;
            if (c.type == TilesType::GoogleMap || c.type == TilesType::YandMap) {
                EXPECT_EQ(image.pngColourType, 3) << "palette map tiles";
            }
            const auto code = tileserver::DecodeTileImage({image.rgb.data(), 256, 256, 0});
            ASSERT_TRUE(code.has_value()) << path;
            EXPECT_EQ(code->type, c.type);
            EXPECT_EQ(code->x, rec.col) << path;
            EXPECT_EQ(code->y, rec.row) << path;
            const auto world = WorldFile(tiles::WorldFilePath(path, c.type));
            ASSERT_EQ(world.size(), 6u);
            // The world file gives pixel centres: the tile's corners lie half a pixel beyond them.
            const auto corner = [&](double px, double py) {
                return proj.ToGeographic(world[4] + px * world[0] + py * world[2],
                                         world[5] + px * world[1] + py * world[3]);
            };
            const auto bounds = test::TileGeoBounds(c.type, rec, c.level);
            const double tolerance = (bounds.east - bounds.west) / 256 / 4;
            const auto [west, north] = corner(-0.5, -0.5);
            const auto [east, south] = corner(255.5, 255.5);
            EXPECT_NEAR(west, bounds.west, tolerance) << path;
            EXPECT_NEAR(north, bounds.north, tolerance) << path;
            EXPECT_NEAR(east, bounds.east, tolerance) << path;
            EXPECT_NEAR(south, bounds.south, tolerance) << path;
        });
    }
}

TEST_F(DownloadCliTest, ABadGoogleTileCancelsWithoutATerminal) {
    const std::int64_t position = 5;
    server.SetFaults({tileserver::ParseFault("html:" + TileSelector(TileAt(kSat13, position)))});
    const auto r = Run(Args("goo", "sat", 13), {"--ion"});
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("The server did not send an image for " + server.BaseUrl()),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("<html"), std::string::npos) << "the start of what was sent";
    EXPECT_NE(r.err.find("скачка плохих блоков\nПродолжить загрузку?\r\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(Count(tiles.Path(), ".jpg"), static_cast<std::size_t>(position))
        << "the bad file is deleted";
    EXPECT_EQ(r.out, "Loaded:" + std::to_string(position) + "\r\nNew:   " +
                         std::to_string(position + 1) + "\r\nErrors:   0\r\nAdded: 0 (skipped)\n");
}

// A retried tile that comes good is kept (QuestionsAreAnsweredAtTheTerminal); one that never
// does ends the run after three retries.
TEST_F(DownloadCliTest, RetryGivesUpAfterThreeRetries) {
    server.SetFaults({tileserver::ParseFault("html:" + TileSelector(TileAt(kSat13, 3)))});
    const auto start = std::chrono::steady_clock::now();
    const auto r = Run(Args("goo", "sat", 13), {"--bad-tile", "retry"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("Giving up after 3 retries"), std::string::npos) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(DownloadCliTest, OfflineBadFilesAreDeletedAfterOneQuestion) {
    const auto args = Args("goo", "map", 13);
    ASSERT_EQ(Run(args).exitCode, 0);
    const auto folder = tiles.Path() / "13";
    const tiles::TileRequest map13 = Moscow(TilesType::GoogleMap, 13);
    const auto first = tiles::TileBaseName(TilesType::GoogleMap, TileAt(map13, 2), 13) + ".png";
    const auto second = tiles::TileBaseName(TilesType::GoogleMap, TileAt(map13, 6), 13) + ".png";
    test::WriteFile(folder / first, "<html>bad</html>");
    test::WriteFile(folder / second, "<html>bad too</html>");
    auto r = Run(args, {"--offline"});
    EXPECT_EQ(r.exitCode, 3) << "stopped by the No answer";
    EXPECT_TRUE(std::filesystem::exists(folder / first)) << "No deletes nothing";
    r = Run(args, {"--offline", "--bad-offline", "delete", "--log"});
    EXPECT_EQ(r.exitCode, 3) << "two tiles missing now";
    const auto asked = r.err.find("плохой файл\nФайл ");
    ASSERT_NE(asked, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("плохой файл", asked + 1), std::string::npos) << "asked once";
    EXPECT_NE(r.err.find("имеет недопустимый формат (возможно битый или текстовый файл)\r\n"
                         "Стереть файл ( и все плохие) и продолжить загрузку?\r\nНЕТ - выход"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(folder / first));
    EXPECT_FALSE(std::filesystem::exists(folder / second));
    EXPECT_NE(r.out.find("Errors:   2\r\n"), std::string::npos) << r.out;
}

TEST_F(DownloadCliTest, ServerFaultsCountAsFailedTilesAndTheRunGoesOn) {
    const tiles::TileList list(Moscow(TilesType::YandSat, 12));
    ASSERT_GE(list.Size(), 8);
    const std::int64_t mirror2 = list.Size() / 4 + (list.Size() % 4 > 2 ? 1 : 0);
    for (const char *fault :
         {"500:mirror=2", "404:mirror=2", "truncate:mirror=2", "drop:mirror=2"}) {
        for (const char *connections : {"1", "8"}) {
            server.SetFaults({tileserver::ParseFault(fault)});
            std::filesystem::remove_all(tiles.Path() / "12");
            const auto r = Run(Args("yand", "sat", 12), {"--connections", connections});
            EXPECT_EQ(r.exitCode, 3) << fault;
            EXPECT_NE(r.out.find("Errors:   " + std::to_string(mirror2) + "\r\n"),
                      std::string::npos)
                << fault << " with " << connections << " connections: " << r.out;
            EXPECT_EQ(Count(tiles.Path() / "12", ".jpg"),
                      static_cast<std::size_t>(list.Size() - mirror2));
            for (const auto &e : std::filesystem::directory_iterator(tiles.Path() / "12")) {
                EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos);
            }
        }
    }
}

TEST_F(DownloadCliTest, PausesCountDownAfterEveryBatch) {
    const auto r = Run(Args("goo", "land", 13), {"--tiles-at-once", "4", "--timeout", "2"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("обработано блоков 4\n1 секунд осталось\n0 секунд осталось\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("обработано блоков 8\n"), std::string::npos);
}

// Ctrl-C and a request to terminate stop after the tile in hand, with the log and the .ion
// list finished; a run killed outright has still logged every tile it left on disk.
TEST_F(DownloadCliTest, StopSignalsEndAfterTheTileInHand) {
    server.SetFaults({tileserver::ParseFault("delay=300:all")});
    auto args = Args("scan", "map", 12);
    args.insert(args.end(), {"--log", "--ion"});
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const tiles::TileList list(Moscow(TilesType::ScanMap, 12));
    for (const int signal : {SIGINT, SIGTERM, SIGKILL}) {
        std::filesystem::remove_all(tiles.Path() / "12");
        std::filesystem::remove(tiles.Path() / "SSevice_map.log");
        const auto before = server.Stats().tiles;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::freopen("/dev/null", "w", stdout);
            ::freopen("/dev/null", "w", stderr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        for (int i = 0; i < 100 && server.Stats().tiles < before + 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const auto got = Count(tiles.Path() / "12", ".jpg");
        EXPECT_GE(got, 2u) << signal;
        EXPECT_LT(got, static_cast<std::size_t>(list.Size())) << signal;
        EXPECT_EQ(Count(tiles.Path() / "12", ".jgw"), got)
            << "every tile on disk has its world file";
        const auto log = ReadFile(tiles.Path() / "SSevice_map.log");
        const auto logLines = static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
        if (signal == SIGKILL) {
            EXPECT_GE(logLines, got + 1) << "header and a line per tile on disk";
            continue;
        }
        ASSERT_TRUE(WIFEXITED(status)) << signal;
        EXPECT_EQ(WEXITSTATUS(status), 3);
        EXPECT_EQ(logLines, got + 2) << "the interrupted tile is logged as an error";
        const auto ion = Count(tiles.Path() / "12", ".ion");
        ASSERT_EQ(ion, 1u) << signal;
        for (const auto &entry : std::filesystem::directory_iterator(tiles.Path() / "12")) {
            if (entry.path().extension() == ".ion") {
                const auto text = ReadFile(entry.path());
                EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')),
                          got + 1);
            }
        }
    }
}

TEST_F(DownloadCliTest, AFullDiskKeepsEveryEarlierFileWhole) {
    test::ScopedTmpfs small(tiles.Path() / "small", "128k");
    if (!small.Mounted()) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << small.Error() << ")";
    }
    const tiles::TileRequest many = Moscow(TilesType::GoogleSat, 15);
    ASSERT_GT(tiles::TileList(many).Size(), 60) << "more tiles than the folder holds";
    const auto r = Run(Args("goo", "sat", 15, tiles.Path() / "small"), {"--log"});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.exitCode, 2);
    const auto folder = tiles.Path() / "small" / "15";
    std::size_t images = 0;
    for (const auto &e : std::filesystem::directory_iterator(folder)) {
        const auto name = e.path().filename().string();
        EXPECT_EQ(name.find(".part-"), std::string::npos) << name;
        if (e.path().extension() == ".jpg") {
            ++images;
            // Every tile on disk is whole: it decodes to its own tile.
            const auto image = test::DecodeImage(ReadFile(e.path()));
            EXPECT_TRUE(tileserver::DecodeTileImage({image.rgb.data(), 256, 256, 0}).has_value())
                << name;
        }
        if (e.path().extension() == ".jgw") {
            EXPECT_EQ(WorldFile(e.path()).size(), 6u) << name << " is whole";
        }
    }
    EXPECT_GT(images, 0u);
    EXPECT_LT(images, static_cast<std::size_t>(tiles::TileList(many).Size()));
}

TEST_F(DownloadCliTest, AReadOnlyFolderFailsEveryTileAndWritesNothing) {
    test::ScopedTmpfs folder(tiles.Path() / "ro", "1m");
    if (!folder.Mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here (" << folder.Error() << ")";
    }
    std::filesystem::create_directories(tiles.Path() / "ro" / "13");
    ASSERT_TRUE(folder.MakeReadOnly());
    const auto r = Run(Args("goo", "sat", 13, tiles.Path() / "ro"));
    EXPECT_EQ(r.exitCode, 3) << r.err;
    const auto n = tiles::TileList(kSat13).Size();
    EXPECT_EQ(r.out, "Loaded:0\r\nNew:   0\r\nErrors:   " + std::to_string(n) +
                         "\r\nAdded: 0 (skipped)\n");
    EXPECT_TRUE(std::filesystem::is_empty(tiles.Path() / "ro" / "13"));
}

TEST_F(DownloadCliTest, ProxyCredentialsComeFromTheEnvironment) {
    // A proxy that wants tiles:secret and then fetches from the tile server.
    test::ScriptedServer proxy([this](test::ScriptedServer::Exchange &ex) {
        if (ex.Header("Proxy-Authorization") != "Basic dGlsZXM6c2VjcmV0") {
            ex.send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                    "realm=\"t\"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            return;
        }
        const std::string target = ex.Target();
        const auto path = target.substr(target.find('/', std::string("http://").size()));
        test::HttpClient client;
        const auto answer = client.Get(server.BaseUrl() + path);
        ex.send(test::ScriptedServer::Answer(static_cast<int>(answer.status), "image/jpeg",
                                             answer.body));
    });
    auto args = Args("yand", "map", 12);
    // The tile servers are named by a host only the proxy knows.
    for (auto &a : args) {
        const auto pos = a.find(server.BaseUrl());
        if (pos != std::string::npos) {
            a.replace(pos, server.BaseUrl().size(), "http://tiles.invalid");
        }
    }
    args.insert(args.end(), {"--proxy-user", "tiles"});
    // With several transfers at once, every transfer that met the question uses the answer.
    for (const char *connections : {"1", "4"}) {
        auto withConnections = args;
        withConnections.insert(withConnections.end(), {"--connections", connections});
        std::filesystem::remove_all(tiles.Path() / "12");
        const auto r = test::RunProcess(withConnections, {},
                                        {{"HOME", home.Path().string()},
                                         {"http_proxy", proxy.Url("")},
                                         {"TESSARO_PROXY_PASSWORD", "secret"},
                                         {"no_proxy", ""}});
        EXPECT_EQ(r.exitCode, 0) << connections << " connections\n" << r.err;
        EXPECT_EQ(Count(tiles.Path() / "12", ".png"),
                  static_cast<std::size_t>(tiles::TileList(Moscow(TilesType::YandMap, 12)).Size()))
            << connections << " connections";
    }
    const auto noPassword =
        test::RunProcess(args, {}, {{"HOME", home.Path().string()}, {"http_proxy", proxy.Url("")}});
    EXPECT_EQ(noPassword.exitCode, 2) << "no terminal and no password";
    EXPECT_NE(noPassword.err.find("TESSARO_PROXY_PASSWORD"), std::string::npos);
}

TEST_F(DownloadCliTest, QuestionsAreAnsweredAtTheTerminal) {
    server.SetFaults(
        {tileserver::ParseFault("html:" + TileSelector(TileAt(kSat13, 3)) + ",first=1")});
    auto run =
        test::RunOnTerminal(Args("goo", "sat", 13),
                            {{"[r]etry / [c]ancel? ", "maybe\n"}, {"[r]etry / [c]ancel? ", "r\n"}},
                            {{"HOME", home.Path().string()}});
    EXPECT_EQ(run.exitCode, 0) << run.screen;
    EXPECT_NE(run.screen.find("Продолжить загрузку?"), std::string::npos);
    EXPECT_EQ(Count(tiles.Path(), ".jpg"),
              static_cast<std::size_t>(tiles::TileList(kSat13).Size()));

    // A pause ends when Enter is pressed, long before its 100 seconds.
    std::filesystem::remove_all(tiles.Path() / "13");
    server.SetFaults({});
    auto paused = Args("goo", "sat", 13);
    paused.insert(paused.end(), {"--tiles-at-once", "2", "--timeout", "100"});
    const auto start = std::chrono::steady_clock::now();
    run = test::RunOnTerminal(paused,
                              {{"обработано блоков 2", "\n"},
                               {"обработано блоков 4", "\n"},
                               {"обработано блоков 6", "\n"},
                               {"обработано блоков 8", "\n"}},
                              {{"HOME", home.Path().string()}});
    EXPECT_EQ(run.exitCode, 0) << run.screen;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_NE(run.screen.find("99 секунд осталось"), std::string::npos) << run.screen;
}
