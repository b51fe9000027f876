#include "tiles/tile_files.h"

#include <gtest/gtest.h>

using namespace tessaro::tiles;

// File names per type (the block name, the numbers, or level, column and row), their world
// files beside them, and the word that names the type in log file names.
TEST(TileFiles, NamesPathsWorldFilesAndTypeWords) {
    const auto record = [](std::int32_t col, std::int32_t row, std::string_view name) {
        TileRecord r;
        r.col = col;
        r.row = row;
        r.name.Assign(name);
        return r;
    };
    const struct {
        TilesType type;
        TileRecord record;
        int level;
        const char *path, *worldFile, *word;
    } cases[] = {
        {TilesType::GoogleSat, record(17, 9, "tqrs"), 15, "/d/15/tqrs.jpg", "/d/15/tqrs.jgw",
         "sat"},
        {TilesType::GoogleMap, record(17, 9, "tqrs"), 15, "/d/15/17_9.png", "/d/15/17_9.pgw",
         "map"},
        {TilesType::GoogleLand, record(17, 9, "tqrs"), 15, "/d/15/17_9.jpg", "/d/15/17_9.jgw",
         "lnd"},
        {TilesType::Shade, record(17, 9, "tqrs"), 5, "/d/15/row9/5_17-9.jpg",
         "/d/15/row9/5_17-9.jgw", "sat"},
        {TilesType::ScanSat, record(-3, 5, "s10_-3_5"), 10, "/d/15/s10_-3_5.jpg",
         "/d/15/s10_-3_5.jgw", "sat"},
        {TilesType::ScanMap, record(-3, 5, "m10_-3_5"), 10, "/d/15/m10_-3_5.jpg",
         "/d/15/m10_-3_5.jgw", "map"},
        {TilesType::YandSat, record(1, 0, "sy1_1_0"), 1, "/d/15/sy1_1_0.jpg", "/d/15/sy1_1_0.jgw",
         "sat"},
        {TilesType::YandMap, record(1, 0, "my1_1_0"), 1, "/d/15/my1_1_0.png", "/d/15/my1_1_0.pgw",
         "map"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(TilePath("/d/15", c.type, c.record, c.level), c.path);
        EXPECT_EQ(WorldFilePath(c.path, c.type), c.worldFile);
        EXPECT_EQ(TypeWord(c.type), c.word) << c.path;
    }
    EXPECT_EQ(TypeWord(TilesType::Invalid), "");
}
