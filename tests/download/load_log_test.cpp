#include "download/load_log.h"

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

// Month and day with two digits, hour and minute without padding; the stamper follows the clock.
TEST(LoadLog, TimeStamps) {
    EXPECT_EQ(download::TimeStamp(LocalTime(2026, 12, 31, 23, 59)), "2026_12_31_23_59");
    EXPECT_EQ(download::TimeStamp(LocalTime(2027, 1, 1, 0, 0)), "2027_01_01_0_0");
    auto now = LocalTime(2026, 3, 5, 7, 4, 58);
    download::TimeStamper stamper([&] { return now; });
    EXPECT_EQ(stamper.Now(), "2026_03_05_7_4");
    now += std::chrono::seconds(1);
    EXPECT_EQ(stamper.Now(), "2026_03_05_7_4");
    now += std::chrono::seconds(1);
    EXPECT_EQ(stamper.Now(), "2026_03_05_7_5");
    now -= std::chrono::hours(1);
    EXPECT_EQ(stamper.Now(), "2026_03_05_6_5");
}

// The header goes into a new log only; lines are appended across runs.
TEST(LoadLog, HeaderOnceLinesAppendedAndFailuresReported) {
    test::TempDir dir;
    test::RecordingUi ui;
    test::WriteFile(dir / "old.log", "a\r\n");
    for (const char *line : {"first", "second"}) {
        for (const char *name : {"Tessaro_sat.log", "old.log"}) {
            auto log = download::GetLogFile(dir / name, download::kLogHeader, ui);
            ASSERT_NE(log, nullptr);
            log->WriteLine(line);
            log->Close();
        }
    }
    EXPECT_EQ(test::ReadFile(dir / "Tessaro_sat.log"),
              "Time;Type;NumX;NumY;Xm;Ym;XmRes;YmRes;BlName;Level;ErrLoad\r\nfirst\r\nsecond\r\n");
    EXPECT_EQ(test::ReadFile(dir / "old.log"), "a\r\nfirst\r\nsecond\r\n");
    EXPECT_TRUE(ui.messages.empty());

    std::filesystem::create_directory(dir / "Tessaro_map.log");
    EXPECT_EQ(download::GetLogFile(dir / "Tessaro_map.log", download::kLogHeader, ui), nullptr);
    EXPECT_EQ(download::GetLogFile(dir / "missing" / "x.log", download::kLogHeader, ui), nullptr);
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0].text, "Не удается открыть Log-файл для записи\r\n" +
                                       (dir / "Tessaro_map.log").string() + "\r\nIs a directory");
    EXPECT_EQ(ui.messages[0].icon, Icon::Exclamation);
}

TEST(LoadLog, LineFields) {
    tiles::TileRecord r;
    r.col = 1;
    r.row = -2;
    r.x = 1000;
    r.y = 2000;
    r.resX = 2.5;
    r.resY = -2.5;
    r.name.Assign("s10_1_-2");
    std::string line;
    download::AppendLogLine(line, "2026_03_05_7_4", "sat", r, 640, 10, false);
    EXPECT_EQ(line, "2026_03_05_7_4;sat;1;-2;1000;2640;2.5;-2.5;s10_1_-2;10;0");
    line.clear();
    download::AppendLogLine(line, "t", "lnd", r, 0, 10, true);
    EXPECT_EQ(line, "t;lnd;1;-2;1000;2000;2.5;-2.5;s10_1_-2;10;oldfile");
}
