#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tessaro::test {

/// An image file decoded to 8-bit RGB.
struct DecodedImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb; ///< width·3 bytes a row, top row first
    int pngColourType = -1;        ///< colour type of a PNG's header (3 = palette), -1 for JPEG
};

/// Decodes a JPEG or PNG file's bytes through GDAL (palettes and grey are turned into plain
/// RGB). @throws std::runtime_error for anything else or a damaged file.
DecodedImage DecodeImage(std::string_view bytes);

} // namespace tessaro::test
