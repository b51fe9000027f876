// The load run from a checked request: the level folder, the log, the .ion list, relief
// row folders, the selection check and the batch size.
#include "load/load_fixture.h"
#include "support/files.h"

#include <set>

using namespace tessaro;
using load::RunOutcome;
using settings::Key;
using tiles::Kind;
using tiles::Source;

namespace {

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

class LoadRunTest : public test::LoadFixture {};

} // namespace

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

    // A second run of the same minute keeps the first list and writes its own beside it.
    Request(Source::Goo, Kind::Map, 3, "-10", "10", "-10", "-5");
    ASSERT_EQ(Run().outcome, RunOutcome::Completed);
    EXPECT_EQ(Lines(test::ReadFile(dir / "3" / "Tessaro_2026_03_05_7_4.ion")).size(), 4u);
    EXPECT_EQ(Lines(test::ReadFile(dir / "3" / "Tessaro_2026_03_05_7_4_2.ion")).size(), 2u);
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

TEST_F(LoadRunTest, ALevelFolderThatCannotBeMadeStopsTheRun) {
    Request(Source::Goo, Kind::Sat, 3, "-10", "10", "-10", "10");
    test::WriteFile(dir / "3", "a file where the level folder belongs");
    EXPECT_EQ(Run().outcome, RunOutcome::Stopped);
    const std::string folder = (dir / "3").string() + "/";
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0].text, "Не удалось создать папку \r\n" + folder +
                                       "\r\nпроверьте разрешения на создание директории/файлов");
    EXPECT_EQ(ui.messages[1].text, "Не удалось создать папку \r\n" + folder);
    EXPECT_EQ(ui.messages[1].icon, Icon::Exclamation);
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
        PointFoldersAt(own.Path());
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
