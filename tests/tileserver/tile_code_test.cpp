#include "tileserver/tile_code.h"

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

RgbView View(const std::vector<std::uint8_t> &pixels, int height = kTileSize) {
    return {pixels.data(), kTileSize, height, 0};
}

// Flips a bit of the blue channel in every pixel of a block.
void DamageBlock(std::vector<std::uint8_t> &pixels, int column, int row) {
    for (int y = row * kBlockSize; y < (row + 1) * kBlockSize; ++y) {
        for (int x = column * kBlockSize; x < (column + 1) * kBlockSize; ++x) {
            pixels[static_cast<std::size_t>(y) * kRowBytes + static_cast<std::size_t>(x) * 3 + 2] ^=
                0x10;
        }
    }
}

// The payload layout worked out by hand: x = 0x123456 and y = -2 as 24-bit nibbles, low first
// and interleaved; z = 21 in nibble 12 and bit 0 of nibble 13 beside family 3 (ScanEx
// satellite); CRC-8 (polynomial 7) of the bytes E6 F5 F4 F3 F2 F1 75 is 0x58.
TEST(TileCode, PayloadAndBlockColoursFollowTheDocumentedLayout) {
    const TileCode code{TilesType::ScanSat, 0x123456, -2, 21};
    const std::array<std::uint8_t, 16> nibbles = {6, 0xE, 5, 0xF, 4, 0xF, 3, 0xF,
                                                  2, 0xF, 1, 0xF, 5, 7,   8, 5};
    EXPECT_EQ(PayloadNibbles(code), nibbles);
    // Block (1, 2) carries nibble 1 + 4·2 = 9; every channel value v is sent as 16·v + 8.
    EXPECT_EQ(BlockColour(code, 1, 2), (Rgb{24, 40, 248}));
    EXPECT_EQ(DecodeBlock(24, 40, 248), (BlockCode{1, 2, 9, 0xF}));
    // Numbers beyond 24 bits come back modulo 2^24.
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
    const auto pixels = RenderTile({TilesType::YandMap, 1234, 4321, 14});
    auto mirrored = pixels;
    for (std::size_t row = 0; row < kTileSize; ++row) {
        auto *begin = mirrored.data() + row * kRowBytes;
        std::reverse(begin, begin + kRowBytes); // also swaps red and blue
    }
    // One block whose blue channel disagrees with the other 15 copies of its nibble.
    auto damaged = pixels;
    DamageBlock(damaged, 9, 5);
    // Every copy of nibble 14 changed alike: the positions are right, the check byte is not.
    auto forged = pixels;
    for (int block = 0; block < kBlocksPerSide * kBlocksPerSide; ++block) {
        const int column = block % kBlocksPerSide, row = block / kBlocksPerSide;
        if (column % 4 + 4 * (row % 4) == 14) {
            DamageBlock(forged, column, row);
        }
    }
    const std::vector<std::uint8_t> grey(kRowBytes * kTileSize, 128);
    for (const auto &image : {mirrored, damaged, forged, grey}) {
        EXPECT_EQ(DecodeTileImage(View(image)), std::nullopt);
    }
    EXPECT_EQ(DecodeTileImage(View(pixels, kTileSize - 1)), std::nullopt);
    EXPECT_EQ(DecodeTileImage(View(pixels), 16, 0), std::nullopt); // the window leaves the image
    EXPECT_EQ(DecodeTileImage(RgbView{}), std::nullopt);
}

// Map tiles are 8-bit palette PNGs with the exact pixels; the others RGB JPEGs in which every
// pixel still names its block and nibble. Codes at the edges of what the payload holds.
TEST(TileImage, EncodedTilesDecodeBackToTheirTile) {
    std::vector<TileCode> codes = {
        {TilesType::GoogleSat, 0, 0, 17},
        {TilesType::GoogleMap, 2'097'151, 2'097'151, 0}, // the last Google tile at level 22
        {TilesType::GoogleLand, 5, 3, 15},
        {TilesType::ScanMap, -2'097'152, -1, 22},
        {TilesType::YandSat, 4'194'303, 0, 22},
        {TilesType::YandMap, 8'388'607, -8'388'608, 31}, // the ends of 24-bit two's complement
        {TilesType::Shade, 17, 9, 5},
    };
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::int64_t> number(-(1 << 23), (1 << 23) - 1);
    for (int i = 0; i < 8; ++i) {
        codes.push_back({TilesType::ScanSat, number(random), number(random), i * 4});
    }
    for (const auto &code : codes) {
        SCOPED_TRACE(testing::Message() << code.x << "," << code.y << "," << code.z);
        const DecodedImage image = DecodeImage(EncodeTile(code));
        ASSERT_EQ(image.width, kTileSize);
        ASSERT_EQ(image.height, kTileSize);
        EXPECT_EQ(DecodeTileImage(View(image.rgb)), code);
        const bool map = code.type == TilesType::GoogleMap || code.type == TilesType::YandMap;
        EXPECT_EQ(image.format, map ? DecodedImage::Format::Png : DecodedImage::Format::Jpeg);
        EXPECT_EQ(image.bands, map ? 1 : 3);
        if (map) {
            EXPECT_EQ(image.pngColourType, 3);
            EXPECT_EQ(image.pngBitDepth, 8);
            EXPECT_EQ(image.rgb, RenderTile(code));
            continue;
        }
        // Any pixel away from a block's edge, where JPEG may blend neighbours.
        for (int y = 1; y < kTileSize; y += 3) {
            for (int x = 2; x < kTileSize; x += 5) {
                if (x % 16 == 0 || x % 16 == 15 || y % 16 == 0 || y % 16 == 15) {
                    continue;
                }
                const auto *p = image.rgb.data() + static_cast<std::size_t>(y) * kRowBytes +
                                static_cast<std::size_t>(x) * 3;
                ASSERT_TRUE(BlockAgrees(DecodeBlock(p[0], p[1], p[2]), code, x / 16, y / 16))
                    << "pixel " << x << "," << y;
            }
        }
    }
}

} // namespace
