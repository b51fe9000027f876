#include "integration/layer_names.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace tessaro::integration {
namespace {

using settings::Key;
using tiles::TilesType;

TEST(LayerNames, EveryTypeWithLayersHasItsRootNameAndExtensions) {
    settings::Settings s = settings::Settings::FirstOpening();
    // Distinct names, so that a type reading another profile's box shows.
    for (const Key key : {Key::SatLayerName0, Key::MapLayerName0, Key::LandLayerName0,
                          Key::SatLayerName1, Key::MapLayerName1, Key::SatLayerName2,
                          Key::MapLayerName2, Key::SatLayerName3, Key::MapLayerName3}) {
        s.Text(key) = std::string(settings::InfoOf(key).savedName);
    }
    const std::vector<std::tuple<TilesType, const char *, const char *, const char *>> table = {
        {TilesType::GoogleSat, "txtSatLayerName_0", "jpg", "jgw"},
        {TilesType::GoogleMap, "txtMapLayerName_0", "png", "pgw"},
        {TilesType::GoogleLand, "txtLandLayerName_0", "jpg", "jgw"},
        {TilesType::ScanSat, "txtSatLayerName_1", "jpg", "jgw"},
        {TilesType::ScanMap, "txtMapLayerName_1", "jpg", "jgw"},
        {TilesType::Shade, "txtSatLayerName_2", "jpg", "jgw"},
        {TilesType::YandSat, "txtSatLayerName_3", "jpg", "jgw"},
        {TilesType::YandMap, "txtMapLayerName_3", "png", "pgw"},
        {TilesType::Invalid, "", "", ""},
    };
    for (const auto &[type, root, image, world] : table) {
        SCOPED_TRACE(static_cast<int>(type));
        EXPECT_EQ(GetRootName(type, s), root);
        EXPECT_EQ(GetFileExt(type), image);
        EXPECT_EQ(GetWorldFileExt(type), world);
    }
}

} // namespace
} // namespace tessaro::integration
