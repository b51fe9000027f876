// Reading the load button's request from the dialog's boxes: the checks, their messages and
// their order, and what reaches the run.
#include "load/load_fixture.h"

#include <functional>

using namespace tessaro;
using load::RunOutcome;
using settings::Key;
using tiles::Kind;
using tiles::Source;

namespace {

class DialogRequestTest : public test::LoadFixture {};

constexpr std::string_view kBadCoordinates =
    "Недопустимые параметры координат\r\nдолжно быть: lat1<lat2 и lon1<lon2";

} // namespace

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

// Each type reads its own folder box: the map box for Google and Yandex maps, the landscape
// box for Google landscape, the satellite box otherwise (ScanEx maps too).
TEST_F(DialogRequestTest, EachTypeReadsItsFolderBox) {
    const struct {
        Source source;
        Kind kind;
        Key box;
    } cases[] = {
        {Source::Goo, Kind::Sat, Key::SatRasterPath0},
        {Source::Goo, Kind::Map, Key::MapRasterPath0},
        {Source::Goo, Kind::Land, Key::LandRasterPath0},
        {Source::Scan, Kind::Sat, Key::SatRasterPath1},
        {Source::Scan, Kind::Map, Key::SatRasterPath1},
        {Source::Shade, Kind::Sat, Key::SatRasterPath2},
        {Source::Yand, Kind::Sat, Key::SatRasterPath3},
        {Source::Yand, Kind::Map, Key::MapRasterPath3},
    };
    PointFoldersAt(dir / "elsewhere");
    for (const auto &c : cases) {
        const auto folder = dir / std::string(settings::InfoOf(c.box).savedName);
        std::filesystem::create_directory(folder);
        s.Text(c.box) = folder.string();
        Request(c.source, c.kind, 5, "1", "2", "1", "2");
        const auto request = load::ReadLoadRequest(s, ui);
        ASSERT_TRUE(request) << folder;
        EXPECT_EQ(request->directory, folder.string() + "/");
        s.Text(c.box) = (dir / "elsewhere").string();
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
