#pragma once

#include "tiles/tiles_type.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

/// @file
/// The pixels of a synthetic tile say which tile they belong to and where in it they lie.
///
/// A tile is 256 x 256 pixels cut into 16 x 16 blocks of 16 x 16 pixels. Every block is one
/// flat colour whose three channels each carry a 4-bit value v as the level 16·v + 8, so a
/// channel read anywhere in [16·v, 16·v + 15] still gives v: JPEG at quality 90 moves the
/// inside of such a block by 2 at most, far less than the margin of 7.
///
/// Block in column c (0 at the left) and row r (0 at the top):
/// - red carries c, green carries r;
/// - blue carries nibble k = (c mod 4) + 4·(r mod 4) of the tile's 64-bit payload, so every
///   4 x 4 group of blocks (64 x 64 pixels) holds the whole payload, 16 times per tile.
///
/// The payload, nibble 0 first:
/// | nibbles | content                                                                 |
/// |---------|-------------------------------------------------------------------------|
/// | 0, 2, 4, 6, 8, 10  | x, 24 bits two's complement, low nibble first (nibble 0 = x mod 16) |
/// | 1, 3, 5, 7, 9, 11  | y, the same (nibble 1 = y mod 16)                                    |
/// | 12                 | z, bits 0..3                                                         |
/// | 13                 | bit 0: z bit 4; bits 1..3: the tile family code (see FamilyCode)     |
/// | 14, 15             | check byte: CRC-8 (polynomial 0x07) of payload bytes 0..6            |
///
/// x, y and z are the numbers the tile's address gave: Google column and row with the zoom
/// parameter (18 − level, 0 from level 18 on), ScanEx signed column and row with the level,
/// Yandex x and y with the level, relief column and row with the level.
///
/// Reading back: DecodeBlock turns one pixel into its block's column, row and payload nibble;
/// pixels within one pixel of a block's edge may be blended by JPEG chroma up-sampling, so
/// read block centres (pixel 16·c + 8, 16·r + 8). DecodeTileImage reads a whole tile.
namespace tessaro::tileserver {

/// Tile side in pixels.
inline constexpr int kTileSize = 256;
/// Side of one flat-coloured block in pixels.
inline constexpr int kBlockSize = 16;
/// Blocks per tile side.
inline constexpr int kBlocksPerSide = kTileSize / kBlockSize;

/// What a tile's pixels encode.
struct TileCode {
    tiles::TilesType type = tiles::TilesType::Invalid;
    std::int64_t x = 0; ///< column as the address gave it; kept modulo 2^24 (two's complement)
    std::int64_t y = 0; ///< row as the address gave it; kept modulo 2^24 (two's complement)
    int z = 0;          ///< zoom or level as the address gave it, 0..31

    friend bool operator==(const TileCode &, const TileCode &) = default;
};

/// What one block's colour says.
struct BlockCode {
    int column = 0;      ///< block column in the tile, 0..15
    int row = 0;         ///< block row in the tile, 0..15
    int nibbleIndex = 0; ///< which payload nibble the blue channel carries, 0..15
    int nibble = 0;      ///< its value, 0..15

    friend bool operator==(const BlockCode &, const BlockCode &) = default;
};

/// An 8-bit RGB colour.
struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb &, const Rgb &) = default;
};

/// Interleaved 8-bit RGB pixels that the caller owns, top row first.
struct RgbView {
    const std::uint8_t *pixels = nullptr;
    int width = 0;
    int height = 0;
    std::size_t rowBytes = 0; ///< bytes from one row to the next; 0 means width·3
};

/// Returns the 3-bit code of a tile type in the payload: Google satellite 0, map 1,
/// landscape 2, ScanEx satellite 3, map 4, Yandex satellite 5, map 6, shaded relief 7.
/// @pre type != TilesType::Invalid
[[nodiscard]] int FamilyCode(tiles::TilesType type) noexcept;

/// Returns the 16 payload nibbles of a tile, nibble 0 first.
/// @pre code.type != TilesType::Invalid and 0 <= code.z < 32
[[nodiscard]] std::array<std::uint8_t, 16> PayloadNibbles(const TileCode &code) noexcept;

/// Returns the flat colour of block (column, row) of a tile.
/// @pre 0 <= column, row < 16 and the preconditions of PayloadNibbles
[[nodiscard]] Rgb BlockColour(const TileCode &code, int column, int row) noexcept;

/// Returns the 256 x 256 RGB pixels (top row first, 768 bytes a row) of a tile.
[[nodiscard]] std::vector<std::uint8_t> RenderTile(const TileCode &code);

/// Reads one pixel: the column, row and payload nibble of the block it lies in. Any colour
/// decodes to something; compare the result with the tile expected there (BlockAgrees).
[[nodiscard]] BlockCode DecodeBlock(std::uint8_t r, std::uint8_t g, std::uint8_t b) noexcept;

/// True when a decoded block is block (column, row) of the expected tile, with its nibble.
[[nodiscard]] bool BlockAgrees(const BlockCode &block, const TileCode &expected, int column,
                               int row) noexcept;

/// Reads the whole tile whose upper-left pixel is (left, top) in the image: the centre 8 x 8
/// pixels of every block are averaged and decoded. Returns the tile's code only when every
/// block names its own column and row, all 16 copies of every payload nibble agree and the
/// check byte matches; otherwise (a flipped, shifted, cut or foreign image) nothing.
/// x and y come back sign-extended from 24 bits.
/// Complexity: reads 64 pixels per block, 16 384 in all.
[[nodiscard]] std::optional<TileCode> DecodeTileImage(const RgbView &image, int left = 0,
                                                      int top = 0);

} // namespace tessaro::tileserver
