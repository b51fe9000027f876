// The mosaic dialog's list texts and codes and the output format table.
#include "common/error.h"
#include "mosaic/mosaic_codes.h"
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
    for (const char *wrong : {"", "mt_first", "MT_FIRST ", "MT_NONE"}) {
        EXPECT_FALSE(ParseMosaicOperator(wrong)) << wrong;
    }
    EXPECT_FALSE(ParseColormapMode("MM_ANY"));
    EXPECT_FALSE(ParseResampling("Nearest"));
    EXPECT_FALSE(ParsePixelType("8 bit"));
}

TEST(RasterFormat, ExtensionsAndLocationsGiveTheFormat) {
    EXPECT_EQ(FormatOfName("m.tif"), RasterFormat::GeoTiff);
    EXPECT_EQ(FormatOfName("m.TIF"), RasterFormat::GeoTiff);
    EXPECT_EQ(FormatOfName("m.Img"), RasterFormat::Imagine);
    EXPECT_EQ(FormatOfName("mosaic"), RasterFormat::Grid);
    EXPECT_EQ(FormatOfName("m.png"), RasterFormat::Invalid);
    EXPECT_EQ(FormatOfName("m.tiff"), RasterFormat::Invalid);
    EXPECT_EQ(FormatOfName("m.v2.tif"), RasterFormat::Invalid)
        << "the extension starts at the first dot";

    auto folder = ResolveMosaicTarget("/data/out/m.tif");
    EXPECT_EQ(folder.format, RasterFormat::GeoTiff);
    EXPECT_EQ(folder.location, "/data/out");
    EXPECT_EQ(folder.name, "m.tif");
    EXPECT_EQ(folder.File(), "/data/out/m.tif");
    EXPECT_EQ(folder.OpenName(), "/data/out/m.tif");

    auto bare = ResolveMosaicTarget("m.img");
    EXPECT_EQ(bare.format, RasterFormat::Imagine);
    EXPECT_EQ(bare.location, ".");

    auto table = ResolveMosaicTarget("/data/maps.GPKG/moscow.tif");
    EXPECT_EQ(table.format, RasterFormat::GeoPackage);
    EXPECT_EQ(table.location, "/data/maps.GPKG");
    EXPECT_EQ(table.name, "moscow.tif");
    EXPECT_EQ(table.File(), "/data/maps.GPKG");
    EXPECT_EQ(table.OpenName(), "GPKG:/data/maps.GPKG:moscow.tif");

    auto file = ResolveMosaicTarget("/data/moscow.gpkg");
    EXPECT_EQ(file.format, RasterFormat::GeoPackage);
    EXPECT_EQ(file.name, "moscow");
    EXPECT_EQ(file.OpenName(), "GPKG:/data/moscow.gpkg:moscow");

    EXPECT_EQ(ResolveMosaicTarget("/data/index.gdb/m").format, RasterFormat::FileGeodatabase);
    EXPECT_EQ(ResolveMosaicTarget("/data/m.png").format, RasterFormat::Invalid);
    EXPECT_EQ(ResolveMosaicTarget("/data/m").format, RasterFormat::Grid);
    EXPECT_EQ(DriverOf(RasterFormat::Grid), "");
    EXPECT_EQ(DriverOf(RasterFormat::Imagine), "HFA");
}
