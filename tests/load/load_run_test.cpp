#include "load/dialog_request.h"

#include "support/env_guard.h"
#include "support/files.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <sstream>
#include <tuple>

using namespace tessaro;
using load::RunOutcome;
using settings::Key;
using settings::Settings;
using tiles::Kind;
using tiles::Source;

namespace {

std::chrono::system_clock::time_point FixedTime() {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 5;
    tm.tm_hour = 7;
    tm.tm_min = 4;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find("\r\n", start);
        EXPECT_NE(end, std::string::npos) << "every line ends with CR LF";
        if (end == std::string::npos)
            break;
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

class LoadRunTest : public ::testing::Test {
protected:
    LoadRunTest() {
        s = Settings::FirstOpening();
        for (int k = 0; k < 4; ++k) {
            s.Text(Settings::SatServer(k)) = "http://s" + std::to_string(k) + "/kh";
            s.Text(Settings::MapServer(k)) = "http://m" + std::to_string(k) + "/vt";
        }
        s.Text(Key::SatServerScan) = "http://scan/printtilesrescaled/?t=image_&zt=n";
        s.Text(Key::MapServerScan) = "http://scan/printtilesrescaled/?t=map&zt=n";
        s.Text(Key::SatServerShade) = "http://relief/layer/relief/";
        for (int p = 0; p < 4; ++p) {
            s.Text(Settings::SatRasterPath(p)) = dir.Path().string();
            s.Text(Settings::MapRasterPath(p)) = dir.Path().string();
        }
        s.Text(Key::LandRasterPath0) = dir.Path().string();
        s.onlyCalculate = true;
    }

    load::LoadRunResult Run() {
        load::LoadRunContext ctx{s, ui};
        ctx.abort = &abort;
        ctx.now = FixedTime;
        return load::CmdLoad_Click(ctx);
    }

    void Request(Source source, Kind kind, int level, std::string lat1, std::string lat2,
                 std::string lon1, std::string lon2) {
        s.source = source;
        s.kind = kind;
        s.upDownLevel = level;
        s.lat1 = std::move(lat1);
        s.lat2 = std::move(lat2);
        s.lon1 = std::move(lon1);
        s.lon2 = std::move(lon2);
    }

    test::TempDir dir;
    test::RecordingUi ui;
    Settings s;
    AbortFlag abort;
};

} // namespace

TEST_F(LoadRunTest, UnsupportedSourceAndKindStopTheRun) {
    Request(Source::Shade, Kind::Map, 5, "1", "2", "1", "2");
    auto r = Run();
    EXPECT_EQ(r.outcome, RunOutcome::Stopped);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Не поддерживаемый сервер или тип карты");
    EXPECT_EQ(ui.messages[0].icon, Icon::None);
    s.source = Source::None;
    EXPECT_EQ(Run().outcome, RunOutcome::Stopped);
    EXPECT_EQ(ui.messages.size(), 2u);
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST_F(LoadRunTest, AMissingDirectoryIsNamedWithItsSeparator) {
    Request(Source::Goo, Kind::Sat, 5, "1", "2", "1", "2");
    s.Text(Key::SatRasterPath0) = (dir / "nope").string();
    EXPECT_EQ(Run().outcome, RunOutcome::Stopped);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Директории " + (dir / "nope").string() + "/ не существует!");
    EXPECT_EQ(ui.messages[0].icon, Icon::Exclamation);
}

TEST_F(LoadRunTest, LevelLimitsLowerTheLevelAndGoOn) {
    Request(Source::Scan, Kind::Map, 18, "1", "1.1", "1", "1.1");
    auto r = Run();
    EXPECT_EQ(r.outcome, RunOutcome::Completed);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Максимально допутимый уровень для данного источника - 17");
    EXPECT_EQ(s.upDownLevel, 17);
    EXPECT_EQ(s.Text(Key::Level), "17");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "17"));

    ui.messages.clear();
    Request(Source::Shade, Kind::Sat, 10, "1", "1.1", "1", "1.1");
    EXPECT_EQ(Run().outcome, RunOutcome::Completed);
    EXPECT_EQ(ui.messages.at(0).text, "Максимально допутимый уровень для данного источника - 9");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "9"));

    ui.messages.clear();
    Request(Source::Goo, Kind::Sat, 22, "1", "1.00001", "1", "1.00001");
    EXPECT_EQ(Run().outcome, RunOutcome::Completed);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_TRUE(std::filesystem::is_directory(dir / "22"));
}

TEST_F(LoadRunTest, TheExtentMustBeStrictlyOrdered) {
    for (auto [a, b, c, d] : {std::tuple{"5", "5", "1", "2"}, std::tuple{"1", "2", "3", "3"},
                              std::tuple{"6", "5", "1", "2"}}) {
        ui.messages.clear();
        Request(Source::Goo, Kind::Sat, 5, a, b, c, d);
        EXPECT_EQ(Run().outcome, RunOutcome::Stopped);
        ASSERT_EQ(ui.messages.size(), 1u);
        EXPECT_EQ(ui.messages[0].text,
                  "Недопустимые параметры координат\r\nдолжно быть: lat1<lat2 и lon1<lon2");
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path())) << "nothing created before the check";
}

TEST_F(LoadRunTest, AnUnreadableNumberIsReportedUnderTheLoadButton) {
    Request(Source::Goo, Kind::Sat, 5, "1", "two", "1", "2");
    EXPECT_EQ(Run().outcome, RunOutcome::Failed);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].title, "Unexpected Program Error");
    EXPECT_NE(ui.messages[0].text.find("\tCmdLoad_Click  \r\n\r\nError Number \r\n\t13\r\n"),
              std::string::npos)
        << ui.messages[0].text;

    ui.messages.clear();
    Request(Source::Goo, Kind::Sat, 5, "1", "95", "1", "2");
    EXPECT_EQ(Run().outcome, RunOutcome::Failed) << "beyond the world";
    EXPECT_EQ(ui.messages.size(), 1u);

    ui.messages.clear();
    Request(Source::Goo, Kind::Sat, 5, "1,5", "2,5", "1", "2");
    s.decimalSeparator = ',';
    EXPECT_EQ(Run().outcome, RunOutcome::Completed) << "the dialog's own separator";
}

TEST_F(LoadRunTest, CalculateOnlyWritesTheLogAndTheIonList) {
    Request(Source::Goo, Kind::Map, 3, "-10", "10", "-10", "10");
    s.skipLog = false;
    s.makeIon = true;
    auto r = Run();
    ASSERT_EQ(r.outcome, RunOutcome::Completed) << (ui.messages.empty() ? "" : ui.messages[0].text);
    EXPECT_EQ(r.txtLog, "Loaded:0\r\nNew:   4\r\nErrors:   0");
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(test::ReadFile(dir / "Tessaro_map.log"),
              "Time;Type;NumX;NumY;Xm;Ym;XmRes;YmRes;BlName;Level;ErrLoad\r\n"
              "2026_03_05_7_4;map;1;1;-9987997.41481113;9987997.41481113;39091.966398478;-39091."
              "966398478;tqs;3;0\r\n"
              "2026_03_05_7_4;map;2;1;19545.983199239;9987997.41481113;39091.966398478;-39091."
              "966398478;trt;3;0\r\n"
              "2026_03_05_7_4;map;1;2;-9987997.41481113;-19545.983199239;39091.966398478;-39091."
              "966398478;ttr;3;0\r\n"
              "2026_03_05_7_4;map;2;2;19545.983199239;-19545.983199239;39091.966398478;-39091."
              "966398478;tsq;3;0\r\n");
    EXPECT_EQ(test::ReadFile(dir / "3" / "Tessaro_2026_03_05_7_4.ion"),
              "1_1.png http://m0/vt/mt?n=404&v=w2.97&hl=ru&x=1&y=1&zoom=15\r\n"
              "2_1.png http://m1/vt/mt?n=404&v=w2.97&hl=ru&x=2&y=1&zoom=15\r\n"
              "1_2.png http://m2/vt/mt?n=404&v=w2.97&hl=ru&x=1&y=2&zoom=15\r\n"
              "2_2.png http://m3/vt/mt?n=404&v=w2.97&hl=ru&x=2&y=2&zoom=15\r\n");
}

TEST_F(LoadRunTest, TilesOnDiskAreOldFilesAndMirrorsRotate) {
    Request(Source::Goo, Kind::Sat, 3, "-10", "10", "-100", "10");
    s.skipLog = false;
    s.makeIon = true;
    std::filesystem::create_directories(dir / "3");
    test::WriteFile(dir / "3" / "tqs.jpg", "x"); // column 1, row 1
    auto r = Run();
    ASSERT_EQ(r.outcome, RunOutcome::Completed);
    EXPECT_EQ(r.txtLog, "Loaded:0\r\nNew:   5\r\nErrors:   0");
    const auto log = Lines(test::ReadFile(dir / "Tessaro_sat.log"));
    ASSERT_EQ(log.size(), 7u);
    EXPECT_TRUE(log[2].ends_with(";tqs;3;oldfile")) << log[2];
    EXPECT_TRUE(log[1].ends_with(";tqt;3;0")) << log[1];
    const auto ion = Lines(test::ReadFile(dir / "3" / "Tessaro_2026_03_05_7_4.ion"));
    ASSERT_EQ(ion.size(), 6u);
    const char *mirrors[] = {"http://s0/", "http://s1/", "http://s2/",
                             "http://s3/", "http://s0/", "http://s1/"};
    for (std::size_t i = 0; i < ion.size(); ++i) {
        EXPECT_NE(ion[i].find(mirrors[i]), std::string::npos) << ion[i];
    }
    EXPECT_EQ(ion[1], "tqs.jpg http://s1/kh/kh?n=404&v=40&t=tqs") << "listed although on disk";
}

TEST_F(LoadRunTest, SkipLogWritesNoLogAndNoIonUnlessAsked) {
    Request(Source::Goo, Kind::Sat, 3, "-10", "10", "-10", "10");
    EXPECT_EQ(Run().outcome, RunOutcome::Completed);
    EXPECT_FALSE(std::filesystem::exists(dir / "Tessaro_sat.log"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "3"));
}

TEST_F(LoadRunTest, AnUnopenableLogOnlySwitchesLoggingOff) {
    Request(Source::Goo, Kind::Sat, 3, "-10", "10", "-10", "10");
    s.skipLog = false;
    std::filesystem::create_directory(dir / "Tessaro_sat.log");
    auto r = Run();
    EXPECT_EQ(r.outcome, RunOutcome::Completed);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_TRUE(ui.messages[0].text.starts_with("Не удается открыть Log-файл для записи\r\n"));
    EXPECT_EQ(r.txtLog, "Loaded:0\r\nNew:   4\r\nErrors:   0");
}

TEST_F(LoadRunTest, ReliefTilesGetTheirRowFolders) {
    Request(Source::Shade, Kind::Sat, 5, "40", "55", "0", "20");
    s.makeIon = true;
    auto r = Run();
    ASSERT_EQ(r.outcome, RunOutcome::Completed);
    const auto ion = Lines(test::ReadFile(dir / "5" / "SRTMService_2026_03_05_7_4.ion"));
    ASSERT_FALSE(ion.empty());
    std::set<std::string> rows;
    for (const auto &line : ion) {
        const auto name = line.substr(0, line.find(' '));
        const auto row = name.substr(name.find('-') + 1, name.find('.') - name.find('-') - 1);
        rows.insert(row);
        EXPECT_TRUE(std::filesystem::is_directory(dir / "5" / ("row" + row))) << row;
        EXPECT_NE(line.find("http://relief/layer/relief/z5/row" + row + "/" + name),
                  std::string::npos)
            << line;
    }
    EXPECT_GE(rows.size(), 2u);
}

// The log opens before the list is made, so a run the selection stops leaves the header only.
TEST_F(LoadRunTest, ASelectionWithoutSelectedFeaturesStopsBeforeAnyTile) {
    Request(Source::Goo, Kind::Sat, 3, "-10", "10", "-10", "10");
    s.useSelection = true;
    s.skipLog = false;
    s.makeIon = true;
    EXPECT_EQ(Run().outcome, RunOutcome::Stopped);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "На карте нет выбранных объектов");
    EXPECT_EQ(test::ReadFile(dir / "Tessaro_sat.log"),
              "Time;Type;NumX;NumY;Xm;Ym;XmRes;YmRes;BlName;Level;ErrLoad\r\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir / "3"));
}

// A batch size of 0 stops Google downloads before anything is written; other sources never
// pause, and calculate-only runs do not download.
TEST_F(LoadRunTest, ABatchSizeOfZeroStopsOnlyGoogleDownloads) {
    Request(Source::Goo, Kind::Sat, 3, "-10", "10", "-10", "10");
    s.onlyCalculate = false;
    s.skipLog = false;
    s.offline = true;
    s.Text(settings::Key::TilesAtOnce) = "0";
    EXPECT_EQ(Run().outcome, RunOutcome::Stopped);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, load::kZeroBatchMessage);
    EXPECT_FALSE(std::filesystem::exists(dir / "Tessaro_sat.log"));

    s.onlyCalculate = true;
    ui.messages.clear();
    EXPECT_EQ(Run().outcome, RunOutcome::Completed);
    s.onlyCalculate = false;
    Request(Source::Scan, Kind::Sat, 3, "-10", "10", "-10", "10");
    EXPECT_EQ(Run().outcome, RunOutcome::Completed) << "offline: every tile counts as failed";
    EXPECT_TRUE(ui.messages.empty()) << ui.messages.front().text;
}

TEST_F(LoadRunTest, AnEmptyFolderBoxIsRefusedNotTakenForTheRoot) {
    Request(Source::Goo, Kind::Land, 3, "-10", "10", "-10", "10");
    s.Text(*settings::Settings::DirectoryKey(Source::Goo, Kind::Land)) = "  ";
    s.onlyCalculate = true;
    EXPECT_EQ(Run().outcome, RunOutcome::Stopped);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, load::kNoDirectoryMessage);
}

TEST_F(LoadRunTest, EveryTypeWritesItsLogAndIonList) {
    struct Case {
        Source source;
        Kind kind;
        const char *log;
        const char *ion;
        const char *firstName;
    };
    const Case cases[] = {
        {Source::Goo, Kind::Sat, "Tessaro_sat.log", "Tessaro_", ".jpg"},
        {Source::Goo, Kind::Map, "Tessaro_map.log", "Tessaro_", ".png"},
        {Source::Goo, Kind::Land, "Tessaro_land.log", "Tessaro_", ".jpg"},
        {Source::Scan, Kind::Sat, "SSevice_sat.log", "SService_", ".jpg"},
        {Source::Scan, Kind::Map, "SSevice_map.log", "SService_", ".jpg"},
        {Source::Shade, Kind::Sat, "SRTMSevice_sat.log", "SRTMService_", ".jpg"},
        {Source::Yand, Kind::Sat, "YSevice_sat.log", "YService_", ".jpg"},
        {Source::Yand, Kind::Map, "YSevice_map.log", "YService_", ".png"},
    };
    for (const auto &c : cases) {
        test::TempDir own;
        for (int p = 0; p < 4; ++p) {
            s.Text(Settings::SatRasterPath(p)) = own.Path().string();
            s.Text(Settings::MapRasterPath(p)) = own.Path().string();
        }
        s.Text(Key::LandRasterPath0) = own.Path().string();
        Request(c.source, c.kind, 6, "50", "52", "30", "33");
        s.skipLog = false;
        s.makeIon = true;
        auto r = Run();
        ASSERT_EQ(r.outcome, RunOutcome::Completed) << c.log;
        const auto log = Lines(test::ReadFile(own / c.log));
        const auto ion =
            Lines(test::ReadFile(own / "6" / (std::string(c.ion) + "2026_03_05_7_4.ion")));
        ASSERT_GE(log.size(), 2u) << c.log;
        EXPECT_EQ(log.size(), ion.size() + 1) << c.log;
        EXPECT_EQ(r.txtLog, "Loaded:0\r\nNew:   " + std::to_string(ion.size()) + "\r\nErrors:   0");
        EXPECT_NE(ion[0].find(std::string(c.firstName) + " http"), std::string::npos) << ion[0];
    }
}
