// `tessaro extent`: the extent of selected features read from a file, as the binary prints it.
#include "support/files.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tessaro::test::ProcessResult;
using tessaro::test::RunProcess;

namespace {

ProcessResult Extent(std::vector<std::string> args) {
    args.insert(args.begin(), {TESSARO_BINARY, "extent"});
    return RunProcess(args);
}

// GeoJSON written by hand: longitude-latitude degrees on WGS 84.
constexpr const char *kTowns = R"({"type": "FeatureCollection", "features": [
 {"type": "Feature", "properties": {"name": "a"},
  "geometry": {"type": "Point", "coordinates": [37.5, 55.7]}},
 {"type": "Feature", "properties": {"name": "b"},
  "geometry": {"type": "LineString", "coordinates": [[37.61, 55.75], [37.7, 55.8]]}},
 {"type": "Feature", "properties": {"name": "c"}, "geometry": null},
 {"type": "Feature", "properties": {"name": "d"},
  "geometry": {"type": "Point", "coordinates": [-0.125, -12.0625]}}
]})";

class ExtentCliTest : public ::testing::Test {
protected:
    void SetUp() override { tessaro::test::WriteFile(file, kTowns); }
    tessaro::test::TempDir dir;
    std::filesystem::path file = dir / "towns.geojson";
};

} // namespace

TEST_F(ExtentCliTest, PrintsTheUnionOfTheSelectedExtents) {
    auto r = Extent({"--selection", file.string()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "-12.0625,55.8,-0.125,37.7\n");
    EXPECT_EQ(r.err, "");

    r = Extent({"--selection=" + file.string(), "--selection-where", "name IN ('a', 'b')"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "55.7,55.8,37.5,37.7\n");
    EXPECT_EQ(r.err, "");
}

// Nothing selected is a check that stops the command; a missing option is a usage error; a
// file that is no vector data or a filter on a missing field is a processing error.
TEST_F(ExtentCliTest, EmptySelectionsAndErrors) {
    auto r = Extent({"--selection", file.string(), "--selection-where", "name = 'c'"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "На карте нет выбранных объектов\n");

    r = Extent({});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--selection needs the file of the selected features."), std::string::npos)
        << r.err;

    tessaro::test::WriteFile(dir / "notes.txt", "not a map\n");
    r = Extent({"--selection", (dir / "notes.txt").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("notes.txt cannot be opened as vector data"), std::string::npos) << r.err;

    r = Extent({"--selection", file.string(), "--selection-where", "height > 3"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("\"height > 3\" cannot be applied"), std::string::npos) << r.err;
}
