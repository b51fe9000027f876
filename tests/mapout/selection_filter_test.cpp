// The selection filter against tiles whose positions are worked out here from their records,
// shapes given in other coordinate systems (converted with PROJ directly, not through OGR),
// read back from a GeoPackage, and against the plain double loop over GEOS.
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
#include <random>

using namespace tessaro;
using mapout::FilterBySelection;
using mapout::Selection;
using tiles::TileRecord;
using tiles::TilesType;
namespace fs = std::filesystem;
using V = std::vector<int>;

namespace {

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

std::vector<TileRecord> Records(const tiles::TileList &list) {
    std::vector<TileRecord> records;
    list.ForEach([&](const TileRecord &r) { records.push_back(r); });
    return records;
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
    void SetUp() override { GDALAllRegister(); }

    // Filters the Google tiles; no message may be shown.
    V Filter(const Selection &selection) {
        const auto result =
            FilterBySelection(google, TilesType::GoogleSat, 13, "Goo", selection, ui);
        EXPECT_TRUE(ui.messages.empty()) << ui.messages.front().text;
        return Positions(googleTiles, result);
    }

    // The centre of Google tile i in WGS 84 degrees and in UTM zone 37N.
    [[nodiscard]] std::pair<double, double> GeoCentre(int i) const {
        const TileRecord &r = googleTiles[static_cast<std::size_t>(i)];
        const auto p = test::SphereMercatorToGeo(r.x - r.resX / 2 + 128 * r.resX,
                                                 r.y - r.resY / 2 + 128 * r.resY);
        return {p.lon, p.lat};
    }
    [[nodiscard]] std::pair<double, double> UtmCentre(int i) const {
        const auto [lon, lat] = GeoCentre(i);
        return utm.ToProjected(lon, lat);
    }

    // Google satellite, level 13, over central Moscow: 4 columns by 3 rows, row by row.
    const tiles::TileList google{{TilesType::GoogleSat, 13, 55.70, 55.80, 37.45, 37.75}};
    const std::vector<TileRecord> googleTiles = Records(google);
    SharedSrs wgs84 = System("EPSG:4326");
    SharedSrs utm37 = System("EPSG:32637");
    SharedSrs sphere = System("ESRI:53004");
    test::ProjTransform utm{"EPSG:32637"};
    test::RecordingUi ui;
};

// Lines and polygons against a grid of 3 x 3 tiles of 1 m pixels in the tiles' own system,
// whose edges fall on whole metres, so that touching is exact: tile (c, r) covers
// x 256c … 256c + 256 and y −256r − 256 … −256r; it is number 3r + c in the list.
class ExactGridTest : public SelectionFilterTest {
protected:
    ExactGridTest() {
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                TileRecord record{c, r, 256.0 * c + 0.5, -256.0 * r - 0.5, 1, -1, {}};
                record.name.Assign("t" + std::to_string(3 * r + c));
                m_records.push_back(record);
            }
        }
    }

    V Keep(const std::string &wkt) { return Keep(Of(Shape(wkt, sphere.get()))); }
    V Keep(const Selection &s) {
        const tiles::TileList grid(google.Request(), m_records);
        const auto result = FilterBySelection(grid, TilesType::GoogleSat, 13, "Goo", s, ui);
        EXPECT_TRUE(ui.messages.empty());
        return Positions(m_records, result);
    }

    std::vector<TileRecord> m_records;
};

} // namespace

// Shapes in WGS 84 (in either axis order), in UTM zone 37N or without a system (the tiles' own)
// keep the tiles they meet, in list order whatever the selection's order.
TEST_F(SelectionFilterTest, ShapesInOtherSystemsKeepTheTilesTheyMeet) {
    ASSERT_EQ(googleTiles.size(), 12u);
    auto latFirst = SharedSrs(new OGRSpatialReference());
    ASSERT_EQ(latFirst->importFromEPSG(4326), OGRERR_NONE);
    latFirst->SetAxisMappingStrategy(OAMS_AUTHORITY_COMPLIANT);
    const auto [lon2, lat2] = GeoCentre(2);
    const TileRecord &t9 = googleTiles[9];
    // A UTM rectangle between the centres of tiles 1 and 6: its sides are not quite parallels
    // and meridians, but stay far from other tiles.
    const auto [w, n] = UtmCentre(1);
    const auto [e, s] = UtmCentre(6);
    const std::pair<Selection, V> cases[] = {
        {Of(Shape(PointWkt(UtmCentre(10)), utm37.get()), Shape(PointWkt(GeoCentre(7)), wgs84.get()),
            Shape("POINT (30.3 59.9)", wgs84.get())), // Saint Petersburg
         V{7, 10}},
        {Of(Shape(PointWkt({t9.x + 100, t9.y - 100}), nullptr)), V{9}},
        {Of(Shape(PointWkt({lat2, lon2}), latFirst.get())), V{2}},
        {Of(Shape("POLYGON " + Ring(w, s, e, n), utm37.get())), V{1, 2, 5, 6}},
        {Of(Shape("POINT (0 0)", wgs84.get())), V{}}};
    for (const auto &[selection, expected] : cases) {
        EXPECT_EQ(Filter(selection), expected);
    }
    EXPECT_EQ(ui.labels.back(), "");
    EXPECT_EQ(ui.labels.end()[-2], "FilterBySelection");
    EXPECT_EQ(ui.labels.end()[-3], "Create Geometry");
    EXPECT_EQ(ui.lastMaximum, 0) << "the bar is reset";
}

// A line keeps the tiles it runs through or along for some length; touching a tile at single
// points (a tip on its edge, a corner it passes) does not keep it. Points on an edge or corner
// belong to every tile that has them.
TEST_F(ExactGridTest, LinesAndPointsKeepTilesTheyRunThroughOrLieOn) {
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
        {"LINESTRING (600 -600, 700 -700)", V{8}},
        {"MULTILINESTRING ((100 -100, 101 -100), (600 -600, 600 -601))", V{0, 8}},
        {"POINT (256 -100)", V{0, 1}},
        {"POINT (512 -512)", V{4, 5, 7, 8}},
        // Multipoints, collections and empty shapes meet no tile.
        {"MULTIPOINT ((100 -100), (600 -600))", V{}},
        {"GEOMETRYCOLLECTION (POINT (100 -100))", V{}},
        {"POINT EMPTY", V{}}};
    for (const auto &[wkt, expected] : cases) {
        EXPECT_EQ(Keep(wkt), expected) << wkt;
    }
    const std::pair<const char *, mapout::ShapeDimension> dimensions[] = {
        {"POINT Z (1 2 3)", mapout::ShapeDimension::Point},
        {"COMPOUNDCURVE ((0 0, 1 1))", mapout::ShapeDimension::Line},
        {"CURVEPOLYGON ((0 0, 1 0, 1 1, 0 0))", mapout::ShapeDimension::Polygon},
        {"LINESTRING EMPTY", mapout::ShapeDimension::None}};
    for (const auto &[wkt, dimension] : dimensions) {
        EXPECT_EQ(mapout::DimensionOf(*Shape(wkt, nullptr)), dimension) << wkt;
    }
}

// A polygon keeps the tiles it overlaps by some area, not those it shares an edge with; the
// parts of a multipolygon are areas each, overlapping or not; a polygon without area and a
// feature without geometry meet no tile.
TEST_F(ExactGridTest, PolygonsKeepTilesTheyOverlap) {
    const std::pair<const char *, V> cases[] = {
        // Exactly tile 4: its eight neighbours share an edge or a corner only.
        {"POLYGON ((256 -256, 512 -256, 512 -512, 256 -512, 256 -256))", V{4}},
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
    // A large polygon of many vertices round the grid, none near it, keeps every tile.
    std::string circle;
    for (int v = 0; v <= 40; ++v) {
        circle += (v ? ", " : "") + Pt(1e5 * std::cos(v * std::numbers::pi / 20),
                                       1e5 * std::sin(v * std::numbers::pi / 20));
    }
    EXPECT_EQ(Keep("POLYGON ((" + circle + "))").size(), 9u);
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
        EXPECT_EQ(Filter(Of(Shape("POLYGON " + Ring(c.x0, c.y1, c.x1, c.y0), sphere.get()))),
                  V{static_cast<int>(i)})
            << i;
    }
    // The diagonal through the corner shared by tiles 1, 2, 5 and 6 crosses 1 and 6 only.
    const auto a = corners(googleTiles[1]);
    const auto b = corners(googleTiles[6]);
    EXPECT_EQ(Filter(Of(Shape("LINESTRING (" + Pt(a.x0, a.y0) + ", " + Pt(b.x1, b.y1) + ")",
                              sphere.get()))),
              (V{1, 6}));
}

// A shape PROJ cannot project and a type without a system are reported and keep nothing.
TEST_F(SelectionFilterTest, ErrorsAreReportedAndKeepNothing) {
    const Selection pole =
        Of(Shape("POINT (37.6 55.7)", wgs84.get()), Shape("POINT (0 100)", wgs84.get()));
    const auto failed = FilterBySelection(google, TilesType::GoogleSat, 13, "Goo", pole, ui);
    EXPECT_EQ(failed.lastIndex, -1);
    EXPECT_TRUE(failed.kept.empty());
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].title, kReportTitle);
    EXPECT_NE(ui.messages[0].text.find("\tFilterBySelection  \r\n"), std::string::npos);
    EXPECT_NE(ui.messages[0].text.find("The selected shape 2 cannot be projected"),
              std::string::npos)
        << ui.messages[0].text;
    EXPECT_EQ(ui.labels.back(), "");
    ui.messages.clear();
    EXPECT_EQ(FilterBySelection(google, TilesType::Invalid, 13, "Goo", pole, ui).lastIndex, -1);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_NE(ui.messages[0].text.find("The tile type -1 has no coordinate system"),
              std::string::npos);
}

// What a GEOS intersection holds in the shape's dimension: points, line length or area.
double Measure(const OGRGeometry &cut, int dimension) {
    if (OGR_GT_IsSubClassOf(cut.getGeometryType(), wkbGeometryCollection)) {
        double sum = 0;
        for (const OGRGeometry *part : *cut.toGeometryCollection()) {
            sum += Measure(*part, dimension);
        }
        return sum;
    }
    const auto type = wkbFlatten(cut.getGeometryType());
    if (dimension == 0) {
        return type == wkbPoint && !cut.IsEmpty() ? 1 : 0;
    }
    if (dimension == 1) {
        return type == wkbLineString ? cut.toLineString()->get_Length() : 0;
    }
    return type == wkbPolygon ? cut.toPolygon()->get_Area() : 0;
}

// The plain double loop over GEOS intersections keeps the same tiles on random points, lines
// and polygons (many vertices among them) in several systems and grids, ScanEx and Yandex
// polygons one tile height above their records' south-west corners.
TEST_F(SelectionFilterTest, MatchesTheDoubleLoopOverGeos) {
    if (OGRGeometryFactory::haveGEOS() == 0) {
        GTEST_SKIP() << "GDAL was built without GEOS";
    }
    std::mt19937_64 random(11);
    std::size_t kept = 0;
    std::size_t tested = 0;
    const std::tuple<TilesType, int, const char *> cases[] = {
        {TilesType::GoogleMap, 14, "ESRI:53004"},
        {TilesType::YandMap, 14, "ESRI:54004"},
        {TilesType::ScanSat, 13, "ESRI:54004"}};
    for (const auto &[type, level, system] : cases) {
        const tiles::TileList list({type, level, 55.70, 55.80, 37.50, 37.70});
        const std::vector<TileRecord> tiles = Records(list);
        auto own = System(system);
        const double height = tiles::IsEllipsoidal(type) ? 256 * tiles::ResN(level) : 0;
        std::vector<OGRPolygon> polygons;
        OGREnvelope all;
        for (const TileRecord &r : tiles) {
            polygons.push_back(mapout::MakeBlockPolygon(r.x, r.y + height, r.resX, r.resY));
            OGREnvelope e;
            polygons.back().getEnvelope(&e);
            all.Merge(e);
        }
        std::uniform_real_distribution<double> x(all.MinX - 2000, all.MaxX + 2000);
        std::uniform_real_distribution<double> y(all.MinY - 2000, all.MaxY + 2000);
        std::uniform_real_distribution<double> radius(50, 1500);
        for (int round = 0; round < 6; ++round) {
            Selection selection;
            for (int k = 0; k < 4; ++k) {
                const double cx = x(random), cy = y(random);
                const auto which = std::uniform_int_distribution<int>(0, 2)(random);
                std::string wkt = PointWkt({cx, cy});
                if (which != 0) { // a star-shaped ring (valid as a polygon) or a zig-zag line
                    std::string points;
                    const int n = 5 + k * 20;
                    for (int v = 0; v < n; ++v) {
                        const double a = 2 * std::numbers::pi * v / n;
                        const double rr = radius(random);
                        points +=
                            (v ? ", " : "") + Pt(cx + rr * std::cos(a), cy + rr * std::sin(a));
                    }
                    wkt = which == 1 ? "LINESTRING (" + points + ")"
                                     : "POLYGON ((" + points + ", " +
                                           points.substr(0, points.find(',')) + "))";
                }
                auto shape = Shape(wkt, own.get());
                if (k % 2 == 1) { // every other shape comes in WGS 84
                    ASSERT_EQ(shape->transformTo(wgs84.get()), OGRERR_NONE);
                }
                selection.push_back(std::move(shape));
            }
            std::vector<OGRGeometryUniquePtr> projected;
            for (const auto &shape : selection) {
                projected.emplace_back(shape->clone());
                ASSERT_EQ(projected.back()->transformTo(own.get()), OGRERR_NONE);
            }
            V expected;
            for (std::size_t i = 0; i < tiles.size(); ++i) {
                for (const auto &shape : projected) {
                    OGRGeometryUniquePtr cut(polygons[i].Intersection(shape.get()));
                    ASSERT_TRUE(cut);
                    if (Measure(*cut, shape->getDimension()) > 0) {
                        expected.push_back(static_cast<int>(i));
                        break;
                    }
                }
            }
            const auto result = FilterBySelection(list, type, level, "x", selection, ui);
            EXPECT_EQ(Positions(tiles, result), expected) << system << " round " << round;
            kept += expected.size();
            tested += tiles.size();
        }
    }
    EXPECT_TRUE(ui.messages.empty());
    // The shapes are sized so that some tiles are kept and most are not.
    EXPECT_GT(kept, tested / 50);
    EXPECT_LT(kept, tested / 2);
}

// Features of two layers of a GeoPackage (WGS 84 and UTM) come back in layer order with their
// systems, filtered by an attribute filter, and keep the tiles they lie in; a filter on a field
// the layers lack names the layer and the file.
TEST_F(SelectionFilterTest, SelectionsReadFromAGeoPackage) {
    test::TempDir dir;
    const fs::path gpkg = dir / "selection.gpkg";
    {
        GDALDatasetUniquePtr ds(GetGDALDriverManager()->GetDriverByName("GPKG")->Create(
            gpkg.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        ASSERT_TRUE(ds);
        auto layer = [&](const char *name, OGRSpatialReference *srs,
                         const std::vector<std::pair<const char *, std::string>> &features) {
            OGRLayer *l = ds->CreateLayer(name, srs, wkbPoint, nullptr);
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
        layer("towns", wgs84.get(),
              {{"a", PointWkt(GeoCentre(11))}, {"b", PointWkt(GeoCentre(1))}, {"none", ""}});
        layer("wells", utm37.get(), {{"b", PointWkt(UtmCentre(6))}, {"c", PointWkt(UtmCentre(4))}});
    }
    const Selection all = mapout::ReadSelection(gpkg);
    ASSERT_EQ(all.size(), 5u) << "a feature without geometry is selected too";
    EXPECT_STREQ(all[0]->getSpatialReference()->GetAuthorityCode(nullptr), "4326");
    EXPECT_EQ(all[2], nullptr);
    EXPECT_STREQ(all[4]->getSpatialReference()->GetAuthorityCode(nullptr), "32637");
    EXPECT_EQ(Filter(all), (V{1, 4, 6, 11}));
    EXPECT_EQ(Filter(mapout::ReadSelection(gpkg, "name = 'b'")), (V{1, 6}));
    try {
        (void)mapout::ReadSelection(gpkg, "nosuchfield = 1");
        ADD_FAILURE() << "no error";
    } catch (const mapout::GdalError &e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("\"nosuchfield = 1\""), std::string::npos) << text;
        EXPECT_NE(text.find("layer towns of " + gpkg.string()), std::string::npos) << text;
    }
}

// A selection's extent follows the edges of projected shapes, which bulge past their corners;
// empty shapes are passed over, a shape without a system has no extent in degrees.
TEST_F(SelectionFilterTest, ExtentOfASelection) {
    // A rectangle centred on the zone's central meridian (39° E): its north edge reaches
    // furthest north at the meridian, between its corners.
    const auto bounds = mapout::SelectionExtent(
        Of(Shape("POLYGON " + Ring(400000, 6100000, 600000, 6300000), utm37.get()),
           Shape("POINT (37.5 55.7)", wgs84.get()), Shape("POINT EMPTY", wgs84.get())));
    ASSERT_TRUE(bounds);
    double south = 55.7, north = -90, west = 37.5, east = -180;
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
    EXPECT_GT(bounds->lat2, utm.ToGeographic(600000, 6300000).second + 1e-3)
        << "the edge bulges north of its corners";

    EXPECT_FALSE(mapout::SelectionExtent({}));
    EXPECT_THROW((void)mapout::SelectionExtent(Of(Shape("POINT (1 2)", nullptr))),
                 mapout::GdalError);
    EXPECT_EQ(mapout::ExtentText({55.7, 55.8, -37.5, 37.123456789012345}),
              "55.7,55.8,-37.5,37.1234567890123");
}
