#include "tileserver/tile_code.h"

#include "support/image_decode.h"
#include "tileserver/tile_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using tessaro::tiles::TilesType;
using namespace tessaro::tileserver;

namespace {

constexpr std::size_t kRowBytes = kTileSize * 3;

RgbView View(const std::vector<std::uint8_t> &pixels, int height = kTileSize) {
    return {pixels.data(), kTileSize, height, 0};
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
    EXPECT_TRUE(BlockAgrees(DecodeBlock(31, 33, 255), code, 1, 2)) << "7 levels either way agree";
    EXPECT_FALSE(BlockAgrees(DecodeBlock(24, 40, 239), code, 1, 2)) << "one more does not";
    // Numbers beyond 24 bits come back modulo 2^24.
    EXPECT_EQ(
        DecodeTileImage(View(RenderTile({TilesType::GoogleSat, (1 << 24) + 5, -(1 << 24) - 7, 3}))),
        (TileCode{TilesType::GoogleSat, 5, -7, 3}));
}

// Map tiles are palette PNGs with the exact pixels, the others JPEGs that still decode to their
// tile; codes at the edges of what the payload holds, and random ones.
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
        const auto image = tessaro::test::DecodeImage(EncodeTile(code));
        ASSERT_EQ(image.width, kTileSize);
        EXPECT_EQ(DecodeTileImage({image.rgb.data(), image.width, image.height, 0}), code);
        const bool map = code.type == TilesType::GoogleMap || code.type == TilesType::YandMap;
        EXPECT_EQ(image.pngColourType, map ? 3 : -1) << code.x;
        if (map) {
            EXPECT_EQ(image.rgb, RenderTile(code));
        }
    }
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

// What is not that tile, whole and in place, decodes to nothing: a mirrored image, one block
// that disagrees with the other 15 copies of its nibble, every copy of nibble 14 changed alike
// (the positions are right, the check byte is not), a grey image, a cut or shifted one.
TEST(TileCode, ImagesThatAreNotThatTileDecodeToNothing) {
    const auto pixels = RenderTile({TilesType::YandMap, 1234, 4321, 14});
    auto mirrored = pixels;
    for (std::size_t row = 0; row < kTileSize; ++row) {
        auto *begin = mirrored.data() + row * kRowBytes;
        std::reverse(begin, begin + kRowBytes); // also swaps red and blue
    }
    auto damaged = pixels;
    DamageBlock(damaged, 9, 5);
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
    EXPECT_EQ(DecodeTileImage(View(pixels), 16, 0), std::nullopt);
    EXPECT_EQ(DecodeTileImage(RgbView{}), std::nullopt);
}

} // namespace
