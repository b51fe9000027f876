// Mosaics of tiles downloaded by `tessaro load` from the built-in tile server: tiles land where
// their world files put them, and appending keeps the old raster whole whatever happens.
#include "mosaic/mosaic_raster.h"

#include "common/error_report.h"
#include "settings/local_servers.h"
#include "support/files.h"
#include "support/process.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "support/tmpfs.h"
#include "tiles/tile_files.h"
#include "tileserver/tile_code.h"
#include "tileserver/tile_server.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <map>
#include <random>
#include <sstream>

using namespace tessaro;
using namespace tessaro::mosaic;
using tiles::TileRecord;
using tiles::TilesType;
namespace fs = std::filesystem;
using Rgb = std::vector<std::uint8_t>;

namespace {

// A run's tiles on disk, as `tessaro load` left them.
struct TileRun {
    TilesType type;
    int level;
    fs::path levelFolder;
    tiles::TileList list;

    [[nodiscard]] fs::path Tile(const TileRecord &r) const {
        return tiles::TilePath(levelFolder, type, r, level);
    }
    // The pixel of the mosaic (geotransform gt) at the tile's upper-left corner, from the
    // tile's world file.
    [[nodiscard]] std::pair<int, int> Corner(const TileRecord &r, const double *gt) const {
        std::istringstream in(test::ReadFile(tiles::WorldFilePath(Tile(r), type)));
        std::array<double, 6> wf{};
        for (double &d : wf) {
            in >> d;
        }
        EXPECT_TRUE(in && std::abs(gt[1] - wf[0]) < 1e-9 * wf[0] &&
                    std::abs(gt[5] - wf[3]) < 1e-9 * wf[0]);
        const double col = ((wf[4] - wf[0] / 2) - gt[0]) / gt[1];
        const double row = ((wf[5] - wf[3] / 2) - gt[3]) / gt[5];
        EXPECT_NEAR(col, std::round(col), 1e-6);
        EXPECT_NEAR(row, std::round(row), 1e-6);
        return {static_cast<int>(std::round(col)), static_cast<int>(std::round(row))};
    }
};

// RGB pixels of a window of a raster, interleaved, top row first (a grey one's band thrice).
Rgb ReadRgb(GDALDataset &raster, int x, int y, int w = 1, int h = 1) {
    Rgb rgb(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3);
    int bands[] = {1, raster.GetRasterCount() < 3 ? 1 : 2, raster.GetRasterCount() < 3 ? 1 : 3};
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

// A tile image as RGB; a palette is looked up here, not through the mosaic's expansion.
Rgb TileRgb(const fs::path &image, bool *palette = nullptr) {
    auto tile = Open(image.string());
    const GDALColorTable *table = tile->GetRasterBand(1)->GetColorTable();
    if (palette != nullptr) {
        *palette = table != nullptr;
    }
    Rgb rgb = ReadRgb(*tile, 0, 0, 256, 256);
    for (std::size_t i = 0; table != nullptr && i < rgb.size(); i += 3) {
        const GDALColorEntry *e = table->GetColorEntry(rgb[i]);
        rgb[i] = static_cast<std::uint8_t>(e->c1);
        rgb[i + 1] = static_cast<std::uint8_t>(e->c2);
        rgb[i + 2] = static_cast<std::uint8_t>(e->c3);
    }
    return rgb;
}

std::optional<tileserver::TileCode> TileAt(GDALDataset &mosaic, int x, int y) {
    const Rgb pixels = ReadRgb(mosaic, x, y, 256, 256);
    return tileserver::DecodeTileImage({pixels.data(), 256, 256, 0});
}

// Every file and folder under a folder, with the files' bytes.
std::map<std::string, std::string> Snapshot(const fs::path &folder) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(folder)) {
        files[fs::relative(entry.path(), folder).string()] =
            entry.is_regular_file() ? test::ReadFile(entry.path()) : "/";
    }
    return files;
}

bool NoWorkingFolderIn(const fs::path &folder) {
    return std::none_of(fs::directory_iterator(folder), fs::directory_iterator(), [](auto &e) {
        return e.path().filename().string().starts_with(".tessaro");
    });
}

class MosaicTest : public ::testing::Test {
protected:
    // GDAL's warnings about the test's own rasters stay out of the test log.
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
        char extent[160];
        std::snprintf(extent, sizeof extent, "--extent=%.10g,%.10g,%.10g,%.10g", lat1, lat2, lon1,
                      lon2);
        const std::string key = std::string(source) + kind + std::to_string(level) + extent;
        if (auto it = s_runs.find(key); it != s_runs.end()) {
            return it->second;
        }
        const fs::path dir = *s_root / ("run" + std::to_string(s_runs.size()));
        fs::create_directories(dir);
        std::vector<std::string> args = {TESSARO_BINARY, "load",   "--source",
                                         source,         "--kind", kind};
        args.insert(args.end(), {"--level", std::to_string(level), extent, "--dir", dir.string()});
        args.insert(args.end(), {"--config", (dir / "store.ini").string()});
        for (const auto &[k, value] : settings::ServerSettingsFor(s_server->BaseUrl())) {
            args.insert(args.end(),
                        {"--set", std::string(settings::InfoOf(k).savedName) + "=" + value});
        }
        const auto r = test::RunProcess(
            args, {}, {{"HOME", dir.string()}, {"XDG_CONFIG_HOME", (dir / "config").string()}});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const tiles::TileList list({type, level, lat1, lat2, lon1, lon2});
        return s_runs.emplace(key, TileRun{type, level, dir / std::to_string(level), list})
            .first->second;
    }
    static const TileRun &Moscow(const char *source, const char *kind, TilesType type, int level) {
        return Download(source, kind, type, level, 55.70, 55.80, 37.50, 37.70);
    }
    static const TileRun &GoogleSat() { return Moscow("goo", "sat", TilesType::GoogleSat, 13); }

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
    MosaicResult Append(const TileRun &run, const fs::path &output, MosaicOptions options = {}) {
        options.combine = true;
        return Build(run, output, std::move(options));
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
    // both, and that the mosaic ends where the outermost tiles end.
    static void ExpectTilesInPlace(GDALDataset &mosaic, const TileRun &run) {
        double gt[6];
        ASSERT_EQ(mosaic.GetGeoTransform(gt), CE_None);
        EXPECT_EQ(gt[2] + gt[4], 0.0);
        int right = 0, bottom = 0, left = INT_MAX, top = INT_MAX;
        run.list.ForEach([&](const TileRecord &record) {
            SCOPED_TRACE(run.Tile(record).string());
            const auto [x, y] = run.Corner(record, gt);
            left = std::min(left, x), top = std::min(top, y);
            right = std::max(right, x + 256), bottom = std::max(bottom, y + 256);
            const Rgb pixels = ReadRgb(mosaic, x, y, 256, 256);
            bool palette = false;
            const Rgb image = TileRgb(run.Tile(record), &palette);
            const auto inMosaic = tileserver::DecodeTileImage({pixels.data(), 256, 256, 0});
            const auto inFile = tileserver::DecodeTileImage({image.data(), 256, 256, 0});
            ASSERT_TRUE(inFile && inMosaic);
            EXPECT_EQ(*inMosaic, *inFile);
            EXPECT_EQ(inMosaic->type, run.type);
            // Palette tiles are expanded exactly, pixel for pixel.
            EXPECT_TRUE(!palette || pixels == image);
        });
        EXPECT_EQ((std::array{left, top, right, bottom}),
                  (std::array{0, 0, mosaic.GetRasterXSize(), mosaic.GetRasterYSize()}));
    }

    static inline tileserver::TileServer *s_server = nullptr;
    static inline test::TempDir *s_root = nullptr;
    static inline std::map<std::string, TileRun> s_runs;

    test::RecordingUi ui;
    test::TempDir out;
};

// A raster of one flat colour on the tiles' grid, for appending to: its north-west corner is
// that of the run's first tile moved by whole tiles (east and south positive).
void WriteFlatRaster(const fs::path &path, const TileRun &run, int tilesEast, int tilesSouth,
                     int tilesWide, int tilesHigh, double colour) {
    TileRecord first;
    run.list.Begin().Next(first);
    const double side = 256 * first.resX;
    GDALDatasetUniquePtr ds(GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
        path.c_str(), 256 * tilesWide, 256 * tilesHigh, 3, GDT_Byte, nullptr));
    ASSERT_TRUE(ds);
    double gt[6] = {first.x - first.resX / 2 + tilesEast * side,  first.resX, 0,
                    first.y - first.resY / 2 - tilesSouth * side, 0,          first.resY};
    OGRSpatialReference srs;
    ASSERT_EQ(srs.SetFromUserInput("ESRI:53004"), OGRERR_NONE);
    ASSERT_EQ(ds->SetSpatialRef(&srs), CE_None);
    ASSERT_EQ(ds->SetGeoTransform(gt), CE_None);
    for (int b = 1; b <= 3; ++b) {
        ASSERT_EQ(ds->GetRasterBand(b)->Fill(colour), CE_None);
    }
}

} // namespace

// A GeoTIFF of every source and kind (relief from row folders, PNG tiles expanded to RGB) holds
// each tile where its world file says, with statistics and no message.
TEST_F(MosaicTest, EveryTileLandsWhereItsWorldFileSays) {
    const std::tuple<const char *, const char *, TilesType, int> types[] = {
        {"goo", "sat", TilesType::GoogleSat, 13},   {"goo", "map", TilesType::GoogleMap, 13},
        {"goo", "land", TilesType::GoogleLand, 13}, {"scan", "sat", TilesType::ScanSat, 12},
        {"scan", "map", TilesType::ScanMap, 12},    {"shade", "sat", TilesType::Shade, 8},
        {"yand", "sat", TilesType::YandSat, 12},    {"yand", "map", TilesType::YandMap, 12}};
    for (const auto &[source, kind, type, level] : types) {
        const std::string name = std::string(source) + "_" + kind;
        SCOPED_TRACE(name);
        const TileRun &run = Moscow(source, kind, type, level);
        const auto result = Build(run, out / (name + ".tif"));
        ASSERT_EQ(result.outcome, MosaicOutcome::Built) << Shown();
        EXPECT_TRUE(ui.messages.empty()) << Shown();
        EXPECT_EQ(result.raster, (out / (name + ".tif")).string());
        EXPECT_EQ(result.layerName, name);
        EXPECT_EQ(result.placed, run.list.Size());
        EXPECT_EQ(result.missing, 0);
        auto mosaic = Open(result.raster);
        ASSERT_TRUE(mosaic);
        EXPECT_EQ(mosaic->GetRasterCount(), 3);
        EXPECT_EQ(mosaic->GetRasterBand(1)->GetRasterDataType(), GDT_Byte);
        ExpectTilesInPlace(*mosaic, run);
        // Statistics are stored, and are those GDAL computes (on a copy that keeps them to itself).
        std::array<double, 4> stored{}, computed{};
        EXPECT_EQ(mosaic->GetRasterBand(2)->GetStatistics(FALSE, FALSE, &stored[0], &stored[1],
                                                          &stored[2], &stored[3]),
                  CE_None);
        {
            CPLConfigOptionSetter noSideFile("GDAL_PAM_ENABLED", "NO", false);
            ASSERT_EQ(Open(result.raster)
                          ->GetRasterBand(2)
                          ->ComputeStatistics(FALSE, &computed[0], &computed[1], &computed[2],
                                              &computed[3], nullptr, nullptr),
                      CE_None);
        }
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_NEAR(stored[i], computed[i], 1e-6 * (1 + computed[i])) << i;
        }
        EXPECT_EQ(ui.labels.back(), "");
    }
    // Nothing but the mosaics was written: GDAL keeps the statistics inside a GeoTIFF it
    // creates, and the working folders are gone.
    const auto files = Snapshot(out.Path());
    EXPECT_EQ(files.size(), std::size(types));
    for (const auto &[name, bytes] : files) {
        EXPECT_EQ(fs::path(name).extension(), ".tif") << name;
    }
}

// A raster table goes into an existing GeoPackage, and is appended to, without disturbing its
// vector layer. GDAL
// reads every Google mosaic (GeoTIFF, IMAGINE, GeoPackage) back on the sphere of 6 371 000 m,
// also when told to trust EPSG codes over GeoTIFF keys; a Yandex one in World Mercator.
TEST_F(MosaicTest, OutputFormatsHoldTheTilesAndReadBackInTheirSystem) {
    const TileRun &run = Moscow("goo", "map", TilesType::GoogleMap, 13);
    const fs::path database = out / "maps.gpkg";
    {
        GDALDatasetUniquePtr ds(GetGDALDriverManager()->GetDriverByName("GPKG")->Create(
            database.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        OGRLayer *layer = ds->CreateLayer("roads", nullptr, wkbLineString, nullptr);
        OGRFeature feature(layer->GetLayerDefn());
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
    // Appending rebuilds the table in a copy of the database; by MT_FIRST the tiles of another
    // kind leave every old pixel as it was.
    MosaicOptions first;
    first.mosaicOperator = MosaicOperator::First;
    ASSERT_EQ(Append(GoogleSat(), database / "moscow", first).outcome, MosaicOutcome::Appended)
        << Shown();
    {
        auto raster = Open(table.raster);
        ASSERT_TRUE(raster);
        ExpectTilesInPlace(*raster, run);
        GDALDatasetUniquePtr vectors(GDALDataset::Open(database.c_str(), GDAL_OF_VECTOR));
        ASSERT_TRUE(vectors && vectors->GetLayerByName("roads"));
        EXPECT_EQ(vectors->GetLayerByName("roads")->GetFeatureCount(), 1);
    }
    EXPECT_TRUE(NoWorkingFolderIn(out.Path()));
    const auto tif = Build(run, out / "m.tif"), img = Build(run, out / "m.img");
    ASSERT_EQ(Build(Moscow("yand", "sat", TilesType::YandSat, 12), out / "y.tif").outcome,
              MosaicOutcome::Built);
    EXPECT_TRUE(ui.messages.empty()) << Shown();
    OGRSpatialReference world;
    ASSERT_EQ(world.SetFromUserInput("ESRI:54004"), OGRERR_NONE);
    for (const char *source : {"", "EPSG", "GEOKEYS"}) {
        CPLSetThreadLocalConfigOption("GTIFF_SRS_SOURCE", *source ? source : nullptr);
        for (const std::string &name : {tif.raster, img.raster, table.raster}) {
            auto mosaic = Open(name);
            ASSERT_TRUE(mosaic && mosaic->GetSpatialRef());
            EXPECT_EQ(mosaic->GetSpatialRef()->GetSemiMajor(), 6371000.0) << name << source;
            EXPECT_EQ(mosaic->GetSpatialRef()->GetSemiMinor(), 6371000.0) << name << source;
        }
        auto y = Open((out / "y.tif").string());
        EXPECT_TRUE(y && y->GetSpatialRef() && y->GetSpatialRef()->IsSame(&world));
    }
    CPLSetThreadLocalConfigOption("GTIFF_SRS_SOURCE", nullptr);
}

// The checks before a build, each with its message and nothing written, appending included.
TEST_F(MosaicTest, ChecksBeforeBuilding) {
    const TileRun &run = GoogleSat();
    MosaicOptions combine;
    combine.combine = true;
    const std::string missing =
        "Растр мозаики НЕ существует или его не удается открыть\r\n - выберите существующий или "
        "\r\n - снимите отметку <объединить с существующим>\r\n   (новый растр будет создан)";
    EXPECT_EQ(Refusal(run, {}), "Не введено имя нового растра");
    EXPECT_EQ(Refusal(run, out / "m.png"), "Invalid raster format");
    EXPECT_EQ(Refusal(run, out / "mosaic"),
              "GDAL cannot write an ArcInfo GRID (an output name without extension): give the "
              "mosaic the extension .tif (GeoTIFF) or .img (ERDAS IMAGINE).");
    EXPECT_EQ(Refusal(run, out / "blocks.gdb" / "m"),
              "GDAL cannot write rasters into a File Geodatabase: choose a folder or a "
              "GeoPackage (.gpkg) for the mosaic.");
    EXPECT_EQ(Refusal(run, out / "new.tif", combine), missing);
    EXPECT_TRUE(fs::is_empty(out.Path()));

    ui.messages.clear();
    ASSERT_EQ(Build(run, out / "m.tif").outcome, MosaicOutcome::Built) << Shown();
    EXPECT_TRUE(ui.messages.empty()) << "a new name is not an error";
    const auto before = Snapshot(out.Path());
    const std::string exists = "Растр мозаики существует\r\n - выберите новый или \r\n - удалите "
                               "его самостоятельно или\r\n - отметьте <объединить с "
                               "существующим>\r\n   (при этом растр не должен быть открыт в "
                               "проекте)";
    EXPECT_EQ(Refusal(run, out / "m.tif"), exists);
    // A file GDAL does not read is not overwritten either, nor appended to.
    test::WriteFile(out / "notes.tif", "not a raster");
    EXPECT_EQ(Refusal(run, out / "notes.tif"), exists);
    EXPECT_EQ(Refusal(run, out / "notes.tif", combine), missing);
    // What appending cannot honour.
    const std::string name = "The existing raster " + (out / "m.tif").string();
    auto appending = [&](const TileRun &tiles, MosaicOptions options, const std::string &start) {
        options.combine = true;
        EXPECT_EQ(Refusal(tiles, out / "m.tif", options).rfind(start, 0), 0u) << Shown();
        EXPECT_EQ(ui.messages.at(0).icon, Icon::Exclamation);
    };
    MosaicOptions blend, wide;
    blend.mosaicOperator = MosaicOperator::Blend;
    wide.pixelType = PixelType::U16;
    appending(run, blend, "MT_BLEND cannot be used when appending");
    appending(run, wide, name + " holds \"unsigned 8 bit\" values");
    appending(Moscow("yand", "sat", TilesType::YandSat, 12), {},
              name + " is in Sphere_Mercator, the tiles in World_Mercator");
    auto after = Snapshot(out.Path());
    EXPECT_EQ(after["notes.tif"], "not a raster");
    after.erase("notes.tif");
    EXPECT_EQ(after, before);

    // A level folder that is not there: the folder message, then the loading message.
    ui.messages.clear();
    const fs::path nowhere = out / "nowhere" / "13";
    EXPECT_EQ(Build({run.type, 13, nowhere, run.list}, out / "x.tif").outcome,
              MosaicOutcome::Failed);
    ASSERT_EQ(ui.messages.size(), 3u);
    EXPECT_EQ(ui.messages[0].title, kReportTitle);
    EXPECT_EQ(ui.messages[1].text,
              "Can not open raster workspase!\r\nFolder: " + nowhere.string() + "/");
    EXPECT_EQ(ui.messages[2].text, "Ошибка загрузки растов");
    EXPECT_FALSE(fs::exists(out / "x.tif"));
}

// Pixel types (in IMAGINE files): wider types hold the tile values unchanged, narrower ones
// clamp them; a GeoPackage takes 8 bit only; a colour-map mode is said to have no effect.
TEST_F(MosaicTest, PixelTypesAndOtherChoices) {
    const TileRun &run = GoogleSat();
    ASSERT_EQ(Build(run, out / "u8.tif").outcome, MosaicOutcome::Built) << Shown();
    // The first band's values, type and NBITS (or signed PIXELTYPE).
    auto band = [](const fs::path &path) {
        auto raster = Open(path.string());
        const int w = raster->GetRasterXSize(), h = raster->GetRasterYSize();
        std::vector<double> v(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
        GDALRasterBand *b = raster->GetRasterBand(1);
        EXPECT_EQ(b->RasterIO(GF_Read, 0, 0, w, h, v.data(), w, h, GDT_Float64, 0, 0, nullptr),
                  CE_None);
        const char *nbits = b->GetMetadataItem("NBITS", "IMAGE_STRUCTURE");
        const char *signedByte = b->GetMetadataItem("PIXELTYPE", "IMAGE_STRUCTURE");
        return std::tuple(v, b->GetRasterDataType(),
                          std::string(nbits != nullptr        ? nbits
                                      : signedByte != nullptr ? signedByte
                                                              : ""));
    };
    const auto expected = std::get<0>(band(out / "u8.tif"));
    const std::tuple<PixelType, GDALDataType, double, const char *> cases[] = {
        {PixelType::U16, GDT_UInt16, 255, ""},
        {PixelType::Float, GDT_Float32, 255, ""},
        {PixelType::S8, GDT_Byte, 127, "SIGNEDBYTE"},
        {PixelType::U1, GDT_Byte, 1, "1"},
        {PixelType::U4, GDT_Byte, 15, "4"}};
    for (const auto &[pixelType, gdal, max, nbits] : cases) {
        const fs::path name = out / ("t" + std::to_string(static_cast<int>(pixelType)) + ".img");
        MosaicOptions options;
        options.pixelType = pixelType;
        ASSERT_EQ(Build(run, name, options).outcome, MosaicOutcome::Built) << name << Shown();
        const auto [values, type, bits] = band(name);
        EXPECT_EQ(std::pair(type, bits), std::pair(gdal, std::string(nbits))) << name;
        ASSERT_EQ(values.size(), expected.size());
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < values.size(); ++i) {
            wrong += values[i] != std::min(expected[i], max);
        }
        EXPECT_EQ(wrong, 0u) << name;
    }

    MosaicOptions wide;
    wide.pixelType = PixelType::U16;
    EXPECT_EQ(Refusal(run, out / "w.gpkg", wide),
              "A GeoPackage raster holds 8-bit RGB tiles only: choose the pixel type \"unsigned 8 "
              "bit\" or a .tif or .img output.");
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

// Tiles reaching north and west of an old raster (which reaches south of them): the old
// pixels land one tile east and south of the tiles' corner, stay where no tile lies and meet
// the tiles by the operator (by default tiles replace them); pixels covered by neither are 0.
TEST_F(MosaicTest, AppendingNorthWestOfAnOldRasterKeepsItsPixelsInPlace) {
    const TileRun &run = GoogleSat();
    TileRecord first, inner;
    run.list.Begin().Next(first);
    int columns = 0;
    run.list.ForEach([&](const TileRecord &r) {
        columns += r.row == first.row;
        if (r.col == first.col + 1 && r.row == first.row + 1) {
            inner = r;
        }
    });
    const int rows = static_cast<int>(run.list.Size() / columns);
    ASSERT_TRUE(rows * columns == run.list.Size() && columns >= 3 && rows >= 2);
    const Rgb flat{100, 100, 100};
    const Rgb tile = TileRgb(run.Tile(inner));
    for (const auto op :
         {std::optional<MosaicOperator>{}, std::optional{MosaicOperator::First},
          std::optional{MosaicOperator::Min}, std::optional{MosaicOperator::Mean}}) {
        const fs::path path = out / ("a" + std::to_string(op ? static_cast<int>(*op) : 0) + ".tif");
        SCOPED_TRACE(path);
        // Two tiles wide from the run's second column, as high as the run from its second row.
        WriteFlatRaster(path, run, 1, 1, 2, rows, 100);
        test::WriteFile(path.string() + ".aux.xml",
                        "<PAMDataset><Metadata><MDI key=\"stale\">1</MDI></Metadata></PAMDataset>");
        MosaicOptions options;
        options.mosaicOperator = op;
        const auto result = Append(run, path, options);
        ASSERT_EQ(result.outcome, MosaicOutcome::Appended) << Shown();
        EXPECT_EQ(result.placed, run.list.Size());
        auto mosaic = Open(result.raster);
        ASSERT_TRUE(mosaic);
        EXPECT_EQ(mosaic->GetMetadataItem("stale"), nullptr) << "the old side file was replaced";
        EXPECT_EQ(mosaic->GetRasterYSize(), 256 * (rows + 1));
        // South of the tiles: the old raster from its west edge to its south-east corner.
        const int south = 256 * rows;
        EXPECT_EQ(ReadRgb(*mosaic, 256, south + 10), flat);
        EXPECT_EQ(ReadRgb(*mosaic, 767, south + 255), flat);
        EXPECT_EQ(ReadRgb(*mosaic, 255, south + 10), (Rgb{0, 0, 0}));
        // Tiles away from the old raster are the tiles themselves.
        double gt[6];
        ASSERT_EQ(mosaic->GetGeoTransform(gt), CE_None);
        run.list.ForEach([&](const TileRecord &r) {
            const auto [x, y] = run.Corner(r, gt);
            if (x < 256 || x > 512 || y == 0) {
                const auto code = TileAt(*mosaic, x, y);
                EXPECT_TRUE(code && code->x == r.col && code->y == r.row) << x << "," << y;
            }
        });
        // The tile over the old raster's north-west corner meets it by the operator.
        const Rgb over = ReadRgb(*mosaic, 256, 256, 256, 256);
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < over.size(); i += 97) {
            const int t = tile[i];
            const int want = op == MosaicOperator::First ? 100
                             : op == MosaicOperator::Min ? std::min(t, 100)
                             : op == MosaicOperator::Mean
                                 ? static_cast<int>(std::round((t + 100) / 2.0))
                                 : t;
            // JPEG decoders may differ by one in a value; the operators are far apart.
            wrong += std::abs(over[i] - want) > 1;
        }
        EXPECT_EQ(wrong, 0u);
        if (op == MosaicOperator::First) { // the old corner pixel sits between tile pixels
            EXPECT_NE(ReadRgb(*mosaic, 255, 256), flat);
            EXPECT_NE(ReadRgb(*mosaic, 256, 255), flat);
        }
    }
    EXPECT_TRUE(NoWorkingFolderIn(out.Path()));
}

// Level-14 tiles appended to a level-13 mosaic are resampled to half size: every block lands
// on its 8 × 8 pixels, and the first and last rows and columns of each tile's place hold that
// tile's edge blocks, not its neighbours' or the old raster's.
TEST_F(MosaicTest, AppendingResamplesTilesOfAnotherLevel) {
    const TileRun &fine =
        Download("goo", "sat", TilesType::GoogleSat, 14, 55.74, 55.76, 37.60, 37.66);
    const fs::path path = out / "levels.tif";
    ASSERT_EQ(Build(GoogleSat(), path).outcome, MosaicOutcome::Built) << Shown();
    ASSERT_EQ(Append(fine, path).outcome, MosaicOutcome::Appended) << Shown();
    auto mosaic = Open(path.string());
    ASSERT_TRUE(mosaic);
    double gt[6];
    ASSERT_EQ(mosaic->GetGeoTransform(gt), CE_None);
    ASSERT_GT(fine.list.Size(), 1);
    fine.list.ForEach([&](const TileRecord &record) {
        // The fine tile's world file in the mosaic's pixels of twice its size.
        const double half[6] = {gt[0], gt[1] / 2, 0, gt[3], 0, gt[5] / 2};
        const auto [x2, y2] = fine.Corner(record, half);
        const Rgb px = ReadRgb(*mosaic, x2 / 2, y2 / 2, 128, 128);
        const tileserver::TileCode expected{fine.type, record.col, record.row, 18 - fine.level};
        // Pixel (x, y) of the tile's place is in block (c, r).
        auto agrees = [&](int x, int y, int c, int r) {
            const auto i = static_cast<std::size_t>(3 * (128 * y + x));
            return tileserver::BlockAgrees(tileserver::DecodeBlock(px[i], px[i + 1], px[i + 2]),
                                           expected, c, r);
        };
        for (int r = 0; r < 16; ++r) {
            for (int c = 0; c < 16; ++c) {
                EXPECT_TRUE(agrees(8 * c + 4, 8 * r + 4, c, r))
                    << "tile " << record.col << "," << record.row << " block " << c << "," << r;
            }
            // Along the edges, at block centres (JPEG blends colours across block edges).
            const int mid = 8 * r + 4;
            EXPECT_TRUE(agrees(mid, 0, r, 0) && agrees(mid, 127, r, 15) && agrees(0, mid, 0, r) &&
                        agrees(127, mid, 15, r))
                << "tile " << record.col << "," << record.row << " edge block " << r;
        }
    });
}

// A disk filling up mid-append leaves the old raster and its side file byte for byte, and says so.
TEST_F(MosaicTest, AFullDiskInTheMiddleOfAnAppendKeepsTheOldRasterWhole) {
    const TileRun &run = GoogleSat();
    test::ScopedTmpfs disk(out / "small", "1600k");
    if (!disk.Mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.Error();
    }
    // An old raster of noise, which compresses to nothing: 2 × 4 tiles, about 1.5 MB, so that
    // the new one runs out of room while its tiles are written.
    const fs::path path = out / "small" / "old.tif";
    WriteFlatRaster(path, run, -1, 0, 2, 4, 0);
    {
        GDALDatasetUniquePtr noise(
            GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_UPDATE));
        std::mt19937 random(3);
        Rgb values(512 * 1024 * 3);
        std::generate(values.begin(), values.end(),
                      [&] { return static_cast<std::uint8_t>(random()); });
        ASSERT_EQ(noise->RasterIO(GF_Write, 0, 0, 512, 1024, values.data(), 512, 1024, GDT_Byte, 3,
                                  nullptr, 0, 0, 0, nullptr),
                  CE_None);
    }
    test::WriteFile(path.string() + ".aux.xml",
                    "<PAMDataset><Metadata><MDI key=\"mine\">1</MDI></Metadata></PAMDataset>");
    const auto before = Snapshot(out / "small");

    const auto result = Append(run, path);
    EXPECT_EQ(result.outcome, MosaicOutcome::Failed);
    EXPECT_TRUE(result.raster.empty());
    EXPECT_EQ(Snapshot(out / "small"), before);
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0].title, kReportTitle);
    EXPECT_NE(ui.messages[0].text.find("\tcmdOk_Click Mocaic raster  \r\n"), std::string::npos);
    EXPECT_NE(ui.messages[0].text.find("No space left on device"), std::string::npos)
        << ui.messages[0].text;
    EXPECT_EQ(ui.messages[1].text, "Ошибка добавления блоков к существующему растру\r\n"
                                   "проверьте не открыт ли он в проекте");
    EXPECT_EQ(ui.messages[1].icon, Icon::Exclamation);

    // With room to spare the same append succeeds.
    fs::copy_file(path, out / "roomy.tif");
    EXPECT_EQ(Append(run, out / "roomy.tif").outcome, MosaicOutcome::Appended);
}

// Tiles that are missing or damaged are left out and counted; the rest is built, with no tile
// where they would lie (transparent in a GeoPackage).
TEST_F(MosaicTest, MissingAndDamagedTilesAreLeftOut) {
    const TileRun &source = Moscow("goo", "map", TilesType::GoogleMap, 13);
    // A copy of the run's folder to damage.
    const TileRun run{source.type, 13, out / "tiles" / "13", source.list};
    fs::create_directories(run.levelFolder);
    fs::copy(source.levelFolder, run.levelFolder, fs::copy_options::recursive);
    std::vector<TileRecord> records;
    source.list.ForEach([&](const TileRecord &r) { records.push_back(r); });
    fs::remove(run.Tile(records[1]));
    const std::string bytes = test::ReadFile(run.Tile(records[5]));
    test::WriteFile(run.Tile(records[5]), bytes.substr(0, bytes.size() / 3));
    test::WriteFile(run.Tile(records[6]), "<html>not found</html>");

    const auto result = Build(run, out / "holes.gpkg");
    ASSERT_EQ(result.outcome, MosaicOutcome::Built) << Shown();
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(result.missing, 1);
    EXPECT_EQ(result.unreadable, 2);
    EXPECT_EQ(result.placed, source.list.Size() - 3);
    auto mosaic = Open(result.raster);
    ASSERT_TRUE(mosaic);
    // The hole of the missing tile is black and transparent; its neighbour is whole.
    EXPECT_EQ(ReadRgb(*mosaic, 256 + 128, 128), (Rgb{0, 0, 0}));
    std::uint8_t alpha = 1;
    ASSERT_EQ(mosaic->GetRasterBand(4)->RasterIO(GF_Read, 256 + 128, 128, 1, 1, &alpha, 1, 1,
                                                 GDT_Byte, 0, 0, nullptr),
              CE_None);
    EXPECT_EQ(alpha, 0);
    EXPECT_TRUE(TileAt(*mosaic, 0, 0));
}
