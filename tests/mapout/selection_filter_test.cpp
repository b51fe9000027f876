// The selection filter against tiles whose positions are worked out here from their records,
// shapes given in other coordinate systems (converted with PROJ directly, not through OGR),
// read back from GeoPackages and shapefiles, and against the plain double loop over GEOS.
#include "mapout/selection_filter.h"

#include "../tiles/proj_reference.h"
#include "dialogs/error_report.h"
#include "mapout/block_index.h"
#include "mapout/gdal_support.h"
#include "mapout_support.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

using namespace tessaro;
using mapout::FilterBySelection;
using mapout::Selection;
using tiles::TileRecord;
using tiles::TilesType;
namespace fs = std::filesystem;

namespace {

constexpr double kPi = std::numbers::pi;

struct SrsReleaser {
    void operator()(OGRSpatialReference *srs) const { srs->Release(); }
};
using SharedSrs = std::unique_ptr<OGRSpatialReference, SrsReleaser>;

// A coordinate system as users name it, x = easting or longitude.
SharedSrs System(const char *name) {
    auto *srs = new OGRSpatialReference();
    EXPECT_EQ(srs->SetFromUserInput(name), OGRERR_NONE) << name;
    srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    return SharedSrs(srs);
}

OGRGeometryUniquePtr Shape(const std::string &wkt, OGRSpatialReference *srs) {
    OGRGeometry *geometry = nullptr;
    EXPECT_EQ(OGRGeometryFactory::createFromWkt(wkt.c_str(), srs, &geometry), OGRERR_NONE) << wkt;
    return OGRGeometryUniquePtr(geometry);
}

std::string Num(double v) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

std::string PointWkt(double x, double y) {
    return "POINT (" + Num(x) + " " + Num(y) + ")";
}

// The tile's image in its own system, worked out from the record: Google tiles from the
// centre of the upper-left pixel, ScanEx and Yandex tiles from their south-west corner.
struct Rect {
    double west, south, east, north;
    [[nodiscard]] double CentreX() const { return (west + east) / 2; }
    [[nodiscard]] double CentreY() const { return (south + north) / 2; }
};

Rect ImageRect(TilesType type, const TileRecord &r) {
    const double side = 256 * r.resX;
    if (tiles::IsEllipsoidal(type)) {
        return {r.x, r.y, r.x + side, r.y + side};
    }
    const double west = r.x - r.resX / 2;
    const double north = r.y - r.resY / 2;
    return {west, north - side, west + side, north};
}

// Degrees of a point of the 6 371 000 m sphere's Mercator.
std::pair<double, double> SphereToGeo(double x, double y) {
    const auto p = test::SphereMercatorToGeo(x, y);
    return {p.lon, p.lat};
}

class SelectionFilterTest : public ::testing::Test {
protected:
    void SetUp() override { GDALAllRegister(); }

    static std::vector<TileRecord> Records(const tiles::TileList &list) {
        std::vector<TileRecord> records;
        list.ForEach([&](const TileRecord &r) { records.push_back(r); });
        return records;
    }

    // Positions in the list of the kept tiles.
    static std::vector<int> Positions(const std::vector<TileRecord> &all,
                                      const mapout::FilterResult &result) {
        std::vector<int> positions;
        for (const TileRecord &kept : result.kept) {
            const auto it = std::find(all.begin(), all.end(), kept);
            positions.push_back(it == all.end() ? -1 : static_cast<int>(it - all.begin()));
        }
        EXPECT_EQ(result.lastIndex, static_cast<std::int64_t>(result.kept.size()) - 1);
        return positions;
    }

    std::vector<int> Filter(const tiles::TileList &list, const Selection &selection) {
        const auto result = FilterBySelection(list, list.Request().type, list.Request().level,
                                              "Goo", selection, ui);
        EXPECT_TRUE(ui.messages.empty()) << ui.messages.front().text;
        return Positions(Records(list), result);
    }

    // Google satellite, level 13, over central Moscow: 4 columns by 3 rows.
    const tiles::TileList google{{TilesType::GoogleSat, 13, 55.70, 55.80, 37.45, 37.75}};
    const std::vector<TileRecord> googleTiles = Records(google);
    SharedSrs wgs84 = System("EPSG:4326");
    SharedSrs utm37 = System("EPSG:32637");
    SharedSrs sphere = System("ESRI:53004");
    test::RecordingUi ui;
};

TEST_F(SelectionFilterTest, GridOfTheseTests) {
    ASSERT_EQ(googleTiles.size(), 12u);
    // Row by row from the north-west corner.
    EXPECT_EQ(googleTiles[1].col, googleTiles[0].col + 1);
    EXPECT_EQ(googleTiles[4].row, googleTiles[0].row + 1);
}

// Points in WGS 84 and in UTM zone 37N at tile centres keep exactly their tiles, in list order
// whatever the selection's order; a point outside every tile keeps none.
TEST_F(SelectionFilterTest, PointsInOtherSystemsKeepTheirTilesInListOrder) {
    test::ProjTransform utm("EPSG:32637");
    Selection selection;
    for (const int i : {10, 2, 7}) {
        const Rect r = ImageRect(TilesType::GoogleSat, googleTiles[i]);
        const auto [lon, lat] = SphereToGeo(r.CentreX(), r.CentreY());
        if (i == 10) {
            const auto [e, n] = utm.ToProjected(lon, lat);
            selection.push_back(Shape(PointWkt(e, n), utm37.get()));
        } else {
            selection.push_back(Shape(PointWkt(lon, lat), wgs84.get()));
        }
    }
    selection.push_back(Shape("POINT (30.3 59.9)", wgs84.get())); // Saint Petersburg
    EXPECT_EQ(Filter(google, selection), (std::vector<int>{2, 7, 10}));
    EXPECT_EQ(ui.labels, (std::vector<std::string>{"Create Geometry", "FilterBySelection", ""}));
    EXPECT_EQ(ui.lastMaximum, 0) << "the bar is reset";

    Selection nowhere;
    nowhere.push_back(Shape("POINT (30.3 59.9)", wgs84.get()));
    const auto none = FilterBySelection(google, TilesType::GoogleSat, 13, "Goo", nowhere, ui);
    EXPECT_TRUE(none.kept.empty());
    EXPECT_EQ(none.lastIndex, -1);
    EXPECT_TRUE(ui.messages.empty()) << "no intersection is not an error";
}

// Lines and polygons against a grid of 3 x 3 tiles of 1 m pixels in the tiles' own system,
// whose edges fall on whole metres, so that touching is exact: tile (c, r) covers
// x 256c … 256c + 256 and y −256r − 256 … −256r; it is number 3r + c in the list.
class ExactGridTest : public SelectionFilterTest {
protected:
    ExactGridTest() {
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                TileRecord record;
                record.col = c;
                record.row = r;
                record.x = 256.0 * c + 0.5;
                record.y = -256.0 * r - 0.5;
                record.resX = 1;
                record.resY = -1;
                record.name.Assign("t" + std::to_string(3 * r + c));
                m_records.push_back(record);
            }
        }
    }

    std::vector<int> Keep(const std::string &wkt) {
        Selection s;
        s.push_back(Shape(wkt, sphere.get()));
        return Keep(std::move(s));
    }
    std::vector<int> Keep(Selection s) {
        const tiles::TileList grid(google.Request(), m_records);
        const auto result = FilterBySelection(grid, TilesType::GoogleSat, 13, "Goo", s, ui);
        EXPECT_TRUE(ui.messages.empty());
        return Positions(m_records, result);
    }

    std::vector<TileRecord> m_records;
};

// A line keeps the tiles it runs through or along for some length; touching a tile at single
// points (a tip on its edge, a corner it passes) does not keep it.
TEST_F(ExactGridTest, LinesKeepTilesTheyRunThroughOrAlong) {
    using V = std::vector<int>;
    // Along the edge between tiles 4 and 5, corner to corner: 1, 2, 7 and 8 touch its ends.
    EXPECT_EQ(Keep("LINESTRING (512 -256, 512 -512)"), (V{4, 5}));
    // Part of the grid's west edge: tile 3 alone.
    EXPECT_EQ(Keep("LINESTRING (0 -300, 0 -400)"), (V{3}));
    // A V inside tile 3 whose tip touches the edge shared with tile 4.
    EXPECT_EQ(Keep("LINESTRING (100 -300, 256 -384, 100 -500)"), (V{3}));
    // A V outside the grid touching its west edge: nothing.
    EXPECT_EQ(Keep("LINESTRING (-100 -300, 0 -384, -100 -500)"), V{});
    // Through the corner shared by tiles 0, 1, 3 and 4: only 0 and 4 are crossed.
    EXPECT_EQ(Keep("LINESTRING (128 -128, 256 -256, 384 -384)"), (V{0, 4}));
    // A diagonal through that corner without a vertex there.
    EXPECT_EQ(Keep("LINESTRING (128 -128, 384 -384)"), (V{0, 4}));
    // A segment of no length, and a line wholly inside tile 8.
    EXPECT_EQ(Keep("LINESTRING (300 -300, 300 -300)"), V{});
    EXPECT_EQ(Keep("LINESTRING (600 -600, 700 -700)"), (V{8}));
    // Points on an edge and on a corner belong to every tile that has them.
    EXPECT_EQ(Keep("POINT (256 -100)"), (V{0, 1}));
    EXPECT_EQ(Keep("POINT (512 -512)"), (V{4, 5, 7, 8}));
}

// A polygon keeps the tiles it overlaps by some area; sharing an edge is not enough; holes
// and ring orientation are read by the even-odd rule.
TEST_F(ExactGridTest, PolygonsKeepTilesTheyOverlap) {
    using V = std::vector<int>;
    // Exactly tile 4: its eight neighbours share an edge or a corner only.
    EXPECT_EQ(Keep("POLYGON ((256 -256, 512 -256, 512 -512, 256 -512, 256 -256))"), (V{4}));
    // West of the grid sharing its west edge: nothing.
    EXPECT_EQ(Keep("POLYGON ((-50 0, 0 0, 0 -768, -50 -768, -50 0))"), V{});
    // Two polygons, only the second inside tile 7.
    Selection two;
    two.push_back(Shape("POLYGON ((1000 0, 1100 0, 1100 -100, 1000 0))", sphere.get()));
    two.push_back(Shape("POLYGON ((300 -600, 310 -600, 310 -610, 300 -600))", sphere.get()));
    EXPECT_EQ(Keep(std::move(two)), (V{7}));
    // Round every tile with tile 4 as its hole, outer ring clockwise and hole anticlockwise
    // (the reverse of the usual order): every tile but 4.
    EXPECT_EQ(Keep("POLYGON ((-10 -778, -10 10, 778 10, 778 -778, -10 -778), "
                   "(256 -256, 512 -256, 512 -512, 256 -512, 256 -256))"),
              (V{0, 1, 2, 3, 5, 6, 7, 8}));
    // A triangle with a vertex in tile 2 and its other corners far outside the grid.
    EXPECT_EQ(Keep("POLYGON ((700 -100, 5000 5000, 5000 -5000, 700 -100))"), (V{2}));
    // A sliver along the edge between tiles 2 and 5, wholly inside tile 2.
    EXPECT_EQ(Keep("POLYGON ((600 -256, 700 -256, 700 -255.99, 600 -256))"), (V{2}));
    // A large square round the grid with no vertex near it keeps every tile.
    EXPECT_EQ(Keep("POLYGON ((-1e5 -1e5, 1e5 -1e5, 1e5 1e5, -1e5 1e5, -1e5 -1e5))").size(), 9u);
}

// Lines and polygons in WGS 84 along the parallel of a row's centres and round two tiles.
TEST_F(SelectionFilterTest, ProjectedLinesAndPolygonsKeepTheTilesTheyCross) {
    auto box = [](double w, double s, double e, double n) {
        return "(" + Num(w) + " " + Num(s) + ", " + Num(e) + " " + Num(s) + ", " + Num(e) + " " +
               Num(n) + ", " + Num(w) + " " + Num(n) + ", " + Num(w) + " " + Num(s) + ")";
    };
    const Rect t4 = ImageRect(TilesType::GoogleSat, googleTiles[4]);
    const auto [lonW, lat] = SphereToGeo(t4.CentreX(), t4.CentreY());
    Selection parallel;
    parallel.push_back(
        Shape("LINESTRING (" + Num(lonW) + " " + Num(lat) + ", 40 " + Num(lat) + ")", wgs84.get()));
    EXPECT_EQ(Filter(google, parallel), (std::vector<int>{4, 5, 6, 7}));

    // A rectangle in UTM 37N from the centre of tile 1 to the centre of tile 6: tiles 1, 2,
    // 5 and 6. Its sides are not quite parallels and meridians, but stay far from others.
    test::ProjTransform utm("EPSG:32637");
    const Rect t1 = ImageRect(TilesType::GoogleSat, googleTiles[1]);
    const Rect t6 = ImageRect(TilesType::GoogleSat, googleTiles[6]);
    const auto [lon1, lat1] = SphereToGeo(t1.CentreX(), t1.CentreY());
    const auto [lon6, lat6] = SphereToGeo(t6.CentreX(), t6.CentreY());
    const auto [w, n] = utm.ToProjected(lon1, lat1);
    const auto [e, so] = utm.ToProjected(lon6, lat6);
    Selection s;
    s.push_back(Shape("POLYGON (" + box(w, so, e, n) + ")", utm37.get()));
    EXPECT_EQ(Filter(google, s), (std::vector<int>{1, 2, 5, 6}));

    // A degree square in WGS 84 round all tiles: no vertex near them, all are kept.
    Selection square;
    square.push_back(Shape("POLYGON ((37 55, 38 55, 38 56, 37 56, 37 55))", wgs84.get()));
    EXPECT_EQ(Filter(google, square).size(), googleTiles.size());
}

// Multi-part lines and polygons count as lines and polygons; multipoints and collections keep
// nothing, even with points at tile centres.
TEST_F(SelectionFilterTest, MultipointsAndCollectionsKeepNothing) {
    const Rect t3 = ImageRect(TilesType::GoogleSat, googleTiles[3]);
    const Rect t8 = ImageRect(TilesType::GoogleSat, googleTiles[8]);
    const std::string c3 = Num(t3.CentreX()) + " " + Num(t3.CentreY());
    const std::string c8 = Num(t8.CentreX()) + " " + Num(t8.CentreY());
    Selection multipoints;
    multipoints.push_back(Shape("MULTIPOINT ((" + c3 + "), (" + c8 + "))", sphere.get()));
    multipoints.push_back(Shape("GEOMETRYCOLLECTION (POINT (" + c3 + "))", sphere.get()));
    multipoints.push_back(Shape("POINT EMPTY", sphere.get()));
    const auto none = FilterBySelection(google, TilesType::GoogleSat, 13, "Goo", multipoints, ui);
    EXPECT_EQ(none.lastIndex, -1);
    EXPECT_TRUE(none.kept.empty());
    EXPECT_TRUE(ui.messages.empty());

    auto square = [](const Rect &r) {
        return "((" + Num(r.CentreX() - 5) + " " + Num(r.CentreY() - 5) + ", " +
               Num(r.CentreX() + 5) + " " + Num(r.CentreY() - 5) + ", " + Num(r.CentreX() + 5) +
               " " + Num(r.CentreY() + 5) + ", " + Num(r.CentreX() - 5) + " " +
               Num(r.CentreY() - 5) + "))";
    };
    Selection multi;
    multi.push_back(Shape("MULTIPOLYGON (" + square(t8) + ", " + square(t3) + ")", sphere.get()));
    EXPECT_EQ(Filter(google, multi), (std::vector<int>{3, 8}));
    Selection lines;
    lines.push_back(Shape("MULTILINESTRING ((" + c3 + ", " + Num(t3.CentreX() + 1) + " " +
                              Num(t3.CentreY()) + "), (" + c8 + ", " + Num(t8.CentreX()) + " " +
                              Num(t8.CentreY() + 1) + "))",
                          sphere.get()));
    EXPECT_EQ(Filter(google, lines), (std::vector<int>{3, 8}));

    EXPECT_EQ(mapout::DimensionOf(*Shape("MULTIPOINT ((1 2))", nullptr)),
              mapout::ShapeDimension::None);
    EXPECT_EQ(mapout::DimensionOf(*Shape("POINT Z (1 2 3)", nullptr)),
              mapout::ShapeDimension::Point);
    EXPECT_EQ(mapout::DimensionOf(*Shape("COMPOUNDCURVE ((0 0, 1 1))", nullptr)),
              mapout::ShapeDimension::Line);
    EXPECT_EQ(mapout::DimensionOf(*Shape("CURVEPOLYGON ((0 0, 1 0, 1 1, 0 0))", nullptr)),
              mapout::ShapeDimension::Polygon);
    EXPECT_EQ(mapout::DimensionOf(*Shape("LINESTRING EMPTY", nullptr)),
              mapout::ShapeDimension::None);
}

// ScanEx and Yandex polygons start one tile height above the south-west corner and lie half a
// pixel west and north of the image; the Google polygon is the image itself.
TEST_F(SelectionFilterTest, EllipsoidalTilePolygonsAreShifted) {
    const tiles::TileList yandex({TilesType::YandSat, 13, 55.70, 55.80, 37.50, 37.70});
    const std::vector<TileRecord> tiles = Records(yandex);
    ASSERT_GE(tiles.size(), 6u);
    // Column by column from the south-west corner: the second tile lies north of the first.
    const TileRecord &t = tiles[1];
    const auto find = [&](int dc, int dr) {
        const auto it = std::find_if(tiles.begin(), tiles.end(), [&](const TileRecord &r) {
            return r.col == t.col + dc && r.row == t.row + dr;
        });
        return it == tiles.end() ? -1 : static_cast<int>(it - tiles.begin());
    };
    const int east = find(1, 0);
    const int south = find(0, 1); // Yandex y grows southward
    ASSERT_GE(east, 0);
    ASSERT_GE(south, 0);
    const Rect image = ImageRect(TilesType::YandSat, t);
    const double r = t.resX;
    auto world = System("ESRI:54004");
    Selection s;
    // Inside the image, a quarter pixel from its east and south edges: in the polygons of the
    // tiles east and south of it.
    s.push_back(Shape(PointWkt(image.east - r / 4, image.CentreY()), world.get()));
    s.push_back(Shape(PointWkt(image.CentreX(), image.south + r / 4), world.get()));
    const auto result = FilterBySelection(yandex, TilesType::YandSat, 13, "Yand", s, ui);
    std::vector<int> expected{east, south};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Positions(tiles, result), expected);

    // The same offsets in a Google tile stay in that tile.
    const Rect g = ImageRect(TilesType::GoogleSat, googleTiles[5]);
    Selection near;
    near.push_back(Shape(PointWkt(g.east - googleTiles[5].resX / 4, g.CentreY()), sphere.get()));
    EXPECT_EQ(Filter(google, near), (std::vector<int>{5}));
}

// A shape without a coordinate system is taken to be in the tiles' one; WGS 84 with the
// latitude first (the EPSG axis order) is read as its spatial reference declares.
TEST_F(SelectionFilterTest, ShapesWithoutOrWithUnusualSystems) {
    const Rect t9 = ImageRect(TilesType::GoogleSat, googleTiles[9]);
    Selection s;
    s.push_back(Shape(PointWkt(t9.CentreX(), t9.CentreY()), nullptr));
    EXPECT_EQ(Filter(google, s), (std::vector<int>{9}));

    auto latFirst = SharedSrs(new OGRSpatialReference());
    ASSERT_EQ(latFirst->importFromEPSG(4326), OGRERR_NONE);
    latFirst->SetAxisMappingStrategy(OAMS_AUTHORITY_COMPLIANT);
    const Rect t2 = ImageRect(TilesType::GoogleSat, googleTiles[2]);
    const auto [lon, lat] = SphereToGeo(t2.CentreX(), t2.CentreY());
    Selection swapped;
    swapped.push_back(Shape(PointWkt(lat, lon), latFirst.get()));
    EXPECT_EQ(Filter(google, swapped), (std::vector<int>{2}));
}

// A shape PROJ cannot bring into Mercator (a pole) and a type without a coordinate system are
// reported under "FilterBySelection " and give −1 and nothing.
TEST_F(SelectionFilterTest, ErrorsAreReportedAndKeepNothing) {
    Selection pole;
    pole.push_back(Shape("POINT (37.6 55.7)", wgs84.get()));
    pole.push_back(Shape("POINT (0 100)", wgs84.get()));
    const auto failed = FilterBySelection(google, TilesType::GoogleSat, 13, "Goo", pole, ui);
    EXPECT_EQ(failed.lastIndex, -1);
    EXPECT_TRUE(failed.kept.empty());
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].title, dialogs::kReportTitle);
    EXPECT_NE(ui.messages[0].text.find("\tFilterBySelection  \r\n"), std::string::npos)
        << ui.messages[0].text;
    EXPECT_NE(ui.messages[0].text.find("The selected shape 2 cannot be projected"),
              std::string::npos)
        << ui.messages[0].text;
    EXPECT_EQ(ui.labels.back(), "");

    ui.messages.clear();
    const auto wrongType = FilterBySelection(google, TilesType::Invalid, 13, "Goo", pole, ui);
    EXPECT_EQ(wrongType.lastIndex, -1);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_NE(ui.messages[0].text.find("The tile type -1 has no coordinate system"),
              std::string::npos);
}

// The plain double loop over every tile and shape, with GEOS intersections kept in the
// shape's dimension, keeps the same tiles on random points, lines and polygons of several
// systems, in the tiles' own system and across three levels of the Yandex grid.
TEST_F(SelectionFilterTest, MatchesTheDoubleLoopOverGeos) {
    if (OGRGeometryFactory::haveGEOS() == 0) {
        GTEST_SKIP() << "GDAL was built without GEOS";
    }
    std::mt19937_64 random(11);
    std::size_t kept = 0;
    std::size_t tested = 0;
    struct Case {
        TilesType type;
        int level;
        const char *system;
    };
    for (const Case c :
         {Case{TilesType::GoogleMap, 14, "ESRI:53004"}, Case{TilesType::YandMap, 14, "ESRI:54004"},
          Case{TilesType::ScanSat, 13, "ESRI:54004"}}) {
        const tiles::TileList list({c.type, c.level, 55.70, 55.80, 37.50, 37.70});
        const std::vector<TileRecord> tiles = Records(list);
        auto own = System(c.system);
        Rect all = ImageRect(c.type, tiles.front());
        for (const TileRecord &r : tiles) {
            const Rect i = ImageRect(c.type, r);
            all = {std::min(all.west, i.west), std::min(all.south, i.south),
                   std::max(all.east, i.east), std::max(all.north, i.north)};
        }
        std::uniform_real_distribution<double> x(all.west - 2000, all.east + 2000);
        std::uniform_real_distribution<double> y(all.south - 2000, all.north + 2000);
        std::uniform_real_distribution<double> radius(50, 1500);
        std::uniform_int_distribution<int> kind(0, 2);
        for (int round = 0; round < 6; ++round) {
            Selection selection;
            for (int k = 0; k < 4; ++k) {
                const double cx = x(random), cy = y(random);
                const int which = kind(random);
                std::string wkt;
                if (which == 0) {
                    wkt = PointWkt(cx, cy);
                } else {
                    // A star-shaped ring (valid as a polygon) or an open zig-zag line.
                    wkt = which == 1 ? "LINESTRING (" : "POLYGON ((";
                    const int n = 5 + k * 20;
                    std::string first;
                    for (int v = 0; v < n; ++v) {
                        const double a = 2 * kPi * v / n;
                        const double rr = radius(random);
                        const std::string p =
                            Num(cx + rr * std::cos(a)) + " " + Num(cy + rr * std::sin(a));
                        wkt += (v ? ", " : "") + p;
                        first = v ? first : p;
                    }
                    wkt += which == 1 ? ")" : ", " + first + "))";
                }
                auto shape = Shape(wkt, own.get());
                if (k % 2 == 1) {
                    // Every other shape comes in WGS 84.
                    ASSERT_EQ(shape->transformTo(wgs84.get()), OGRERR_NONE);
                }
                selection.push_back(std::move(shape));
            }

            std::vector<OGRGeometryUniquePtr> projectedShapes;
            for (const auto &shape : selection) {
                projectedShapes.emplace_back(shape->clone());
                ASSERT_EQ(projectedShapes.back()->transformTo(own.get()), OGRERR_NONE);
            }
            std::vector<int> expected;
            const double shift = tiles::IsEllipsoidal(c.type) ? 256 * tiles::ResN(c.level) : 0;
            for (std::size_t i = 0; i < tiles.size(); ++i) {
                const TileRecord &r = tiles[i];
                OGRPolygon polygon = mapout::MakeBlockPolygon(r.x, r.y + shift, r.resX, r.resY);
                for (const auto &projected : projectedShapes) {
                    OGRGeometryUniquePtr cut(polygon.Intersection(projected.get()));
                    ASSERT_TRUE(cut);
                    bool hit = false;
                    const auto shapeType = wkbFlatten(projected->getGeometryType());
                    const auto keep = [&](const OGRGeometry &part) {
                        const auto t = wkbFlatten(part.getGeometryType());
                        if (shapeType == wkbPoint) {
                            hit = hit || (t == wkbPoint && !part.IsEmpty());
                        } else if (shapeType == wkbLineString) {
                            hit = hit ||
                                  (t == wkbLineString && part.toLineString()->get_Length() > 0);
                        } else {
                            hit = hit || (t == wkbPolygon && part.toPolygon()->get_Area() > 0);
                        }
                    };
                    if (OGR_GT_IsSubClassOf(cut->getGeometryType(), wkbGeometryCollection)) {
                        for (const OGRGeometry *part : *cut->toGeometryCollection()) {
                            keep(*part);
                        }
                    } else {
                        keep(*cut);
                    }
                    if (hit) {
                        expected.push_back(static_cast<int>(i));
                        break;
                    }
                }
            }
            const auto result = FilterBySelection(list, c.type, c.level, "x", selection, ui);
            EXPECT_EQ(Positions(tiles, result), expected) << c.system << " round " << round;
            kept += expected.size();
            tested += tiles.size();
        }
    }
    EXPECT_TRUE(ui.messages.empty());
    // The shapes are sized so that some tiles are kept and most are not.
    EXPECT_GT(kept, tested / 50);
    EXPECT_LT(kept, tested / 2);
}

// Features written by GDAL into a GeoPackage (two layers, WGS 84 and UTM) and a shapefile
// come back in layer and feature order with their systems, filtered by an attribute filter,
// and keep the tiles they lie in.
TEST_F(SelectionFilterTest, SelectionsReadFromGeoPackageAndShapefile) {
    test::TempDir dir;
    test::ProjTransform utm("EPSG:32637");
    auto geoAt = [&](int i) {
        const Rect r = ImageRect(TilesType::GoogleSat, googleTiles[static_cast<std::size_t>(i)]);
        return SphereToGeo(r.CentreX(), r.CentreY());
    };
    struct Feature {
        std::string name;
        int tile; // -1: no geometry
    };
    auto write = [&](const fs::path &path, const char *driverName, const char *layer,
                     OGRSpatialReference *srs, bool projected, const std::vector<Feature> &features,
                     GDALDataset *existing) {
        GDALDatasetUniquePtr created;
        GDALDataset *dataset = existing;
        if (dataset == nullptr) {
            GDALDriver *driver = GetGDALDriverManager()->GetDriverByName(driverName);
            created.reset(driver->Create(path.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
            dataset = created.get();
        }
        EXPECT_NE(dataset, nullptr);
        OGRLayer *l = dataset->CreateLayer(layer, srs, wkbPoint, nullptr);
        OGRFieldDefn name("name", OFTString);
        EXPECT_EQ(l->CreateField(&name), OGRERR_NONE);
        for (const Feature &f : features) {
            OGRFeature feature(l->GetLayerDefn());
            feature.SetField("name", f.name.c_str());
            if (f.tile >= 0) {
                auto [lon, lat] = geoAt(f.tile);
                if (projected) {
                    std::tie(lon, lat) = utm.ToProjected(lon, lat);
                }
                OGRPoint point(lon, lat);
                feature.SetGeometry(&point);
            }
            EXPECT_EQ(l->CreateFeature(&feature), OGRERR_NONE);
        }
        return created;
    };

    const fs::path gpkg = dir / "selection.gpkg";
    {
        auto ds = write(gpkg, "GPKG", "towns", wgs84.get(), false,
                        {{"a", 11}, {"b", 1}, {"none", -1}}, nullptr);
        write(gpkg, nullptr, "wells", utm37.get(), true, {{"b", 6}, {"c", 4}}, ds.get());
    }
    const Selection all = mapout::ReadSelection(gpkg);
    ASSERT_EQ(all.size(), 5u) << "a feature without geometry is selected too";
    EXPECT_STREQ(all[0]->getSpatialReference()->GetAuthorityCode(nullptr), "4326");
    EXPECT_EQ(all[2], nullptr);
    EXPECT_STREQ(all[4]->getSpatialReference()->GetAuthorityCode(nullptr), "32637");
    EXPECT_EQ(Filter(google, all), (std::vector<int>{1, 4, 6, 11}));
    EXPECT_EQ(Filter(google, mapout::ReadSelection(gpkg, "name = 'b'")), (std::vector<int>{1, 6}));
    EXPECT_EQ(mapout::ReadSelection(gpkg, "name = 'nobody'").size(), 0u);

    const fs::path shp = dir / "wells.shp";
    write(shp, "ESRI Shapefile", "wells", utm37.get(), true, {{"x", 3}, {"y", 8}, {"z", 0}},
          nullptr);
    const Selection wells = mapout::ReadSelection(shp, "name <> 'y'");
    ASSERT_EQ(wells.size(), 2u);
    EXPECT_EQ(Filter(google, wells), (std::vector<int>{0, 3}));

    // A layer of mixed shapes in WGS 84: a polygon round the centre of tile 9, a line from the
    // centre of tile 2 to that of tile 3, and a multipoint on the centres of 5 and 10, which
    // keeps nothing.
    const fs::path mixed = dir / "mixed.gpkg";
    {
        GDALDriver *driver = GetGDALDriverManager()->GetDriverByName("GPKG");
        GDALDatasetUniquePtr ds(driver->Create(mixed.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        ASSERT_TRUE(ds);
        OGRLayer *layer = ds->CreateLayer("shapes", wgs84.get(), wkbUnknown, nullptr);
        ASSERT_NE(layer, nullptr);
        const auto [lon9, lat9] = geoAt(9);
        const auto [lon2, lat2] = geoAt(2);
        const auto [lon3, lat3] = geoAt(3);
        const auto [lon5, lat5] = geoAt(5);
        const auto [lon10, lat10] = geoAt(10);
        const double d = 0.001;
        for (const std::string &wkt :
             {"POLYGON ((" + Num(lon9 - d) + " " + Num(lat9 - d) + ", " + Num(lon9 + d) + " " +
                  Num(lat9 - d) + ", " + Num(lon9) + " " + Num(lat9 + d) + ", " + Num(lon9 - d) +
                  " " + Num(lat9 - d) + "))",
              "LINESTRING (" + Num(lon2) + " " + Num(lat2) + ", " + Num(lon3) + " " + Num(lat3) +
                  ")",
              "MULTIPOINT ((" + Num(lon5) + " " + Num(lat5) + "), (" + Num(lon10) + " " +
                  Num(lat10) + "))"}) {
            OGRFeature feature(layer->GetLayerDefn());
            feature.SetGeometryDirectly(Shape(wkt, nullptr).release());
            ASSERT_EQ(layer->CreateFeature(&feature), OGRERR_NONE);
        }
    }
    const Selection shapes = mapout::ReadSelection(mixed);
    ASSERT_EQ(shapes.size(), 3u);
    EXPECT_EQ(Filter(google, shapes), (std::vector<int>{2, 3, 9}));
}

TEST_F(SelectionFilterTest, ReadingErrorsNameTheFileAndLayer) {
    test::TempDir dir;
    try {
        (void)mapout::ReadSelection(dir / "missing.gpkg");
        ADD_FAILURE() << "no error";
    } catch (const mapout::GdalError &e) {
        EXPECT_NE(std::string(e.what()).find("missing.gpkg cannot be opened as vector data"),
                  std::string::npos)
            << e.what();
    }
    const fs::path gpkg = dir / "s.gpkg";
    {
        GDALDriver *driver = GetGDALDriverManager()->GetDriverByName("GPKG");
        GDALDatasetUniquePtr ds(driver->Create(gpkg.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        ASSERT_TRUE(ds);
        ASSERT_NE(ds->CreateLayer("roads", wgs84.get(), wkbLineString, nullptr), nullptr);
    }
    try {
        (void)mapout::ReadSelection(gpkg, "nosuchfield = 1");
        ADD_FAILURE() << "no error";
    } catch (const mapout::GdalError &e) {
        EXPECT_NE(std::string(e.what()).find("\"nosuchfield = 1\""), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("layer roads of " + gpkg.string()), std::string::npos)
            << e.what();
    }
}

// The extent of a selection: points in WGS 84 and UTM give their own degrees; a UTM
// rectangle gives the bounds of its edges, which bulge past its corners; nothing for empty.
TEST_F(SelectionFilterTest, ExtentOfASelection) {
    test::ProjTransform utm("EPSG:32637");
    Selection points;
    points.push_back(Shape("POINT (37.5 55.7)", wgs84.get()));
    const auto [e, n] = utm.ToProjected(37.9, 55.95);
    points.push_back(Shape(PointWkt(e, n), utm37.get()));
    points.push_back(Shape("POINT EMPTY", wgs84.get()));
    const auto extent = mapout::SelectionExtent(points);
    ASSERT_TRUE(extent);
    EXPECT_DOUBLE_EQ(extent->lat1, 55.7);
    EXPECT_NEAR(extent->lat2, 55.95, 1e-9);
    EXPECT_DOUBLE_EQ(extent->lon1, 37.5);
    EXPECT_NEAR(extent->lon2, 37.9, 1e-9);

    // A rectangle centred on the zone's central meridian (39° E): its north edge reaches
    // furthest north at the meridian, between its corners.
    Selection rectangle;
    rectangle.push_back(Shape("POLYGON ((400000 6100000, 600000 6100000, 600000 6300000, "
                              "400000 6300000, 400000 6100000))",
                              utm37.get()));
    const auto bounds = mapout::SelectionExtent(rectangle);
    ASSERT_TRUE(bounds);
    double south = 90, north = -90, west = 180, east = -180;
    for (int i = 0; i <= 1000; ++i) {
        const double t = 400000 + 200 * i;
        for (const auto &[x, y] :
             {std::pair{t, 6100000.0}, std::pair{t, 6300000.0}, std::pair{400000.0, t + 5700000},
              std::pair{600000.0, t + 5700000}}) {
            const auto [lon, lat] = utm.ToGeographic(x, y);
            south = std::min(south, lat), north = std::max(north, lat);
            west = std::min(west, lon), east = std::max(east, lon);
        }
    }
    EXPECT_NEAR(bounds->lat1, south, 1e-7);
    EXPECT_NEAR(bounds->lat2, north, 1e-7);
    EXPECT_NEAR(bounds->lon1, west, 1e-7);
    EXPECT_NEAR(bounds->lon2, east, 1e-7);
    const auto [cornerLon, cornerLat] = utm.ToGeographic(600000, 6300000);
    EXPECT_GT(bounds->lat2, cornerLat + 1e-3) << "the edge bulges north of its corners";
    (void)cornerLon;

    EXPECT_FALSE(mapout::SelectionExtent({}));
    Selection bare;
    bare.push_back(Shape("POINT (1 2)", nullptr));
    EXPECT_THROW((void)mapout::SelectionExtent(bare), mapout::GdalError);

    EXPECT_EQ(mapout::ExtentText({55.7, 55.8, -37.5, 37.123456789012345}),
              "55.7,55.8,-37.5,37.1234567890123");
}

} // namespace

// Shapes made of the tiles' own corners, as the block index records them: tile edges are
// worked out from each tile's reference point and miss their neighbours' by rounding, which
// must not make a shape keep the tile beyond an edge it only shares.
TEST_F(SelectionFilterTest, BlockPolygonsKeepTheirOwnTileNotItsNeighbours) {
    auto ring = [](const mapout::BlockCorners &c) {
        return "POLYGON ((" + Num(c.x0) + " " + Num(c.y0) + ", " + Num(c.x1) + " " + Num(c.y0) +
               ", " + Num(c.x1) + " " + Num(c.y1) + ", " + Num(c.x0) + " " + Num(c.y1) + ", " +
               Num(c.x0) + " " + Num(c.y0) + "))";
    };
    auto corners = [](const TileRecord &r) {
        return mapout::MakeBlockCorners(r.x, r.y, r.resX, r.resY);
    };
    for (std::size_t i = 0; i < googleTiles.size(); ++i) {
        Selection one;
        one.push_back(Shape(ring(corners(googleTiles[i])), sphere.get()));
        EXPECT_EQ(Filter(google, one), std::vector<int>{static_cast<int>(i)}) << i;
    }
    // The diagonal through the corner shared by tiles 1, 2, 5 and 6 crosses 1 and 6 only.
    const auto a = corners(googleTiles[1]);
    const auto b = corners(googleTiles[6]);
    Selection diagonal;
    diagonal.push_back(Shape("LINESTRING (" + Num(a.x0) + " " + Num(a.y0) + ", " + Num(b.x1) +
                                 " " + Num(b.y1) + ")",
                             sphere.get()));
    EXPECT_EQ(Filter(google, diagonal), (std::vector<int>{1, 6}));
}

// The parts of a multipolygon are areas each, overlapping or not; a polygon without area and
// a feature without geometry meet no tile.
TEST_F(ExactGridTest, MultipolygonPartsAndDegenerateShapes) {
    using V = std::vector<int>;
    // Two squares overlapping over all of tile 4, their edges outside it.
    EXPECT_EQ(Keep("MULTIPOLYGON (((200 -200, 600 -200, 600 -600, 200 -600, 200 -200)), "
                   "((220 -220, 580 -220, 580 -580, 220 -580, 220 -220)))"),
              (V{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    // A ring of three points on one line, inside tile 4.
    EXPECT_EQ(Keep("POLYGON ((300 -300, 350 -350, 400 -400, 300 -300))"), V{});
    Selection nothing;
    nothing.push_back(nullptr);
    EXPECT_EQ(Keep(std::move(nothing)), V{});
}
