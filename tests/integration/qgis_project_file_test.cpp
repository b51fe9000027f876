#include "integration/qgis_project_file.h"

#include "../mapout/mapout_support.h"
#include "common/error.h"
#include "integration/qgis_session.h"
#include "integration/tile_layers.h"
#include "integration_support.h"
#include "support/files.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

#include <qgsproject.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace tessaro::integration {
namespace {

namespace fs = std::filesystem;
using tiles::TilesType;

std::vector<std::string> FolderNames(const fs::path &folder) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(QgisProjectFile, AProjectThatCannotBeWrittenIsReportedAndTheTilesStay) {
    test::TempDir dir;
    const fs::path tiles = dir / "tiles";
    const tiles::TileList list(test::SmallRequest(TilesType::GoogleSat, 13));
    test::WriteTiles(tiles, TilesType::GoogleSat, list, 13);
    const auto before = test::FolderContents(tiles);

    QgisProjectFile project = QgisProjectFile::Open(dir / "map.qgs");
    EXPECT_TRUE(project.IsNew());
    test::RecordingUi ui;
    ASSERT_EQ(AddGoogleRasters(project.Project(), tiles, list, 13, TilesType::GoogleSat,
                               test::SettingsFor(TilesType::GoogleSat), ui),
              list.Size());
    fs::create_directory(dir / "map.qgs");

    EXPECT_FALSE(project.Save(ui));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Could not write the project file " +
                                       (dir / "map.qgs").string() +
                                       ": a folder of that name is in its place");
    EXPECT_EQ(ui.messages[0].icon, Icon::Critical);
    EXPECT_EQ(project.Project().count(), list.Size());
    EXPECT_TRUE(fs::is_empty(dir / "map.qgs"));
    EXPECT_EQ(FolderNames(dir.Path()), (std::vector<std::string>{"map.qgs", "tiles"}));
    // Neither adding the layers nor the failed save touched a tile or its side file (QGIS
    // would write band statistics there).
    EXPECT_EQ(test::FolderContents(tiles), before);

    fs::remove(dir / "map.qgs");
    EXPECT_TRUE(project.Save(ui));
    EXPECT_EQ(FolderNames(dir.Path()), (std::vector<std::string>{"map.qgs", "tiles"}))
        << "no temporary or backup file stays beside the project";
}

TEST(QgisProjectFile, OpeningRefusesWhatIsNoProjectFile) {
    test::TempDir dir;
    fs::create_directory(dir / "folder.qgs");
    EXPECT_THROW((void)QgisProjectFile::Open(dir / "folder.qgs"), FileError);
    EXPECT_THROW((void)QgisProjectFile::Open(dir / "missing" / "map.qgs"), FileError);
    test::WriteText(dir / "broken.qgs", "<qgis><layer-tree-group");
    EXPECT_THROW((void)QgisProjectFile::Open(dir / "broken.qgs"), FileError);
}

// That the home folder stays empty is checked after every test by the program's environment.
TEST(QgisSession, KeepsQgisOutOfTheUsersHomeAndRunsOnce) {
    EXPECT_TRUE(QgisSession::IsRunning());
    EXPECT_TRUE(fs::is_empty(test::FakeHome()));
    EXPECT_FALSE(fs::is_empty(test::SessionProfile())) << "QGIS keeps its files in the profile";
    EXPECT_THROW(QgisSession second, Error);
    EXPECT_TRUE(QgisSession::IsRunning());
}

} // namespace
} // namespace tessaro::integration
