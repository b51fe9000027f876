// The mosaic dialog's list texts and codes and the output format table.
#include "common/error.h"
#include "mosaic/mosaic_codes.h"
#include "mosaic/output_raster.h"
#include "mosaic/raster_format.h"

#include <gtest/gtest.h>

using namespace tessaro;
using namespace tessaro::mosaic;

namespace {

template <std::size_t N, class Parse>
void ExpectCodes(const std::array<std::string_view, N> &texts, Parse parse,
                 const std::array<int, N> &codes) {
    for (std::size_t i = 0; i < N; ++i) {
        const auto value = parse(texts[i]);
        ASSERT_TRUE(value) << texts[i];
        EXPECT_EQ(static_cast<int>(*value), codes[i]) << texts[i];
        EXPECT_EQ(TextOf(*value), texts[i]);
    }
}

} // namespace

// Every list text parses to the value numbered by the host's code table and back; texts
// compare exactly, and anything else is refused rather than taken for code 0.
TEST(MosaicCodes, ListTextsParseToTheirCodes) {
    ExpectCodes(kMosaicOperatorTexts, ParseMosaicOperator, {1, 2, 3, 4, 5, 6});
    ExpectCodes(kColormapModeTexts, ParseColormapMode, {3, 0, 1, 2}); // MM_REJECT shown first
    ExpectCodes(kResamplingTexts, ParseResampling, {0, 1, 2});
    ExpectCodes(kPixelTypeTexts, ParsePixelType, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_FALSE(ParseMosaicOperator("") || ParseMosaicOperator("mt_first") ||
                 ParseMosaicOperator("MT_FIRST ") || ParseMosaicOperator("MT_NONE") ||
                 ParseColormapMode("MM_ANY") || ParseResampling("Nearest") ||
                 ParsePixelType("8 bit"));
}

// The format comes from the extension (from the name's first dot, any letter case), or from
// a database in the path; a database file alone holds a table of its own name.
TEST(RasterFormat, ExtensionsAndLocationsGiveTheFormat) {
    const std::tuple<const char *, RasterFormat, const char *, const char *, const char *> cases[] =
        {
            {"/data/out/m.tif", RasterFormat::GeoTiff, "/data/out", "m.tif", "/data/out/m.tif"},
            {"m.TIF", RasterFormat::GeoTiff, ".", "m.TIF", "./m.TIF"},
            {"/d/m.Img", RasterFormat::Imagine, "/d", "m.Img", "/d/m.Img"},
            {"/d/m.v2.tif", RasterFormat::Invalid, "/d", "m.v2.tif", "/d/m.v2.tif"},
            {"/d/m.tiff", RasterFormat::Invalid, "/d", "m.tiff", "/d/m.tiff"},
            {"/d/m.png", RasterFormat::Invalid, "/d", "m.png", "/d/m.png"},
            {"/d/m.VRT", RasterFormat::Vrt, "/d", "m.VRT", "/d/m.VRT"},
            {"/d/mosaic", RasterFormat::Grid, "/d", "mosaic", "/d/mosaic"},
            {"/d/maps.GPKG/moscow.tif", RasterFormat::GeoPackage, "/d/maps.GPKG", "moscow.tif",
             "GPKG:/d/maps.GPKG:moscow.tif"},
            {"/d/moscow.gpkg", RasterFormat::GeoPackage, "/d/moscow.gpkg", "moscow",
             "GPKG:/d/moscow.gpkg:moscow"},
            {"/d/index.gdb/m", RasterFormat::FileGeodatabase, "/d/index.gdb", "m", "/d/index.gdb"},
        };
    for (const auto &[path, format, location, name, openName] : cases) {
        const MosaicTarget target = ResolveMosaicTarget(path);
        EXPECT_EQ(
            std::tuple(target.format, target.location.string(), target.name, target.OpenName()),
            std::tuple(format, std::string(location), std::string(name), std::string(openName)))
            << path;
    }
}

// A classic TIFF addresses 4 GB: BigTIFF from 3.5 GB of pixels, mask and overviews, whatever
// they compress to; overviews halve down to 256 pixels.
TEST(OutputRaster, BigTiffAndOverviewsBySize) {
    const std::tuple<int, int, int, PixelType, bool> cases[] = {
        {26'000, 27'000, 3, PixelType::U8, false}, // 702 M pixels × 4 bytes × 4/3 = 3.49 GiB
        {27'000, 27'000, 3, PixelType::U8, true},
        {19'000, 19'000, 3, PixelType::U16, false}, // 7 bytes a pixel with the mask: 3.14 GiB
        {21'000, 21'000, 3, PixelType::U16, true},
        {80'896, 80'896, 3, PixelType::U8, true},
    };
    for (const auto &[width, height, bands, type, big] : cases) {
        detail::OutputLayout layout;
        layout.grid.width = width;
        layout.grid.height = height;
        layout.bands = bands;
        layout.pixelType = type;
        layout.mask = true;
        EXPECT_EQ(detail::NeedsBigTiff(layout), big) << width << " x " << height;
    }
    EXPECT_EQ(detail::OverviewFactors(256, 200), std::vector<int>{});
    EXPECT_EQ(detail::OverviewFactors(768, 300), (std::vector<int>{2, 4}));
    EXPECT_EQ(detail::OverviewFactors(257, 10), (std::vector<int>{2}));
}
