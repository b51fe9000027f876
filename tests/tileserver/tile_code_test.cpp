#include "tileserver/tile_code.h"

#include "common/error.h"
#include "support/image_decode.h"
#include "tileserver/tile_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using tessaro::test::DecodedImage;
using tessaro::test::DecodeImage;
using tessaro::tiles::TilesType;
using namespace tessaro::tileserver;

namespace {

constexpr std::size_t kRowBytes = kTileSize * 3;

RgbView View(const std::vector<std::uint8_t> &pixels, int width = kTileSize,
             int height = kTileSize) {
    return {pixels.data(), width, height, static_cast<std::size_t>(width) * 3};
}

// Index of channel c of pixel (x, y) in a tile's pixels.
std::size_t At(int x, int y, int c) {
    return static_cast<std::size_t>(y) * kRowBytes + static_cast<std::size_t>(x) * 3 +
           static_cast<std::size_t>(c);
}

// Flips a bit of the blue channel in every pixel of a block.
void DamageBlock(std::vector<std::uint8_t> &pixels, int column, int row) {
    for (int y = row * kBlockSize; y < (row + 1) * kBlockSize; ++y) {
        for (int x = column * kBlockSize; x < (column + 1) * kBlockSize; ++x) {
            pixels[At(x, y, 2)] ^= 0x10;
        }
    }
}

const std::uint8_t *Pixel(const std::vector<std::uint8_t> &pixels, int x, int y) {
    return pixels.data() + At(x, y, 0);
}

// Codes at the edges of what the payload holds, one of every family.
const TileCode kCodes[] = {
    {TilesType::GoogleSat, 0, 0, 17},
    {TilesType::GoogleMap, 2'097'151, 2'097'151, 0}, // the last Google tile at level 22
    {TilesType::GoogleLand, 5, 3, 15},
    {TilesType::ScanSat, -3, 5, 10},
    {TilesType::ScanMap, -2'097'152, -1, 22},
    {TilesType::YandSat, 4'194'303, 0, 22},          // the last Yandex column at level 22
    {TilesType::YandMap, 8'388'607, -8'388'608, 31}, // the ends of 24-bit two's complement
    {TilesType::Shade, 17, 9, 5},
};

// kCodes, edge values of every family, round-trip in TileImage.EncodedTilesDecodeBackToTheirTile.
TEST(TileCode, NumbersBeyond24BitsComeBackModulo2To24) {
    EXPECT_EQ(
        DecodeTileImage(View(RenderTile({TilesType::GoogleSat, (1 << 24) + 5, -(1 << 24) - 7, 3}))),
        (TileCode{TilesType::GoogleSat, 5, -7, 3}));
}

TEST(TileCode, BlockColourToleratesSevenLevelsEitherWay) {
    const TileCode code{TilesType::GoogleSat, 9, 4, 12};
    const Rgb exact = BlockColour(code, 6, 11);
    const auto shift = [](std::uint8_t v, int by) { return static_cast<std::uint8_t>(v + by); };
    for (int by = -7; by <= 7; ++by) {
        const auto block = DecodeBlock(shift(exact.r, by), shift(exact.g, -by), shift(exact.b, by));
        EXPECT_TRUE(BlockAgrees(block, code, 6, 11)) << by;
    }
    // Eight levels off crosses into the neighbouring value.
    EXPECT_EQ(DecodeBlock(shift(exact.r, 8), exact.g, exact.b).column, 7);
    EXPECT_EQ(DecodeBlock(exact.r, shift(exact.g, -9), exact.b).row, 10);
    EXPECT_FALSE(BlockAgrees(DecodeBlock(exact.r, exact.g, shift(exact.b, 8)), code, 6, 11));
    EXPECT_FALSE(BlockAgrees(DecodeBlock(exact.r, exact.g, exact.b), code, 6, 10));
    EXPECT_FALSE(BlockAgrees(DecodeBlock(exact.r, exact.g, exact.b),
                             {TilesType::GoogleSat, 10, 4, 12}, 6, 11)); // x differs in nibble 0
}

TEST(TileCode, ImagesThatAreNotThatTileDecodeToNothing) {
    const TileCode code{TilesType::YandMap, 1234, 4321, 14};
    const auto pixels = RenderTile(code);

    auto mirrored = pixels;
    for (int y = 0; y < kTileSize; ++y) {
        for (int x = 0; x < kTileSize / 2; ++x) {
            for (int c = 0; c < 3; ++c) {
                std::swap(mirrored[At(x, y, c)], mirrored[At(kTileSize - 1 - x, y, c)]);
            }
        }
    }
    EXPECT_FALSE(DecodeTileImage(View(mirrored)).has_value());

    // One block whose blue channel disagrees with the other 15 copies of its nibble.
    auto damaged = pixels;
    DamageBlock(damaged, 9, 5);
    EXPECT_FALSE(DecodeTileImage(View(damaged)).has_value());

    // A foreign image whose blocks name the right positions but whose check byte is wrong:
    // every copy of nibble 14 changed consistently.
    auto forged = pixels;
    for (int row = 0; row < kBlocksPerSide; ++row) {
        for (int column = 0; column < kBlocksPerSide; ++column) {
            if (column % 4 + 4 * (row % 4) == 14) {
                DamageBlock(forged, column, row);
            }
        }
    }
    EXPECT_FALSE(DecodeTileImage(View(forged)).has_value());

    const std::vector<std::uint8_t> grey(kRowBytes * kTileSize, 128);
    EXPECT_FALSE(DecodeTileImage(View(grey)).has_value());
    EXPECT_FALSE(DecodeTileImage(View(pixels, kTileSize, kTileSize - 1)).has_value());
    EXPECT_FALSE(DecodeTileImage(View(pixels), 16, 0).has_value()); // window leaves the image
    EXPECT_FALSE(DecodeTileImage(RgbView{}).has_value());
}

TEST(TileCode, TilesAreFoundInsideALargerImage) {
    // Three tiles side by side and a 16-pixel margin, as a mosaic would hold them.
    constexpr int kWidth = 3 * kTileSize + 16;
    constexpr std::size_t kStride = kWidth * 3;
    std::vector<std::uint8_t> mosaic(kStride * (kTileSize + 16), 0);
    const TileCode codes[] = {{TilesType::GoogleSat, 40, 7, 10},
                              {TilesType::GoogleSat, 41, 7, 10},
                              {TilesType::GoogleSat, 42, 7, 10}};
    for (int i = 0; i < 3; ++i) {
        const auto tile = RenderTile(codes[i]);
        for (int y = 0; y < kTileSize; ++y) {
            std::copy_n(tile.data() + static_cast<std::size_t>(y) * kRowBytes, kRowBytes,
                        mosaic.data() + static_cast<std::size_t>(y + 16) * kStride +
                            static_cast<std::size_t>(16 + i * kTileSize) * 3);
        }
    }
    const RgbView view{mosaic.data(), kWidth, kTileSize + 16, kStride};
    for (int i = 0; i < 3; ++i) {
        const auto decoded = DecodeTileImage(view, 16 + i * kTileSize, 16);
        ASSERT_TRUE(decoded.has_value()) << i;
        EXPECT_EQ(*decoded, codes[i]);
    }
    EXPECT_FALSE(DecodeTileImage(view, 0, 0).has_value());
    EXPECT_FALSE(DecodeTileImage(view, 16 + 8, 16).has_value());
}

// Map tiles are palette PNGs with the exact pixels; the others baseline RGB JPEGs in which any
// pixel away from a block's edge still names its block and nibble.
TEST(TileImage, EncodedTilesDecodeBackToTheirTile) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::int64_t> number(-(1 << 23), (1 << 23) - 1);
    std::vector<TileCode> codes(std::begin(kCodes), std::end(kCodes));
    for (int i = 0; i < 8; ++i) {
        codes.push_back({TilesType::ScanSat, number(random), number(random), i * 4});
    }
    for (const auto &code : codes) {
        SCOPED_TRACE(testing::Message() << code.x << "," << code.y << "," << code.z);
        const DecodedImage image = DecodeImage(EncodeTile(code));
        ASSERT_EQ(image.width, kTileSize);
        ASSERT_EQ(image.height, kTileSize);
        EXPECT_EQ(DecodeTileImage(View(image.rgb)), code);
        if (code.type == TilesType::GoogleMap || code.type == TilesType::YandMap) {
            ASSERT_EQ(image.format, DecodedImage::Format::Png);
            EXPECT_EQ(image.pngColourType, 3);
            EXPECT_EQ(image.pngBitDepth, 8);
            EXPECT_EQ(image.rgb, RenderTile(code));
            continue;
        }
        ASSERT_EQ(image.format, DecodedImage::Format::Jpeg);
        EXPECT_FALSE(image.jpegProgressive);
        EXPECT_EQ(image.jpegComponents, 3);
        for (int y = 1; y < kTileSize; y += 3) {
            for (int x = 2; x < kTileSize; x += 5) {
                if (x % 16 == 0 || x % 16 == 15 || y % 16 == 0 || y % 16 == 15) {
                    continue;
                }
                const auto *p = Pixel(image.rgb, x, y);
                ASSERT_TRUE(BlockAgrees(DecodeBlock(p[0], p[1], p[2]), code, x / 16, y / 16))
                    << "pixel " << x << "," << y;
            }
        }
    }
}

TEST(TileImage, PaletteRefusesImagesWithMoreThan256Colours) {
    std::vector<std::uint8_t> pixels(257 * 3);
    for (std::size_t i = 0; i < 257; ++i) {
        pixels[3 * i] = static_cast<std::uint8_t>(i);
        pixels[3 * i + 1] = static_cast<std::uint8_t>(i / 256);
    }
    EXPECT_THROW((void)EncodePalettePng(pixels.data(), 257, 1), tessaro::Error);
    EXPECT_NO_THROW((void)EncodePalettePng(pixels.data(), 256, 1));
}

} // namespace
