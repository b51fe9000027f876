// `tessaro load` from a template source: a real tile set cut by gdal2tiles from a GeoTIFF,
// served over loopback in its XYZ, TMS and quadkey forms.
#include "../tiles/proj_reference.h"
#include "cli/request_options.h"
#include "cli_support.h"
#include "support/scripted_server.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <cmath>
#include <numbers>

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

// The source image covers the 2 × 2 tiles of zoom 12 from (2476, 1280), over Moscow.
constexpr int kZoom = 12;
constexpr int kX0 = 2476;
constexpr int kY0 = 1280;

// Tile corners in degrees by the slippy-map formulas, apart from the program's grid.
double Lon(int x) {
    return x / std::exp2(kZoom) * 360.0 - 180.0;
}
double Lat(int y) {
    return std::atan(std::sinh(std::numbers::pi * (1 - 2.0 * y / std::exp2(kZoom)))) * 180.0 /
           std::numbers::pi;
}

// A 512 × 512 RGB GeoTIFF on EPSG:3857 whose pixels vary in every band, and the tile sets
// gdal2tiles cuts from it at zoom 12: XYZ rows in xyz/, TMS rows in tms/.
class TileSet {
public:
    TileSet() {
        GDALAllRegister();
        const test::ProjTransform proj("EPSG:3857");
        const auto [west, north] = proj.ToProjected(Lon(kX0), Lat(kY0));
        const auto [east, south] = proj.ToProjected(Lon(kX0 + 2), Lat(kY0 + 2));
        GDALDatasetUniquePtr image(GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
            source.string().c_str(), 512, 512, 3, GDT_Byte, nullptr));
        double transform[6] = {west, (east - west) / 512, 0, north, 0, (south - north) / 512};
        image->SetGeoTransform(transform);
        OGRSpatialReference srs;
        srs.importFromEPSG(3857);
        image->SetSpatialRef(&srs);
        std::vector<GByte> pixels(512 * 512);
        for (int band = 1; band <= 3; ++band) {
            for (int i = 0; i < 512 * 512; ++i) {
                const int col = i % 512, row = i / 512;
                pixels[static_cast<std::size_t>(i)] = static_cast<GByte>(band == 1   ? col / 2
                                                                         : band == 2 ? row / 2
                                                                                     : col ^ row);
            }
            EXPECT_EQ(image->GetRasterBand(band)->RasterIO(GF_Write, 0, 0, 512, 512, pixels.data(),
                                                           512, 512, GDT_Byte, 0, 0, nullptr),
                      CE_None);
        }
        image.reset();
        for (const bool tms : {false, true}) {
            const auto r = test::RunProcess({PYTHON3, "/usr/bin/gdal2tiles.py",
                                             tms ? "--profile=mercator" : "--xyz", "-z", "12", "-r",
                                             "near", "-w", "none", "-q", source.string(),
                                             (dir / (tms ? "tms" : "xyz")).string()});
            EXPECT_EQ(r.exitCode, 0) << r.err;
        }
    }

    // The served file of a tile in its XYZ numbers, from the XYZ or the TMS set.
    fs::path Served(bool tms, int x, int y) const {
        const int row = tms ? (1 << kZoom) - 1 - y : y;
        return dir / (tms ? "tms" : "xyz") / std::to_string(kZoom) / std::to_string(x) /
               (std::to_string(row) + ".png");
    }

    test::TempDir dir;
    fs::path source = dir / "source.tif";
};

const TileSet &SharedTileSet() {
    static const TileSet set;
    return set;
}

// Answers /xyz/z/x/y.png and /tms/z/x/y.png from the tile sets' folders, /q/KEY.png from the
// XYZ folder by the quadkey's digits; 404 for anything else.
void Serve(const TileSet &set, test::ScriptedServer::Exchange &ex) {
    const std::string target = ex.Target();
    fs::path file;
    if (target.starts_with("/xyz/") || target.starts_with("/tms/")) {
        file = set.dir / target.substr(1);
    } else if (target.starts_with("/q/") && target.ends_with(".png")) {
        const std::string key = target.substr(3, target.size() - 7);
        int x = 0, y = 0;
        for (const char digit : key) {
            x = 2 * x + ((digit - '0') & 1);
            y = 2 * y + ((digit - '0') >> 1);
        }
        file = set.Served(false, x, y);
    }
    if (!fs::is_regular_file(file)) {
        ex.send(test::ScriptedServer::Answer(404, "text/plain", "no tile"));
        return;
    }
    ex.send(test::ScriptedServer::Answer(200, "image/png", test::ReadFile(file)));
}

class XyzCliTest : public test::CliTest {
protected:
    // A load of the four tiles (their extent drawn in by a hair) through a template.
    std::vector<std::string> TemplateLoad(const std::string &path, std::vector<std::string> more) {
        const double inset = 1e-6;
        std::vector<std::string> args = {
            "load",
            path.starts_with("/") ? "--url-template=" + scripted.Url(path) : "--source=" + path,
            "--level=12",
            "--extent=" + std::to_string(Lat(kY0 + 2) + inset) + "," +
                std::to_string(Lat(kY0) - inset) + "," + std::to_string(Lon(kX0) + inset) + "," +
                std::to_string(Lon(kX0 + 2) - inset),
            "--dir=" + tiles.Path().string(),
            "--config=" + (home / "store.ini").string()};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    const TileSet &set = SharedTileSet();
    test::ScriptedServer scripted{[this](auto &ex) { Serve(set, ex); }};
};

// Every form of address, given or named in the sources file, brings the served tiles byte for
// byte into DIR/z/x/y.png, and GDAL reads each in place: on EPSG:3857 from its side file, on
// its tile's bounds (as PROJ puts them) from its world file. A named source's credit is said.
TEST_F(XyzCliTest, EveryAddressFormBringsTheServedTilesToTheirPlaces) {
    const test::ProjTransform proj("EPSG:3857");
    test::WriteFile(home / "TessaroSources.ini",
                    "[osm]\ntemplate = " + scripted.Url("/xyz/{z}/{x}/{y}.png") +
                        "\nattribution = (c) Test contributors\n");
    for (const auto &[form, servedTms] : {std::pair{"/xyz/{z}/{x}/{y}.png", false},
                                          {"/tms/{z}/{x}/{-y}.png", true},
                                          {"/q/{q}.png", false},
                                          {"osm", false}}) {
        SCOPED_TRACE(form);
        fs::remove_all(tiles.Path() / "12");
        const auto r = Tessaro(TemplateLoad(form, {}));
        ASSERT_TRUE(Exited(r, 0)) << r.out;
        EXPECT_EQ(r.err.find("Tiles of osm: (c) Test contributors\n") != std::string::npos,
                  std::string(form) == "osm")
            << r.err;
        EXPECT_EQ(Count(tiles.Path() / "12", ".png"), 4u);
        for (int x = kX0; x < kX0 + 2; ++x) {
            for (int y = kY0; y < kY0 + 2; ++y) {
                const fs::path tile =
                    tiles.Path() / "12" / std::to_string(x) / (std::to_string(y) + ".png");
                ASSERT_EQ(test::ReadFile(tile), test::ReadFile(set.Served(servedTms, x, y)))
                    << tile;
                GDALDatasetUniquePtr opened(GDALDataset::Open(tile.string().c_str()));
                ASSERT_TRUE(opened) << tile;
                const OGRSpatialReference *srs = opened->GetSpatialRef();
                ASSERT_NE(srs, nullptr);
                EXPECT_STREQ(srs->GetAuthorityCode(nullptr), "3857");
                double gt[6] = {};
                ASSERT_EQ(opened->GetGeoTransform(gt), CE_None);
                const auto [west, north] = proj.ToProjected(Lon(x), Lat(y));
                const auto [east, south] = proj.ToProjected(Lon(x + 1), Lat(y + 1));
                EXPECT_NEAR(gt[0], west, 1e-6);
                EXPECT_NEAR(gt[3], north, 1e-6);
                EXPECT_NEAR(gt[0] + 256 * gt[1], east, 1e-6);
                EXPECT_NEAR(gt[3] + 256 * gt[5], south, 1e-6);
            }
        }
    }
    // The four tiles of each form were asked for once, and nothing else.
    EXPECT_EQ(scripted.Requests().size(), 16u);
}

// The mosaic of a run holds the source image again, pixel for pixel and in its place.
TEST_F(XyzCliTest, TheMosaicOfARunIsTheSourceImage) {
    const fs::path mosaic = home / "mosaic.tif";
    const auto r = Tessaro(TemplateLoad("/xyz/{z}/{x}/{y}.png", {"--mosaic=" + mosaic.string()}));
    ASSERT_TRUE(Exited(r, 0)) << r.out;
    GDALDatasetUniquePtr built(GDALDataset::Open(mosaic.string().c_str()));
    GDALDatasetUniquePtr source(GDALDataset::Open(set.source.string().c_str()));
    ASSERT_TRUE(built && source);
    ASSERT_EQ(built->GetRasterXSize(), 512);
    ASSERT_EQ(built->GetRasterYSize(), 512);
    double gtBuilt[6] = {}, gtSource[6] = {};
    built->GetGeoTransform(gtBuilt);
    source->GetGeoTransform(gtSource);
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(gtBuilt[i], gtSource[i], 1e-6) << i;
    }
    EXPECT_TRUE(built->GetSpatialRef()->IsSame(source->GetSpatialRef()));
    std::vector<GByte> a(512 * 512), b(512 * 512);
    for (int band = 1; band <= 3; ++band) {
        ASSERT_EQ(built->GetRasterBand(band)->RasterIO(GF_Read, 0, 0, 512, 512, a.data(), 512, 512,
                                                       GDT_Byte, 0, 0, nullptr),
                  CE_None);
        ASSERT_EQ(source->GetRasterBand(band)->RasterIO(GF_Read, 0, 0, 512, 512, b.data(), 512, 512,
                                                        GDT_Byte, 0, 0, nullptr),
                  CE_None);
        EXPECT_TRUE(a == b) << "band " << band;
    }
}

} // namespace

// Each part of a split run has a block index of its own: the database or the shapefile named
// with the part's suffix, the layer kept; an unsplit run keeps the path as it is.
TEST(PartIndexPath, NamesTheFileThatHoldsTheIndex) {
    tiles::TileRequest part;
    EXPECT_EQ(cli::PartIndexPath("a/index.gpkg/blocks", part), "a/index.gpkg/blocks");
    cli::ParsePart("2/4", part);
    for (const auto &[path, expected] :
         {std::pair{"a/index.gpkg/blocks", "a/index_part2of4.gpkg/blocks"},
          {"/d/index.GDB/blocks", "/d/index_part2of4.GDB/blocks"},
          {"folder/blocks.shp", "folder/blocks_part2of4.shp"}}) {
        EXPECT_EQ(cli::PartIndexPath(path, part), expected);
    }
    for (const char *bad : {"0/4", "5/4", "4", "1/100001", "a/b"}) {
        EXPECT_THROW(cli::ParsePart(bad, part), ArgumentError) << bad;
    }
}
