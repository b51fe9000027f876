// Reading the load button's request from the dialog's boxes (the checks, their messages and
// their order), and the load run from a checked request: the level folder, the log, the .ion
// list, relief row folders, the selection check and the batch size.
#include "load/load_fixture.h"
#include "support/files.h"

#include <functional>
#include <set>

using namespace tessaro;
using load::RunOutcome;
using settings::Key;
using tiles::Kind;
using tiles::Source;

namespace {

std::vector<std::string> Lines(const std::string &text) {
    EXPECT_TRUE(text.empty() || text.ends_with("\r\n")) << "every line ends with CR LF";
    std::vector<std::string> lines;
    for (std::size_t start = 0, end = 0; (end = text.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

class LoadRunTest : public test::LoadFixture {};
class DialogRequestTest : public test::LoadFixture {};

constexpr std::string_view kBadCoordinates =
    "Недопустимые параметры координат\r\nдолжно быть: lat1<lat2 и lon1<lon2";

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

// Each type writes into the folder of its own box (the map box for Google and Yandex maps, the
// landscape box for Google landscape, the satellite box otherwise, ScanEx maps too) its log
// and .ion list under its own names.
TEST_F(LoadRunTest, EveryTypeWritesItsLogAndIonList) {
    struct Case {
        Source source;
        Kind kind;
        Key box;
        const char *log;
        const char *ion;
        const char *firstName;
    };
    const Case cases[] = {
        {Source::Goo, Kind::Sat, Key::SatRasterPath0, "Tessaro_sat.log", "Tessaro_", ".jpg"},
        {Source::Goo, Kind::Map, Key::MapRasterPath0, "Tessaro_map.log", "Tessaro_", ".png"},
        {Source::Goo, Kind::Land, Key::LandRasterPath0, "Tessaro_land.log", "Tessaro_", ".jpg"},
        {Source::Scan, Kind::Sat, Key::SatRasterPath1, "SSevice_sat.log", "SService_", ".jpg"},
        {Source::Scan, Kind::Map, Key::SatRasterPath1, "SSevice_map.log", "SService_", ".jpg"},
        {Source::Shade, Kind::Sat, Key::SatRasterPath2, "SRTMSevice_sat.log", "SRTMService_",
         ".jpg"},
        {Source::Yand, Kind::Sat, Key::SatRasterPath3, "YSevice_sat.log", "YService_", ".jpg"},
        {Source::Yand, Kind::Map, Key::MapRasterPath3, "YSevice_map.log", "YService_", ".png"},
    };
    for (const auto &c : cases) {
        test::TempDir own;
        PointFoldersAt(dir.Path());
        s.Text(c.box) = own.Path().string();
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

// The summary names the causes most tiles failed of, most first, three at most, and the
// tiles a stopped run never reached.
TEST(SummaryText, NamesTheMainCauses) {
    load::LoadRunResult r;
    EXPECT_EQ(load::SummaryText(r, false), "") << "a run that ended before its list";
    r.txtLog = "Loaded:";
    r.wanted = 30;
    r.wasLoaded = 12;
    r.wasErrors = 16;
    r.causes = {{"HTTP 404", 2}, {"time-out", 9}, {"cut short", 1}, {"HTTP 500", 4}};
    EXPECT_EQ(load::SummaryText(r, false),
              "Tiles wanted: 30, on disk: 12, failed: 16 (time-out: 9, HTTP 500: 4, HTTP 404: 2, "
              "other: 1), not reached: 2.");
    r.wasNew = 7;
    EXPECT_EQ(load::SummaryText(r, true), "Tiles wanted: 30, on disk: 23, to download: 7.");
}

// Each check that stops the run shows its one message and writes nothing.
TEST_F(DialogRequestTest, ChecksThatStopTheRunShowTheirMessageAndWriteNothing) {
    struct Case {
        const char *name;
        std::function<void()> set;
        std::string message;
        Icon icon;
    };
    const std::string missing = (dir / "nope").string();
    const Case cases[] = {
        {"relief has no map", [&] { Request(Source::Shade, Kind::Map, 5, "1", "2", "1", "2"); },
         "Не поддерживаемый сервер или тип карты", Icon::None},
        {"no source", [&] { s.source = Source::None; }, "Не поддерживаемый сервер или тип карты",
         Icon::None},
        {"missing folder", [&] { s.Text(Key::SatRasterPath0) = missing; },
         "Директории " + missing + "/ не существует!", Icon::Exclamation},
        {"blank folder box", [&] { s.Text(Key::SatRasterPath0) = "  "; },
         std::string(load::kNoDirectoryMessage), Icon::Exclamation},
        {"equal latitudes", [&] { Request(Source::Goo, Kind::Sat, 5, "5", "5", "1", "2"); },
         std::string(kBadCoordinates), Icon::Exclamation},
        {"equal longitudes", [&] { Request(Source::Goo, Kind::Sat, 5, "1", "2", "3", "3"); },
         std::string(kBadCoordinates), Icon::Exclamation},
        {"south above north", [&] { Request(Source::Goo, Kind::Sat, 5, "6", "5", "1", "2"); },
         std::string(kBadCoordinates), Icon::Exclamation},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Request(Source::Goo, Kind::Sat, 5, "1", "2", "1", "2");
        s.Text(Key::SatRasterPath0) = dir.Path().string();
        ui.messages.clear();
        c.set();
        EXPECT_EQ(Run().outcome, RunOutcome::Stopped);
        ASSERT_EQ(ui.messages.size(), 1u);
        EXPECT_EQ(ui.messages[0].text, c.message);
        EXPECT_EQ(ui.messages[0].icon, c.icon);
        EXPECT_TRUE(NothingWritten());
    }
}

// The folder is checked before the level is lowered: a run that stops there shows no level
// message.
TEST_F(DialogRequestTest, LevelLimitsLowerTheLevelInTheDialogToo) {
    const struct {
        Source source;
        Kind kind;
        int asked;
        int loaded;
        const char *message;
    } cases[] = {
        {Source::Scan, Kind::Map, 18, 17,
         "Максимально допутимый уровень для данного источника - 17"},
        {Source::Yand, Kind::Sat, 20, 17,
         "Максимально допутимый уровень для данного источника - 17"},
        {Source::Shade, Kind::Sat, 10, 9,
         "Максимально допутимый уровень для данного источника - 9"},
        {Source::Goo, Kind::Sat, 22, 22, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.asked);
        ui.messages.clear();
        Request(c.source, c.kind, c.asked, "1", "1.00001", "1", "1.00001");
        const auto request = load::ReadLoadRequest(s, ui);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->level, c.loaded);
        EXPECT_EQ(s.upDownLevel, c.loaded);
        ASSERT_EQ(ui.messages.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(ui.messages[0].text, c.message);
            EXPECT_EQ(s.Text(Key::Level), std::to_string(c.loaded));
        }
    }
    ui.messages.clear();
    Request(Source::Scan, Kind::Sat, 18, "1", "2", "1", "2");
    s.Text(Key::SatRasterPath1) = (dir / "nope").string();
    EXPECT_FALSE(load::ReadLoadRequest(s, ui));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(s.upDownLevel, 18);
}

// Numbers come from the boxes in the dialog's separator, or as values the caller holds; the
// time-out and batch boxes are read for downloads only, rounded to the nearest whole number.
TEST_F(DialogRequestTest, BoxesBecomeValues) {
    Request(Source::Goo, Kind::Sat, 5, "1,5", "2,25", "-3", "4");
    s.decimalSeparator = ',';
    s.onlyCalculate = false;
    s.Text(Key::TimeOut) = "2.5";
    s.Text(Key::TilesAtOnce) = "3.5";
    auto request = load::ReadLoadRequest(s, ui);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->lat1, 1.5);
    EXPECT_EQ(request->lat2, 2.25);
    EXPECT_EQ(request->lon1, -3);
    EXPECT_EQ(request->directory, dir.Path().string() + "/");
    EXPECT_EQ(request->pauses.timeOutSeconds, 2) << "ties go to the even number";
    EXPECT_EQ(request->pauses.tilesAtOnce, 4);

    s.lat1 = "not a number";
    s.Text(Key::TimeOut) = "soon";
    load::KnownValues known;
    known.extent = {{10, 11, 12, 13}};
    known.timeOutSeconds = 7;
    known.tilesAtOnce = 9;
    request = load::ReadLoadRequest(s, ui, known);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->lat1, 10);
    EXPECT_EQ(request->lon2, 13);
    EXPECT_EQ(request->pauses.timeOutSeconds, 7);
    EXPECT_EQ(request->pauses.tilesAtOnce, 9);
    EXPECT_TRUE(ui.messages.empty());

    s.onlyCalculate = true;
    s.lat1 = "1";
    EXPECT_TRUE(load::ReadLoadRequest(s, ui)) << "calculate-only runs do not read the pauses";
}

// A box that holds no number, or a time-out beyond 32 bits, is an error reported under the
// load button; nothing is written. A request beyond the world is refused by the run.
TEST_F(DialogRequestTest, UnreadableBoxesAreReportedUnderTheLoadButton) {
    const struct {
        const char *lat2;
        const char *timeOut;
        const char *expected;
    } cases[] = {
        {"two", "60", "\tCmdLoad_Click  \r\n\r\nError Number \r\n\t13\r\n"},
        {"2", "soon", "txtTimeOut holds 'soon', which is not a number."},
        {"2", "3e9", "\t6\r\n"},
        {"95", "60", "\tCmdLoad_Click  \r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        ui.messages.clear();
        Request(Source::Goo, Kind::Sat, 5, "1", c.lat2, "1", "2");
        s.onlyCalculate = false;
        s.Text(Key::TimeOut) = c.timeOut;
        EXPECT_EQ(Run().outcome, RunOutcome::Failed);
        ASSERT_EQ(ui.messages.size(), 1u);
        EXPECT_EQ(ui.messages[0].title, "Unexpected Program Error");
        EXPECT_NE(ui.messages[0].text.find(c.expected), std::string::npos) << ui.messages[0].text;
        EXPECT_TRUE(NothingWritten());
    }
}
