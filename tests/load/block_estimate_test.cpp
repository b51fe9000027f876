#include "load/block_estimate.h"

#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "tiles/tile_list.h"

#include <gtest/gtest.h>

#include <sys/statvfs.h>

#include <random>

using namespace tessaro;
using tessaro::test::RecordingUi;
using tiles::Kind;
using tiles::Source;

// 26 KB a satellite tile and 11.5 KB a map or landscape tile, written with the given separator.
TEST(BlockEstimate, CountAndSizeTexts) {
    RecordingUi ui;
    auto sat = load::ShowBlocksParam(Source::Goo, Kind::Sat, 10, 20, 30, 40, 1, ui);
    EXPECT_EQ(sat.countText, "1");
    EXPECT_EQ(sat.sizeText, "26");
    EXPECT_EQ(load::ShowBlocksParam(Source::Goo, Kind::Land, 10, 20, 30, 40, 1, ui, ',').sizeText,
              "11,5");
    // Three Google tiles in a row at level 3, whose columns are 90 degrees wide: columns 1..3.
    const auto e = load::ShowBlocksParam(Source::Goo, Kind::Map, 10, 20, -80, 100, 3, ui, ',');
    EXPECT_EQ(e.countText, "3");
    EXPECT_EQ(e.sizeText, "34,5");
    EXPECT_TRUE(ui.messages.empty());
}

TEST(BlockEstimate, InvertedExtentsGiveTheSignedProduct) {
    RecordingUi ui;
    // Three columns, two rows; inverting one range negates, inverting both restores the sign.
    const auto grid = tiles::SphericalGrid::Google(3);
    ASSERT_EQ(grid.LonToCol(-100) + 2, grid.LonToCol(50));
    ASSERT_EQ(grid.LatToRow(-20), grid.LatToRow(20) + 1);
    EXPECT_EQ(load::SizeCount(-100, 50, -20, 20, 3, 0, ui), 3 * 2);
    EXPECT_EQ(load::SizeCount(50, -100, -20, 20, 3, 0, ui), (-1) * 2);
    EXPECT_EQ(load::SizeCount(50, -100, 20, -20, 3, 0, ui), (-1) * 0);
    EXPECT_EQ(load::SizeCount(50, -100, 70, -70, 3, 0, ui), (-1) * (-2));
    EXPECT_TRUE(ui.messages.empty());
}

// Level 17 has 65536 columns; 65535 of them times the 32768 northern rows (the edge row reached
// by clamping latitude 89) is 2^31 - 32768 tiles, the last count that fits 32 bits.
TEST(BlockEstimate, OverflowShowsTheMessageAndCountsZero) {
    RecordingUi ui;
    const double lastWestEdge = 180.0 - 360.0 / 65536.0;
    EXPECT_EQ(load::SizeCount(-180, lastWestEdge - 1e-9, 0.0001, 89, 17, 0, ui),
              std::int64_t{65535} * 32768);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(load::SizeCount(-180, 180, 0.0001, 89, 17, 0, ui), 0) << "2^31 does not fit";
    auto e = load::ShowBlocksParam(Source::Goo, Kind::Sat, -80, 80, -170, 170, 22, ui);
    EXPECT_EQ(e.countText, "0");
    EXPECT_EQ(e.sizeText, "0");
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[1].text, "Переполнение! Очень много выбрано блоков");
    EXPECT_EQ(ui.messages[1].icon, Icon::Critical);
    EXPECT_EQ(ui.messages[1].title, "");
}

TEST(BlockEstimate, CountEqualsTheListLength) {
    RecordingUi ui;
    std::mt19937_64 gen(23);
    std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
    for (int i = 0; i < 300; ++i) {
        const int level = 1 + static_cast<int>(gen() % 12);
        const double a = lat(gen), b = lat(gen), c = lon(gen), d = lon(gen);
        const tiles::TileRequest base{tiles::TilesType::GoogleSat,
                                      level,
                                      std::min(a, b),
                                      std::max(a, b),
                                      std::min(c, d),
                                      std::max(c, d)};
        for (auto [source, type] : {std::pair{Source::Goo, tiles::TilesType::GoogleSat},
                                    std::pair{Source::Shade, tiles::TilesType::Shade},
                                    std::pair{Source::Scan, tiles::TilesType::ScanMap},
                                    std::pair{Source::Yand, tiles::TilesType::YandSat}}) {
            auto req = base;
            req.type = type;
            const tiles::TileStream stream(req);
            const auto e = load::ShowBlocksParam(source, Kind::Sat, req.lat1, req.lat2, req.lon1,
                                                 req.lon2, level, ui);
            if (stream.Size() > std::numeric_limits<std::int32_t>::max()) {
                EXPECT_EQ(e.count, 0);
            } else {
                ASSERT_EQ(e.count, stream.Size())
                    << "level " << level << " type " << static_cast<int>(type);
            }
        }
    }
}

TEST(BlockEstimate, ABadLevelIsReportedUnderItsProcedure) {
    RecordingUi ui;
    EXPECT_EQ(load::ScanSizeCount(10, 20, 10, 20, 0, ui), 0);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].title, "Unexpected Program Error");
    EXPECT_NE(ui.messages[0].text.find("\tScanSizeCount  \r\n"), std::string::npos)
        << ui.messages[0].text;
    EXPECT_EQ(load::ShowBlocksParam(Source::None, Kind::Sat, 10, 20, 10, 20, 5, ui).countText, "0");
}

TEST(FreeSpaceText, GroupsThousandsAndEndsInKb) {
    EXPECT_EQ(load::GroupedThousands(0, ','), "");
    EXPECT_EQ(load::GroupedThousands(999, ','), "999");
    EXPECT_EQ(load::GroupedThousands(1000, ','), "1,000");
    EXPECT_EQ(load::GroupedThousands(1234567, ' '), "1 234 567");
    EXPECT_EQ(load::GroupedThousands(100000000000000ULL, ','), "100,000,000,000,000");
    EXPECT_EQ(load::FreeSpaceText("/no/such/folder/anywhere"), " Kb");

    tessaro::test::TempDir dir;
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(dir.Path().c_str(), &vfs), 0);
    const double freeKb =
        static_cast<double>(vfs.f_bfree) * static_cast<double>(vfs.f_frsize) / 1024;
    std::string text = load::FreeSpaceText(dir.Path());
    ASSERT_TRUE(text.ends_with(" Kb")) << text;
    std::erase(text, ',');
    // The free space may move a little between the two queries.
    EXPECT_NEAR(std::stod(text), freeKb, freeKb * 0.01 + 1024) << text;
}
