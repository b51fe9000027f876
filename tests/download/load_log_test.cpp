// The texts written per tile (load log, world file) and the log file itself.
#include "download/load_log.h"

#include "common/error.h"
#include "download/world_file.h"
#include "support/files.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace tessaro;

namespace {

std::chrono::system_clock::time_point LocalTime(int y, int mo, int d, int h, int mi, int s = 0) {
    std::tm tm{s, mi, h, d, mo - 1, y - 1900, 0, 0, -1, 0, nullptr}; // the clock decides on DST
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

} // namespace

// The header goes into a new or empty log only; lines are appended across runs, after a last
// line an earlier run left half-written is cut off.
TEST(LoadLog, HeaderOnceLinesAppendedAndFailuresReported) {
    test::TempDir dir;
    test::RecordingUi ui;
    test::WriteFile(dir / "old.log", "a\r\n");
    test::WriteFile(dir / "torn.log", "a\r\nhalf of b");
    test::WriteFile(dir / "empty.log", "");
    for (const char *line : {"first", "second"}) {
        for (const char *name : {"Tessaro_sat.log", "old.log", "torn.log", "empty.log"}) {
            auto log = download::GetLogFile(dir / name, download::kLogHeader, ui);
            ASSERT_NE(log, nullptr);
            log->WriteLine(line);
            log->Close();
        }
    }
    EXPECT_EQ(test::ReadFile(dir / "Tessaro_sat.log"),
              "Time;Type;NumX;NumY;Xm;Ym;XmRes;YmRes;BlName;Level;ErrLoad\r\nfirst\r\nsecond\r\n");
    EXPECT_EQ(test::ReadFile(dir / "old.log"), "a\r\nfirst\r\nsecond\r\n");
    EXPECT_EQ(test::ReadFile(dir / "torn.log"), "a\r\nfirst\r\nsecond\r\n");
    EXPECT_EQ(test::ReadFile(dir / "empty.log"), test::ReadFile(dir / "Tessaro_sat.log"));
    EXPECT_TRUE(ui.messages.empty());

    std::filesystem::create_directory(dir / "Tessaro_map.log");
    EXPECT_EQ(download::GetLogFile(dir / "Tessaro_map.log", download::kLogHeader, ui), nullptr);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Не удается открыть Log-файл для записи\r\n" +
                                       (dir / "Tessaro_map.log").string() + "\r\nIs a directory");
    EXPECT_EQ(ui.messages[0].icon, Icon::Exclamation);
}

// Log lines start with the clock's minute: month and day with two digits, hour and minute
// without padding. Spherical tiles hold their upper-left pixel centre; ellipsoidal ones (tile
// size given) their south-west corner: the log moves y up by the tile's height in metres, the
// world file to the upper-left pixel centre. A world file on disk is kept.
TEST(TileTexts, LogLineAndWorldFileOfSphericalAndEllipsoidalTiles) {
    auto now = LocalTime(2026, 12, 31, 23, 59, 59);
    download::TimeStamper stamper([&] { return now; });
    tiles::TileRecord r{1, -2, -1000.5, 1000.5, 1.0, -1.0, {}};
    r.name.Assign("s10_1_-2");
    std::string line;
    download::AppendLogLine(line, stamper.Now(), "lnd", r, 0, 10, download::TileMark::OldFile);
    EXPECT_EQ(line, "2026_12_31_23_59;lnd;1;-2;-1000.5;1000.5;1;-1;s10_1_-2;10;oldfile");
    EXPECT_EQ(download::WorldFileText(r, 0), "1\r\n0\r\n0\r\n-1\r\n-1000.5\r\n1000.5\r\n");
    r = {1, -2, 1000, 2000, 2.5, -2.5, r.name};
    now += std::chrono::seconds(1);
    line.clear();
    download::AppendLogLine(line, stamper.Now(), "sat", r, 640, 10, download::TileMark::Failed);
    EXPECT_EQ(line, "2027_01_01_0_0;sat;1;-2;1000;2640;2.5;-2.5;s10_1_-2;10;1");
    EXPECT_EQ(download::WorldFileText(r, 640), "2.5\r\n0\r\n0\r\n-2.5\r\n1001.25\r\n2638.75\r\n");

    test::TempDir dir;
    EXPECT_TRUE(download::WriteWorldFile(dir / "a.jgw", r, 640));
    EXPECT_EQ(test::ReadFile(dir / "a.jgw"), download::WorldFileText(r, 640));
    test::WriteFile(dir / "b.jgw", "hand made");
    EXPECT_FALSE(download::WriteWorldFile(dir / "b.jgw", r, 0));
    EXPECT_EQ(test::ReadFile(dir / "b.jgw"), "hand made");
    EXPECT_THROW(download::WriteWorldFile(dir / "no" / "c.jgw", r, 0), FileError);
}
