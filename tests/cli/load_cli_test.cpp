#include "support/files.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using tessaro::test::ProcessResult;
using tessaro::test::ReadFile;
using tessaro::test::RunProcess;
using tessaro::test::TempDir;
using tessaro::test::WriteFile;

namespace {

class LoadCliTest : public ::testing::Test {
protected:
    ProcessResult Tessaro(std::vector<std::string> args) {
        args.insert(args.begin(), TESSARO_BINARY);
        // The user's own store must never be touched: HOME and the config folder point here.
        return RunProcess(args, {},
                          {{"HOME", home.Path().string()},
                           {"XDG_CONFIG_HOME", (home / "config").string()},
                           {"TMP", (home / "no-such-temp").string()}});
    }

    std::string Config() const { return "--config=" + (home / "store.ini").string(); }

    std::vector<std::filesystem::path> Files(const std::filesystem::path &folder,
                                             const std::string &pattern) {
        std::vector<std::filesystem::path> found;
        const std::regex re(pattern);
        for (const auto &e : std::filesystem::recursive_directory_iterator(folder)) {
            if (std::regex_match(e.path().filename().string(), re)) {
                found.push_back(e.path());
            }
        }
        return found;
    }

    TempDir home;
    TempDir tiles;
};

} // namespace

TEST_F(LoadCliTest, CalculateOnlyRunEndToEnd) {
    const auto r = Tessaro({"load", "--source", "goo", "--kind", "map", "--level", "3",
                            "--extent=-10,10,-10,10", "--dir", tiles.Path().string(),
                            "--calculate-only", "--log", "--ion", Config()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Loaded:0\r\nNew:   4\r\nErrors:   0\n");
    // The exact log and list lines are load_run_test's; here the files are where they belong.
    EXPECT_TRUE(ReadFile(tiles / "Tessaro_map.log").starts_with("Time;Type;NumX;NumY;"));
    const auto ion = Files(tiles / "3", R"(Tessaro_\d{4}_\d\d_\d\d_\d{1,2}_\d{1,2}\.ion)");
    ASSERT_EQ(ion.size(), 1u);
    EXPECT_TRUE(ReadFile(ion[0]).starts_with(
        "1_1.png http://mt0.google.com/vt/mt?n=404&v=w2.97&hl=ru&x=1&y=1&zoom=15\r\n"));
    EXPECT_FALSE(std::filesystem::exists(home / "store.ini")) << "a load does not save";
}

TEST_F(LoadCliTest, StoredSettingsApplyAndSetOverridesThem) {
    auto saved = Tessaro({"settings", "save", Config(), "--set", "txtSatVersion=77", "--set",
                          "TXTSATSERVER_0=http://127.0.0.1:1/kh"});
    ASSERT_EQ(saved.exitCode, 0) << saved.err;
    auto r = Tessaro({"load", "--level", "3", "--extent=-10,10,-10,10", "--dir",
                      tiles.Path().string(), "--calculate-only", "--ion", Config()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto ion = ReadFile(Files(tiles / "3", R"(Tessaro_.*\.ion)").at(0));
    EXPECT_TRUE(ion.starts_with("tqs.jpg http://127.0.0.1:1/kh/kh?n=404&v=77&t=tqs\r\n")) << ion;

    std::filesystem::remove_all(tiles / "3");
    r = Tessaro({"load", "--level", "3", "--extent=-10,10,-10,10", "--dir", tiles.Path().string(),
                 "--calculate-only", "--ion", Config(), "--set", "txtSatVersion=78"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ion = ReadFile(Files(tiles / "3", R"(Tessaro_.*\.ion)").at(0));
    EXPECT_NE(ion.find("&v=78&"), std::string::npos);
    EXPECT_NE(ReadFile(home / "store.ini").find("txtSatVersion=77"), std::string::npos)
        << "--set on a load changes nothing stored";
}

// A check that stops the run exits 1, one that only warns lets it go on; the checks themselves
// are load_run_test's.
TEST_F(LoadCliTest, ChecksPrintTheirMessagesAndSetTheExitCode) {
    auto r = Tessaro({"load", "--dir", (tiles / "missing").string(), "--calculate-only", Config()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Директории " + (tiles / "missing").string() + "/ не существует!\n");
    EXPECT_EQ(r.out, "");

    r = Tessaro({"load", "--source", "yand", "--level", "20", "--extent=55.7,55.71,37.6,37.61",
                 "--dir", tiles.Path().string(), "--calculate-only", Config()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "Максимально допутимый уровень для данного источника - 17\n");
    EXPECT_TRUE(std::filesystem::is_directory(tiles / "17"));

    // --dir fills the folder box of the source and kind: for ScanEx maps the satellite box.
    std::filesystem::create_directory(tiles / "scan");
    r = Tessaro({"load", "--source", "scan", "--kind", "map", "--level", "4",
                 "--extent=10,20,10,20", "--calculate-only", Config(), "--dir",
                 (tiles / "scan").string(), "--set", "txtSatRasterPath_1=/nowhere"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_directory(tiles / "scan" / "4"));
}

TEST_F(LoadCliTest, UsageErrors) {
    auto r = Tessaro({"load", "--set", "txtNoSuch=1", "--set", "alsoNot=2", "--calculate-only"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("'txtNoSuch', 'alsoNot'"), std::string::npos) << r.err;
    EXPECT_EQ(Tessaro({"load", "--level", "0"}).exitCode, 2);
    EXPECT_EQ(Tessaro({"load", "--extent", "1,2,x,4"}).exitCode, 2);
    EXPECT_EQ(Tessaro({"load", "--set", "txtLevel=30"}).exitCode, 2);
    EXPECT_EQ(Tessaro({"settings"}).exitCode, 2);
    EXPECT_EQ(Tessaro({"settings", "erase"}).exitCode, 2);
    EXPECT_EQ(Tessaro({"settings", "load", "--set", "txtLevel=3", Config()}).exitCode, 2);
}

TEST_F(LoadCliTest, SettingsCommandsUseTheUsersStoreUnlessTold) {
    auto r = Tessaro({"settings", "load"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "нет сохраненных данных\n");
    r = Tessaro({"settings", "save", "--set", "txtLevel=12"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto userStore = home / "config" / "Orvelt" / "Tessaro.conf";
    ASSERT_TRUE(std::filesystem::exists(userStore));
    EXPECT_NE(ReadFile(userStore).find("txtLevel=12"), std::string::npos);
    r = Tessaro({"settings", "load"});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("txtLevel=12\n"), std::string::npos);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 50);
    // A later save that names another value keeps the stored level.
    ASSERT_EQ(Tessaro({"settings", "save", "--set", "txtTimeOut=90"}).exitCode, 0);
    const std::string text = ReadFile(userStore);
    EXPECT_NE(text.find("txtLevel=12"), std::string::npos);
    EXPECT_NE(text.find("txtTimeOut=90"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(home / "store.ini"));
}

TEST_F(LoadCliTest, ABrokenStoreIsNamedAndLeftAlone) {
    const std::string broken = "[General\ntxtLevel=3\n";
    WriteFile(home / "store.ini", broken);
    auto r = Tessaro({"load", "--level", "3", "--extent=-10,10,-10,10", "--dir",
                      tiles.Path().string(), "--calculate-only", Config()});
    EXPECT_EQ(r.exitCode, 0) << "the run goes on with the defaults";
    EXPECT_NE(r.err.find((home / "store.ini").string()), std::string::npos) << r.err;
    r = Tessaro({"settings", "save", Config()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("\tcmdSaveTorRgistry_Click "), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(home / "store.ini"), broken);
}

// A stored value the store cannot read back is never replaced by a default behind the
// user's back: the save stops unless a new value is given for it.
TEST_F(LoadCliTest, ASaveKeepsEveryStoredValueOrSavesNothing) {
    ASSERT_EQ(Tessaro({"settings", "save", Config(), "--set", "txtSatServerShade=http://relief/",
                       "--set", "txtTilesAtOnce=500"})
                  .exitCode,
              0);
    std::string text = ReadFile(home / "store.ini");
    const auto level = text.find("txtLevel=15");
    ASSERT_NE(level, std::string::npos) << text;
    text.replace(level, 11, "txtLevel=30");
    WriteFile(home / "store.ini", text);

    auto r = Tessaro({"settings", "save", Config(), "--set", "txtTimeOut=90"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Nothing was saved: the stored txtLevel cannot be read back"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(ReadFile(home / "store.ini"), text);

    r = Tessaro({"settings", "save", Config(), "--set", "txtLevel=12"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    text = ReadFile(home / "store.ini");
    for (const char *kept :
         {"txtLevel=12", "txtSatServerShade=http://relief/", "txtTilesAtOnce=500"}) {
        EXPECT_NE(text.find(kept), std::string::npos) << kept << "\n" << text;
    }
    // Values the store could not read back are not stored in the first place.
    r = Tessaro({"settings", "save", Config(), "--set", "txtTimeOut=5"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("txtTimeOut can be stored only as a number from 10 to 6000"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(ReadFile(home / "store.ini"), text);
}
