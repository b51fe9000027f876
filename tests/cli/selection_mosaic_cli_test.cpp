// `tessaro load` limited to a selection of features, and building a mosaic after the download.
#include "cli_support.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "tiles/tile_files.h"
#include "tileserver/tile_server.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <gtest/gtest.h>

#include <set>

using namespace tessaro;
using tiles::TilesType;

namespace {

class SelectionCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        GDALAllRegister();
        server.Start();
    }

    test::ProcessResult Load(const std::string &extent, std::vector<std::string> more) {
        auto args = test::LoadArgs(server.BaseUrl(), "goo", "sat", 14, extent, tiles.Path(),
                                   home / "s.ini");
        args.insert(args.end(), more.begin(), more.end());
        return test::RunProcess(args, {}, {{"HOME", home.Path().string()}});
    }

    // Writes lon, lat points into a GeoPackage layer, their field kind alternately keep and other.
    std::string Points(const std::vector<std::pair<double, double>> &points,
                       const std::string &name) {
        const auto path = (home / (name + ".gpkg")).string();
        auto *driver = GetGDALDriverManager()->GetDriverByName("GPKG");
        GDALDatasetUniquePtr ds(driver->Create(path.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        OGRSpatialReference srs;
        srs.importFromEPSG(4326);
        srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        OGRLayer *layer = ds->CreateLayer("picked", &srs, wkbPoint, nullptr);
        OGRFieldDefn kind("kind", OFTString);
        layer->CreateField(&kind);
        int i = 0;
        for (const auto &[x, y] : points) {
            OGRFeatureUniquePtr f(OGRFeature::CreateFeature(layer->GetLayerDefn()));
            OGRPoint p(x, y);
            f->SetGeometry(&p);
            f->SetField("kind", i++ % 2 == 0 ? "keep" : "other");
            EXPECT_EQ(layer->CreateFeature(f.get()), OGRERR_NONE);
        }
        return path;
    }

    std::set<std::string> TilesOnDisk() {
        std::set<std::string> names;
        if (!std::filesystem::exists(tiles / "14"))
            return names;
        for (const auto &e : std::filesystem::directory_iterator(tiles / "14")) {
            if (e.path().extension() == ".jpg")
                names.insert(e.path().stem().string());
        }
        return names;
    }

    tileserver::TileServer server;
    test::TempDir tiles;
    test::TempDir home;
};

std::string NameOf(double lon, double lat) {
    const auto grid = tiles::SphericalGrid::Google(14);
    return tiles::QuadKey(grid.LonToCol(lon), grid.LatToRow(lat), 14);
}

} // namespace

TEST_F(SelectionCliTest, OnlyTheTilesThatMeetTheSelectionAreLoaded) {
    const std::vector<std::pair<double, double>> points = {
        {37.6101, 55.7501}, {37.6505, 55.7702}, {37.7003, 55.7203}};
    const auto file = Points(points, "wgs84");
    const auto r = Load("55.70,55.80,37.55,37.75", {"--selection", file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::set<std::string> expected;
    for (const auto &[lon, lat] : points)
        expected.insert(NameOf(lon, lat));
    EXPECT_EQ(TilesOnDisk(), expected);
    EXPECT_EQ(r.out, "Loaded:3\r\nNew:   3\r\nErrors:   0\r\nAdded: 0 (skipped)\n");

    // An attribute filter keeps two of them; selections in other systems are mapout's tests.
    std::filesystem::remove_all(tiles / "14");
    const auto filtered = Load("55.70,55.80,37.55,37.75",
                               {"--selection", file, "--selection-where", "kind = 'keep'"});
    ASSERT_EQ(filtered.exitCode, 0) << filtered.err;
    EXPECT_EQ(TilesOnDisk(), (std::set<std::string>{NameOf(points[0].first, points[0].second),
                                                    NameOf(points[2].first, points[2].second)}));
}

TEST_F(SelectionCliTest, NothingSelectedOrNothingMetStopsTheRun) {
    const auto far = Points({{10.0, 10.0}}, "far");
    auto r = Load("55.70,55.80,37.55,37.75", {"--selection", far});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Указанный регион не имеет пересечений с выделенными элементами\n");
    EXPECT_TRUE(TilesOnDisk().empty());
    r = Load("55.70,55.80,37.55,37.75", {"--selection", far, "--selection-where", "kind = 'none'"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "На карте нет выбранных объектов\n");
    r = Load("55.70,55.80,37.55,37.75", {"--selection", (home / "missing.gpkg").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("missing.gpkg"), std::string::npos) << r.err;
    EXPECT_EQ(Load("1,2,3,4", {"--selection-where", "x"}).exitCode, 2);
}

TEST_F(SelectionCliTest, AMosaicOfTheRunIsBuiltAfterTheDownload) {
    const auto out = (home / "moscow.tif").string();
    auto r = Load("55.74,55.76,37.60,37.64", {"--mosaic", out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    GDALDatasetUniquePtr ds(GDALDataset::Open(out.c_str(), GDAL_OF_RASTER));
    ASSERT_NE(ds, nullptr);
    const tiles::TileRequest request{TilesType::GoogleSat, 14, 55.74, 55.76, 37.60, 37.64};
    const auto range = tiles::RangeOf(request);
    EXPECT_EQ(ds->GetRasterXSize(), 256 * range.Columns());
    EXPECT_EQ(ds->GetRasterYSize(), 256 * range.Rows());
    EXPECT_EQ(ds->GetRasterCount(), 3);
    double gt[6]; // placement and coordinate system are the mosaic tests'
    ASSERT_EQ(ds->GetGeoTransform(gt), CE_None);
    const auto grid = tiles::SphericalGrid::Google(14);
    EXPECT_NEAR(gt[0], grid.ColToX(range.colFirst), 1e-6);
    EXPECT_NEAR(gt[3], grid.RowToY(range.rowFirst), 1e-6);

    // The same name again without --combine: refused, the raster stays.
    r = Load("55.74,55.76,37.60,37.64", {"--mosaic", out});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Растр мозаики существует"), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::exists(out));
}
