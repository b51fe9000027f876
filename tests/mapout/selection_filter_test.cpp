// The selection filter against tiles whose positions are worked out here from their records,
// on a grid where touching is exact, with shapes in other coordinate systems (converted with
// PROJ directly, not through OGR) or read back from a GeoPackage.
#include "mapout/selection_filter.h"

#include "../tiles/proj_reference.h"
#include "common/error_report.h"
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

using namespace tessaro;
using mapout::FilterBySelection;
using mapout::Selection;
using tiles::TileRecord;
using tiles::TilesType;
namespace fs = std::filesystem;
using V = std::vector<int>;

namespace {

// A coordinate system as users name it, x = easting or longitude.
OGRSpatialReference System(const char *name) {
    OGRSpatialReference srs;
    EXPECT_EQ(srs.SetFromUserInput(name), OGRERR_NONE) << name;
    srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    return srs;
}

OGRGeometryUniquePtr Shape(const std::string &wkt, OGRSpatialReference *srs) {
    OGRGeometry *geometry = nullptr;
    EXPECT_EQ(OGRGeometryFactory::createFromWkt(wkt.c_str(), srs, &geometry), OGRERR_NONE) << wkt;
    return OGRGeometryUniquePtr(geometry);
}

template <class... Shapes> Selection Of(Shapes &&...shapes) {
    Selection selection;
    (selection.push_back(std::forward<Shapes>(shapes)), ...);
    return selection;
}

std::string Pt(double x, double y) {
    char text[80];
    std::snprintf(text, sizeof text, "%.17g %.17g", x, y);
    return text;
}
std::string PointWkt(std::pair<double, double> p) {
    return "POINT (" + Pt(p.first, p.second) + ")";
}
// The closed ring of a rectangle, in parentheses.
std::string Ring(double w, double s, double e, double n) {
    return "((" + Pt(w, s) + ", " + Pt(e, s) + ", " + Pt(e, n) + ", " + Pt(w, n) + ", " + Pt(w, s) +
           "))";
}

// Positions in the list of the kept tiles.
V Positions(const std::vector<TileRecord> &all, const mapout::FilterResult &result) {
    V positions;
    for (const TileRecord &kept : result.kept) {
        const auto it = std::find(all.begin(), all.end(), kept);
        positions.push_back(it == all.end() ? -1 : static_cast<int>(it - all.begin()));
    }
    EXPECT_EQ(result.lastIndex, static_cast<std::int64_t>(result.kept.size()) - 1);
    return positions;
}

class SelectionFilterTest : public ::testing::Test {
protected:
    SelectionFilterTest() {
        GDALAllRegister();
        // A grid of 3 x 3 tiles of 1 m pixels in the tiles' own system, whose edges fall on
        // whole metres, so that touching is exact: tile (c, r) covers x 256c … 256c + 256 and
        // y −256r − 256 … −256r; it is number 3r + c in the list.
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                gridTiles.push_back({c, r, 256.0 * c + 0.5, -256.0 * r - 0.5, 1, -1, {}});
                gridTiles.back().name.Assign("t" + std::to_string(3 * r + c));
            }
        }
    }

    // Filters the tiles of a list; no message may be shown.
    V Filter(const tiles::TileList &list, const std::vector<TileRecord> &all, TilesType type,
             const Selection &selection) {
        const auto result = FilterBySelection(list, type, 13, "Goo", selection, ui);
        EXPECT_TRUE(ui.messages.empty()) << ui.messages.front().text;
        return Positions(all, result);
    }
    V Filter(const Selection &selection) {
        return Filter(google, googleTiles, TilesType::GoogleSat, selection);
    }
    V Keep(const Selection &selection) {
        return Filter(tiles::TileList(google.Request(), gridTiles), gridTiles, TilesType::GoogleSat,
                      selection);
    }
    V Keep(const std::string &wkt) { return Keep(Of(Shape(wkt, &sphere))); }

    // The centre of Google tile i in WGS 84 degrees and in UTM zone 37N.
    [[nodiscard]] std::pair<double, double> GeoCentre(int i) const {
        const TileRecord &r = googleTiles[static_cast<std::size_t>(i)];
        return mercator.ToGeographic(r.x - r.resX / 2 + 128 * r.resX,
                                     r.y - r.resY / 2 + 128 * r.resY);
    }
    [[nodiscard]] std::pair<double, double> UtmCentre(int i) const {
        const auto [lon, lat] = GeoCentre(i);
        return utm.ToProjected(lon, lat);
    }

    // Google satellite, level 13, over central Moscow: 4 columns by 3 rows, row by row.
    const tiles::TileList google{{TilesType::GoogleSat, 13, 55.70, 55.80, 37.45, 37.75}};
    const std::vector<TileRecord> googleTiles = tiles::BuildTileList(google.Request());
    std::vector<TileRecord> gridTiles;
    OGRSpatialReference wgs84 = System("EPSG:4326");
    OGRSpatialReference utm37 = System("EPSG:32637");
    OGRSpatialReference sphere = System("ESRI:53004");
    const test::ProjTransform utm{"EPSG:32637"}, mercator{"ESRI:53004"};
    test::RecordingUi ui;
};

} // namespace

// Shapes read from a GeoPackage (a WGS 84 and a UTM layer: in layer order, with their systems,
// a feature without geometry selected too, an attribute filter), in WGS 84 in either axis order
// or without a system (the tiles' own) keep the tiles they meet, in list order. A filter on a
// field the layers lack names the layer and the file. ScanEx and Yandex tiles are tested one
// tile height above the south-west corner of their lists.
TEST_F(SelectionFilterTest, ShapesFromFilesAndOtherSystemsKeepTheTilesTheyMeet) {
    ASSERT_EQ(googleTiles.size(), 12u);
    test::TempDir dir;
    const fs::path gpkg = dir / "selection.gpkg";
    {
        GDALDatasetUniquePtr ds(GetGDALDriverManager()->GetDriverByName("GPKG")->Create(
            gpkg.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        ASSERT_TRUE(ds);
        auto layer = [&](const char *name, OGRSpatialReference *srs,
                         const std::vector<std::pair<const char *, std::string>> &features) {
            OGRLayer *l = ds->CreateLayer(name, srs, wkbUnknown, nullptr);
            OGRFieldDefn field("name", OFTString);
            ASSERT_EQ(l->CreateField(&field), OGRERR_NONE);
            for (const auto &[value, wkt] : features) {
                OGRFeature feature(l->GetLayerDefn());
                feature.SetField("name", value);
                if (!wkt.empty()) {
                    feature.SetGeometryDirectly(Shape(wkt, nullptr).release());
                }
                ASSERT_EQ(l->CreateFeature(&feature), OGRERR_NONE);
            }
        };
        // A UTM rectangle between the centres of tiles 1 and 6: its sides are not quite
        // parallels and meridians, but stay far from other tiles.
        const auto [w, n] = UtmCentre(1);
        const auto [e, s] = UtmCentre(6);
        layer("towns", &wgs84,
              {{"a", PointWkt(GeoCentre(11))},
               {"b", PointWkt(GeoCentre(7))},
               {"none", ""},
               {"spb", "POINT (30.3 59.9)"}});
        layer("wells", &utm37,
              {{"b", PointWkt(UtmCentre(4))}, {"c", "POLYGON " + Ring(w, s, e, n)}});
    }
    const Selection all = mapout::ReadSelection(gpkg);
    ASSERT_EQ(all.size(), 6u);
    EXPECT_STREQ(all[0]->getSpatialReference()->GetAuthorityCode(nullptr), "4326");
    EXPECT_EQ(all[2], nullptr);
    EXPECT_STREQ(all[5]->getSpatialReference()->GetAuthorityCode(nullptr), "32637");
    EXPECT_EQ(Filter(all), (V{1, 2, 4, 5, 6, 7, 11}));
    EXPECT_EQ(Filter(mapout::ReadSelection(gpkg, "name = 'b'")), (V{4, 7}));
    try {
        (void)mapout::ReadSelection(gpkg, "nosuchfield = 1");
        ADD_FAILURE() << "no error";
    } catch (const mapout::GdalError &e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("\"nosuchfield = 1\""), std::string::npos) << text;
        EXPECT_NE(text.find("layer towns of " + gpkg.string()), std::string::npos) << text;
    }
    OGRSpatialReference latFirst;
    ASSERT_EQ(latFirst.importFromEPSG(4326), OGRERR_NONE);
    latFirst.SetAxisMappingStrategy(OAMS_AUTHORITY_COMPLIANT);
    const auto [lon2, lat2] = GeoCentre(2);
    const TileRecord &t9 = googleTiles[9];
    EXPECT_EQ(Filter(Of(Shape(PointWkt({t9.x + 100, t9.y - 100}), nullptr),
                        Shape(PointWkt({lat2, lon2}), &latFirst), Shape("POINT (0 0)", &wgs84))),
              (V{2, 9}));
    EXPECT_EQ(std::vector(ui.labels.end() - 3, ui.labels.end()),
              (std::vector<std::string>{"Create Geometry", "FilterBySelection", ""}));
    for (const auto type : {TilesType::ScanSat, TilesType::YandMap}) {
        const tiles::TileList list({type, 13, 55.70, 55.80, 37.45, 37.75});
        const auto records = tiles::BuildTileList(list.Request());
        ASSERT_GE(records.size(), 6u);
        const auto b = test::TileGeoBounds(type, records[5], 13);
        const std::pair<double, double> centre{(b.west + b.east) / 2, (b.south + b.north) / 2};
        EXPECT_EQ(Filter(list, records, type, Of(Shape(PointWkt(centre), &wgs84))), V{5});
    }
}

// On the exact grid: a line keeps the tiles it runs through or along for some length, not those
// it touches at single points (a tip on an edge, a corner it passes); points on an edge or
// corner belong to every tile that has them. A polygon keeps the tiles it overlaps by some area,
// not those it shares an edge with; the parts of a multipolygon are areas each, overlapping or
// not. Curves count as their lines; multipoints, collections, empty shapes, polygons without
// area and features without geometry meet no tile.
TEST_F(SelectionFilterTest, ShapesOnAnExactGrid) {
    const std::pair<const char *, V> cases[] = {
        // Along the edge between tiles 4 and 5, corner to corner: 1, 2, 7 and 8 touch its ends.
        {"LINESTRING (512 -256, 512 -512)", V{4, 5}},
        {"LINESTRING (0 -300, 0 -400)", V{3}}, // part of the grid's west edge
        // A V inside tile 3 whose tip touches the edge shared with tile 4, and one outside the
        // grid touching its west edge.
        {"LINESTRING (100 -300, 256 -384, 100 -500)", V{3}},
        {"LINESTRING (-100 -300, 0 -384, -100 -500)", V{}},
        // Through the corner shared by tiles 0, 1, 3 and 4, with and without a vertex there.
        {"LINESTRING (128 -128, 256 -256, 384 -384)", V{0, 4}},
        {"LINESTRING (128 -128, 384 -384)", V{0, 4}},
        {"LINESTRING (300 -300, 300 -300)", V{}}, // no length
        {"COMPOUNDCURVE ((600 -600, 700 -700))", V{8}},
        {"MULTILINESTRING ((100 -100, 101 -100), (600 -600, 600 -601))", V{0, 8}},
        {"POINT (256 -100)", V{0, 1}},
        {"POINT Z (512 -512 3)", V{4, 5, 7, 8}},
        {"MULTIPOINT ((100 -100), (600 -600))", V{}},
        {"GEOMETRYCOLLECTION (POINT (100 -100))", V{}},
        {"POINT EMPTY", V{}},
        {"LINESTRING EMPTY", V{}},
        // Exactly tile 4: its eight neighbours share an edge or a corner only.
        {"CURVEPOLYGON ((256 -256, 512 -256, 512 -512, 256 -512, 256 -256))", V{4}},
        {"POLYGON ((-50 0, 0 0, 0 -768, -50 -768, -50 0))", V{}},
        // Round every tile with tile 4 as its hole, outer ring clockwise and hole anticlockwise
        // (the reverse of the usual order): every tile but 4.
        {"POLYGON ((-10 -778, -10 10, 778 10, 778 -778, -10 -778), "
         "(256 -256, 512 -256, 512 -512, 256 -512, 256 -256))",
         V{0, 1, 2, 3, 5, 6, 7, 8}},
        // A triangle with a vertex in tile 2 and its other corners far outside the grid.
        {"POLYGON ((700 -100, 5000 5000, 5000 -5000, 700 -100))", V{2}},
        // A sliver along the edge between tiles 2 and 5, wholly inside tile 2.
        {"POLYGON ((600 -256, 700 -256, 700 -255.99, 600 -256))", V{2}},
        // Two squares overlapping over all of tile 4, their edges outside it.
        {"MULTIPOLYGON (((200 -200, 600 -200, 600 -600, 200 -600, 200 -200)), "
         "((220 -220, 580 -220, 580 -580, 220 -580, 220 -220)))",
         V{0, 1, 2, 3, 4, 5, 6, 7, 8}},
        {"MULTIPOLYGON (((10 -10, 20 -10, 20 -20, 10 -10)), ((600 -600, 610 -600, 610 -610, 600 "
         "-600)))",
         V{0, 8}},
        {"POLYGON ((300 -300, 350 -350, 400 -400, 300 -300))", V{}}}; // three points on a line
    for (const auto &[wkt, expected] : cases) {
        EXPECT_EQ(Keep(wkt), expected) << wkt;
    }
    // Shapes of many vertices, whose segments are looked up by their boxes: a circle round the
    // middle of tile 4 reaching 22 m into its side neighbours, not to the corners of the tile,
    // and a zig-zag inside tile 8.
    std::string circle, zigzag;
    for (int v = 0; v <= 40; ++v) {
        circle += (v ? ", " : "") + Pt(384 + 150 * std::cos(v * std::numbers::pi / 20),
                                       -384 + 150 * std::sin(v * std::numbers::pi / 20));
        zigzag += (v ? ", " : "") + Pt(600 + v, v % 2 == 0 ? -600 : -610);
    }
    EXPECT_EQ(Keep("POLYGON ((" + circle + "))"), (V{1, 3, 4, 5, 7}));
    EXPECT_EQ(Keep("LINESTRING (" + zigzag + ")"), V{8});
    EXPECT_EQ(Keep(Of(OGRGeometryUniquePtr())), V{});
}

// Shapes made of the tiles' own corners, as the block index records them: tile edges are
// worked out from each tile's reference point and miss their neighbours' by rounding, which
// must not make a shape keep the tile beyond an edge it only shares.
TEST_F(SelectionFilterTest, BlockPolygonsKeepTheirOwnTileNotItsNeighbours) {
    auto corners = [](const TileRecord &r) {
        return mapout::MakeBlockCorners(r.x, r.y, r.resX, r.resY);
    };
    for (std::size_t i = 0; i < googleTiles.size(); ++i) {
        const auto c = corners(googleTiles[i]);
        EXPECT_EQ(Filter(Of(Shape("POLYGON " + Ring(c.x0, c.y1, c.x1, c.y0), &sphere))),
                  V{static_cast<int>(i)})
            << i;
    }
    // The diagonal through the corner shared by tiles 1, 2, 5 and 6 crosses 1 and 6 only.
    const auto a = corners(googleTiles[1]);
    const auto b = corners(googleTiles[6]);
    EXPECT_EQ(
        Filter(Of(Shape("LINESTRING (" + Pt(a.x0, a.y0) + ", " + Pt(b.x1, b.y1) + ")", &sphere))),
        (V{1, 6}));
}

// A shape PROJ cannot project and a type without a system are reported and keep nothing.
TEST_F(SelectionFilterTest, ErrorsAreReportedAndKeepNothing) {
    const Selection pole = Of(Shape("POINT (37.6 55.7)", &wgs84), Shape("POINT (0 100)", &wgs84));
    const auto failed = FilterBySelection(google, TilesType::GoogleSat, 13, "Goo", pole, ui);
    EXPECT_TRUE(failed.lastIndex == -1 && failed.kept.empty());
    EXPECT_EQ(FilterBySelection(google, TilesType::Invalid, 13, "Goo", pole, ui).lastIndex, -1);
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_NE(ui.messages[0].text.find("\tFilterBySelection  \r\n"), std::string::npos);
    EXPECT_NE(ui.messages[0].text.find("The selected shape 2 cannot be projected"),
              std::string::npos)
        << ui.messages[0].text;
    EXPECT_NE(ui.messages[1].text.find("The tile type -1 has no coordinate system"),
              std::string::npos);
    EXPECT_EQ(ui.labels.back(), "");
}

// A selection's extent follows the edges of projected shapes, which bulge past their corners;
// empty shapes are passed over, a shape without a system has no extent in degrees.
TEST_F(SelectionFilterTest, ExtentOfASelection) {
    // A rectangle centred on the zone's central meridian (39° E), a point inside its extent.
    const auto bounds = mapout::SelectionExtent(
        Of(Shape("POLYGON " + Ring(400000, 6100000, 600000, 6300000), &utm37),
           Shape("POINT (37.5 55.7)", &wgs84), Shape("POINT EMPTY", &wgs84)));
    ASSERT_TRUE(bounds);
    // The north edge reaches furthest north on the meridian, the south edge furthest south at
    // its corners, the west and east edges furthest out at their northern ends.
    const auto [west, north] = utm.ToGeographic(400000, 6300000);
    EXPECT_NEAR(bounds->lat1, utm.ToGeographic(400000, 6100000).second, 1e-7);
    EXPECT_NEAR(bounds->lat2, utm.ToGeographic(500000, 6300000).second, 1e-7);
    EXPECT_NEAR(bounds->lon1, west, 1e-7);
    EXPECT_NEAR(bounds->lon2, utm.ToGeographic(600000, 6300000).first, 1e-7);
    EXPECT_GT(bounds->lat2, north + 1e-3) << "the edge bulges north of its corners";

    EXPECT_FALSE(mapout::SelectionExtent({}));
    EXPECT_THROW((void)mapout::SelectionExtent(Of(Shape("POINT (1 2)", nullptr))),
                 mapout::GdalError);
}
