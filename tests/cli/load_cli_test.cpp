// `tessaro settings` and the settings of `tessaro load`: the user's store or another file, the
// stored values under the --set changes, and stores whose values cannot all be read back.
#include "cli_support.h"

using namespace tessaro;
using test::ReadFile;

namespace {

class LoadCliTest : public test::CliTest {
protected:
    std::string Config() const { return "--config=" + (home / "store.ini").string(); }
};

} // namespace

// With no --config the user's store (~/.config/Orvelt/Tessaro.conf) is used: nothing stored at
// first; a save writes all fifty values and keeps the stored ones it does not change; a load
// starts from them, with its --set changes over them, and stores nothing. Beside them the
// User-Agent, the program's own while none is stored.
TEST_F(LoadCliTest, TheUsersStoreHoldsWhatLoadsStartFrom) {
    auto r = Tessaro({"settings", "load"});
    EXPECT_EQ(std::tuple(r.exitCode, r.out, r.err), std::tuple(1, "", "нет сохраненных данных\n"));
    ASSERT_EQ(Tessaro({"settings", "save", "--set", "txtSatVersion=77", "--set",
                       "TXTSATSERVER_0=http://127.0.0.1:1/kh"})
                  .exitCode,
              0);
    ASSERT_EQ(Tessaro({"settings", "save", "--set", "txtTimeOut=90"}).exitCode, 0);
    const auto store = home / "config" / "Orvelt" / "Tessaro.conf";
    r = Tessaro({"settings", "load"});
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 51);
    for (const char *value :
         {"\ntxtSatVersion=77\n", "\ntxtTimeOut=90\n", "\ntxtUserAgent=Tessaro/0.1.0\n"}) {
        EXPECT_NE(r.out.find(value), std::string::npos) << value << r.out;
    }
    r = Tessaro({"load", "--level", "3", "--extent=-10,10,-10,10", "--dir", tiles.Path().string(),
                 "--calculate-only", "--log", "--ion", "--set", "txtSatVersion=78"});
    EXPECT_EQ(std::tuple(r.exitCode, r.out, r.err),
              std::tuple(0, "Loaded:0\r\nNew:   4\r\nErrors:   0\n",
                         "Tiles wanted: 4, on disk: 0, to download: 4.\n"));
    EXPECT_TRUE(std::filesystem::exists(tiles / "Tessaro_sat.log"));
    EXPECT_TRUE(ReadFile(OnlyFile(tiles / "3", ".ion"))
                    .starts_with("tqs.jpg http://127.0.0.1:1/kh/kh?n=404&v=78&t=tqs\r\n"));
    EXPECT_NE(ReadFile(store).find("txtSatVersion=77"), std::string::npos)
        << "a load stores nothing";
    EXPECT_EQ(ReadFile(store).find("UserAgent"), std::string::npos) << "the fifty, no more";
    EXPECT_FALSE(std::filesystem::exists(home / "store.ini"));
}

// A stored value the store cannot read back is never replaced by a default behind the user's
// back: the save stops unless a new value is given for it; a value the store could not read
// back is not stored in the first place. A broken store is named, and never overwritten.
TEST_F(LoadCliTest, StoredValuesThatCannotBeReadBackAreNeverLost) {
    ASSERT_EQ(Tessaro({"settings", "save", Config(), "--set", "txtTilesAtOnce=500"}).exitCode, 0);
    std::string text = ReadFile(home / "store.ini");
    const auto level = text.find("txtLevel=15");
    ASSERT_NE(level, std::string::npos) << text;
    test::WriteFile(home / "store.ini", text.replace(level, 11, "txtLevel=30"));
    EXPECT_TRUE(Exited(Tessaro({"settings", "save", Config(), "--set", "txtTimeOut=90"}), 1,
                       "Nothing was saved: the stored txtLevel cannot be read back"));
    EXPECT_TRUE(Exited(Tessaro({"settings", "save", Config(), "--set", "txtTimeOut=5"}), 2,
                       "txtTimeOut can be stored only as a number from 10 to 6000"));
    EXPECT_EQ(ReadFile(home / "store.ini"), text);
    ASSERT_EQ(Tessaro({"settings", "save", Config(), "--set", "txtLevel=12"}).exitCode, 0);
    text = ReadFile(home / "store.ini");
    EXPECT_NE(text.find("txtLevel=12"), std::string::npos);
    EXPECT_NE(text.find("txtTilesAtOnce=500"), std::string::npos) << text;

    const std::string broken = "[General\ntxtLevel=3\n";
    test::WriteFile(home / "store.ini", broken);
    EXPECT_TRUE(Exited(Tessaro({"load", "--level", "3", "--extent=-10,10,-10,10", "--dir",
                                tiles.Path().string(), "--calculate-only", Config()}),
                       0, (home / "store.ini").string()))
        << "the run goes on with the defaults";
    // The report names the program, never a path of the build's sources.
    EXPECT_TRUE(Exited(Tessaro({"settings", "save", Config()}), 1,
                       "\tcmdSaveTorRgistry_Click " +
                           std::filesystem::canonical(TESSARO_BINARY).string() + " "));
    EXPECT_EQ(ReadFile(home / "store.ini"), broken);
}
