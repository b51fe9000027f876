#include "settings/settings_store.h"

#include "common/error.h"
#include "support/env_guard.h"
#include "support/files.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace tessaro;
using settings::Key;
using settings::Settings;
using settings::SettingsStore;
using test::ReadFile;
using test::WriteFile;

namespace {

class SettingsStoreTest : public ::testing::Test {
protected:
    test::TempDir dir;
    test::EnvGuard tmp{"TMP", std::string("/tmp/tessaro-tmp-box")}; // before TEMP
    test::EnvGuard temp{"TEMP", std::string("/elsewhere")};
    SettingsStore store = SettingsStore::AtFile(dir / "store.ini");
    test::RecordingUi ui;
};

} // namespace

// Every box of a freshly opened dialog, in save order, with the temporary folder (TEMP when TMP
// is empty) in the folder boxes; and the up-downs they feed.
TEST(Settings, FirstOpeningValues) {
    test::EnvGuard tmp("TMP", std::string());
    test::EnvGuard temp("TEMP", std::string("/t"));
    const auto s = Settings::FirstOpening();
    std::string texts;
    for (const auto &info : settings::Keys()) {
        texts += s.Text(info.key) + "|";
    }
    EXPECT_EQ(texts,
              "/t|/t||GSatellite|GMap|GLandscape|Level_|/t|/t|SSatellite|SMap|Level_|/t|/t|"
              "ShadedRelief|SMap|Level_|/t|/t|YSatellite|YMap|Level_|http://khm0.google.com/kh|"
              "http://khm1.google.com/kh|http://khm2.google.com/kh|http://khm3.google.com/kh|40|"
              "http://mt0.google.com/vt|http://mt1.google.com/vt|http://mt2.google.com/vt|"
              "http://mt3.google.com/vt|w2.97&hl=ru|w2p.87&hl=ru|"
              "http://maps.kosmosnimki.ru/printtilesrescaled/?t=image_&zt=n|"
              "http://maps.kosmosnimki.ru/printtilesrescaled/?t=map&zt=n|"
              "http://maps-for-free.com/layer/relief/|http://sat01.maps.yandex.net/tiles?l=sat&v=|"
              "http://sat02.maps.yandex.net/tiles?l=sat&v=|"
              "http://sat03.maps.yandex.net/tiles?l=sat&v=|"
              "http://sat04.maps.yandex.net/tiles?l=sat&v=|1.6.0|"
              "http://vec01.maps.yandex.net/tiles?l=map&v=|"
              "http://vec02.maps.yandex.net/tiles?l=map&v=|"
              "http://vec03.maps.yandex.net/tiles?l=map&v=|"
              "http://vec04.maps.yandex.net/tiles?l=map&v=|2.2.1||15|60|3000|");
    EXPECT_EQ(std::tuple(s.upDownLevel, s.upDownTime, s.upDownTiles), std::tuple(15, 60, 3000));
}

TEST_F(SettingsStoreTest, NothingStoredShowsTheMessageOnceAndChangesNothing) {
    auto s = Settings::FirstOpening();
    s.Text(Key::SatVersion) = "typed";
    EXPECT_EQ(store.LoadFromRegistry(s, ui, false), SettingsStore::LoadResult::NothingStored);
    EXPECT_EQ(store.LoadFromRegistry(s, ui, true), SettingsStore::LoadResult::NothingStored);
    ASSERT_EQ(ui.messages.size(), 1u) << "a silent load says nothing";
    EXPECT_EQ(ui.messages[0].text, "нет сохраненных данных");
    EXPECT_EQ(s.Text(Key::SatVersion), "typed");
}

// What is saved loads back trimmed of blanks (not of tabs), the User-Agent beside the fifty too.
// A value stored under the name's other spelling is replaced in place, and foreign values
// survive.
TEST_F(SettingsStoreTest, SaveAndLoadRoundTripTrimmed) {
    WriteFile(store.Path(), "[General]\ntxtMapServer_0=http://old/vt\nmyOwnKey=kept\n");
    auto s = Settings::FirstOpening();
    s.Text(Key::MapServer2) = " http://127.0.0.1:8080/m2/vt\t ";
    s.Text(Key::LevelLayerPrefix3) = "Zoom;=\"x\" ,é";
    s.userAgent = " MapFetch/2 (gis@example.org) ";
    store.Save(s);
    const std::string text = ReadFile(store.Path());
    EXPECT_NE(text.find("txtMapServer_0=http://mt0.google.com/vt"), std::string::npos) << text;
    EXPECT_EQ(text.find("txtmapServer_0"), std::string::npos) << "written in place, no twin";
    EXPECT_NE(text.find("myOwnKey=kept"), std::string::npos) << "foreign values survive";
    auto loaded = Settings::FirstOpening();
    ASSERT_EQ(store.LoadFromRegistry(loaded, ui, false), SettingsStore::LoadResult::Loaded);
    EXPECT_TRUE(ui.messages.empty());
    for (const auto &info : settings::Keys()) {
        if (!s.Trimmed(info.key).empty()) {
            EXPECT_EQ(loaded.Text(info.key), s.Trimmed(info.key)) << info.savedName;
        }
    }
    EXPECT_EQ(loaded.Text(Key::MapServer2), "http://127.0.0.1:8080/m2/vt\t");
    EXPECT_EQ(loaded.userAgent, "MapFetch/2 (gis@example.org)");
}

// Empty or missing values get their fallback (the version boxes also a value of blanks, which
// they otherwise keep as stored; the fallback of MapLayerName2 is not its first value; the
// User-Agent's is the program's own); the up-downs follow stored numbers, half to even, and take
// both ends of their ranges.
TEST_F(SettingsStoreTest, StoredValuesOrTheirFallbacksFillTheBoxes) {
    WriteFile(store.Path(), "[General]\ntxtSatVersion=\ntxtmapVersion=\"   \"\n"
                            "txtLandVersion=\"  \"\ntxtmapVersionYand=\" 2.3 \"\n"
                            "txtOutPolygon=\"  \"\ntxtMapServer_0=\ntxtSatRasterPath_1=\n"
                            "txtLandRasterPath_0=\ntxtMapLayerName_2=\ntxtLevel=12.5\n"
                            "txtTimeOut=13.5\ntxtTilesAtOnce=250\ntxtUserAgent=\n");
    auto s = Settings::FirstOpening();
    s.userAgent = "typed";
    ASSERT_EQ(store.LoadFromRegistry(s, ui, true), SettingsStore::LoadResult::Loaded);
    std::string texts;
    for (const Key key : {Key::SatVersion, Key::MapVersion, Key::LandVersion, Key::MapVersionYand,
                          Key::OutPolygon, Key::MapServer0, Key::SatRasterPath1,
                          Key::LandRasterPath0, Key::MapLayerName2, Key::Level}) {
        texts += s.Text(key) + "|";
    }
    EXPECT_EQ(texts, "18|w2.63|w2p.62| 2.3 |  |http://mt0.google.com|/tmp/tessaro-tmp-box|"
                     "/tmp/tessaro-tmp-box|GMap|12.5|");
    EXPECT_EQ(std::tuple(s.upDownLevel, s.upDownTime, s.upDownTiles), std::tuple(12, 14, 250));
    EXPECT_EQ(s.userAgent, "");
    for (const auto &[text, level, time, tiles] :
         {std::tuple{"txtLevel=22\ntxtTimeOut=6000\ntxtTilesAtOnce=10000\n", 22, 6000, 10000},
          {"txtLevel=1\ntxtTimeOut=10\ntxtTilesAtOnce=100\n", 1, 10, 100}}) {
        WriteFile(store.Path(), std::string("[General]\n") + text);
        ASSERT_EQ(store.LoadFromRegistry(s, ui, true), SettingsStore::LoadResult::Loaded) << text;
        EXPECT_EQ(std::tuple(s.upDownLevel, s.upDownTime, s.upDownTiles),
                  std::tuple(level, time, tiles));
    }
}

TEST_F(SettingsStoreTest, ABadStoredNumberIsReportedAndStopsTheLoad) {
    WriteFile(store.Path(), "[General]\ntxtSatVersion=77\ntxtLevel=abc\ntxtSatServerScan=x\n"
                            "txtTilesAtOnce=5\n");
    auto s = Settings::FirstOpening();
    EXPECT_EQ(store.LoadFromRegistry(s, ui, false), SettingsStore::LoadResult::Failed);
    EXPECT_NE(ui.messages.at(0).text.find("\tLoadFromRegistry  \r\n\r\nError Number \r\n\t13\r\n"),
              std::string::npos);
    EXPECT_EQ(s.Text(Key::SatVersion), "77") << "loaded before the level";
    EXPECT_EQ(s.Text(Key::SatServerScan), Settings::FirstOpening().Text(Key::SatServerScan))
        << "loaded after the level";

    // Asked to go on, the load reports each bad value (a number out of range as 380; a User-Agent
    // not on one line is named and not used), keeps its box and loads the rest.
    WriteFile(store.Path(), "[General]\ntxtLevel=abc\ntxtSatServerScan=x\ntxtTilesAtOnce=5\n"
                            "txtUserAgent=two\\nlines\n");
    s = Settings::FirstOpening();
    ui.messages.clear();
    std::vector<std::string> unusable;
    EXPECT_EQ(store.LoadFromRegistry(s, ui, true, &unusable), SettingsStore::LoadResult::Loaded);
    EXPECT_EQ(unusable, (std::vector<std::string>{"txtLevel", "txtTilesAtOnce"}));
    ASSERT_EQ(ui.messages.size(), 3u);
    EXPECT_TRUE(ui.messages[0].text.starts_with("The stored txtUserAgent is not a name on one"));
    EXPECT_NE(ui.messages[2].text.find("\t380\r\n"), std::string::npos) << "out of range";
    EXPECT_EQ(s.Text(Key::Level), "15");
    EXPECT_EQ(s.Text(Key::SatServerScan), "x");
    EXPECT_EQ(s.upDownTiles, Settings::FirstOpening().upDownTiles);
    EXPECT_EQ(s.userAgent, "");
}

// A store that is no settings file is named, left alone and not overwritten; comments, blank
// lines and a value continued over two lines are a settings file; a save that cannot write
// is an error.
TEST_F(SettingsStoreTest, ABrokenStoreIsNamedLeftAloneAndNotOverwritten) {
    const std::string broken[] = {"[General\ntxtLevel=3\n", std::string("txtLevel=3\0\1\2", 13),
                                  "notes about the tiles\nnot a settings file\n"};
    for (const auto &content : broken) {
        WriteFile(store.Path(), content);
        auto s = Settings::FirstOpening();
        ui.messages.clear();
        EXPECT_EQ(store.LoadFromRegistry(s, ui, true), SettingsStore::LoadResult::Broken);
        ASSERT_EQ(ui.messages.size(), 1u);
        EXPECT_NE(ui.messages[0].text.find(store.Path().string()), std::string::npos);
        EXPECT_EQ(s.Text(Key::Level), "15");
        EXPECT_THROW(store.Save(s), FileError);
        EXPECT_EQ(ReadFile(store.Path()), content);
    }
    WriteFile(store.Path(), "; kept by hand\n\n[General]\ntxtSatVersion=7\\\n7\n");
    EXPECT_EQ(store.Inspect(), SettingsStore::State::Readable);
    WriteFile(store.Path(), "; nothing yet\n");
    EXPECT_EQ(store.Inspect(), SettingsStore::State::Missing);
    EXPECT_THROW(SettingsStore::AtFile(store.Path() / "x.ini").Save(Settings::FirstOpening()),
                 FileError); // a file where the folder should be
    std::filesystem::remove(store.Path());
    std::filesystem::create_directory(store.Path());
    std::string problem;
    EXPECT_EQ(store.Inspect(&problem), SettingsStore::State::Broken);
    EXPECT_NE(problem.find("not a file"), std::string::npos);
}
