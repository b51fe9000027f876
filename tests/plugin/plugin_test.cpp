// The plugin inside a real QGIS desktop on a virtual X server, with a fresh profile that the
// install script writes: drive_qgis.py, which QGIS runs at start, draws, selects and loads
// through the plugin and exits with the number of its failed checks.

#include "settings/local_servers.h"
#include "settings/settings.h"
#include "settings/settings_store.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "tileserver/tile_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <string>

namespace tessaro {
namespace {

namespace fs = std::filesystem;

TEST(QgisPlugin, DrawsLoadsAndFollowsTheSelectionInQgis) {
    tileserver::TileServer server;
    server.Start();
    const test::TempDir home;
    const fs::path profiles = home.Path() / "profiles";
    const fs::path tiles = home.Path() / "tiles";
    const fs::path out = fs::path(SCREENSHOT_DIR);
    fs::create_directories(out);
    fs::create_directories(tiles);

    // The user's settings store of the QGIS process (under its own XDG_CONFIG_HOME): every
    // server points at the built-in one, Google satellite tiles go into the temporary folder.
    auto state = settings::Settings::FirstOpening();
    for (const auto &[key, value] : settings::ServerSettingsFor(server.BaseUrl())) {
        state.Text(key) = value;
    }
    state.Text(settings::Key::SatRasterPath0) = tiles.string();
    settings::SettingsStore::AtFile(home.Path() / "config/Orvelt/Tessaro.conf").Save(state);

    const auto install = test::RunProcess({"/usr/bin/python3", INSTALL_SCRIPT, "--plugin",
                                           TESSARO_PLUGIN, "--profiles-path", profiles.string(),
                                           "--dest", (home.Path() / "plugins").string()});
    ASSERT_EQ(install.exitCode, 0) << install.err;

    const std::map<std::string, std::string> env = {
        {"HOME", home.Path().string()},
        {"XDG_CONFIG_HOME", (home.Path() / "config").string()},
        {"XDG_DATA_HOME", (home.Path() / "data").string()},
        {"XDG_CACHE_HOME", (home.Path() / "cache").string()},
        {"QTWEBENGINE_DISABLE_SANDBOX", "1"},
        {"TESSARO_TEST_OUT", out.string()},
        // The system's programs only: QGIS's Python finds its home from the python3 first on
        // the path, and another one there (a pyenv, a venv) hides the system's qgis module.
        {"PATH", "/usr/bin:/bin"},
    };
    const auto qgis = test::RunProcess({"/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1920x1080x24",
                                        "qgis", "--profiles-path", profiles.string(), "--nologo",
                                        "--noversioncheck", "--code", DRIVE_SCRIPT},
                                       {}, env, std::chrono::seconds(240));
    std::cout << qgis.out; // the driver's checks, one per line
    EXPECT_EQ(qgis.exitCode, 0) << qgis.err;
    EXPECT_NE(qgis.out.find("all checks passed"), std::string::npos);

    // The tiles the dialog loaded are on disk with their world and side files.
    int jpegs = 0;
    for (const auto &entry : fs::recursive_directory_iterator(tiles)) {
        if (entry.path().extension() == ".jpg") {
            ++jpegs;
            EXPECT_TRUE(fs::exists(entry.path().string() + ".aux.xml")) << entry.path();
            EXPECT_TRUE(fs::exists(fs::path(entry.path()).replace_extension(".jgw")));
        }
    }
    EXPECT_GT(jpegs, 0);
}

} // namespace
} // namespace tessaro
