#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace tessaro::test {

/// An image file decoded to 8-bit RGB, with what its header said.
struct DecodedImage {
    enum class Format { Jpeg, Png };
    Format format = Format::Jpeg;
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb; ///< width·3 bytes a row, top row first
    int bands = 0;                 ///< bands of the file: 3 for RGB, 1 for grey or a palette
    int pngColourType = -1;        ///< PNG: colour type of the header (3 = palette)
    int pngBitDepth = 0;           ///< PNG: bit depth of the header
};

/// Decodes a JPEG or PNG file's bytes through GDAL (palettes and grey are turned into plain
/// RGB). @throws std::runtime_error for anything else or a damaged file.
DecodedImage DecodeImage(std::string_view bytes);

} // namespace tessaro::test
