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

tiles::TileRecord Tile(std::int32_t col, std::int32_t row, std::string_view name = "") {
    tiles::TileRecord r;
    r.col = col;
    r.row = row;
    r.name.Assign(name);
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

TEST(TileUrls, GoogleSatelliteWorkedExample) {
    auto s = Servers();
    s.Text(Key::SatVersion) = "49";
    const auto p = download::DownloadPrefixes(s, TilesType::GoogleSat);
    EXPECT_EQ(download::TileUrl(p, 0, TilesType::GoogleSat, Tile(5, 3, "tqsr"), 3),
              "http://s0/kh/v=49&x=5&y=3&zoom=15&s=Ga");
    EXPECT_EQ(download::TileUrl(p, 2, TilesType::GoogleSat, Tile(0, 0), 3),
              "http://s2/kh/v=49&x=0&y=0&zoom=15&s=");
    // (3x + y) mod 8 letters of Galileo.
    EXPECT_EQ(download::GalileoPart(2, 1), "Galileo");
    EXPECT_EQ(download::GalileoPart(1, 5), "");
    EXPECT_EQ(download::GoogleZoom(17), 1); // and 0 from level 18 on
}

TEST(TileUrls, MapAndLandscapePrefixes) {
    auto s = Servers();
    s.Text(Settings::MapServer(1)) = "http://m1/vt/lyrs/vt";
    s.Text(Settings::MapServer(2)) = "http://m2/VT";
    s.Text(Settings::MapServer(3)) = "http://m3/tiles";
    const auto map = download::DownloadPrefixes(s, TilesType::GoogleMap);
    EXPECT_EQ(map[0], "http://m0/vt/v=w2.97&hl=ru");
    const auto land = download::DownloadPrefixes(s, TilesType::GoogleLand);
    EXPECT_EQ(land[0], "http://m0/mt/v=w2p.87&hl=ru");
    EXPECT_EQ(land[1], "http://m1/mt/lyrs/mt/v=w2p.87&hl=ru") << "every /vt";
    EXPECT_EQ(land[2], "http://m2/VT/v=w2p.87&hl=ru") << "case-sensitive";
    EXPECT_EQ(land[3], "http://m3/tiles/v=w2p.87&hl=ru") << "no /vt: unchanged";
    EXPECT_EQ(download::TileUrl(map, 1, TilesType::GoogleMap, Tile(7, 9), 18),
              "http://m1/vt/lyrs/vt/v=w2.97&hl=ru&x=7&y=9&zoom=0&s=Galile"); // 30 mod 8 = 6
}

TEST(TileUrls, EllipsoidalAndReliefForms) {
    const auto s = Servers();
    const auto scan = download::DownloadPrefixes(s, TilesType::ScanMap);
    EXPECT_EQ(scan[0], scan[3]);
    EXPECT_EQ(download::TileUrl(scan, 3, TilesType::ScanMap, Tile(-3, 5, "m10_-3_5"), 10),
              "http://scan/printtilesrescaled/?t=map&zt=n&x=-3&y=5&z=10");
    const auto yand = download::DownloadPrefixes(s, TilesType::YandSat);
    EXPECT_EQ(download::TileUrl(yand, 1, TilesType::YandSat, Tile(600, 300, "sy10_600_300"), 10),
              "http://ys1/tiles?l=sat&v=1.6.0&x=600&y=300&z=10");
    const auto ymap = download::DownloadPrefixes(s, TilesType::YandMap);
    EXPECT_EQ(ymap[2], "http://ym2/tiles?l=map&v=2.2.1");
    const auto relief = download::DownloadPrefixes(s, TilesType::Shade);
    EXPECT_EQ(download::TileUrl(relief, 0, TilesType::Shade, Tile(17, 9), 5),
              "http://relief/layer/relief/z5/row9/5_17-9.jpg");
}

TEST(TileUrls, BoxesAreReadWithBlanksTrimmedButTabsKept) {
    auto s = Servers();
    s.Text(Settings::SatServer(0)) = "  http://s0/kh  ";
    s.Text(Key::SatVersion) = " 40\t";
    EXPECT_EQ(download::DownloadPrefixes(s, TilesType::GoogleSat)[0], "http://s0/kh/v=40\t");
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
    tiles::TileRecord r = Tile(0, 0, "s1_0_0");
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
