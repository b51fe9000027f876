#include "download/tile_urls.h"

#include "settings/settings.h"

#include <gtest/gtest.h>

#include <clocale>
#include <locale>

using namespace tessaro;
using settings::Key;
using settings::Settings;
using tiles::TilesType;

namespace {

tiles::TileRecord Tile(std::int32_t col, std::int32_t row) {
    tiles::TileRecord r;
    r.col = col;
    r.row = row;
    return r;
}

Settings Servers() {
    auto s = Settings::FirstOpening();
    for (int k = 0; k < 4; ++k) {
        s.Text(Settings::SatServer(k)) = "http://s" + std::to_string(k) + "/kh";
        s.Text(Settings::MapServer(k)) = "http://m" + std::to_string(k) + "/vt";
        s.Text(Settings::SatServerYand(k)) = "http://ys" + std::to_string(k) + "/tiles?l=sat&v=";
        s.Text(Settings::MapServerYand(k)) = "http://ym" + std::to_string(k) + "/tiles?l=map&v=";
    }
    s.Text(Key::SatServerScan) = "http://scan/printtilesrescaled/?t=image_&zt=n";
    s.Text(Key::MapServerScan) = "http://scan/printtilesrescaled/?t=map&zt=n";
    s.Text(Key::SatServerShade) = "http://relief/layer/relief/";
    return s;
}

} // namespace

// Google addresses end in (3x + y) mod 8 letters of "Galileo"; landscape prefixes turn every
// "/vt" (case-sensitive) into "/mt"; ScanEx has one server for all four mirrors.
TEST(TileUrls, DownloadAddressesOfEveryForm) {
    auto s = Servers();
    s.Text(Settings::SatServer(3)) = "  http://s3/kh  "; // blanks trimmed, tabs kept
    s.Text(Key::SatVersion) = " 49\t";
    s.Text(Settings::MapServer(1)) = "http://m1/vt/lyrs/vt";
    s.Text(Settings::MapServer(2)) = "http://m2/VT";
    const struct {
        TilesType type;
        int mirror;
        tiles::TileRecord tile;
        int level;
        const char *url;
    } cases[] = {
        {TilesType::GoogleSat, 0, Tile(5, 3), 3, "http://s0/kh/v=49\t&x=5&y=3&zoom=15&s=Ga"},
        {TilesType::GoogleSat, 3, Tile(8, 0), 17, "http://s3/kh/v=49\t&x=8&y=0&zoom=1&s="},
        {TilesType::GoogleMap, 1, Tile(7, 9), 18,
         "http://m1/vt/lyrs/vt/v=w2.97&hl=ru&x=7&y=9&zoom=0&s=Galile"},
        {TilesType::GoogleLand, 0, Tile(2, 1), 19,
         "http://m0/mt/v=w2p.87&hl=ru&x=2&y=1&zoom=0&s=Galileo"},
        {TilesType::GoogleLand, 1, Tile(0, 1), 4,
         "http://m1/mt/lyrs/mt/v=w2p.87&hl=ru&x=0&y=1&zoom=14&s=G"},
        {TilesType::GoogleLand, 2, Tile(0, 0), 4, "http://m2/VT/v=w2p.87&hl=ru&x=0&y=0&zoom=14&s="},
        {TilesType::ScanMap, 3, Tile(-3, 5), 10,
         "http://scan/printtilesrescaled/?t=map&zt=n&x=-3&y=5&z=10"},
        {TilesType::ScanSat, 1, Tile(3, 5), 10,
         "http://scan/printtilesrescaled/?t=image_&zt=n&x=3&y=5&z=10"},
        {TilesType::YandSat, 1, Tile(600, 300), 10,
         "http://ys1/tiles?l=sat&v=1.6.0&x=600&y=300&z=10"},
        {TilesType::YandMap, 2, Tile(1, 2), 10, "http://ym2/tiles?l=map&v=2.2.1&x=1&y=2&z=10"},
        {TilesType::Shade, 0, Tile(17, 9), 5, "http://relief/layer/relief/z5/row9/5_17-9.jpg"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(download::TileUrl(download::DownloadPrefixes(s, c.type), c.mirror, c.type, c.tile,
                                    c.level),
                  c.url);
    }
}

// The satellite, map and relief forms are in load_run_test's list files.
TEST(ListFileUrls, LandscapeFormAboveLevel17HasZoom0) {
    const auto land = download::ListFilePrefixes(Servers(), TilesType::GoogleLand);
    EXPECT_EQ(download::ListFileUrl(land, 3, TilesType::GoogleLand, Tile(5, 3), 19),
              "http://m3/vt/mt?n=404&v=w2p.87&hl=ru&x=5&y=3&zoom=0");
}

TEST(ListFileUrls, ScanexCentresUseADecimalPointUnderACommaLocale) {
    struct Comma : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
    };
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new Comma));
    const auto s = Servers();
    const auto scan = download::ListFilePrefixes(s, TilesType::ScanSat);
    tiles::TileRecord r = Tile(0, 0);
    r.name.Assign("s1_0_0");
    r.x = 1000;
    r.y = -2000.5;
    const double half = 128 * tiles::ResN(1);
    const std::string url = download::ListFileUrl(scan, 0, TilesType::ScanSat, r, 1);
    std::locale::global(previous);
    char expected[200];
    std::snprintf(expected, sizeof expected, "&x=%.15g&y=%.15g&z=1", 1000 + half, -2000.5 + half);
    EXPECT_EQ(url, "http://scan/printtilesrescaled/?t=image_&zt=n" + std::string(expected));
    EXPECT_EQ(url.find(','), std::string::npos);
}
