// The mosaic dialog's list texts and codes, the output format table and the load command's
// mosaic options.
#include "cli/mosaic_options.h"
#include "common/error.h"
#include "mosaic/mosaic_codes.h"
#include "mosaic/raster_format.h"

#include <gtest/gtest.h>

using namespace tessaro;
using namespace tessaro::mosaic;

// Every list text parses to the value numbered by the host's code table and back; texts
// compare exactly, and anything else is refused rather than taken for code 0.
TEST(MosaicCodes, ListTextsParseToTheirCodes) {
    const int operatorCodes[] = {1, 2, 3, 4, 5, 6};
    for (std::size_t i = 0; i < kMosaicOperatorTexts.size(); ++i) {
        const auto value = ParseMosaicOperator(kMosaicOperatorTexts[i]);
        ASSERT_TRUE(value) << kMosaicOperatorTexts[i];
        EXPECT_EQ(static_cast<int>(*value), operatorCodes[i]);
        EXPECT_EQ(TextOf(*value), kMosaicOperatorTexts[i]);
    }
    // The colour-map list shows MM_REJECT first, but its code is 3.
    const int modeCodes[] = {3, 0, 1, 2};
    for (std::size_t i = 0; i < kColormapModeTexts.size(); ++i) {
        const auto value = ParseColormapMode(kColormapModeTexts[i]);
        ASSERT_TRUE(value);
        EXPECT_EQ(static_cast<int>(*value), modeCodes[i]);
        EXPECT_EQ(TextOf(*value), kColormapModeTexts[i]);
    }
    for (std::size_t i = 0; i < kResamplingTexts.size(); ++i) {
        const auto value = ParseResampling(kResamplingTexts[i]);
        ASSERT_TRUE(value);
        EXPECT_EQ(static_cast<std::size_t>(*value), i);
        EXPECT_EQ(TextOf(*value), kResamplingTexts[i]);
    }
    for (std::size_t i = 0; i < kPixelTypeTexts.size(); ++i) {
        const auto value = ParsePixelType(kPixelTypeTexts[i]);
        ASSERT_TRUE(value);
        EXPECT_EQ(static_cast<std::size_t>(*value), i);
        EXPECT_EQ(TextOf(*value), kPixelTypeTexts[i]);
    }
    for (const char *wrong : {"", "mt_first", "MT_FIRST ", "MT_NONE"}) {
        EXPECT_FALSE(ParseMosaicOperator(wrong)) << wrong;
    }
    EXPECT_FALSE(ParseColormapMode("MM_ANY"));
    EXPECT_FALSE(ParseResampling("Nearest"));
    EXPECT_FALSE(ParsePixelType("8 bit"));

    EXPECT_EQ(MaxTileValue(PixelType::U1), 1);
    EXPECT_EQ(MaxTileValue(PixelType::U4), 15);
    EXPECT_EQ(MaxTileValue(PixelType::S8), 127);
    EXPECT_EQ(MaxTileValue(PixelType::U16), 255);
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

namespace {

cli::ParsedOptions Parse(const std::vector<std::string> &args) {
    std::vector<cli::OptionSpec> specs(cli::kMosaicOptions.begin(), cli::kMosaicOptions.end());
    return cli::ParseOptions(args, specs);
}

} // namespace

TEST(MosaicOptions, ReadFromTheCommandLine) {
    EXPECT_FALSE(cli::ReadMosaicOptions(Parse({})));

    const auto plain = cli::ReadMosaicOptions(Parse({"--mosaic", "out/m.tif"}));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->output, "out/m.tif");
    EXPECT_FALSE(plain->combine);
    EXPECT_FALSE(plain->mosaicOperator);
    EXPECT_FALSE(plain->colormapMode);
    EXPECT_EQ(plain->resampling, Resampling::NearestNeighbor);
    EXPECT_FALSE(plain->pixelType);

    const auto full = cli::ReadMosaicOptions(
        Parse({"--mosaic=m.img", "--combine", "--mosaic-type", "MT_MIN", "--colormap-mode",
               "MM_MATCH", "--resample", "CubicConvolution", "--datatype", "unsigned 16 bit"}));
    ASSERT_TRUE(full);
    EXPECT_TRUE(full->combine);
    EXPECT_EQ(full->mosaicOperator, MosaicOperator::Min);
    EXPECT_EQ(full->colormapMode, ColormapMode::Match);
    EXPECT_EQ(full->resampling, Resampling::CubicConvolution);
    EXPECT_EQ(full->pixelType, PixelType::U16);

    try {
        (void)cli::ReadMosaicOptions(Parse({"--mosaic", "m.tif", "--resample", "Bilinear"}));
        ADD_FAILURE() << "accepted";
    } catch (const ArgumentError &e) {
        EXPECT_STREQ(e.what(), "--resample takes \"NearestNeighbor\", \"BilinearInterpolation\" or "
                               "\"CubicConvolution\", not \"Bilinear\".");
    }
    try {
        (void)cli::ReadMosaicOptions(Parse({"--combine"}));
        ADD_FAILURE() << "accepted";
    } catch (const ArgumentError &e) {
        EXPECT_STREQ(e.what(), "--combine needs --mosaic OUT.");
    }
    EXPECT_THROW((void)cli::ReadMosaicOptions(Parse({"--mosaic", ""})), ArgumentError);
    EXPECT_THROW((void)cli::ReadMosaicOptions(Parse({"--mosaic", "m.tif", "--datatype", "8 bit"})),
                 ArgumentError);
}
