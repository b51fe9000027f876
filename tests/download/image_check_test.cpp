#include "download/image_check.h"

#include "common/error.h"
#include "support/files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tessaro::download;

namespace {

using Bytes = std::vector<std::uint8_t>;

clsImgType Read(const Bytes &header) {
    clsImgType reader;
    reader.ReadImageInfo(header);
    return reader;
}

Bytes Png(std::uint8_t colourType, std::uint8_t bitDepth, std::uint16_t w, std::uint16_t h) {
    Bytes b = {137, 80, 78, 71, 13, 10, 26, 10, 0, 0,        0,          13, 'I', 'H', 'D',
               'R', 0,  0,  0,  0,  0,  0,  0,  0, bitDepth, colourType, 0,  0,   0};
    b[18] = static_cast<std::uint8_t>(w >> 8);
    b[19] = static_cast<std::uint8_t>(w & 0xFF);
    b[22] = static_cast<std::uint8_t>(h >> 8);
    b[23] = static_cast<std::uint8_t>(h & 0xFF);
    return b;
}

// A JPEG header: start, an application segment, a quantisation table, then a frame marker.
Bytes Jpeg(std::uint8_t frameCode, std::uint16_t w, std::uint16_t h, std::uint8_t components) {
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F',
               0,    1,    1,    0,    0,    1,    0,   1,   0,   0};
    b.insert(b.end(), {0xFF, 0xDB, 0x00, 0x05, 0x00, 0x01, 0x02});
    b.insert(b.end(), {0xFF, frameCode, 0x00, 0x11, 0x08, static_cast<std::uint8_t>(h >> 8),
                       static_cast<std::uint8_t>(h & 0xFF), static_cast<std::uint8_t>(w >> 8),
                       static_cast<std::uint8_t>(w & 0xFF), components});
    return b;
}

} // namespace

TEST(ImageCheck, PngDepthsFollowTheColourType) {
    auto rgba = Read(Png(6, 8, 256, 256));
    EXPECT_EQ(rgba.Type(), ImageType::Png);
    EXPECT_EQ(rgba.Depth(), 32);
    EXPECT_EQ(rgba.Width(), 256);
    EXPECT_EQ(rgba.Height(), 256);
    EXPECT_EQ(Read(Png(3, 4, 1, 1)).Depth(), 8) << "palette: 8 whatever the bit depth";
    EXPECT_EQ(Read(Png(0, 16, 1, 1)).Depth(), 16);
    EXPECT_EQ(Read(Png(2, 8, 1, 1)).Depth(), 24);
    EXPECT_EQ(Read(Png(4, 8, 1, 1)).Depth(), 16);
    const auto odd = Read(Png(5, 8, 300, 200));
    EXPECT_EQ(odd.Type(), ImageType::Unknown);
    EXPECT_EQ(odd.Width(), 0);
    // A width field beyond 16 bits reports its low half.
    Bytes wide = Png(2, 8, 0, 7);
    wide[17] = 1; // 65536 + 0
    EXPECT_EQ(Read(wide).Width(), 0);
    // A bit depth that makes the depth overflow 8 bits is an error.
    EXPECT_THROW((void)Read(Png(6, 255, 1, 1)), tessaro::OverflowError);
    // Truncated: type PNG, sizes from the zeros beyond the end.
    EXPECT_EQ(Read(Bytes{137, 80, 78, 71}).Type(), ImageType::Png);
}

TEST(ImageCheck, GifAndBmp) {
    Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 0x00, 0x01, 0x80, 0x00, 0xF7};
    const auto g = Read(gif);
    EXPECT_EQ(g.Type(), ImageType::Gif);
    EXPECT_EQ(g.Width(), 256);
    EXPECT_EQ(g.Height(), 128);
    EXPECT_EQ(g.Depth(), 8);
    Bytes bmp(30, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    bmp[18] = 0x00;
    bmp[19] = 0x01;
    bmp[22] = 0x40;
    bmp[28] = 24;
    const auto b = Read(bmp);
    EXPECT_EQ(b.Type(), ImageType::Bmp);
    EXPECT_EQ(b.Width(), 256);
    EXPECT_EQ(b.Height(), 64);
    EXPECT_EQ(b.Depth(), 24);
}

TEST(ImageCheck, JpegMarkerWalk) {
    const auto baseline = Read(Jpeg(0xC0, 256, 200, 3));
    EXPECT_EQ(baseline.Type(), ImageType::Jpeg);
    EXPECT_EQ(baseline.Width(), 256);
    EXPECT_EQ(baseline.Height(), 200);
    EXPECT_EQ(baseline.Depth(), 24);
    EXPECT_EQ(Read(Jpeg(0xC2, 10, 20, 1)).Type(), ImageType::Jpeg) << "progressive";
    EXPECT_EQ(Read(Jpeg(0xC4, 10, 20, 1)).Type(), ImageType::Unknown)
        << "a table marker is skipped, and nothing follows it";
    Bytes prefixed(100, 0x42);
    const auto body = Jpeg(0xC1, 64, 32, 3);
    prefixed.insert(prefixed.end(), body.begin(), body.end());
    EXPECT_EQ(Read(prefixed).Width(), 64) << "the start need not be at offset 0";
    EXPECT_THROW((void)Read(Jpeg(0xC0, 1, 1, 32)), tessaro::OverflowError)
        << "32 components do not fit an 8-bit depth";
    // A frame that lies beyond the first 65 525 bytes is not found.
    Bytes far = {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xF0};
    far.resize(0xFFF0 + 4, 0);
    const auto frame = Jpeg(0xC0, 8, 8, 3);
    far.insert(far.end(), frame.begin() + 20, frame.end());
    EXPECT_EQ(Read(far).Type(), ImageType::Unknown);
}

TEST(ImageCheck, PagesAndEmptyFilesAreNotImages) {
    tessaro::test::TempDir dir;
    tessaro::test::WriteFile(dir / "page.jpg", "<html><body>blocked</body></html>");
    tessaro::test::WriteFile(dir / "empty.jpg", "");
    const auto jpeg = Jpeg(0xC0, 256, 256, 3);
    tessaro::test::WriteFile(dir / "tile.jpg", std::string(jpeg.begin(), jpeg.end()));
    EXPECT_EQ(ImageCheck(dir / "page.jpg"), 0);
    EXPECT_EQ(ImageCheck(dir / "empty.jpg"), 0);
    EXPECT_EQ(ImageCheck(dir / "missing.jpg"), 0);
    EXPECT_EQ(ImageCheck(dir / "tile.jpg"), 2);
    // A large file is read only as far as the header buffer.
    std::string big(jpeg.begin(), jpeg.end());
    big.append(200'000, '\x55');
    tessaro::test::WriteFile(dir / "big.jpg", big);
    EXPECT_EQ(ImageCheck(dir / "big.jpg"), 2);
    // The file after a longer one: no bytes of the earlier read may leak into this one.
    tessaro::test::WriteFile(dir / "short.jpg", "<");
    EXPECT_EQ(ImageCheck(dir / "short.jpg"), 0);
}
