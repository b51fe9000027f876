#include "integration_support.h"

#include "../mapout/mapout_support.h"
#include "integration/qgis_session.h"
#include "mapout/spatial_reference.h"
#include "support/env_guard.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "tiles/tile_files.h"

#include <qgslayertree.h>
#include <qgsproject.h>
#include <qgsrectangle.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <list>
#include <memory>
#include <optional>
#include <sstream>

#if defined(__SANITIZE_ADDRESS__)
// Under the leak checker: Qt's offscreen platform and OpenSSL, which QGIS loads, keep a few
// objects until the process ends; their allocations stop in those libraries (which have no
// frame pointers), so they are matched by library.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libcrypto.so\n"
           "leak:libqoffscreen.so\n"
           "leak:libQt5Gui.so\n"
           "leak:libQt5Core.so\n";
}
#endif

namespace tessaro::test {

namespace fs = std::filesystem;
using tiles::TilesType;

namespace {

// QGIS runs once per process: ctest starts the program once per test, and each start brings
// QGIS up here under a home folder of its own.
class QgisEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        m_home = std::make_unique<TempDir>();
        m_guards.emplace_back("HOME", m_home->Path().string());
        for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
            m_guards.emplace_back(name, std::nullopt);
        }
        s_home = m_home->Path();
        m_session = std::make_unique<integration::QgisSession>();
        s_profile = m_session->ProfileFolder();
    }

    void TearDown() override {
        m_session.reset();
        // Whatever QGIS wrote, also while shutting down, had to go into the session's profile.
        EXPECT_TRUE(fs::is_empty(s_home)) << "QGIS wrote into the home folder " << s_home;
        EXPECT_FALSE(fs::exists(s_profile)) << "the private profile outlived the session";
        m_guards.clear();
        m_home.reset();
    }

    static inline fs::path s_home;
    static inline fs::path s_profile;

private:
    std::unique_ptr<TempDir> m_home;
    std::list<EnvGuard> m_guards;
    std::unique_ptr<integration::QgisSession> m_session;
};

[[maybe_unused]] ::testing::Environment *const kQgis =
    ::testing::AddGlobalTestEnvironment(new QgisEnvironment);

} // namespace

const fs::path &FakeHome() {
    return QgisEnvironment::s_home;
}

const fs::path &SessionProfile() {
    return QgisEnvironment::s_profile;
}

tiles::TileRequest SmallRequest(TilesType type, int level) {
    const int tilesAcross = tiles::GridOf(type) == tiles::GridFamily::Google ? level - 1 : level;
    const double width = 1.2 * 360 / std::ldexp(1.0, tilesAcross);
    return {type, level, 55.70, std::min(55.70 + 0.7 * width, 85.0), 37.50, 37.50 + width};
}

std::vector<fs::path> WriteTiles(const fs::path &levelFolder, TilesType type,
                                 const tiles::TileList &list, int level) {
    std::vector<fs::path> images;
    list.ForEach([&](const tiles::TileRecord &record) {
        images.push_back(WriteTile(levelFolder, type, record, level));
    });
    auto cursor = list.Begin();
    RecordingUi ui;
    const auto summary = download::SetRasterSpatRef(
        levelFolder,
        tiles::TileSequence(list.Size(), [&](tiles::TileRecord &out) { return cursor.Next(out); }),
        type, level, ui);
    EXPECT_EQ(summary.assigned, list.Size());
    EXPECT_TRUE(ui.messages.empty());
    return images;
}

settings::Settings SettingsFor(TilesType type) {
    settings::Settings s = settings::Settings::FirstOpening();
    s.source = tiles::IsGoogle(type)   ? tiles::Source::Goo
               : tiles::IsScanex(type) ? tiles::Source::Scan
               : tiles::IsYandex(type) ? tiles::Source::Yand
                                       : tiles::Source::Shade;
    return s;
}

Extent WorldFileExtent(const fs::path &worldFile) {
    std::ifstream in(worldFile);
    double resX = 0, rotY = 0, rotX = 0, resY = 0, x = 0, y = 0;
    in >> resX >> rotY >> rotX >> resY >> x >> y;
    EXPECT_TRUE(in) << worldFile;
    // The world file gives the centre of the upper-left pixel.
    const double west = x - resX / 2;
    const double north = y - resY / 2;
    return {west, north + 256 * resY, west + 256 * resX, north};
}

void ExpectExtent(const QgsRectangle &actual, const Extent &expected, double tolerance) {
    EXPECT_NEAR(actual.xMinimum(), expected.xMin, tolerance);
    EXPECT_NEAR(actual.yMinimum(), expected.yMin, tolerance);
    EXPECT_NEAR(actual.xMaximum(), expected.xMax, tolerance);
    EXPECT_NEAR(actual.yMaximum(), expected.yMax, tolerance);
}

std::vector<std::string> ChildNames(const QgsLayerTreeGroup &group) {
    std::vector<std::string> names;
    for (const QgsLayerTreeNode *child : group.children()) {
        names.push_back(child->name().toStdString() +
                        (child->nodeType() == QgsLayerTreeNode::NodeGroup ? "/" : ""));
    }
    return names;
}

QgsLayerTreeGroup *TopGroup(QgsProject &project, const std::string &name) {
    for (QgsLayerTreeNode *child : project.layerTreeRoot()->children()) {
        if (QgsLayerTree::isGroup(child) && child->name() == QString::fromStdString(name)) {
            return QgsLayerTree::toGroup(child);
        }
    }
    return nullptr;
}

} // namespace tessaro::test
