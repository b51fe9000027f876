// The download loop against nginx serving a folder of tiles over loopback.
#include "download/download_loop.h"

#include "download/tile_urls.h"
#include "download/world_file.h"
#include "support/files.h"
#include "support/nginx.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "tiles/tile_files.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>

using namespace tessaro;
using download::DownloadEnd;
using settings::Key;
using settings::Settings;
using tiles::TilesType;

namespace {

// The start of a JPEG file with a frame marker: enough for the header check.
std::string JpegBytes(const std::string &tag) {
    std::string b = "\xFF\xD8\xFF\xE0";
    b += std::string("\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 16);
    b += std::string("\xFF\xC0\x00\x11\x08\x01\x00\x01\x00\x03", 10);
    return b + tag;
}

std::chrono::system_clock::time_point FixedTime() {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 6;
    tm.tm_hour = 9;
    tm.tm_min = 30;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

// Files in a folder whose names end in suffix ("" counts every file).
std::size_t Count(const std::filesystem::path &folder, const std::string &suffix) {
    std::size_t n = 0;
    for (const auto &e : std::filesystem::directory_iterator(folder)) {
        n += e.path().string().ends_with(suffix);
    }
    return n;
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find("\r\n", start);
        if (end == std::string::npos)
            break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

class DownloadLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::NginxServer::Available()) {
            GTEST_SKIP() << "nginx is not installed";
        }
        nginx = std::make_unique<test::NginxServer>(served.Path());
        s = Settings::FirstOpening();
        for (int k = 0; k < 4; ++k) {
            s.Text(Settings::SatServer(k)) = nginx->BaseUrl() + "/m" + std::to_string(k) + "/kh";
        }
        s.Text(Key::SatServerShade) = nginx->BaseUrl() + "/m0/layer/relief/";
    }

    // Puts every tile of a list on the server, each a JPEG whose tail names the tile.
    void Serve(const tiles::TileList &list, TilesType type, int level) {
        const auto prefixes = download::DownloadPrefixes(s, type);
        list.ForEach([&](const tiles::TileRecord &r) {
            const std::string url = download::TileUrl(prefixes, 0, type, r, level);
            const std::string path = url.substr(url.find("/m0/") + 3);
            std::filesystem::create_directories(
                (served.Path().string() + path.substr(0, path.rfind('/'))));
            test::WriteFile(served.Path().string() + path, JpegBytes(r.name.Str()));
        });
    }

    // A run whose level folder lies in root (the test's output folder by default).
    download::DownloadRun Run(TilesType type, int level, const std::filesystem::path &root = {}) {
        download::DownloadRun run;
        run.levelFolder = (root.empty() ? out.Path() : root) / std::to_string(level);
        std::filesystem::create_directories(run.levelFolder);
        run.type = type;
        run.level = level;
        run.now = FixedTime;
        run.tilesAtOnce = 1000;
        run.limits.connectTimeoutMs = 5000;
        run.limits.stallSeconds = 5;
        return run;
    }

    // Gives the run a log in folder (the test's output folder by default), which the test keeps.
    void Log(download::DownloadRun &run, const std::filesystem::path &folder = {}) {
        run.skipLog = false;
        log = download::GetLogFile((folder.empty() ? out.Path() : folder) / "Tessaro_sat.log",
                                   download::kLogHeader, ui);
        run.log = log.get();
    }

    test::TempDir served;
    test::TempDir out;
    std::unique_ptr<download::LoadLog> log;
    std::unique_ptr<test::NginxServer> nginx;
    Settings s;
    test::RecordingUi ui;
    AbortFlag abort;
};

constexpr int kLevel = 8;
const tiles::TileRequest kSat{TilesType::GoogleSat, kLevel, 50, 56, 30, 40};

} // namespace

TEST_F(DownloadLoopTest, DownloadsEveryTileWithItsWorldFileLogAndIonLine) {
    const tiles::TileList list(kSat);
    Serve(list, TilesType::GoogleSat, kLevel);
    auto run = Run(TilesType::GoogleSat, kLevel);
    run.makeIon = true;
    Log(run);
    download::DownloadCounters counters;
    ASSERT_EQ(download::GoogleLoadKachalka(run, list, s, counters, ui, abort),
              DownloadEnd::Completed);
    EXPECT_EQ(counters.loaded, list.Size());
    EXPECT_EQ(counters.added, list.Size());
    EXPECT_EQ(counters.errors, 0);
    EXPECT_TRUE(ui.messages.empty());

    const auto logLines = Lines(test::ReadFile(out / "Tessaro_sat.log"));
    const auto ion =
        Lines(test::ReadFile(out / std::to_string(kLevel) / "Tessaro_2026_12_06_9_30.ion"));
    ASSERT_EQ(ion.size(), static_cast<std::size_t>(list.Size()));
    ASSERT_EQ(logLines.size(), ion.size() + 1);
    std::size_t i = 0;
    list.ForEach([&](const tiles::TileRecord &r) {
        const auto path = tiles::TilePath(run.levelFolder, TilesType::GoogleSat, r, kLevel);
        EXPECT_EQ(test::ReadFile(path), JpegBytes(r.name.Str())) << path;
        EXPECT_EQ(test::ReadFile(tiles::WorldFilePath(path, TilesType::GoogleSat)),
                  download::WorldFileText(r, 0));
        const std::string mirror = "/m" + std::to_string(i % 4) +
                                   "/kh/v=40&x=" + std::to_string(r.col) +
                                   "&y=" + std::to_string(r.row) + "&zoom=10&s=";
        EXPECT_EQ(ion[i].substr(0, ion[i].find(' ')), r.name.Str() + ".jpg");
        EXPECT_NE(ion[i].find(nginx->BaseUrl() + mirror), std::string::npos) << ion[i];
        EXPECT_TRUE(
            logLines[i + 1].starts_with("2026_12_06_9_30;sat;" + std::to_string(r.col) + ";"));
        EXPECT_TRUE(logLines[i + 1].ends_with(";" + r.name.Str() + ";8;0")) << logLines[i + 1];
        ++i;
    });
    EXPECT_EQ(ui.labels.front(), "Load from Goo");
    EXPECT_EQ(ui.labels.back(), "");
}

TEST_F(DownloadLoopTest, TilesOnDiskAreNotFetchedAgain) {
    const tiles::TileList list(kSat);
    Serve(list, TilesType::GoogleSat, kLevel);
    auto run = Run(TilesType::GoogleSat, kLevel);
    run.tilesAtOnce = 3;
    download::DownloadCounters first;
    ASSERT_EQ(download::GoogleLoadKachalka(run, list, s, first, ui, abort), DownloadEnd::Completed);
    // The server forgets the tiles: a second run must not need it.
    std::filesystem::remove_all(served.Path() / "kh");
    Log(run);
    ui.pauses.clear();
    download::DownloadCounters second;
    ASSERT_EQ(download::GoogleLoadKachalka(run, list, s, second, ui, abort),
              DownloadEnd::Completed);
    EXPECT_EQ(second.added, 0);
    EXPECT_EQ(second.loaded, list.Size());
    EXPECT_EQ(second.errors, 0);
    for (const auto &line : Lines(test::ReadFile(out / "Tessaro_sat.log"))) {
        if (!line.starts_with("Time")) {
            EXPECT_TRUE(line.ends_with(";oldfile")) << line;
        }
    }
    ASSERT_GE(list.Size(), 9);
    ASSERT_EQ(ui.pauses.size(), static_cast<std::size_t>(list.Size() / 3)) << "pauses still come";
    EXPECT_EQ(ui.pauses[0].processed, 3);
    EXPECT_EQ(ui.pauses[1].processed, 6);
    EXPECT_EQ(ui.pauses[0].seconds, 60);
}

TEST_F(DownloadLoopTest, OfflineRunsUseOnlyWhatIsOnDisk) {
    const tiles::TileList list(kSat);
    auto run = Run(TilesType::GoogleSat, kLevel);
    run.offline = true;
    Log(run);
    tiles::TileRecord firstTile;
    list.Begin().Next(firstTile);
    const auto onDisk = tiles::TilePath(run.levelFolder, TilesType::GoogleSat, firstTile, kLevel);
    test::WriteFile(onDisk, JpegBytes("x"));
    download::DownloadCounters counters;
    ASSERT_EQ(download::GoogleLoadKachalka(run, list, s, counters, ui, abort),
              DownloadEnd::Completed);
    EXPECT_EQ(counters.loaded, 1);
    EXPECT_EQ(counters.added, 0);
    EXPECT_EQ(counters.errors, list.Size() - 1);
    const auto lines = Lines(test::ReadFile(out / "Tessaro_sat.log"));
    EXPECT_TRUE(lines[1].ends_with(";oldfile"));
    EXPECT_TRUE(lines[2].ends_with(";0"));
    EXPECT_EQ(Count(run.levelFolder, ".jgw"), 1u) << "missing tiles get no world file";
}

TEST_F(DownloadLoopTest, ManyConnectionsWriteTheSameFilesAsOne) {
    const tiles::TileRequest request{TilesType::GoogleSat, 9, 50, 56, 30, 40};
    const tiles::TileList list(request);
    Serve(list, TilesType::GoogleSat, 9);
    std::string logs[2];
    std::string ions[2];
    int round = 0;
    for (int connections : {1, 8}) {
        test::TempDir own;
        auto run = Run(TilesType::GoogleSat, 9, own.Path());
        run.connections = connections;
        run.makeIon = true;
        run.tilesAtOnce = 7;
        Log(run, own.Path());
        ui.pauses.clear();
        download::DownloadCounters counters;
        ASSERT_EQ(download::GoogleLoadKachalka(run, list, s, counters, ui, abort),
                  DownloadEnd::Completed);
        EXPECT_EQ(counters.added, list.Size());
        EXPECT_EQ(ui.pauses.size(), static_cast<std::size_t>(list.Size() / 7));
        logs[round] = test::ReadFile(own / "Tessaro_sat.log");
        ions[round] = test::ReadFile(run.levelFolder / "Tessaro_2026_12_06_9_30.ion");
        EXPECT_EQ(Count(run.levelFolder, ""), static_cast<std::size_t>(2 * list.Size() + 1));
        ++round;
    }
    EXPECT_EQ(logs[0], logs[1]);
    EXPECT_EQ(ions[0], ions[1]);
}

TEST_F(DownloadLoopTest, AbortEndsTheRunAfterTheTileInHand) {
    const tiles::TileList list(kSat);
    Serve(list, TilesType::GoogleSat, kLevel);
    for (int connections : {1, 8}) {
        test::TempDir own;
        auto run = Run(TilesType::GoogleSat, kLevel, own.Path());
        run.connections = connections;
        run.tilesAtOnce = 5;
        run.makeIon = true;
        ASSERT_GT(list.Size(), 10);
        ui.onPause = [&](std::int64_t) { abort.Set(); }; // Stop pressed during the first pause
        download::DownloadCounters counters;
        abort.Clear();
        EXPECT_EQ(download::GoogleLoadKachalka(run, list, s, counters, ui, abort),
                  DownloadEnd::Aborted);
        EXPECT_EQ(counters.loaded, 5);
        EXPECT_EQ(Count(run.levelFolder, ".jpg"), 5u) << "with " << connections << " connections";
        EXPECT_EQ(Lines(test::ReadFile(run.levelFolder / "Tessaro_2026_12_06_9_30.ion")).size(),
                  5u);
        ui.onPause = nullptr;
    }
}

TEST_F(DownloadLoopTest, ReliefTilesGoToTheirRowFoldersWithoutHeaderCheck) {
    const tiles::TileRequest request{TilesType::Shade, 5, 40, 50, 0, 20};
    const tiles::TileList list(request);
    Serve(list, TilesType::Shade, 5);
    // One relief tile is a page, not an image: relief tiles are never header-checked.
    tiles::TileRecord first;
    list.Begin().Next(first);
    const std::string page = served.Path().string() + "/layer/relief/z5/row" +
                             std::to_string(first.row) + "/5_" + std::to_string(first.col) + "-" +
                             std::to_string(first.row) + ".jpg";
    test::WriteFile(page, "<html>not an image</html>");
    auto run = Run(TilesType::Shade, 5);
    list.ForEach([&](const tiles::TileRecord &r) {
        std::filesystem::create_directories(
            tiles::TileFolder(run.levelFolder, TilesType::Shade, r));
    });
    download::DownloadCounters counters;
    ASSERT_EQ(download::GoogleLoadKachalka(run, list, s, counters, ui, abort),
              DownloadEnd::Completed);
    EXPECT_EQ(counters.loaded, list.Size());
    EXPECT_TRUE(ui.badTiles.empty());
    EXPECT_TRUE(ui.pauses.empty()) << "only Google sources pause";
    list.ForEach([&](const tiles::TileRecord &r) {
        const auto path = tiles::TilePath(run.levelFolder, TilesType::Shade, r, 5);
        EXPECT_TRUE(std::filesystem::exists(path)) << path;
        EXPECT_TRUE(std::filesystem::exists(tiles::WorldFilePath(path, TilesType::Shade)));
    });
}
