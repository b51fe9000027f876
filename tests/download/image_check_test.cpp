#include "download/image_check.h"

#include "support/files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace tessaro;
using download::ImageType;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A PNG header 2 pixels high; wide is the third byte of the 32-bit width.
Bytes Png(std::uint8_t colourType, std::uint8_t bitDepth, std::uint8_t w = 1,
          std::uint8_t wide = 0) {
    return {137, 80, 78,   71, 13, 10, 26, 10, 0, 0,        0,          13, 'I', 'H', 'D',
            'R', 0,  wide, 1,  w,  0,  0,  0,  2, bitDepth, colourType, 0,  0,   0};
}

// A JPEG header: start, an application segment, a quantisation table, then a frame marker.
Bytes Jpeg(std::uint8_t frameCode, std::uint16_t w, std::uint16_t h, std::uint8_t components,
           std::size_t skipped = 0) {
    Bytes b(skipped, 0x42);
    b.insert(b.end(),
             {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',  0,    1,    1,   0,
              0,    1,    0,    1,    0,    0,    0xFF, 0xDB, 0x00, 0x05, 0x00, 0x01, 0x02});
    b.insert(b.end(), {0xFF, frameCode, 0x00, 0x11, 0x08, static_cast<std::uint8_t>(h >> 8),
                       static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(w >> 8),
                       static_cast<std::uint8_t>(w), components});
    return b;
}

// A JPEG whose frame lies beyond the first 65 525 bytes.
Bytes FarJpeg() {
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xF0};
    b.resize(0xFFF0 + 4, 0);
    const auto frame = Jpeg(0xC0, 8, 8, 3);
    b.insert(b.end(), frame.begin() + 20, frame.end()); // the table, then the frame
    return b;
}

} // namespace

// Each header is read from memory and, for the type, from a file (of which only the first
// 64 KiB count).
TEST(ImageCheck, TypeSizeAndDepthOfEachFormat) {
    const struct {
        const char *what;
        Bytes header;
        ImageType type;
        int width, height, depth;
    } cases[] = {
        {"PNG RGBA", Png(6, 8, 44), ImageType::Png, 300, 2, 32},
        {"PNG palette, 8 whatever the bit depth", Png(3, 4), ImageType::Png, 257, 2, 8},
        {"PNG of an unknown colour type", Png(5, 8), ImageType::Unknown, 0, 0, 0},
        {"PNG width past 16 bits: the low half", Png(2, 8, 7, 1), ImageType::Png, 263, 2, 24},
        {"GIF", {'G', 'I', 'F', '8', '9', 'a', 0, 1, 0x80, 0, 0xF7}, ImageType::Gif, 256, 128, 8},
        {"JPEG baseline", Jpeg(0xC0, 256, 200, 3), ImageType::Jpeg, 256, 200, 24},
        {"JPEG start after 100 bytes", Jpeg(0xC1, 64, 32, 3, 100), ImageType::Jpeg, 64, 32, 24},
        {"JPEG table marker, nothing after", Jpeg(0xC4, 10, 20, 1), ImageType::Unknown, 0, 0, 0},
        {"JPEG frame too far", FarJpeg(), ImageType::Unknown, 0, 0, 0},
        {"page", {'<', 'h', 't', 'm', 'l', '>'}, ImageType::Unknown, 0, 0, 0},
        {"empty", {}, ImageType::Unknown, 0, 0, 0},
    };
    test::TempDir dir;
    for (const auto &c : cases) {
        download::clsImgType reader;
        reader.ReadImageInfo(c.header);
        EXPECT_EQ(reader.Type(), c.type) << c.what;
        EXPECT_EQ(reader.Width(), c.width) << c.what;
        EXPECT_EQ(reader.Height(), c.height) << c.what;
        EXPECT_EQ(reader.Depth(), c.depth) << c.what;
        test::WriteFile(dir / "tile", std::string(c.header.begin(), c.header.end()));
        EXPECT_EQ(download::ImageCheck(dir / "tile"), static_cast<int>(c.type)) << c.what;
    }
    EXPECT_EQ(download::ImageCheck(dir / "missing"), 0);
}

// A JPEG ends at its end-of-image marker (padding after it is allowed), a PNG at its IEND
// chunk; other formats are not judged by their ends.
TEST(ImageCheck, ImagesCutShort) {
    using namespace std::string_view_literals;
    const auto jpeg = static_cast<std::int32_t>(ImageType::Jpeg);
    const auto png = static_cast<std::int32_t>(ImageType::Png);
    const std::string_view iend = "\0\0\0\0IEND\xAE\x42\x60\x82"sv;
    const std::tuple<std::int32_t, std::string_view, bool> cases[] = {
        {jpeg, "\x12\x34\xFF\xD9"sv, false},
        {jpeg, "\xFF\xD9\0\0\r\n"sv, false},
        {jpeg, "\xFF\xD9\x12"sv, true},
        {jpeg, "\x12\xFF"sv, true},
        {jpeg, ""sv, true},
        {png, iend, false},
        {png, iend.substr(0, 11), true},
        {png, "\0\0\0\0IEND\xAE\x42\x60\x82\0"sv, true},
        {static_cast<std::int32_t>(ImageType::Gif), "\x12"sv, false},
    };
    for (const auto &[type, end, cut] : cases) {
        EXPECT_EQ(download::IsCutShort(type, end), cut) << type << " " << end.size();
    }
}
