// Mosaics of tiles downloaded by `tessaro load` from the built-in tile server: tiles land where
// their world files put them, and appending keeps the old raster whole whatever happens.
#include "mosaic/mosaic_raster.h"

#include "common/error_report.h"
#include "settings/local_servers.h"
#include "support/files.h"
#include "support/image_decode.h"
#include "support/process.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "tiles/tile_files.h"
#include "tileserver/tile_code.h"
#include "tileserver/tile_server.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <numbers>
#include <random>
#include <sstream>

using namespace tessaro;
using namespace tessaro::mosaic;
using tiles::TileRecord;
using tiles::TilesType;
namespace fs = std::filesystem;

namespace {

// A run's tiles on disk, as `tessaro load` left them.
struct TileRun {
    TilesType type;
    int level;
    fs::path levelFolder;
    tiles::TileList list;
};

// The six numbers of a tile's world file.
std::array<double, 6> WorldFile(const fs::path &image, TilesType type) {
    std::istringstream in(test::ReadFile(tiles::WorldFilePath(image, type)));
    std::array<double, 6> v{};
    for (double &d : v) {
        in >> d;
    }
    EXPECT_TRUE(in) << image;
    return v;
}

// RGB pixels of a window of a raster, interleaved, top row first.
std::vector<std::uint8_t> ReadRgb(GDALDataset &raster, int x, int y, int w, int h) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3);
    int bands[] = {1, 2, 3};
    EXPECT_EQ(raster.RasterIO(GF_Read, x, y, w, h, rgb.data(), w, h, GDT_Byte, 3, bands, 3,
                              static_cast<GSpacing>(w) * 3, 1, nullptr),
              CE_None);
    return rgb;
}

GDALDatasetUniquePtr Open(const std::string &name) {
    GDALDatasetUniquePtr raster(GDALDataset::Open(name.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    EXPECT_TRUE(raster) << name;
    return raster;
}

// A point in WGS 84 degrees, through the coordinate system GDAL read back from a mosaic.
std::pair<double, double> ToDegrees(const OGRSpatialReference &srs, double x, double y) {
    OGRSpatialReference wgs84;
    wgs84.importFromEPSG(4326);
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::unique_ptr<OGRCoordinateTransformation> t(OGRCreateCoordinateTransformation(&srs, &wgs84));
    EXPECT_TRUE(t);
    if (!t || !t->Transform(1, &x, &y)) {
        return {NAN, NAN};
    }
    return {x, y};
}

// Every file in a folder with its bytes.
std::map<std::string, std::string> Snapshot(const fs::path &folder) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), folder).string()] = test::ReadFile(entry.path());
        } else if (entry.is_directory()) {
            files[fs::relative(entry.path(), folder).string() + "/"] = "";
        }
    }
    return files;
}

class MosaicTest : public ::testing::Test {
protected:
    // GDAL's warnings about the test's own rasters (written as other programs write them)
    // stay out of the test log.
    void SetUp() override { CPLPushErrorHandler(CPLQuietErrorHandler); }
    void TearDown() override { CPLPopErrorHandler(); }

    static void SetUpTestSuite() {
        GDALAllRegister();
        s_server = new tileserver::TileServer();
        s_server->Start();
        s_root = new test::TempDir();
    }
    static void TearDownTestSuite() {
        s_runs.clear();
        delete s_root;
        delete s_server;
    }

    // Downloads (once per suite) the tiles of a request with the built binary.
    static const TileRun &Download(const char *source, const char *kind, TilesType type, int level,
                                   double lat1, double lat2, double lon1, double lon2) {
        const std::string key = std::string(source) + kind + std::to_string(level) +
                                std::to_string(lat1) + std::to_string(lon1) + std::to_string(lat2) +
                                std::to_string(lon2);
        if (auto it = s_runs.find(key); it != s_runs.end()) {
            return it->second;
        }
        const fs::path dir = *s_root / ("run" + std::to_string(s_runs.size()));
        const fs::path home = dir / "home";
        fs::create_directories(home);
        fs::create_directories(dir / "tiles");
        char extent[160];
        std::snprintf(extent, sizeof extent, "--extent=%.10g,%.10g,%.10g,%.10g", lat1, lat2, lon1,
                      lon2);
        std::vector<std::string> args = {TESSARO_BINARY, "load",   "--source",
                                         source,         "--kind", kind};
        args.insert(args.end(), {"--level", std::to_string(level), extent, "--config"});
        args.insert(args.end(), {(home / "store.ini").string(), "--dir", (dir / "tiles").string()});
        for (const auto &[k, value] : settings::ServerSettingsFor(s_server->BaseUrl())) {
            args.push_back("--set");
            args.push_back(std::string(settings::InfoOf(k).savedName) + "=" + value);
        }
        const auto r = test::RunProcess(
            args, {}, {{"HOME", home.string()}, {"XDG_CONFIG_HOME", (home / "config").string()}});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const tiles::TileList list({type, level, lat1, lat2, lon1, lon2});
        return s_runs
            .emplace(key, TileRun{type, level, dir / "tiles" / std::to_string(level), list})
            .first->second;
    }

    static const TileRun &Moscow(const char *source, const char *kind, TilesType type, int level) {
        return Download(source, kind, type, level, 55.70, 55.80, 37.50, 37.70);
    }

    // What the run showed, for failure messages.
    [[nodiscard]] std::string Shown() const {
        std::string text;
        for (const auto &m : ui.messages) {
            text += "\n[" + m.text + "]";
        }
        return text;
    }

    MosaicResult Build(const TileRun &run, const fs::path &output, MosaicOptions options = {}) {
        options.output = output;
        return BuildMosaic(run.levelFolder, run.list, run.type, run.level, options, ui);
    }

    // Builds what must be refused; returns the one message shown.
    std::string Refusal(const TileRun &run, const fs::path &output, MosaicOptions options = {}) {
        ui.messages.clear();
        const auto result = Build(run, output, std::move(options));
        EXPECT_EQ(result.outcome, MosaicOutcome::Refused) << output;
        EXPECT_TRUE(result.raster.empty());
        EXPECT_EQ(ui.messages.size(), 1u) << output << Shown();
        return ui.messages.empty() ? "" : ui.messages[0].text;
    }

    // Checks that every tile of a run lies in the mosaic where its world file puts it, decoding
    // the blocks of both, and that the mosaic's corner and pixel size follow the world files.
    static void ExpectTilesInPlace(GDALDataset &mosaic, const TileRun &run) {
        std::array<double, 6> gt{};
        ASSERT_EQ(mosaic.GetGeoTransform(gt.data()), CE_None);
        double west = HUGE_VAL, north = -HUGE_VAL, east = -HUGE_VAL, south = HUGE_VAL;
        run.list.ForEach([&](const TileRecord &record) {
            const fs::path tile = tiles::TilePath(run.levelFolder, run.type, record, run.level);
            const auto wf = WorldFile(tile, run.type);
            SCOPED_TRACE(tile.string());
            EXPECT_NEAR(gt[1], wf[0], 1e-9 * wf[0]);
            EXPECT_NEAR(gt[5], wf[3], 1e-9 * wf[0]);
            EXPECT_EQ(gt[2], 0.0);
            EXPECT_EQ(gt[4], 0.0);
            const double left = wf[4] - wf[0] / 2;
            const double top = wf[5] - wf[3] / 2;
            west = std::min(west, left);
            north = std::max(north, top);
            east = std::max(east, left + 256 * wf[0]);
            south = std::min(south, top + 256 * wf[3]);
            const double col = (left - gt[0]) / gt[1];
            const double row = (top - gt[3]) / gt[5];
            ASSERT_NEAR(col, std::round(col), 1e-6);
            ASSERT_NEAR(row, std::round(row), 1e-6);
            const auto pixels = ReadRgb(mosaic, static_cast<int>(std::round(col)),
                                        static_cast<int>(std::round(row)), 256, 256);
            const auto inMosaic = tileserver::DecodeTileImage({pixels.data(), 256, 256, 0});
            const auto image = test::DecodeImage(test::ReadFile(tile));
            const auto inFile = tileserver::DecodeTileImage({image.rgb.data(), 256, 256, 0});
            ASSERT_TRUE(inFile);
            ASSERT_TRUE(inMosaic);
            EXPECT_EQ(*inMosaic, *inFile);
            EXPECT_EQ(inMosaic->type, run.type);
            if (tiles::IsGoogle(run.type)) {
                EXPECT_EQ(inMosaic->x, record.col);
                EXPECT_EQ(inMosaic->y, record.row);
            }
            if (image.pngColourType == 3) {
                // Palette tiles are expanded exactly, pixel for pixel.
                EXPECT_TRUE(pixels == image.rgb);
            }
        });
        EXPECT_NEAR(gt[0], west, 1e-6);
        EXPECT_NEAR(gt[3], north, 1e-6);
        EXPECT_NEAR(gt[0] + gt[1] * mosaic.GetRasterXSize(), east, 1e-6);
        EXPECT_NEAR(gt[3] + gt[5] * mosaic.GetRasterYSize(), south, 1e-6);
    }

    static inline tileserver::TileServer *s_server = nullptr;
    static inline test::TempDir *s_root = nullptr;
    static inline std::map<std::string, TileRun> s_runs;

    test::RecordingUi ui;
    test::TempDir out;
};

struct TypeCase {
    const char *source;
    const char *kind;
    TilesType type;
    int level;
};

const TypeCase kTypes[] = {
    {"goo", "sat", TilesType::GoogleSat, 13},   {"goo", "map", TilesType::GoogleMap, 13},
    {"goo", "land", TilesType::GoogleLand, 13}, {"scan", "sat", TilesType::ScanSat, 12},
    {"scan", "map", TilesType::ScanMap, 12},    {"shade", "sat", TilesType::Shade, 8},
    {"yand", "sat", TilesType::YandSat, 12},    {"yand", "map", TilesType::YandMap, 12},
};

} // namespace

// A GeoTIFF of every source and kind (relief from row folders, PNG tiles expanded to RGB) holds
// each tile where its world file says, with statistics and no message.
TEST_F(MosaicTest, EveryTileLandsWhereItsWorldFileSays) {
    for (const TypeCase &c : kTypes) {
        SCOPED_TRACE(std::string(c.source) + " " + c.kind);
        const TileRun &run = Moscow(c.source, c.kind, c.type, c.level);
        const fs::path output = out / (std::string(c.source) + "_" + c.kind + ".tif");
        const auto result = Build(run, output);
        ASSERT_EQ(result.outcome, MosaicOutcome::Built) << Shown();
        EXPECT_TRUE(ui.messages.empty()) << ui.messages.front().text;
        EXPECT_EQ(result.raster, output.string());
        EXPECT_EQ(result.layerName, std::string(c.source) + "_" + c.kind);
        EXPECT_EQ(result.placed, run.list.Size());
        EXPECT_EQ(result.missing, 0);
        auto mosaic = Open(result.raster);
        ASSERT_TRUE(mosaic);
        EXPECT_EQ(mosaic->GetRasterCount(), 3);
        EXPECT_EQ(mosaic->GetRasterBand(1)->GetRasterDataType(), GDT_Byte);
        EXPECT_EQ(mosaic->GetRasterBand(1)->GetColorTable(), nullptr);
        ExpectTilesInPlace(*mosaic, run);
        double min = 0, max = 0, mean = 0, deviation = 0;
        EXPECT_EQ(
            mosaic->GetRasterBand(2)->GetStatistics(FALSE, FALSE, &min, &max, &mean, &deviation),
            CE_None)
            << "statistics were stored";
        EXPECT_EQ(ui.labels.back(), "");
    }
    // Nothing but the mosaics was written: GDAL keeps the statistics inside a GeoTIFF it
    // creates, and the working folders are gone.
    std::size_t files = 0;
    for (const auto &entry : fs::directory_iterator(out.Path())) {
        EXPECT_EQ(entry.path().extension(), ".tif") << entry.path();
        ++files;
    }
    EXPECT_EQ(files, std::size(kTypes));
}

// ERDAS IMAGINE and GeoPackage outputs hold the same pixels as the GeoTIFF; a raster table
// goes into an existing GeoPackage without disturbing its vector layer. GDAL reads every
// Google mosaic back as the sphere of 6 371 000 m, also when told to trust EPSG codes over
// GeoTIFF keys, its corner where the sphere's formulas put it; a Yandex one as World Mercator.
TEST_F(MosaicTest, OutputFormatsHoldTheTilesAndReadBackInTheirSystem) {
    const TileRun &run = Moscow("goo", "map", TilesType::GoogleMap, 13);
    ASSERT_EQ(Build(run, out / "m.tif").outcome, MosaicOutcome::Built) << Shown();
    auto img = Build(run, out / "m.img");
    ASSERT_EQ(img.outcome, MosaicOutcome::Built) << Shown();
    auto imagine = Open(img.raster);
    ASSERT_TRUE(imagine);
    EXPECT_STREQ(imagine->GetDriver()->GetDescription(), "HFA");
    ExpectTilesInPlace(*imagine, run);

    const fs::path database = out / "maps.gpkg";
    {
        GDALDriver *driver = GetGDALDriverManager()->GetDriverByName("GPKG");
        GDALDatasetUniquePtr ds(driver->Create(database.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        ASSERT_TRUE(ds);
        OGRLayer *layer = ds->CreateLayer("roads", nullptr, wkbLineString, nullptr);
        ASSERT_NE(layer, nullptr);
        OGRFeature feature(layer->GetLayerDefn());
        OGRLineString line;
        line.addPoint(1, 2);
        line.addPoint(3, 4);
        feature.SetGeometry(&line);
        ASSERT_EQ(layer->CreateFeature(&feature), OGRERR_NONE);
    }
    auto table = Build(run, database / "moscow");
    ASSERT_EQ(table.outcome, MosaicOutcome::Built) << Shown();
    EXPECT_EQ(table.raster, "GPKG:" + database.string() + ":moscow");
    EXPECT_EQ(table.layerName, "moscow");
    {
        auto raster = Open(table.raster);
        ASSERT_TRUE(raster);
        EXPECT_EQ(raster->GetRasterCount(), 4) << "RGB with alpha";
        ExpectTilesInPlace(*raster, run);
    }
    GDALDatasetUniquePtr vectors(GDALDataset::Open(database.c_str(), GDAL_OF_VECTOR));
    ASSERT_TRUE(vectors);
    ASSERT_NE(vectors->GetLayerByName("roads"), nullptr);
    EXPECT_EQ(vectors->GetLayerByName("roads")->GetFeatureCount(), 1);
    vectors.reset();
    // No working copy is left beside the database.
    for (const auto &entry : fs::directory_iterator(out.Path())) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".tessaro-mosaic"));
    }

    const TileRun &yandex = Moscow("yand", "sat", TilesType::YandSat, 12);
    ASSERT_EQ(Build(yandex, out / "y.tif").outcome, MosaicOutcome::Built) << Shown();
    EXPECT_TRUE(ui.messages.empty());
    for (const char *source : {"", "EPSG", "GEOKEYS"}) {
        CPLSetThreadLocalConfigOption("GTIFF_SRS_SOURCE", *source ? source : nullptr);
        for (const std::string &name : {(out / "m.tif").string(), img.raster, table.raster}) {
            SCOPED_TRACE(name + " GTIFF_SRS_SOURCE=" + source);
            auto mosaic = Open(name);
            ASSERT_TRUE(mosaic);
            const OGRSpatialReference *srs = mosaic->GetSpatialRef();
            ASSERT_NE(srs, nullptr);
            EXPECT_EQ(srs->GetSemiMajor(), 6371000.0);
            EXPECT_EQ(srs->GetSemiMinor(), 6371000.0);
            std::array<double, 6> gt{};
            ASSERT_EQ(mosaic->GetGeoTransform(gt.data()), CE_None);
            const double r = 6371000.0;
            const auto [lon, lat] = ToDegrees(*srs, gt[0], gt[3]);
            EXPECT_NEAR(lon, gt[0] / r * 180 / std::numbers::pi, 1e-9);
            EXPECT_NEAR(lat,
                        (2 * std::atan(std::exp(gt[3] / r)) - std::numbers::pi / 2) * 180 /
                            std::numbers::pi,
                        1e-9);
        }
        auto y = Open((out / "y.tif").string());
        ASSERT_TRUE(y);
        ASSERT_NE(y->GetSpatialRef(), nullptr);
        OGRSpatialReference world;
        ASSERT_EQ(world.SetFromUserInput("ESRI:54004"), OGRERR_NONE);
        EXPECT_TRUE(y->GetSpatialRef()->IsSame(&world));
    }
    CPLSetThreadLocalConfigOption("GTIFF_SRS_SOURCE", nullptr);
}

// The checks before a build, each with its message and nothing written.
TEST_F(MosaicTest, ChecksBeforeBuilding) {
    const TileRun &run = Moscow("goo", "sat", TilesType::GoogleSat, 13);
    MosaicOptions combine;
    combine.combine = true;
    EXPECT_EQ(Refusal(run, {}), kNoOutputNameMessage);
    EXPECT_EQ(Refusal(run, out / "m.png"), kInvalidFormatMessage);
    EXPECT_EQ(Refusal(run, out / "mosaic"),
              "GDAL cannot write an ArcInfo GRID (an output name without extension): give the "
              "mosaic the extension .tif (GeoTIFF) or .img (ERDAS IMAGINE).");
    EXPECT_EQ(Refusal(run, out / "blocks.gdb" / "m"),
              "GDAL cannot write rasters into a File Geodatabase: choose a folder or a "
              "GeoPackage (.gpkg) for the mosaic.");
    EXPECT_EQ(Refusal(run, out / "new.tif", combine), kRasterMissingMessage);
    EXPECT_TRUE(fs::is_empty(out.Path()));

    ui.messages.clear();
    ASSERT_EQ(Build(run, out / "m.tif").outcome, MosaicOutcome::Built) << Shown();
    EXPECT_TRUE(ui.messages.empty()) << "a new name is not an error";
    const auto before = Snapshot(out.Path());
    EXPECT_EQ(Refusal(run, out / "m.tif"), kRasterExistsMessage);
    // A file GDAL does not read is not overwritten either, nor appended to.
    test::WriteFile(out / "notes.tif", "not a raster");
    EXPECT_EQ(Refusal(run, out / "notes.tif"), kRasterExistsMessage);
    EXPECT_EQ(Refusal(run, out / "notes.tif", combine), kRasterMissingMessage);
    EXPECT_EQ(test::ReadFile(out / "notes.tif"), "not a raster");
    auto after = Snapshot(out.Path());
    after.erase("notes.tif");
    EXPECT_EQ(after, before);

    // The multi-line texts, as the dialog shows them.
    EXPECT_EQ(std::string(kRasterExistsMessage),
              "Растр мозаики существует\r\n - выберите новый или \r\n - удалите его "
              "самостоятельно или\r\n - отметьте <объединить с существующим>\r\n   (при этом "
              "растр не должен быть открыт в проекте)");
    EXPECT_EQ(std::string(kRasterMissingMessage),
              "Растр мозаики НЕ существует или его не удается открыть\r\n - выберите "
              "существующий или \r\n - снимите отметку <объединить с существующим>\r\n   (новый "
              "растр будет создан)");

    // A level folder that is not there: the folder message, then the loading message.
    ui.messages.clear();
    const TileRun missing{TilesType::GoogleSat, 13, out / "nowhere" / "13", run.list};
    MosaicOptions options;
    options.output = out / "x.tif";
    const auto none =
        BuildMosaic(missing.levelFolder, missing.list, missing.type, missing.level, options, ui);
    EXPECT_EQ(none.outcome, MosaicOutcome::Failed);
    ASSERT_GE(ui.messages.size(), 3u);
    EXPECT_EQ(ui.messages[0].title, kReportTitle);
    EXPECT_EQ(ui.messages[1].text,
              "Can not open raster workspase!\r\nFolder: " + missing.levelFolder.string() + "/");
    EXPECT_EQ(ui.messages[2].text, kLoadRastersFailedMessage);
    EXPECT_FALSE(fs::exists(out / "x.tif"));
}

// Pixel types: wider types hold the tile values unchanged, narrower ones clamp them; a
// GeoPackage takes 8 bit only; a colour-map mode is said to have no effect.
TEST_F(MosaicTest, PixelTypesAndOtherChoices) {
    const TileRun &run = Moscow("goo", "sat", TilesType::GoogleSat, 13);
    ASSERT_EQ(Build(run, out / "u8.tif").outcome, MosaicOutcome::Built) << Shown();
    auto reference = Open((out / "u8.tif").string());
    ASSERT_TRUE(reference);
    const int w = reference->GetRasterXSize(), h = reference->GetRasterYSize();
    std::vector<double> expected(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    ASSERT_EQ(reference->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, w, h, expected.data(), w, h,
                                                    GDT_Float64, 0, 0, nullptr),
              CE_None);
    struct Case {
        PixelType type;
        GDALDataType gdal;
        double max;
        const char *nbits;
    };
    for (const Case c :
         {Case{PixelType::U16, GDT_UInt16, 255, nullptr},
          Case{PixelType::Float, GDT_Float32, 255, nullptr},
          Case{PixelType::S8, GDT_Byte, 127, nullptr}, Case{PixelType::U1, GDT_Byte, 1, "1"},
          Case{PixelType::U4, GDT_Byte, 15, "4"}}) {
        const std::string name = "t" + std::to_string(static_cast<int>(c.type)) + ".img";
        MosaicOptions options;
        options.pixelType = c.type;
        ASSERT_EQ(Build(run, out / name, options).outcome, MosaicOutcome::Built) << name << Shown();
        auto mosaic = Open((out / name).string());
        ASSERT_TRUE(mosaic);
        GDALRasterBand *band = mosaic->GetRasterBand(1);
        EXPECT_EQ(band->GetRasterDataType(), c.gdal) << name;
        if (c.nbits != nullptr) {
            EXPECT_STREQ(band->GetMetadataItem("NBITS", "IMAGE_STRUCTURE"), c.nbits);
        }
        std::vector<double> values(expected.size());
        ASSERT_EQ(
            band->RasterIO(GF_Read, 0, 0, w, h, values.data(), w, h, GDT_Float64, 0, 0, nullptr),
            CE_None);
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < values.size(); ++i) {
            wrong += values[i] != std::min(expected[i], c.max);
        }
        EXPECT_EQ(wrong, 0u) << name;
    }

    MosaicOptions wide;
    wide.pixelType = PixelType::U16;
    EXPECT_NE(
        Refusal(run, out / "w.gpkg", wide).find("A GeoPackage raster holds 8-bit RGB tiles only"),
        std::string::npos);
    EXPECT_FALSE(fs::exists(out / "w.gpkg"));

    ui.messages.clear();
    MosaicOptions mode;
    mode.colormapMode = ColormapMode::Match;
    EXPECT_EQ(Build(run, out / "c.tif", mode).outcome, MosaicOutcome::Built);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text,
              "The colormap mode MM_MATCH has no effect: palette tiles are expanded to RGB before "
              "they are mosaicked, so the mosaic has no colour map.");
    EXPECT_EQ(ui.messages[0].icon, Icon::Information);
}

namespace {

// A raster of one flat colour on the tiles' grid, for appending to: it starts one tile west of
// the run's first tile and covers the run's western half (columns of tiles), all in the tiles'
// coordinate system.
void WriteFlatRaster(const fs::path &path, const TileRun &run, int tilesWide, int tilesHigh,
                     double colour) {
    TileRecord first;
    run.list.Begin().Next(first);
    const double side = 256 * first.resX;
    const double west = first.x - first.resX / 2 - side;
    const double north = first.y - first.resY / 2;
    GDALDatasetUniquePtr ds(GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
        path.c_str(), 256 * tilesWide, 256 * tilesHigh, 3, GDT_Byte, nullptr));
    ASSERT_TRUE(ds);
    double gt[6] = {west, first.resX, 0, north, 0, first.resY};
    OGRSpatialReference srs;
    ASSERT_EQ(srs.SetFromUserInput("ESRI:53004"), OGRERR_NONE);
    ASSERT_EQ(ds->SetSpatialRef(&srs), CE_None);
    ASSERT_EQ(ds->SetGeoTransform(gt), CE_None);
    for (int b = 1; b <= 3; ++b) {
        ASSERT_EQ(ds->GetRasterBand(b)->Fill(colour), CE_None);
    }
}

} // namespace

// Appending covers the old raster and the tiles: old pixels stay where no tile lies, tiles
// replace them (by default) or combine by the operator, and pixels covered by neither are 0.
TEST_F(MosaicTest, AppendingCoversBothAndKeepsOldPixels) {
    const TileRun &run = Moscow("goo", "sat", TilesType::GoogleSat, 13);
    TileRecord first;
    run.list.Begin().Next(first);
    // The run's tiles form a rectangle, row by row; the flat raster is two tiles wide from one
    // column west of it and one row taller.
    int columns = 0;
    run.list.ForEach([&](const TileRecord &r) { columns += r.row == first.row; });
    const int rows = static_cast<int>(run.list.Size() / columns);
    ASSERT_EQ(rows * columns, run.list.Size());
    ASSERT_GE(columns, 3);

    for (const auto op :
         {std::optional<MosaicOperator>{}, std::optional{MosaicOperator::First},
          std::optional{MosaicOperator::Min}, std::optional{MosaicOperator::Mean}}) {
        const std::string name = "a" + std::to_string(op ? static_cast<int>(*op) : 0) + ".tif";
        const fs::path path = out / name;
        WriteFlatRaster(path, run, 2, rows + 1, 100);
        fs::path side = path;
        side += ".aux.xml";
        test::WriteFile(side, "<PAMDataset><Metadata><MDI key=\"stale\">yes</MDI></Metadata>"
                              "</PAMDataset>");
        MosaicOptions options;
        options.combine = true;
        options.mosaicOperator = op;
        ui.messages.clear();
        const auto result = Build(run, path, options);
        ASSERT_EQ(result.outcome, MosaicOutcome::Appended) << name;
        EXPECT_TRUE(ui.messages.empty());
        EXPECT_EQ(result.placed, run.list.Size());
        auto mosaic = Open(result.raster);
        ASSERT_TRUE(mosaic);
        EXPECT_EQ(mosaic->GetMetadataItem("stale"), nullptr) << "the old side file was replaced";
        // One tile column west of the run and one tile row south of it.
        EXPECT_EQ(mosaic->GetRasterXSize(), 256 * (columns + 1));
        EXPECT_EQ(mosaic->GetRasterYSize(), 256 * (rows + 1));
        std::array<double, 6> gt{};
        ASSERT_EQ(mosaic->GetGeoTransform(gt.data()), CE_None);
        EXPECT_NEAR(gt[0], first.x - first.resX / 2 - 256 * first.resX, 1e-6);

        // West of the tiles and south of them inside the old raster: the old colour; east and
        // south outside both: 0.
        EXPECT_EQ(ReadRgb(*mosaic, 100, 100, 1, 1), (std::vector<std::uint8_t>{100, 100, 100}));
        EXPECT_EQ(ReadRgb(*mosaic, 300, 256 * rows + 100, 1, 1),
                  (std::vector<std::uint8_t>{100, 100, 100}));
        EXPECT_EQ(ReadRgb(*mosaic, 256 * columns + 100, 256 * rows + 100, 1, 1),
                  (std::vector<std::uint8_t>{0, 0, 0}));
        // Tiles east of the old raster: the tiles themselves.
        for (int r = 0; r < rows; ++r) {
            for (int c = 1; c < columns; ++c) {
                const auto pixels = ReadRgb(*mosaic, 256 * (c + 1), 256 * r, 256, 256);
                const auto code = tileserver::DecodeTileImage({pixels.data(), 256, 256, 0});
                ASSERT_TRUE(code) << name << " tile " << c << "," << r;
                EXPECT_EQ(code->x, first.col + c);
                EXPECT_EQ(code->y, first.row + r);
            }
        }
        // The first tile column lies over the old raster.
        const auto over = ReadRgb(*mosaic, 256, 0, 256, 256);
        const auto tile = test::DecodeImage(
            test::ReadFile(tiles::TilePath(run.levelFolder, run.type, first, run.level)));
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < over.size(); i += 97) {
            const int t = tile.rgb[i];
            int want = t;
            if (op == MosaicOperator::First) {
                want = 100;
            } else if (op == MosaicOperator::Min) {
                want = std::min(t, 100);
            } else if (op == MosaicOperator::Mean) {
                want = static_cast<int>(std::round((t + 100) / 2.0));
            }
            // JPEG decoders may differ by one in a value; the operators are far apart.
            wrong += std::abs(over[i] - want) > 1;
        }
        EXPECT_EQ(wrong, 0u) << name;
    }
    EXPECT_EQ(std::count_if(fs::directory_iterator(out.Path()), fs::directory_iterator(),
                            [](const auto &e) {
                                return e.path().filename().string().starts_with(".tessaro");
                            }),
              0);
}

// Appending refuses what it cannot honour, before anything is written.
TEST_F(MosaicTest, AppendingRefusesWhatItCannotHonour) {
    const TileRun &google = Moscow("goo", "sat", TilesType::GoogleSat, 13);
    const TileRun &yandex = Moscow("yand", "sat", TilesType::YandSat, 12);
    const fs::path path = out / "old.tif";
    WriteFlatRaster(path, google, 2, 2, 100);
    const auto before = Snapshot(out.Path());
    auto refused = [&](const TileRun &run, MosaicOptions options, const std::string &start) {
        options.combine = true;
        const std::string message = Refusal(run, path, options);
        EXPECT_EQ(message.rfind(start, 0), 0u) << message;
        EXPECT_EQ(Snapshot(out.Path()), before);
    };
    MosaicOptions blend;
    blend.mosaicOperator = MosaicOperator::Blend;
    refused(google, blend, "MT_BLEND cannot be used when appending");
    MosaicOptions wide;
    wide.pixelType = PixelType::U16;
    refused(google, wide,
            "The existing raster " + path.string() + " holds \"unsigned 8 bit\" values");
    refused(yandex, {},
            "The existing raster " + path.string() +
                " is in Sphere_Mercator, the tiles in World_Mercator");
}

// Level-14 tiles appended to a level-13 mosaic are resampled: every block lands at half size.
TEST_F(MosaicTest, AppendingResamplesTilesOfAnotherLevel) {
    const TileRun &coarse = Moscow("goo", "sat", TilesType::GoogleSat, 13);
    const TileRun &fine =
        Download("goo", "sat", TilesType::GoogleSat, 14, 55.74, 55.76, 37.60, 37.66);
    const fs::path path = out / "levels.tif";
    ASSERT_EQ(Build(coarse, path).outcome, MosaicOutcome::Built) << Shown();
    MosaicOptions options;
    options.combine = true;
    ASSERT_EQ(Build(fine, path, options).outcome, MosaicOutcome::Appended) << Shown();
    auto mosaic = Open(path.string());
    ASSERT_TRUE(mosaic);
    std::array<double, 6> gt{};
    ASSERT_EQ(mosaic->GetGeoTransform(gt.data()), CE_None);
    std::size_t blocks = 0;
    fine.list.ForEach([&](const TileRecord &record) {
        const auto wf =
            WorldFile(tiles::TilePath(fine.levelFolder, fine.type, record, fine.level), fine.type);
        const double left = ((wf[4] - wf[0] / 2) - gt[0]) / gt[1];
        const double top = ((wf[5] - wf[3] / 2) - gt[3]) / gt[5];
        const tileserver::TileCode expected{fine.type, record.col, record.row, 18 - fine.level};
        for (int r = 0; r < 16; ++r) {
            for (int c = 0; c < 16; ++c) {
                // Each 16-pixel block is 8 mosaic pixels; read its centre.
                const int x = static_cast<int>(std::floor(left + 8 * c + 4));
                const int y = static_cast<int>(std::floor(top + 8 * r + 4));
                const auto px = ReadRgb(*mosaic, x, y, 1, 1);
                const auto block = tileserver::DecodeBlock(px[0], px[1], px[2]);
                EXPECT_TRUE(tileserver::BlockAgrees(block, expected, c, r))
                    << "tile " << record.col << "," << record.row << " block " << c << "," << r;
                ++blocks;
            }
        }
    });
    EXPECT_EQ(blocks, static_cast<std::size_t>(fine.list.Size()) * 256);
    EXPECT_GT(fine.list.Size(), 1);
}

// Appending into a GeoPackage raster rebuilds the table in a copy of the database.
TEST_F(MosaicTest, AppendingToAGeoPackageRaster) {
    const TileRun &run = Moscow("goo", "sat", TilesType::GoogleSat, 13);
    const fs::path database = out / "flat.gpkg";
    WriteFlatRaster(out / "flat.tif", run, 2, 2, 60);
    {
        auto flat = Open((out / "flat.tif").string());
        const char *options[] = {"RASTER_TABLE=flat", "TILE_FORMAT=PNG", nullptr};
        GDALDatasetUniquePtr copy(GetGDALDriverManager()->GetDriverByName("GPKG")->CreateCopy(
            database.c_str(), flat.get(), FALSE, const_cast<char **>(options), nullptr, nullptr));
        ASSERT_TRUE(copy);
    }
    MosaicOptions options;
    options.combine = true;
    const auto result = Build(run, database, options);
    ASSERT_EQ(result.outcome, MosaicOutcome::Appended) << Shown();
    EXPECT_TRUE(ui.messages.empty()) << ui.messages.front().text;
    auto mosaic = Open(result.raster);
    ASSERT_TRUE(mosaic);
    EXPECT_EQ(mosaic->GetRasterXSize(), 256 * 4);
    EXPECT_EQ(ReadRgb(*mosaic, 10, 300, 1, 1), (std::vector<std::uint8_t>{60, 60, 60}));
    const auto pixels = ReadRgb(*mosaic, 256 * 3, 0, 256, 256);
    EXPECT_TRUE(tileserver::DecodeTileImage({pixels.data(), 256, 256, 0}));
    // Outside both: transparent.
    std::uint8_t alpha = 1;
    ASSERT_EQ(mosaic->GetRasterBand(4)->RasterIO(GF_Read, 10, 256 * 2 + 10, 1, 1, &alpha, 1, 1,
                                                 GDT_Byte, 0, 0, nullptr),
              CE_None);
    EXPECT_EQ(alpha, 0);
}

namespace {

// A small file system that fills up under a run.
struct SmallDisk {
    SmallDisk(const fs::path &folder, const char *options) : where(folder) {
        fs::create_directories(where);
        ok = ::mount("tmpfs", where.c_str(), "tmpfs", 0, options) == 0;
        error = ok ? "" : std::strerror(errno);
    }
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;
    ~SmallDisk() {
        if (ok) {
            ::umount2(where.c_str(), MNT_DETACH);
        }
    }
    fs::path where;
    bool ok = false;
    std::string error;
};

} // namespace

// A disk filling up mid-append leaves the old raster and its side file byte for byte, and says so.
TEST_F(MosaicTest, AFullDiskInTheMiddleOfAnAppendKeepsTheOldRasterWhole) {
    const TileRun &run = Moscow("goo", "sat", TilesType::GoogleSat, 13);
    const fs::path folder = out / "small";
    SmallDisk disk(folder, "size=1600k");
    if (!disk.ok) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.error;
    }
    // An old raster of noise, which compresses to nothing: 2 × 4 tiles, about 1.5 MB, so that
    // the new one runs out of room while its tiles are written.
    const fs::path path = folder / "old.tif";
    {
        WriteFlatRaster(out / "noise.tif", run, 2, 4, 0);
        GDALDatasetUniquePtr noise(
            GDALDataset::Open((out / "noise.tif").c_str(), GDAL_OF_RASTER | GDAL_OF_UPDATE));
        ASSERT_TRUE(noise);
        std::mt19937 random(3);
        std::vector<std::uint8_t> values(512 * 1024 * 3);
        for (auto &v : values) {
            v = static_cast<std::uint8_t>(random());
        }
        ASSERT_EQ(noise->RasterIO(GF_Write, 0, 0, 512, 1024, values.data(), 512, 1024, GDT_Byte, 3,
                                  nullptr, 0, 0, 0, nullptr),
                  CE_None);
        noise->FlushCache(false);
        GDALDatasetUniquePtr copy(GetGDALDriverManager()->GetDriverByName("GTiff")->CreateCopy(
            path.c_str(), noise.get(), FALSE, nullptr, nullptr, nullptr));
        ASSERT_TRUE(copy);
    }
    fs::path side = path;
    side += ".aux.xml";
    test::WriteFile(side,
                    "<PAMDataset><Metadata><MDI key=\"mine\">1</MDI></Metadata></PAMDataset>");
    const auto before = Snapshot(folder);

    MosaicOptions options;
    options.combine = true;
    const auto result = Build(run, path, options);
    EXPECT_EQ(result.outcome, MosaicOutcome::Failed);
    EXPECT_TRUE(result.raster.empty());
    EXPECT_EQ(Snapshot(folder), before);
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0].title, kReportTitle);
    EXPECT_NE(ui.messages[0].text.find("cmdOk_Click Mocaic raster "), std::string::npos);
    EXPECT_NE(ui.messages[0].text.find("No space left on device"), std::string::npos)
        << ui.messages[0].text;
    EXPECT_EQ(ui.messages[1].text, kAppendFailedMessage);
    EXPECT_EQ(ui.messages[1].icon, Icon::Exclamation);

    // With room to spare the same append succeeds.
    const fs::path roomy = out / "roomy.tif";
    fs::copy_file(path, roomy);
    ui.messages.clear();
    EXPECT_EQ(Build(run, roomy, options).outcome, MosaicOutcome::Appended);
}

// Tiles that are missing or damaged are left out and counted; the rest is built.
TEST_F(MosaicTest, MissingAndDamagedTilesAreLeftOut) {
    const TileRun &source = Moscow("goo", "map", TilesType::GoogleMap, 13);
    // A copy of the run's folder to damage.
    const fs::path folder = out / "tiles" / "13";
    fs::create_directories(folder);
    fs::copy(source.levelFolder, folder, fs::copy_options::recursive);
    std::vector<TileRecord> records;
    source.list.ForEach([&](const TileRecord &r) { records.push_back(r); });
    const fs::path missing = tiles::TilePath(folder, source.type, records[1], 13);
    fs::remove(missing);
    const fs::path truncated = tiles::TilePath(folder, source.type, records[5], 13);
    const std::string bytes = test::ReadFile(truncated);
    test::WriteFile(truncated, bytes.substr(0, bytes.size() / 3));
    const fs::path garbage = tiles::TilePath(folder, source.type, records[6], 13);
    test::WriteFile(garbage, "<html>not found</html>");

    MosaicOptions options;
    options.output = out / "holes.tif";
    const auto result = BuildMosaic(folder, source.list, source.type, 13, options, ui);
    ASSERT_EQ(result.outcome, MosaicOutcome::Built) << Shown();
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(result.missing, 1);
    EXPECT_EQ(result.unreadable, 2);
    EXPECT_EQ(result.placed, source.list.Size() - 3);
    auto mosaic = Open(result.raster);
    ASSERT_TRUE(mosaic);
    // The hole of the missing tile is black; its neighbour is whole.
    EXPECT_EQ(ReadRgb(*mosaic, 256 + 128, 128, 1, 1), (std::vector<std::uint8_t>{0, 0, 0}));
    const auto pixels = ReadRgb(*mosaic, 0, 0, 256, 256);
    EXPECT_TRUE(tileserver::DecodeTileImage({pixels.data(), 256, 256, 0}));
}
