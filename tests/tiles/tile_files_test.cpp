#include "tiles/tile_files.h"

#include <gtest/gtest.h>

using namespace tessaro::tiles;

// File names per type (the block name, the numbers, or level, column and row), their world
// files beside them, and the word that names the type in log file names.
TEST(TileFiles, NamesPathsWorldFilesAndTypeWords) {
    const std::tuple<TilesType, std::int32_t, std::int32_t, const char *, int, const char *>
        cases[] = {
            {TilesType::GoogleSat, 17, 9, "tqrs", 15, "/d/15/tqrs.jpg /d/15/tqrs.jgw sat"},
            {TilesType::GoogleMap, 17, 9, "tqrs", 15, "/d/15/17_9.png /d/15/17_9.pgw map"},
            {TilesType::GoogleLand, 17, 9, "tqrs", 15, "/d/15/17_9.jpg /d/15/17_9.jgw lnd"},
            {TilesType::Shade, 17, 9, "t", 5, "/d/15/row9/5_17-9.jpg /d/15/row9/5_17-9.jgw sat"},
            {TilesType::ScanSat, -3, 5, "s10_-3_5", 10,
             "/d/15/s10_-3_5.jpg /d/15/s10_-3_5.jgw sat"},
            {TilesType::ScanMap, -3, 5, "m10_-3_5", 10,
             "/d/15/m10_-3_5.jpg /d/15/m10_-3_5.jgw map"},
            {TilesType::YandSat, 1, 0, "sy1_1_0", 1, "/d/15/sy1_1_0.jpg /d/15/sy1_1_0.jgw sat"},
            {TilesType::YandMap, 1, 0, "my1_1_0", 1, "/d/15/my1_1_0.png /d/15/my1_1_0.pgw map"},
        };
    for (const auto &[type, col, row, name, level, expected] : cases) {
        const TileRecord record{col, row, 0, 0, 0, 0, BlockName(name)};
        const auto path = TilePath("/d/15", type, record, level);
        EXPECT_EQ(path.string() + " " + WorldFilePath(path, type).string() + " " +
                      std::string(TypeWord(type)),
                  expected);
    }
    EXPECT_EQ(TypeWord(TilesType::Invalid), "");
}
