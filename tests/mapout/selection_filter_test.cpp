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
std::string PointWkt(double x, double y) {
    return "POINT (" + Pt(x, y) + ")";
}
std::string PointWkt(std::pair<double, double> p) {
    return PointWkt(p.first, p.second);
}
// The closed ring of a rectangle, in parentheses.
std::string Ring(double w, double s, double e, double n) {
    return "((" + Pt(w, s) + ", " + Pt(e, s) + ", " + Pt(e, n) + ", " + Pt(w, n) + ", " + Pt(w, s) +
           "))";
}

// The tile's image in its own system, worked out from the record.
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

class SelectionFilterTest : public ::testing::Test {
protected:
    void SetUp() override { GDALAllRegister(); }

    static std::vector<TileRecord> Records(const tiles::TileList &list) {
        std::vector<TileRecord> records;
        list.ForEach([&](const TileRecord &r) { records.push_back(r); });
        return records;
    }

    // Positions in the list of the kept tiles.
    static V Positions(const std::vector<TileRecord> &all, const mapout::FilterResult &result) {
        V positions;
        for (const TileRecord &kept : result.kept) {
            const auto it = std::find(all.begin(), all.end(), kept);
            positions.push_back(it == all.end() ? -1 : static_cast<int>(it - all.begin()));
        }
        EXPECT_EQ(result.lastIndex, static_cast<std::int64_t>(result.kept.size()) - 1);
        return positions;
    }

    // Filters the Google tiles; no message may be shown.
    V Filter(const Selection &selection) {
        const auto result =
            FilterBySelection(google, TilesType::GoogleSat, 13, "Goo", selection, ui);
        EXPECT_TRUE(ui.messages.empty()) << ui.messages.front().text;
        return Positions(googleTiles, result);
    }

    // The centre of Google tile i in its own metres and in WGS 84 degrees.
    [[nodiscard]] Rect Image(int i) const {
        return ImageRect(TilesType::GoogleSat, googleTiles[static_cast<std::size_t>(i)]);
    }
    [[nodiscard]] std::pair<double, double> GeoCentre(int i) const {
        const auto p = test::SphereMercatorToGeo(Image(i).CentreX(), Image(i).CentreY());
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

// Shapes in WGS 84 (in either axis order), in UTM zone 37N or without a system (the tiles' own)
// keep the tiles they meet, in list order whatever the selection's order.
TEST_F(SelectionFilterTest, ShapesInOtherSystemsKeepTheTilesTheyMeet) {
    ASSERT_EQ(googleTiles.size(), 12u);
    EXPECT_EQ(Filter(Of(Shape(PointWkt(UtmCentre(10)), utm37.get()),
                        Shape(PointWkt(GeoCentre(2)), wgs84.get()),
                        Shape(PointWkt(GeoCentre(7)), wgs84.get()),
                        Shape("POINT (30.3 59.9)", wgs84.get()))), // Saint Petersburg
              (V{2, 7, 10}));
    EXPECT_EQ(ui.labels, (std::vector<std::string>{"Create Geometry", "FilterBySelection", ""}));
    EXPECT_EQ(ui.lastMaximum, 0) << "the bar is reset";

    auto latFirst = SharedSrs(new OGRSpatialReference());
    ASSERT_EQ(latFirst->importFromEPSG(4326), OGRERR_NONE);
    latFirst->SetAxisMappingStrategy(OAMS_AUTHORITY_COMPLIANT);
    const auto [lon2, lat2] = GeoCentre(2);
    const auto [lonW, lat] = GeoCentre(4);
    // A UTM rectangle between the centres of tiles 1 and 6: its sides are not quite parallels
    // and meridians, but stay far from other tiles.
    const auto [w, n] = UtmCentre(1);
    const auto [e, s] = UtmCentre(6);
    const std::pair<Selection, V> cases[] = {
        {Of(Shape(PointWkt(Image(9).CentreX(), Image(9).CentreY()), nullptr)), V{9}},
        {Of(Shape(PointWkt(lat2, lon2), latFirst.get())), V{2}},
        {Of(Shape("LINESTRING (" + Pt(lonW, lat) + ", " + Pt(40, lat) + ")", wgs84.get())),
         V{4, 5, 6, 7}},
        {Of(Shape("POLYGON " + Ring(w, s, e, n), utm37.get())), V{1, 2, 5, 6}},
        {Of(Shape("POLYGON " + Ring(37, 55, 38, 56), wgs84.get())),
         V{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}}};
    for (const auto &[selection, expected] : cases) {
        EXPECT_EQ(Filter(selection), expected);
    }

    const auto none = FilterBySelection(google, TilesType::GoogleSat, 13, "Goo",
                                        Of(Shape("POINT (30.3 59.9)", wgs84.get())), ui);
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

// A line keeps the tiles it runs through or along for some length; touching a tile at single
// points (a tip on its edge, a corner it passes) does not keep it.
TEST_F(ExactGridTest, LinesKeepTilesTheyRunThroughOrAlong) {
    // Along the edge between tiles 4 and 5, corner to corner: 1, 2, 7 and 8 touch its ends.
    EXPECT_EQ(Keep("LINESTRING (512 -256, 512 -512)"), (V{4, 5}));
    // Part of the grid's west edge: tile 3 alone.
    EXPECT_EQ(Keep("LINESTRING (0 -300, 0 -400)"), (V{3}));
    // A V inside tile 3 whose tip touches the edge shared with tile 4.
    EXPECT_EQ(Keep("LINESTRING (100 -300, 256 -384, 100 -500)"), (V{3}));
    // A V outside the grid touching its west edge: nothing.
    EXPECT_EQ(Keep("LINESTRING (-100 -300, 0 -384, -100 -500)"), V{});
    // Through the corner shared by tiles 0, 1, 3 and 4, with and without a vertex there.
    EXPECT_EQ(Keep("LINESTRING (128 -128, 256 -256, 384 -384)"), (V{0, 4}));
    EXPECT_EQ(Keep("LINESTRING (128 -128, 384 -384)"), (V{0, 4}));
    // A segment of no length, and a line wholly inside tile 8.
    EXPECT_EQ(Keep("LINESTRING (300 -300, 300 -300)"), V{});
    EXPECT_EQ(Keep("LINESTRING (600 -600, 700 -700)"), (V{8}));
    // Points on an edge and on a corner belong to every tile that has them.
    EXPECT_EQ(Keep("POINT (256 -100)"), (V{0, 1}));
    EXPECT_EQ(Keep("POINT (512 -512)"), (V{4, 5, 7, 8}));
}

// A polygon keeps the tiles it overlaps by some area, not those it shares an edge with.
TEST_F(ExactGridTest, PolygonsKeepTilesTheyOverlap) {
    // Exactly tile 4: its eight neighbours share an edge or a corner only.
    EXPECT_EQ(Keep("POLYGON ((256 -256, 512 -256, 512 -512, 256 -512, 256 -256))"), (V{4}));
    // West of the grid sharing its west edge: nothing.
    EXPECT_EQ(Keep("POLYGON ((-50 0, 0 0, 0 -768, -50 -768, -50 0))"), V{});
    // Two polygons, only the second inside tile 7.
    EXPECT_EQ(Keep(Of(Shape("POLYGON ((1000 0, 1100 0, 1100 -100, 1000 0))", sphere.get()),
                      Shape("POLYGON ((300 -600, 310 -600, 310 -610, 300 -600))", sphere.get()))),
              (V{7}));
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
    EXPECT_EQ(Keep("POLYGON " + Ring(-1e5, -1e5, 1e5, 1e5)).size(), 9u);
}

// Multi-part lines and polygons count as such; multipoints and collections keep nothing.
TEST_F(SelectionFilterTest, MultipointsAndCollectionsKeepNothing) {
    const Rect t3 = Image(3);
    const Rect t8 = Image(8);
    const std::string c3 = Pt(t3.CentreX(), t3.CentreY());
    const std::string c8 = Pt(t8.CentreX(), t8.CentreY());
    const auto none =
        FilterBySelection(google, TilesType::GoogleSat, 13, "Goo",
                          Of(Shape("MULTIPOINT ((" + c3 + "), (" + c8 + "))", sphere.get()),
                             Shape("GEOMETRYCOLLECTION (POINT (" + c3 + "))", sphere.get()),
                             Shape("POINT EMPTY", sphere.get())),
                          ui);
    EXPECT_EQ(none.lastIndex, -1);
    EXPECT_TRUE(none.kept.empty());
    EXPECT_TRUE(ui.messages.empty());

    auto square = [](const Rect &r) {
        return Ring(r.CentreX() - 5, r.CentreY() - 5, r.CentreX() + 5, r.CentreY() + 5);
    };
    EXPECT_EQ(
        Filter(Of(Shape("MULTIPOLYGON (" + square(t8) + ", " + square(t3) + ")", sphere.get()))),
        (V{3, 8}));
    EXPECT_EQ(
        Filter(Of(Shape("MULTILINESTRING ((" + c3 + ", " + Pt(t3.CentreX() + 1, t3.CentreY()) +
                            "), (" + c8 + ", " + Pt(t8.CentreX(), t8.CentreY() + 1) + "))",
                        sphere.get()))),
        (V{3, 8}));

    using mapout::ShapeDimension;
    const std::pair<const char *, ShapeDimension> dimensions[] = {
        {"MULTIPOINT ((1 2))", ShapeDimension::None},
        {"POINT Z (1 2 3)", ShapeDimension::Point},
        {"COMPOUNDCURVE ((0 0, 1 1))", ShapeDimension::Line},
        {"CURVEPOLYGON ((0 0, 1 0, 1 1, 0 0))", ShapeDimension::Polygon},
        {"LINESTRING EMPTY", ShapeDimension::None}};
    for (const auto &[wkt, dimension] : dimensions) {
        EXPECT_EQ(mapout::DimensionOf(*Shape(wkt, nullptr)), dimension) << wkt;
    }
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
    // Inside the image, a quarter pixel from its east and south edges: in the polygons of the
    // tiles east and south of it.
    const Rect image = ImageRect(TilesType::YandSat, t);
    auto world = System("ESRI:54004");
    const auto result = FilterBySelection(
        yandex, TilesType::YandSat, 13, "Yand",
        Of(Shape(PointWkt(image.east - t.resX / 4, image.CentreY()), world.get()),
           Shape(PointWkt(image.CentreX(), image.south + t.resX / 4), world.get())),
        ui);
    EXPECT_EQ(Positions(tiles, result), (V{std::min(east, south), std::max(east, south)}));

    // The same offset in a Google tile stays in that tile.
    const Rect g = Image(5);
    EXPECT_EQ(
        Filter(Of(Shape(PointWkt(g.east - googleTiles[5].resX / 4, g.CentreY()), sphere.get()))),
        (V{5}));
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
// and polygons (many vertices among them) in several systems and grids.
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
        for (int round = 0; round < 6; ++round) {
            Selection selection;
            for (int k = 0; k < 4; ++k) {
                const double cx = x(random), cy = y(random);
                const auto which = std::uniform_int_distribution<int>(0, 2)(random);
                std::string wkt = PointWkt(cx, cy);
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
            const double shift = tiles::IsEllipsoidal(c.type) ? 256 * tiles::ResN(c.level) : 0;
            for (std::size_t i = 0; i < tiles.size(); ++i) {
                const TileRecord &r = tiles[i];
                OGRPolygon polygon = mapout::MakeBlockPolygon(r.x, r.y + shift, r.resX, r.resY);
                for (const auto &shape : projected) {
                    OGRGeometryUniquePtr cut(polygon.Intersection(shape.get()));
                    ASSERT_TRUE(cut);
                    if (Measure(*cut, shape->getDimension()) > 0) {
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
    EXPECT_EQ(mapout::ReadSelection(gpkg, "name = 'nobody'").size(), 0u);

    try {
        (void)mapout::ReadSelection(gpkg, "nosuchfield = 1");
        ADD_FAILURE() << "no error";
    } catch (const mapout::GdalError &e) {
        EXPECT_NE(std::string(e.what()).find("\"nosuchfield = 1\""), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("layer towns of " + gpkg.string()), std::string::npos)
            << e.what();
    }
}

// A selection's extent follows the edges of projected shapes, which bulge past their corners.
TEST_F(SelectionFilterTest, ExtentOfASelection) {
    const auto extent =
        mapout::SelectionExtent(Of(Shape("POINT (37.5 55.7)", wgs84.get()),
                                   Shape(PointWkt(utm.ToProjected(37.9, 55.95)), utm37.get()),
                                   Shape("POINT EMPTY", wgs84.get())));
    ASSERT_TRUE(extent);
    EXPECT_DOUBLE_EQ(extent->lat1, 55.7);
    EXPECT_NEAR(extent->lat2, 55.95, 1e-9);
    EXPECT_DOUBLE_EQ(extent->lon1, 37.5);
    EXPECT_NEAR(extent->lon2, 37.9, 1e-9);

    // A rectangle centred on the zone's central meridian (39° E): its north edge reaches
    // furthest north at the meridian, between its corners.
    const auto bounds = mapout::SelectionExtent(
        Of(Shape("POLYGON " + Ring(400000, 6100000, 600000, 6300000), utm37.get())));
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
    EXPECT_GT(bounds->lat2, utm.ToGeographic(600000, 6300000).second + 1e-3)
        << "the edge bulges north of its corners";

    EXPECT_FALSE(mapout::SelectionExtent({}));
    EXPECT_THROW((void)mapout::SelectionExtent(Of(Shape("POINT (1 2)", nullptr))),
                 mapout::GdalError);
    EXPECT_EQ(mapout::ExtentText({55.7, 55.8, -37.5, 37.123456789012345}),
              "55.7,55.8,-37.5,37.1234567890123");
}

} // namespace

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

// The parts of a multipolygon are areas each, overlapping or not; a polygon without area and
// a feature without geometry meet no tile.
TEST_F(ExactGridTest, MultipolygonPartsAndDegenerateShapes) {
    // Two squares overlapping over all of tile 4, their edges outside it.
    EXPECT_EQ(Keep("MULTIPOLYGON (((200 -200, 600 -200, 600 -600, 200 -600, 200 -200)), "
                   "((220 -220, 580 -220, 580 -580, 220 -580, 220 -220)))"),
              (V{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    // A ring of three points on one line, inside tile 4.
    EXPECT_EQ(Keep("POLYGON ((300 -300, 350 -350, 400 -400, 300 -300))"), V{});
    EXPECT_EQ(Keep(Of(OGRGeometryUniquePtr())), V{});
}
