#include "download/world_file.h"

#include "common/error.h"
#include "support/files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

using namespace tessaro;

// Spherical tiles hold their upper-left pixel centre; ellipsoidal ones their south-west corner,
// moved by the tile's height in metres and half a pixel. A world file on disk is kept.
TEST(WorldFile, TextsOfSphericalAndEllipsoidalTilesWrittenOnce) {
    tiles::TileRecord r;
    r.x = -1000.5;
    r.y = 1000.5;
    r.resX = 1.0;
    r.resY = -1.0;
    EXPECT_EQ(download::WorldFileText(r, 0), "1\r\n0\r\n0\r\n-1\r\n-1000.5\r\n1000.5\r\n");
    r.x = 1000;
    r.y = 2000;
    r.resX = 2.5;
    r.resY = -2.5;
    EXPECT_EQ(download::WorldFileText(r, 640), "2.5\r\n0\r\n0\r\n-2.5\r\n1001.25\r\n2638.75\r\n");
    test::TempDir dir;
    EXPECT_TRUE(download::WriteWorldFile(dir / "a.jgw", r, 640));
    EXPECT_EQ(test::ReadFile(dir / "a.jgw"), download::WorldFileText(r, 640));
    test::WriteFile(dir / "b.jgw", "hand made");
    EXPECT_FALSE(download::WriteWorldFile(dir / "b.jgw", r, 0));
    EXPECT_EQ(test::ReadFile(dir / "b.jgw"), "hand made");
    EXPECT_THROW(download::WriteWorldFile(dir / "no" / "c.jgw", r, 0), FileError);
}
