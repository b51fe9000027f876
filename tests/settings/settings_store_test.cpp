#include "settings/settings_store.h"

#include "common/error.h"
#include "support/env_guard.h"
#include "support/files.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace tessaro;
using settings::InfoOf;
using settings::Key;
using settings::Settings;
using settings::SettingsStore;
using test::ReadFile;
using test::RecordingUi;
using test::WriteFile;

namespace {

class SettingsStoreTest : public ::testing::Test {
protected:
    test::TempDir dir;
    test::EnvGuard tmp{"TMP", std::string("/tmp/tessaro-tmp-box")};
    SettingsStore store = SettingsStore::AtFile(dir / "store.ini");
    RecordingUi ui;
};

} // namespace

TEST(Settings, FirstOpeningValues) {
    test::EnvGuard tmp("TMP", std::nullopt);
    test::EnvGuard temp("TEMP", std::string("/var/tmp/t"));
    const auto s = Settings::FirstOpening();
    const std::pair<Key, const char *> values[] = {
        {Key::MapRasterPath0, "/var/tmp/t"}, {Key::SatRasterPath3, "/var/tmp/t"},
        {Key::LandRasterPath0, ""},          {Key::SatVersion, "40"},
        {Key::MapVersion, "w2.97&hl=ru"},    {Key::LandVersion, "w2p.87&hl=ru"},
        {Key::MapLayerName2, "SMap"},        {Key::Level, "15"},
        {Key::TilesAtOnce, "3000"},
    };
    for (const auto &[key, value] : values) {
        EXPECT_EQ(s.Text(key), value) << InfoOf(key).savedName;
    }
    EXPECT_EQ(s.upDownLevel, 15);
    // Server boxes carry their fixed path and query parts.
    for (int k = 0; k < 4; ++k) {
        EXPECT_TRUE(s.Text(Settings::SatServer(k)).ends_with("/kh"));
        EXPECT_TRUE(s.Text(Settings::MapServer(k)).ends_with("/vt"));
        EXPECT_TRUE(s.Text(Settings::SatServerYand(k)).ends_with("/tiles?l=sat&v="));
        EXPECT_TRUE(s.Text(Settings::MapServerYand(k)).ends_with("/tiles?l=map&v="));
    }
    EXPECT_TRUE(s.Text(Key::SatServerScan).ends_with("/printtilesrescaled/?t=image_&zt=n"));
    EXPECT_TRUE(s.Text(Key::MapServerScan).ends_with("/printtilesrescaled/?t=map&zt=n"));
    EXPECT_TRUE(s.Text(Key::SatServerShade).ends_with("/layer/relief/"));
}

TEST(Settings, TemporaryDirectoryIsTmpThenTempThenThePlatformsOwn) {
    test::TempDir platformTemp;
    test::EnvGuard tmpdir("TMPDIR", platformTemp.Path().string());
    const std::tuple<std::optional<std::string>, std::optional<std::string>, std::string> cases[] =
        {{"/a", "/b", "/a"}, {"", "/b", "/b"}, {std::nullopt, std::nullopt, platformTemp.Path()}};
    for (const auto &[tmp, temp, expected] : cases) {
        test::EnvGuard tmpGuard("TMP", tmp);
        test::EnvGuard tempGuard("TEMP", temp);
        EXPECT_EQ(settings::TemporaryDirectory(), expected);
    }
}

TEST(Settings, NamesResolveWithoutRegardToCase) {
    EXPECT_EQ(settings::FindKey("txtmapServer_0"), Key::MapServer0);
    EXPECT_EQ(settings::FindKey("txtMapServer_0"), Key::MapServer0);
    EXPECT_EQ(settings::FindKey("TXTLANDLAYERNAME_0"), Key::LandLayerName0);
    EXPECT_EQ(settings::FindKey("txtUserName"), std::nullopt) << "never stored";
    EXPECT_EQ(settings::FindKey("txtMapServer_4"), std::nullopt);
}

TEST_F(SettingsStoreTest, NothingStoredShowsTheMessageOnceAndChangesNothing) {
    auto s = Settings::FirstOpening();
    s.Text(Key::SatVersion) = "typed";
    EXPECT_EQ(store.LoadFromRegistry(s, ui, false), SettingsStore::LoadResult::NothingStored);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "нет сохраненных данных");
    EXPECT_EQ(s.Text(Key::SatVersion), "typed");
    EXPECT_EQ(store.LoadFromRegistry(s, ui, true), SettingsStore::LoadResult::NothingStored);
    EXPECT_EQ(ui.messages.size(), 1u) << "a silent load says nothing";
}

TEST_F(SettingsStoreTest, SaveAndLoadRoundTripTrimmed) {
    auto s = Settings::FirstOpening();
    s.Text(Key::SatVersion) = "   "; // stored empty: it comes back as its fallback
    s.Text(Key::MapServer2) = " http://127.0.0.1:8080/m2/vt\t ";
    s.Text(Key::OutPolygon) = "/data/index.gpkg/blocks";
    s.Text(Key::LevelLayerPrefix3) = "Zoom;=\"x\" ,é";
    s.Text(Key::Level) = "12";
    store.Save(s);

    auto loaded = Settings::FirstOpening();
    ASSERT_EQ(store.LoadFromRegistry(loaded, ui, false), SettingsStore::LoadResult::Loaded);
    EXPECT_TRUE(ui.messages.empty());
    for (const auto &info : settings::Keys()) {
        if (!s.Trimmed(info.key).empty()) {
            EXPECT_EQ(loaded.Text(info.key), s.Trimmed(info.key)) << info.savedName;
        }
    }
    EXPECT_EQ(loaded.Text(Key::SatVersion), "18");
    EXPECT_EQ(loaded.Text(Key::MapServer2), "http://127.0.0.1:8080/m2/vt\t");
    EXPECT_EQ(loaded.upDownLevel, 12);
}

// Empty or missing values get their fallback (the version boxes also a value of blanks, which
// they otherwise keep as stored); the up-downs follow stored numbers, half to even.
TEST_F(SettingsStoreTest, StoredValuesOrTheirFallbacksFillTheBoxes) {
    WriteFile(store.Path(), "[General]\ntxtSatVersion=\ntxtmapVersion=\"   \"\n"
                            "txtLandVersion=\"  \"\ntxtmapVersionYand=\" 2.3 \"\n"
                            "txtOutPolygon=\"  \"\ntxtMapServer_0=\ntxtSatRasterPath_1=\n"
                            "txtLandRasterPath_0=\ntxtMapLayerName_2=\ntxtLevel=12.5\n"
                            "txtTimeOut=13.5\ntxtTilesAtOnce=250\n");
    auto s = Settings::FirstOpening();
    s.Text(Key::SatVersion) = "typed";
    ASSERT_EQ(store.LoadFromRegistry(s, ui, true), SettingsStore::LoadResult::Loaded);
    const std::pair<Key, const char *> values[] = {
        {Key::SatVersion, "18"},
        {Key::MapVersion, "w2.63"},
        {Key::LandVersion, "w2p.62"},
        {Key::MapVersionYand, " 2.3 "},
        {Key::OutPolygon, "  "},
        {Key::MapServer0, "http://mt0.google.com"},
        {Key::SatRasterPath1, "/tmp/tessaro-tmp-box"},
        {Key::LandRasterPath0, "/tmp/tessaro-tmp-box"},
        {Key::MapLayerName2, "GMap"}, // differs from the first opening's "SMap"
        {Key::Level, "12.5"},
    };
    for (const auto &[key, value] : values) {
        EXPECT_EQ(s.Text(key), value) << InfoOf(key).savedName;
    }
    EXPECT_EQ(s.upDownLevel, 12);
    EXPECT_EQ(s.upDownTime, 14);
    EXPECT_EQ(s.upDownTiles, 250);
}

TEST_F(SettingsStoreTest, SavedAndReadSpellingsAreOneValue) {
    WriteFile(store.Path(), "[General]\ntxtMapServer_0=http://old/vt\nmyOwnKey=kept\n");
    auto s = Settings::FirstOpening();
    ASSERT_EQ(store.LoadFromRegistry(s, ui, true), SettingsStore::LoadResult::Loaded);
    EXPECT_EQ(s.Text(Key::MapServer0), "http://old/vt");
    s.Text(Key::MapServer0) = "http://new/vt";
    store.Save(s);
    const std::string text = ReadFile(store.Path());
    EXPECT_NE(text.find("txtMapServer_0=http://new/vt"), std::string::npos) << text;
    EXPECT_EQ(text.find("txtmapServer_0"), std::string::npos) << "written in place, no twin";
    EXPECT_NE(text.find("myOwnKey=kept"), std::string::npos) << "foreign values survive";
}

TEST_F(SettingsStoreTest, ABadStoredNumberIsReportedAndStopsTheLoad) {
    WriteFile(store.Path(), "[General]\ntxtSatVersion=77\ntxtLevel=abc\ntxtSatServerScan=x\n"
                            "txtTilesAtOnce=5\n");
    auto s = Settings::FirstOpening();
    EXPECT_EQ(store.LoadFromRegistry(s, ui, false), SettingsStore::LoadResult::Failed);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_NE(ui.messages[0].text.find("\tLoadFromRegistry  \r\n"), std::string::npos);
    EXPECT_NE(ui.messages[0].text.find("\t13\r\n"), std::string::npos);
    EXPECT_EQ(s.Text(Key::SatVersion), "77") << "loaded before the level";
    EXPECT_EQ(s.Text(Key::Level), "15");
    EXPECT_EQ(s.Text(Key::SatServerScan), Settings::FirstOpening().Text(Key::SatServerScan))
        << "loaded after the level";

    WriteFile(store.Path(), "[General]\ntxtTilesAtOnce=5\n");
    ui.messages.clear();
    EXPECT_EQ(store.LoadFromRegistry(s, ui, false), SettingsStore::LoadResult::Failed);
    EXPECT_NE(ui.messages.at(0).text.find("\t380\r\n"), std::string::npos) << "out of range";

    // Asked to go on, the load reports each bad value, keeps its box and loads the rest.
    WriteFile(store.Path(), "[General]\ntxtLevel=abc\ntxtSatServerScan=x\ntxtTilesAtOnce=5\n");
    s = Settings::FirstOpening();
    ui.messages.clear();
    std::vector<std::string> unusable;
    EXPECT_EQ(store.LoadFromRegistry(s, ui, true, &unusable), SettingsStore::LoadResult::Loaded);
    EXPECT_EQ(unusable, (std::vector<std::string>{"txtLevel", "txtTilesAtOnce"}));
    EXPECT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(s.Text(Key::Level), "15");
    EXPECT_EQ(s.Text(Key::SatServerScan), "x");
    EXPECT_EQ(s.upDownTiles, Settings::FirstOpening().upDownTiles);
}

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
    // Comments, blank lines and a value continued over two lines are a settings file.
    WriteFile(store.Path(), "; kept by hand\n\n[General]\ntxtSatVersion=7\\\n7\n");
    EXPECT_EQ(store.Inspect(), SettingsStore::State::Readable);
    WriteFile(store.Path(), "; nothing yet\n");
    EXPECT_EQ(store.Inspect(), SettingsStore::State::Missing);
    std::filesystem::remove(store.Path());
    std::filesystem::create_directory(store.Path());
    std::string problem;
    EXPECT_EQ(store.Inspect(&problem), SettingsStore::State::Broken);
    EXPECT_NE(problem.find("not a file"), std::string::npos);
}

TEST_F(SettingsStoreTest, ASaveThatCannotWriteLeavesNoPartialStore) {
    WriteFile(dir / "plain", "x");
    const auto blocked = SettingsStore::AtFile(dir / "plain" / "store.ini");
    EXPECT_THROW(blocked.Save(Settings::FirstOpening()), FileError);
    EXPECT_EQ(ReadFile(dir / "plain"), "x");
}
