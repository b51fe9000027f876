// The download loop against a scripted tile server on loopback. Signals, the questions at a
// terminal, full disks and proxies are tested end to end in tests/cli/download_cli_test.cpp.
#include "download/download_loop.h"

#include "download/tile_urls.h"
#include "support/files.h"
#include "support/recording_ui.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "tiles/tile_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <tuple>

using namespace tessaro;
using download::DownloadCounters;
using download::DownloadEnd;
using tiles::TilesType;

namespace {

// The start of a JPEG file with a frame marker: enough for the header check.
const std::string kJpeg("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
                        "\xFF\xC0\x00\x11\x08\x01\x00\x01\x00\x03",
                        30);

// A whole tile: the JPEG start, the address it answers, the end-of-image marker.
std::string Tile(const std::string &path) {
    return kJpeg + path + "\xFF\xD9";
}

std::set<std::string> Files(const std::filesystem::path &folder) {
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(folder)) {
        names.insert(e.path().filename().string());
    }
    return names;
}

const tiles::TileList kSat(tiles::TileRequest{TilesType::GoogleSat, 8, 50, 56, 30, 40});
const std::string kStamp = download::TimeStamp({}); // every run's clock stands at the epoch

// The log a run writes: the header and a line per tile, with "oldfile" for tiles on disk and
// 1 for the failed one.
std::string Log(const std::vector<tiles::TileRecord> &tiles, const std::vector<bool> &onDisk = {},
                std::size_t failed = SIZE_MAX) {
    std::string log = std::string(download::kLogHeader) + "\r\n";
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        const auto mark = i < onDisk.size() && onDisk[i] ? download::TileMark::OldFile
                          : i == failed                  ? download::TileMark::Failed
                                                         : download::TileMark::New;
        download::AppendLogLine(log, kStamp, "sat", tiles[i], 0, 8, mark);
        log += "\r\n";
    }
    return log;
}

class DownloadLoopTest : public ::testing::Test {
protected:
    DownloadLoopTest() {
        for (int k = 0; k < 4; ++k) {
            s.Text(settings::Settings::SatServer(k)) = server.Url("/m" + std::to_string(k) + "/kh");
        }
        kSat.ForEach([&](const tiles::TileRecord &r) { sat.push_back(r); });
    }

    // A tile's address below the mirror folder.
    std::string PathOf(const tiles::TileRecord &r) const {
        const auto url = download::TileUrl(download::DownloadPrefixes(s, TilesType::GoogleSat), 0,
                                           TilesType::GoogleSat, r, 8);
        return url.substr(url.find("/m0/") + 3);
    }

    // Every address is answered with a JPEG holding the address below the mirror folder, but
    // the failing one not at all, and the bad one late (once the tiles after it are on disk)
    // with a page, or not at all when the run is stopped meanwhile.
    void Answer(test::ScriptedServer::Exchange &ex) {
        const auto path = ex.Target().substr(3);
        if (path == badPath) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (stopAtBad) {
                abort.Set();
                return;
            }
        }
        if (path != failingPath) {
            ex.send(test::ScriptedServer::Answer(200, "image/jpeg",
                                                 path == badPath ? "<html>" : Tile(path)));
        }
    }

    // A run into root/8, with a log in root kept by the test.
    download::DownloadRun Run(const std::filesystem::path &root) {
        std::filesystem::create_directories(root / "8");
        openLogs.push_back(
            download::GetLogFile(root / "Tessaro_sat.log", download::kLogHeader, ui));
        download::DownloadRun run;
        run.levelFolder = root / "8";
        run.type = TilesType::GoogleSat;
        run.level = 8;
        run.skipLog = false;
        run.log = openLogs.back().get();
        run.now = [] { return std::chrono::system_clock::time_point{}; };
        return run;
    }

    std::filesystem::path TilePath(const download::DownloadRun &run, std::size_t i) const {
        return tiles::TilePath(run.levelFolder, TilesType::GoogleSat, sat[i], 8);
    }

    DownloadEnd Load(const download::DownloadRun &run, DownloadCounters &counters) {
        return download::GoogleLoadKachalka(run, kSat, s, counters, ui, abort);
    }

    std::string failingPath, badPath;
    std::atomic<bool> stopAtBad{false};
    settings::Settings s = settings::Settings::FirstOpening();
    std::vector<tiles::TileRecord> sat;
    test::TempDir out;
    test::RecordingUi ui;
    AbortFlag abort;
    std::vector<std::unique_ptr<download::LoadLog>> openLogs;
    test::ScriptedServer server{[this](auto &ex) { Answer(ex); }}; // last: it goes first
};

} // namespace

// Over one connection or eight, every tile not on disk is fetched, rotating over the mirrors,
// naming the program and asking caches to revalidate, and written with its world file, log line and
// .ion line in list order; a tile on disk is used as it is, a failed one counted and passed over.
// Google runs pause after every batch.
TEST_F(DownloadLoopTest, EveryTileIsWrittenWithItsWorldFileLogAndIonLine) {
    ASSERT_GE(sat.size(), 14u);
    std::string ion;
    for (std::size_t i = 0; i < sat.size(); ++i) {
        ion += sat[i].name.Str() + ".jpg " + server.Url("/m" + std::to_string(i % 4)) +
               PathOf(sat[i]) + "\r\n";
    }
    failingPath = PathOf(sat[5]);
    for (const int connections : {1, 8}) {
        const auto root = out / std::to_string(connections);
        auto run = Run(root);
        run.connections = connections;
        run.makeIon = true;
        run.tilesAtOnce = 7;
        test::WriteFile(TilePath(run, 1), kJpeg + PathOf(sat[1]));
        ui.pauses.clear();
        ui.tileFailures.clear();
        DownloadCounters counters;
        ASSERT_EQ(Load(run, counters), DownloadEnd::Completed);
        ASSERT_EQ(ui.tileFailures.size(), 1u) << "the failed tile says why, once";
        EXPECT_TRUE(ui.tileFailures[0].starts_with("Tile " + sat[5].name.Str() + ": Download of " +
                                                   server.Url("/m1") + failingPath + " failed: "))
            << ui.tileFailures[0];
        EXPECT_EQ(std::tuple(counters.loaded, counters.added, counters.errors),
                  std::tuple(kSat.Size() - 1, kSat.Size() - 2, 1));
        ASSERT_EQ(ui.pauses.size(), sat.size() / 7);
        EXPECT_EQ(ui.pauses[1].processed, 14);
        EXPECT_EQ(test::ReadFile(run.levelFolder / ("Tessaro_" + kStamp + ".ion")), ion);
        EXPECT_EQ(test::ReadFile(root / "Tessaro_sat.log"), Log(sat, {false, true}, 5));
        EXPECT_EQ(Files(run.levelFolder).size(), 3 * sat.size() - 3)
            << "tiles, world files, side files of the fetched tiles, list";
        EXPECT_EQ(test::ReadFile(TilePath(run, 9)), Tile(PathOf(sat[9])));
    }
    const auto heads = server.Requests();
    EXPECT_EQ(heads.size(), 2 * (sat.size() - 1)) << "the tile on disk is not fetched";
    for (const auto &head : heads) {
        EXPECT_NE(head.find("\r\nCache-Control: no-cache\r\n"), std::string::npos) << head;
        EXPECT_NE(head.find("\r\nUser-Agent: Tessaro/0.1.0\r\n"), std::string::npos) << head;
    }
    EXPECT_EQ(ui.labels.front(), "Load from Goo");
    EXPECT_TRUE(ui.messages.empty());
}

// Tiles may be sent on to a tile server of any source of the settings, and nowhere else: a tile
// sent elsewhere fails naming where it was sent, and nothing of it is written.
TEST_F(DownloadLoopTest, TilesAreRedirectedOnlyToTheTileServersOfTheSettings) {
    test::ScriptedServer sender([&](test::ScriptedServer::Exchange &ex) {
        ex.send("HTTP/1.1 302 Found\r\nLocation: " + server.Url(ex.Target()) +
                "\r\nContent-Length: 0\r\n\r\n");
    });
    for (int k = 0; k < 4; ++k) {
        s.Text(settings::Settings::SatServer(k)) = sender.Url("/m" + std::to_string(k) + "/kh");
    }
    for (const bool named : {true, false}) {
        s.Text(settings::Key::SatServerShade) = named ? server.Url("/relief/") : "";
        auto run = Run(out / (named ? "named" : "elsewhere"));
        run.connections = 4;
        DownloadCounters counters;
        ASSERT_EQ(Load(run, counters), DownloadEnd::Completed);
        EXPECT_EQ(counters.errors, named ? 0 : kSat.Size());
        EXPECT_EQ(Files(run.levelFolder).size(), named ? 3 * sat.size() : 0);
    }
    ASSERT_EQ(ui.tileFailures.size(), sat.size());
    EXPECT_EQ(ui.tileFailures[1],
              "Tile " + sat[1].name.Str() + ": Download of " + sender.Url("/m1") + PathOf(sat[1]) +
                  " failed: the server redirected it to " + server.Url("/m1") + PathOf(sat[1]) +
                  ", a host none of the tile-server settings names.");
}

// Offline, tiles on disk are used and missing ones are errors without a world file. A Google
// file that is no image asks once whether bad files may go (No ends the run, which the command
// line's tests show): Yes deletes it and every later one.
TEST_F(DownloadLoopTest, OfflineRunsUseTheFilesOnDisk) {
    auto run = Run(out.Path());
    run.offline = true;
    for (std::size_t i = 0; i < sat.size(); ++i) {
        if (i != 1) {
            test::WriteFile(TilePath(run, i), i == 3 || i == 5 ? "<html>" : kJpeg);
        }
    }
    ui.answers = {true};
    DownloadCounters counters;
    ASSERT_EQ(Load(run, counters), DownloadEnd::Completed);
    EXPECT_EQ(std::tuple(counters.loaded, counters.added, counters.errors),
              std::tuple(kSat.Size() - 3, 0, 3));
    EXPECT_EQ(Files(run.levelFolder).size(), 2 * (sat.size() - 3)) << "no world file, no tile";
    std::vector<bool> onDisk(sat.size(), true);
    onDisk[1] = false;
    EXPECT_EQ(test::ReadFile(out / "Tessaro_sat.log"), Log(sat, onDisk));
    ASSERT_EQ(ui.questions.size(), 1u);
    EXPECT_EQ(ui.questions[0].text,
              "Файл " + sat[3].name.Str() +
                  "\r\nимеет недопустимый формат (возможно битый или текстовый файл)\r\nСтереть "
                  "файл ( и все плохие) и продолжить загрузку?\r\nНЕТ - выход");
    EXPECT_EQ(ui.questions[0].title, "плохой файл");
}

// Over several connections, Cancel on a bad Google tile, or a stop while a tile hangs, ends the
// run with only the tiles it logged in the folder: those fetched ahead meanwhile are removed.
// (Retry is the command line's test.)
TEST_F(DownloadLoopTest, AnEarlyEndLeavesNoTileFetchedAhead) {
    badPath = PathOf(sat[2]);
    for (const bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "cancel" : "stop");
        stopAtBad = !cancel;
        abort.Clear();
        const auto root = out / (cancel ? "cancel" : "stop");
        auto run = Run(root);
        run.connections = 8;
        DownloadCounters counters;
        ASSERT_EQ(Load(run, counters), DownloadEnd::Aborted);
        EXPECT_TRUE(abort.IsSet()) << "Cancel stops the run as the stop does";
        EXPECT_EQ(Files(run.levelFolder),
                  (std::set<std::string>{sat[0].name.Str() + ".jpg", sat[0].name.Str() + ".jgw",
                                         sat[0].name.Str() + ".jpg.aux.xml",
                                         sat[1].name.Str() + ".jpg", sat[1].name.Str() + ".jgw",
                                         sat[1].name.Str() + ".jpg.aux.xml"}));
        EXPECT_EQ(test::ReadFile(root / "Tessaro_sat.log"),
                  cancel ? Log({sat[0], sat[1]}) : Log({sat[0], sat[1], sat[2]}, {}, 2))
            << "a cancelled tile has no line, a stopped one fails";
    }
}

// A template source's server may send a tile on to another of the source's mirrors (here told
// apart by their ports), and nowhere else.
TEST_F(DownloadLoopTest, TemplateTilesAreRedirectedOnlyToTheSourcesMirrors) {
    test::ScriptedServer mirror([](test::ScriptedServer::Exchange &ex) {
        ex.send(test::ScriptedServer::Answer(200, "image/jpeg", Tile(ex.Target())));
    });
    test::ScriptedServer sender([&](test::ScriptedServer::Exchange &ex) {
        ex.send("HTTP/1.1 302 Found\r\nLocation: " + mirror.Url(ex.Target()) +
                "\r\nContent-Length: 0\r\n\r\n");
    });
    const auto port = [](const test::ScriptedServer &to) {
        const auto url = to.Url("");
        return url.substr(url.rfind(':') + 1);
    };
    const tiles::TileList list(tiles::TileRequest{TilesType::Xyz, 3, -10, 40, 0, 100});
    for (const bool mirrored : {true, false}) {
        download::UrlTemplate source{"http://127.0.0.1:{s}/{z}/{x}/{y}.jpg", {port(sender)}, "osm",
                                     ""};
        if (mirrored) {
            source.mirrors.push_back(port(mirror)); // every other tile goes there at once
        }
        download::DownloadRun run;
        run.type = TilesType::Xyz;
        run.level = 3;
        run.urlTemplate = &source;
        run.levelFolder = out / (mirrored ? "mirrored" : "elsewhere");
        list.ForEach([&](const tiles::TileRecord &r) {
            std::filesystem::create_directories(run.levelFolder / std::to_string(r.col));
        });
        DownloadCounters counters;
        EXPECT_EQ(download::GoogleLoadKachalka(run, list, s, counters, ui, abort),
                  DownloadEnd::Completed);
        EXPECT_EQ(std::tuple(counters.loaded, counters.errors),
                  mirrored ? std::tuple(6, 0) : std::tuple(0, 6));
    }
}

// A template source's tiles take the type of the image each answer holds: a JPEG becomes
// x/y.jpg with a .jgw, a PNG x/y.png with a .pgw, anything else fails with no file. {s} takes
// the mirrors in turn, and a second run finds every tile on disk under either extension.
TEST_F(DownloadLoopTest, TemplateTilesTakeTheTypeOfTheirAnswer) {
    const std::string png =
        std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\1\0\0\0\1\0\x08\x02", 26) +
        std::string(4, '\0') + std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
    const std::string gif = "GIF89a\1\0\1\0\0\0\0;";
    const tiles::TileList list(tiles::TileRequest{TilesType::Xyz, 3, -10, 40, 0, 100});
    ASSERT_EQ(list.Size(), 6); // x 4..6, y 3..4
    // x even: JPEG; x odd: PNG; the tile (5, 3): a GIF.
    const auto answer = [&](test::ScriptedServer::Exchange &ex) {
        const auto target = ex.Target();
        const int x = target[5] - '0', y = 7 - (target[7] - '0');
        ex.send(test::ScriptedServer::Answer(200, "image/any",
                                             x == 5 && y == 3 ? gif
                                             : x % 2 == 0     ? Tile(target)
                                                              : png));
    };
    test::ScriptedServer xyz{answer};
    const download::UrlTemplate source{xyz.Url("/{s}/{z}/{x}/{-y}.img"), {"a", "b"}, "osm", ""};
    download::DownloadRun run;
    run.type = TilesType::Xyz;
    run.level = 3;
    run.urlTemplate = &source;
    run.levelFolder = out / "3";
    std::set<std::string> expected, found;
    list.ForEach([&](const tiles::TileRecord &r) {
        const auto tile = std::to_string(r.col) + "/" + std::to_string(r.row);
        std::filesystem::create_directories(run.levelFolder / std::to_string(r.col));
        if (r.col != 5 || r.row != 3) {
            const std::string image = tile + (r.col % 2 == 0 ? ".jpg" : ".png");
            expected.insert({image, tile + (r.col % 2 == 0 ? ".jgw" : ".pgw"), image + ".aux.xml"});
        }
    });
    DownloadCounters counters;
    EXPECT_EQ(download::GoogleLoadKachalka(run, list, s, counters, ui, abort),
              DownloadEnd::Completed);
    EXPECT_EQ(std::tuple(counters.loaded, counters.errors), std::tuple(5, 1));
    for (const auto &e : std::filesystem::recursive_directory_iterator(run.levelFolder)) {
        if (e.is_regular_file()) {
            found.insert(e.path().lexically_relative(run.levelFolder).string());
        }
    }
    EXPECT_EQ(found, expected);
    ASSERT_EQ(ui.tileFailures.size(), 1u);
    EXPECT_TRUE(ui.tileFailures[0].starts_with("Tile 3/5/3: ") &&
                ui.tileFailures[0].ends_with("failed: the image is neither JPEG nor PNG."))
        << ui.tileFailures[0];
    const auto heads = xyz.Requests();
    ASSERT_EQ(heads.size(), 6u);
    for (std::size_t i = 0; i < heads.size(); ++i) {
        EXPECT_TRUE(heads[i].starts_with(std::string("GET /") + "ab"[i % 2] + "/3/")) << heads[i];
    }
    DownloadCounters again;
    EXPECT_EQ(download::GoogleLoadKachalka(run, list, s, again, ui, abort), DownloadEnd::Completed);
    EXPECT_EQ(std::tuple(again.loaded, again.added, xyz.Requests().size()),
              std::tuple(6 - 1, 0, 7u));
}
