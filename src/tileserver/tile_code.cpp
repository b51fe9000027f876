#include "tileserver/tile_code.h"

#include <algorithm>
#include <cassert>

namespace tessaro::tileserver {

namespace {

using tiles::TilesType;

constexpr std::array<TilesType, 8> kFamilies = {
    TilesType::GoogleSat, TilesType::GoogleMap, TilesType::GoogleLand, TilesType::ScanSat,
    TilesType::ScanMap,   TilesType::YandSat,   TilesType::YandMap,    TilesType::Shade,
};

constexpr std::uint32_t kMask24 = 0xFFFFFF;

std::uint8_t Level(int value) {
    return static_cast<std::uint8_t>(value * 16 + 8);
}

int Value(std::uint8_t level) {
    return level / 16;
}

std::uint8_t Crc8(const std::uint8_t *bytes, std::size_t count) {
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc = static_cast<std::uint8_t>(crc ^ bytes[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint8_t>((crc & 0x80) != 0 ? (crc << 1) ^ 0x07 : crc << 1);
        }
    }
    return crc;
}

// Payload bytes 0..6 as the nibble table lays them out: byte i holds nibbles 2i and 2i + 1.
std::array<std::uint8_t, 8> PayloadBytes(const std::array<std::uint8_t, 16> &nibbles) {
    std::array<std::uint8_t, 8> bytes{};
    for (std::size_t i = 0; i < 8; ++i) {
        bytes[i] = static_cast<std::uint8_t>(nibbles[2 * i] | (nibbles[2 * i + 1] << 4));
    }
    return bytes;
}

std::int64_t SignExtend24(std::uint32_t value) {
    return (value & 0x800000) != 0 ? static_cast<std::int64_t>(value) - (1 << 24)
                                   : static_cast<std::int64_t>(value);
}

int NibbleIndexOf(int column, int row) {
    return column % 4 + 4 * (row % 4);
}

} // namespace

int FamilyCode(TilesType type) noexcept {
    for (std::size_t i = 0; i < kFamilies.size(); ++i) {
        if (kFamilies[i] == type) {
            return static_cast<int>(i);
        }
    }
    assert(false && "FamilyCode of an invalid tile type");
    return 0;
}

std::array<std::uint8_t, 16> PayloadNibbles(const TileCode &code) noexcept {
    assert(code.z >= 0 && code.z < 32);
    const auto x = static_cast<std::uint32_t>(code.x) & kMask24;
    const auto y = static_cast<std::uint32_t>(code.y) & kMask24;
    const auto z = static_cast<std::uint32_t>(code.z);
    std::array<std::uint8_t, 16> n{};
    for (std::size_t i = 0; i < 6; ++i) {
        n[2 * i] = static_cast<std::uint8_t>((x >> (4 * i)) & 0xF);
        n[2 * i + 1] = static_cast<std::uint8_t>((y >> (4 * i)) & 0xF);
    }
    n[12] = static_cast<std::uint8_t>(z & 0xF);
    n[13] = static_cast<std::uint8_t>(((z >> 4) & 1) | (FamilyCode(code.type) << 1));
    const auto bytes = PayloadBytes(n);
    const std::uint8_t check = Crc8(bytes.data(), 7);
    n[14] = static_cast<std::uint8_t>(check & 0xF);
    n[15] = static_cast<std::uint8_t>(check >> 4);
    return n;
}

Rgb BlockColour(const TileCode &code, int column, int row) noexcept {
    assert(column >= 0 && column < kBlocksPerSide && row >= 0 && row < kBlocksPerSide);
    const auto nibbles = PayloadNibbles(code);
    return {Level(column), Level(row),
            Level(nibbles[static_cast<std::size_t>(NibbleIndexOf(column, row))])};
}

std::vector<std::uint8_t> RenderTile(const TileCode &code) {
    const auto nibbles = PayloadNibbles(code);
    constexpr auto kRowBytes = static_cast<std::size_t>(kTileSize * 3);
    std::vector<std::uint8_t> pixels(kRowBytes * kTileSize);
    // The 16 pixel rows of a block row are equal: build the first, copy it to the others.
    for (int row = 0; row < kBlocksPerSide; ++row) {
        std::uint8_t *first =
            pixels.data() + static_cast<std::size_t>(row * kBlockSize) * kRowBytes;
        for (int column = 0; column < kBlocksPerSide; ++column) {
            const std::uint8_t r = Level(column);
            const std::uint8_t g = Level(row);
            const std::uint8_t b =
                Level(nibbles[static_cast<std::size_t>(NibbleIndexOf(column, row))]);
            std::uint8_t *p = first + static_cast<std::size_t>(column * kBlockSize * 3);
            for (int i = 0; i < kBlockSize; ++i, p += 3) {
                p[0] = r;
                p[1] = g;
                p[2] = b;
            }
        }
        for (int i = 1; i < kBlockSize; ++i) {
            std::copy_n(first, kRowBytes, first + static_cast<std::size_t>(i) * kRowBytes);
        }
    }
    return pixels;
}

BlockCode DecodeBlock(std::uint8_t r, std::uint8_t g, std::uint8_t b) noexcept {
    const int column = Value(r);
    const int row = Value(g);
    return {column, row, NibbleIndexOf(column, row), Value(b)};
}

bool BlockAgrees(const BlockCode &block, const TileCode &expected, int column, int row) noexcept {
    if (block.column != column || block.row != row) {
        return false;
    }
    const auto nibbles = PayloadNibbles(expected);
    return block.nibble == nibbles[static_cast<std::size_t>(block.nibbleIndex)];
}

std::optional<TileCode> DecodeTileImage(const RgbView &image, int left, int top) {
    if (image.pixels == nullptr || left < 0 || top < 0 || image.width - left < kTileSize ||
        image.height - top < kTileSize) {
        return std::nullopt;
    }
    const std::size_t rowBytes =
        image.rowBytes != 0 ? image.rowBytes : static_cast<std::size_t>(image.width) * 3;
    std::array<int, 16> nibbles{};
    nibbles.fill(-1);
    for (int row = 0; row < kBlocksPerSide; ++row) {
        for (int column = 0; column < kBlocksPerSide; ++column) {
            // The mean of the centre 8 x 8 pixels, away from the edge pixels that JPEG chroma
            // up-sampling blends with the neighbouring block.
            std::array<int, 3> sum{};
            for (int dy = 4; dy < 12; ++dy) {
                const std::uint8_t *p =
                    image.pixels +
                    static_cast<std::size_t>(top + row * kBlockSize + dy) * rowBytes +
                    static_cast<std::size_t>(left + column * kBlockSize + 4) * 3;
                for (int dx = 0; dx < 8; ++dx, p += 3) {
                    sum[0] += p[0];
                    sum[1] += p[1];
                    sum[2] += p[2];
                }
            }
            const auto block = DecodeBlock(static_cast<std::uint8_t>(sum[0] / 64),
                                           static_cast<std::uint8_t>(sum[1] / 64),
                                           static_cast<std::uint8_t>(sum[2] / 64));
            if (block.column != column || block.row != row) {
                return std::nullopt;
            }
            int &known = nibbles[static_cast<std::size_t>(block.nibbleIndex)];
            if (known >= 0 && known != block.nibble) {
                return std::nullopt;
            }
            known = block.nibble;
        }
    }
    std::array<std::uint8_t, 16> n{};
    for (std::size_t i = 0; i < n.size(); ++i) {
        n[i] = static_cast<std::uint8_t>(nibbles[i]);
    }
    const auto bytes = PayloadBytes(n);
    if (Crc8(bytes.data(), 7) != bytes[7]) {
        return std::nullopt;
    }
    std::uint32_t x = 0, y = 0;
    for (std::size_t i = 0; i < 6; ++i) {
        x |= static_cast<std::uint32_t>(n[2 * i]) << (4 * i);
        y |= static_cast<std::uint32_t>(n[2 * i + 1]) << (4 * i);
    }
    TileCode code;
    code.type = kFamilies[static_cast<std::size_t>(n[13] >> 1)];
    code.x = SignExtend24(x);
    code.y = SignExtend24(y);
    code.z = n[12] | ((n[13] & 1) << 4);
    return code;
}

} // namespace tessaro::tileserver
