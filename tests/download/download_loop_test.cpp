// The download loop against a scripted tile server on loopback. Faults, signals, the questions
// at a terminal and proxies are tested end to end in tests/cli/download_cli_test.cpp.
#include "download/download_loop.h"

#include "download/tile_urls.h"
#include "download/world_file.h"
#include "support/files.h"
#include "support/recording_ui.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "tiles/tile_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>

using namespace tessaro;
using download::DownloadCounters;
using download::DownloadEnd;
using settings::Settings;
using tiles::TilesType;

namespace {

// The start of a JPEG file with a frame marker (enough for the header check) and a tag.
std::string Jpeg(const std::string &tag) {
    return std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
                       "\xFF\xC0\x00\x11\x08\x01\x00\x01\x00\x03",
                       30) +
           tag;
}

// Files in a folder whose names end in suffix ("" counts every file).
std::size_t Count(const std::filesystem::path &folder, const std::string &suffix) {
    const std::filesystem::directory_iterator all(folder);
    return static_cast<std::size_t>(std::count_if(
        begin(all), end(all), [&](const auto &e) { return e.path().string().ends_with(suffix); }));
}

const tiles::TileList kSat(tiles::TileRequest{TilesType::GoogleSat, 8, 50, 56, 30, 40});
const std::string kStamp = download::TimeStamp({}); // every run's clock stands at the epoch

// The log a run writes: the header and a line per tile, with "oldfile" for tiles on disk.
std::string Log(const std::vector<tiles::TileRecord> &tiles, const std::vector<bool> &onDisk = {}) {
    std::string log = std::string(download::kLogHeader) + "\r\n";
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        download::AppendLogLine(log, kStamp, "sat", tiles[i], 0, 8, i < onDisk.size() && onDisk[i]);
        log += "\r\n";
    }
    return log;
}

class DownloadLoopTest : public ::testing::Test {
protected:
    DownloadLoopTest() {
        for (int k = 0; k < 4; ++k) {
            s.Text(Settings::SatServer(k)) = server.Url("/m" + std::to_string(k) + "/kh");
        }
        s.Text(settings::Key::SatServerShade) = server.Url("/m0/layer/relief/");
        kSat.ForEach([&](const tiles::TileRecord &r) { sat.push_back(r); });
    }

    // A tile's address below the mirror folder.
    std::string PathOf(TilesType type, const tiles::TileRecord &r, int level) const {
        const auto url = download::TileUrl(download::DownloadPrefixes(s, type), 0, type, r, level);
        return url.substr(url.find("/m0/") + 3);
    }

    // Every address is answered with a JPEG whose tail is the address below the mirror folder,
    // unless the test scripted other answers for it.
    std::string Answer(const std::string &target) {
        const std::lock_guard lock(mutex);
        const auto path = target.substr(std::min<std::size_t>(3, target.size()));
        const auto it = scripted.find(path);
        if (it == scripted.end()) {
            return test::ScriptedServer::Answer(200, "image/jpeg", Jpeg(path));
        }
        const std::string body = it->second.front();
        if (it->second.size() > 1) {
            it->second.pop_front();
        }
        return test::ScriptedServer::Answer(200, "image/jpeg", body);
    }

    // A run into root/level, with a log in root kept by the test.
    download::DownloadRun Run(const std::filesystem::path &root,
                              TilesType type = TilesType::GoogleSat, int level = 8) {
        download::DownloadRun run;
        run.levelFolder = root / std::to_string(level);
        std::filesystem::create_directories(run.levelFolder);
        run.type = type;
        run.level = level;
        run.now = [] { return std::chrono::system_clock::time_point{}; };
        run.tilesAtOnce = 1000;
        run.skipLog = false;
        openLogs.push_back(
            download::GetLogFile(root / "Tessaro_sat.log", download::kLogHeader, ui));
        run.log = openLogs.back().get();
        return run;
    }

    DownloadEnd Load(const download::DownloadRun &run, DownloadCounters &counters,
                     const tiles::TileList &list = kSat) {
        return download::GoogleLoadKachalka(run, list, s, counters, ui, abort);
    }

    std::mutex mutex;
    std::map<std::string, std::deque<std::string>> scripted; // answers in turn, the last kept
    test::ScriptedServer server{[this](auto &ex) { ex.send(Answer(ex.Target())); }};
    Settings s = Settings::FirstOpening();
    std::vector<tiles::TileRecord> sat;
    test::TempDir out;
    test::RecordingUi ui;
    AbortFlag abort;
    std::vector<std::unique_ptr<download::LoadLog>> openLogs;
};

} // namespace

TEST_F(DownloadLoopTest, OneOrManyConnectionsWriteEveryTileWithItsWorldFileLogAndIonLine) {
    ASSERT_GE(sat.size(), 14u);
    std::string ion;
    for (std::size_t i = 0; i < sat.size(); ++i) {
        ion += sat[i].name.Str() + ".jpg " + server.Url("/m" + std::to_string(i % 4)) +
               PathOf(TilesType::GoogleSat, sat[i], 8) + "\r\n";
    }
    for (const int connections : {1, 8}) {
        const auto root = out / std::to_string(connections);
        auto run = Run(root);
        run.connections = connections;
        run.makeIon = true;
        run.tilesAtOnce = 7;
        ui.pauses.clear();
        DownloadCounters counters;
        ASSERT_EQ(Load(run, counters), DownloadEnd::Completed);
        EXPECT_EQ(counters.loaded, kSat.Size());
        EXPECT_EQ(counters.added, kSat.Size());
        EXPECT_EQ(counters.errors, 0);
        ASSERT_EQ(ui.pauses.size(), sat.size() / 7);
        EXPECT_EQ(ui.pauses[1].processed, 14);
        EXPECT_EQ(test::ReadFile(run.levelFolder / ("Tessaro_" + kStamp + ".ion")), ion);
        EXPECT_EQ(test::ReadFile(root / "Tessaro_sat.log"), Log(sat));
        EXPECT_EQ(Count(run.levelFolder, ""), 2 * sat.size() + 1) << "tiles, world files, list";
    }
    for (const auto &r : sat) {
        const auto path = tiles::TilePath(out / "8" / "8", TilesType::GoogleSat, r, 8);
        EXPECT_EQ(test::ReadFile(path), Jpeg(PathOf(TilesType::GoogleSat, r, 8))) << path;
        EXPECT_EQ(test::ReadFile(tiles::WorldFilePath(path, TilesType::GoogleSat)),
                  download::WorldFileText(r, 0));
    }
    for (const auto &head : server.Requests()) {
        EXPECT_NE(head.find("\r\nCache-Control: no-cache\r\n"), std::string::npos) << head;
    }
    EXPECT_EQ(ui.labels.front(), "Load from Goo");
    EXPECT_EQ(ui.labels.back(), "");
    EXPECT_TRUE(ui.messages.empty());
}

// Offline, missing tiles are errors; online, only they are fetched. Google runs pause after
// every batch either way, and a stop ends the run after the tile in hand.
TEST_F(DownloadLoopTest, TilesOnDiskAreUsedAndOnlyMissingOnesFetched) {
    auto run = Run(out.Path());
    run.tilesAtOnce = 3;
    run.offline = true;
    for (std::size_t i = 0; i < sat.size(); ++i) {
        if (i != 1) {
            test::WriteFile(tiles::TilePath(run.levelFolder, TilesType::GoogleSat, sat[i], 8),
                            Jpeg("on disk"));
        }
    }
    DownloadCounters offline;
    ASSERT_EQ(Load(run, offline), DownloadEnd::Completed);
    EXPECT_EQ(offline.loaded, kSat.Size() - 1);
    EXPECT_EQ(offline.added, 0);
    EXPECT_EQ(offline.errors, 1);
    EXPECT_EQ(Count(run.levelFolder, ".jgw"), sat.size() - 1) << "no world file without its tile";
    std::vector<bool> onDisk(sat.size(), true);
    onDisk[1] = false;
    EXPECT_EQ(test::ReadFile(out / "Tessaro_sat.log"), Log(sat, onDisk));
    ASSERT_EQ(ui.pauses.size(), sat.size() / 3);
    EXPECT_EQ(ui.pauses[1].processed, 6);
    EXPECT_EQ(ui.pauses[0].seconds, 60);

    // Online, stopped during the first pause: the run ends there.
    run.offline = false;
    run.skipLog = true;
    ui.onPause = [&](std::int64_t) { abort.Set(); };
    DownloadCounters online;
    ASSERT_EQ(Load(run, online), DownloadEnd::Aborted);
    EXPECT_EQ(online.added, 1);
    EXPECT_EQ(online.loaded, 3);
    EXPECT_EQ(server.Requests().size(), 1u);
}

// Retry fetches a bad tile (on disk or just fetched) again from the same mirror; Cancel ends the
// run there, and the tiles other connections fetched ahead go too.
TEST_F(DownloadLoopTest, ABadGoogleTileIsFetchedAgainOrEndsTheRun) {
    const auto bad = PathOf(TilesType::GoogleSat, sat[2], 8);
    scripted[bad] = {"<html>blocked</html>", Jpeg(bad)};
    const auto retry = Run(out / "retry");
    test::WriteFile(tiles::TilePath(retry.levelFolder, TilesType::GoogleSat, sat[2], 8), "<html>");
    ui.answers = {true, true}; // the page on disk, then the page fetched
    DownloadCounters retried;
    ASSERT_EQ(Load(retry, retried), DownloadEnd::Completed);
    EXPECT_EQ(retried.added, kSat.Size() + 1);
    ASSERT_EQ(ui.badTiles.size(), 2u);
    EXPECT_EQ(ui.badTiles[1].url, server.Url("/m2") + bad);
    const auto heads = server.Requests();
    EXPECT_EQ(std::count_if(heads.begin(), heads.end(),
                            [&](const auto &h) { return h.starts_with("GET /m2" + bad + " "); }),
              2);

    scripted[bad] = {"<html>blocked</html>"};
    auto cancelled = Run(out / "cancel");
    cancelled.connections = 8;
    DownloadCounters counters;
    ASSERT_EQ(Load(cancelled, counters), DownloadEnd::Aborted);
    EXPECT_TRUE(abort.IsSet());
    EXPECT_EQ(Count(cancelled.levelFolder, ".jpg"), 2u);
    EXPECT_EQ(test::ReadFile(out / "cancel" / "Tessaro_sat.log"), Log({sat[0], sat[1]}))
        << "no line for the bad tile";
}

TEST_F(DownloadLoopTest, ReliefTilesAreNeitherCheckedNorPaused) {
    const tiles::TileList relief(tiles::TileRequest{TilesType::Shade, 5, 40, 50, 0, 20});
    auto run = Run(out.Path(), TilesType::Shade, 5);
    run.tilesAtOnce = 1;
    relief.ForEach([&](const tiles::TileRecord &r) {
        scripted[PathOf(TilesType::Shade, r, 5)] = {"<html>not an image</html>"};
        std::filesystem::create_directories(
            tiles::TileFolder(run.levelFolder, TilesType::Shade, r));
    });
    DownloadCounters counters;
    ASSERT_EQ(Load(run, counters, relief), DownloadEnd::Completed);
    EXPECT_EQ(counters.loaded, relief.Size());
    EXPECT_TRUE(ui.badTiles.empty());
    EXPECT_TRUE(ui.pauses.empty());
    EXPECT_EQ(ui.labels.front(), "Load from Shaded");
}
