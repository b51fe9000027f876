// Mosaics of the built-in tile server's tiles beside the download loop's world files: tiles
// land where their world files put them, and appending keeps the old raster whole whatever
// happens. The grid arithmetic is pinned in mosaic_layout_test; these runs check what only
// real rasters show.
#include "mosaic/mosaic_raster.h"
#include "mosaic/tile_store.h"
#include "mosaic/virtual_mosaic.h"

#include "download/world_file.h"
#include "mapout/spatial_reference.h"
#include "support/files.h"
#include "support/image_decode.h"
#include "support/process.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"
#include "support/tmpfs.h"
#include "tiles/ellipsoidal_grid.h"
#include "tiles/tile_files.h"
#include "tileserver/tile_code.h"
#include "tileserver/tile_image.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <set>
#include <sstream>

using namespace tessaro;
using namespace tessaro::mosaic;
using tiles::TileRecord;
using tiles::TilesType;
namespace fs = std::filesystem;
using Rgb = std::vector<std::uint8_t>;

namespace {

// A run's tiles on disk, as a load run leaves them.
struct TileRun {
    TilesType type;
    int level;
    fs::path levelFolder;
    tiles::TileList list;

    [[nodiscard]] fs::path Tile(const TileRecord &r) const {
        return tiles::TilePath(levelFolder, type, r, level);
    }
    // The pixel of a mosaic (geotransform gt) at the tile's upper-left corner, from the tile's
    // world file.
    [[nodiscard]] std::pair<int, int> Corner(const TileRecord &r, const double *gt) const {
        std::istringstream in(test::ReadFile(tiles::WorldFilePath(Tile(r), type)));
        double wf[6];
        for (double &v : wf) {
            in >> v;
        }
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

// The mask value of a pixel: the alpha band of a four-band raster, else the first band's mask.
int MaskAt(GDALDataset &raster, int x, int y) {
    unsigned char value = 0;
    GDALRasterBand *mask = raster.GetRasterCount() == 4 ? raster.GetRasterBand(4)
                                                        : raster.GetRasterBand(1)->GetMaskBand();
    EXPECT_EQ(mask->RasterIO(GF_Read, x, y, 1, 1, &value, 1, 1, GDT_Byte, 0, 0, nullptr), CE_None);
    return value;
}

GDALDatasetUniquePtr Open(const std::string &name) {
    GDALDatasetUniquePtr raster(GDALDataset::Open(name.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    EXPECT_TRUE(raster) << name;
    return raster;
}

class MosaicTest : public ::testing::Test {
protected:
    // GDAL's warnings about the test's own rasters stay out of the test log.
    void SetUp() override {
        GDALAllRegister();
        CPLPushErrorHandler(CPLQuietErrorHandler);
    }
    void TearDown() override { CPLPopErrorHandler(); }

    // The tiles over central Moscow as a load run leaves them: the built-in server's images and
    // the download loop's world files, in a level folder of their own.
    TileRun Tiles(TilesType type, int level, double north = 55.80) {
        const fs::path folder =
            tileDir / std::to_string(static_cast<int>(type)) / std::to_string(level);
        const TileRun run{type, level, folder,
                          tiles::TileList({type, level, 55.70, north, 37.50, 37.70})};
        const double height = tiles::IsEllipsoidal(type) ? 256 * tiles::ResN(level) : 0.0;
        run.list.ForEach([&](const TileRecord &r) {
            fs::create_directories(run.Tile(r).parent_path());
            test::WriteFile(run.Tile(r), tileserver::EncodeTile({type, r.col, r.row, level}));
            test::WriteFile(tiles::WorldFilePath(run.Tile(r), type),
                            download::WorldFileText(r, height));
        });
        return run;
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
        EXPECT_EQ(Build(run, output, std::move(options)).outcome, MosaicOutcome::Refused) << output;
        EXPECT_EQ(ui.messages.size(), 1u) << output;
        return ui.messages.empty() ? "" : ui.messages[0].text;
    }

    // Checks that every tile of a run but the holes (numbers in list order) lies in the mosaic
    // in its place.
    static void ExpectTilesInPlace(GDALDataset &mosaic, const TileRun &run,
                                   const std::set<int> &holes = {}) {
        double gt[6];
        ASSERT_EQ(mosaic.GetGeoTransform(gt), CE_None);
        int i = 0;
        run.list.ForEach([&](const TileRecord &r) {
            if (holes.count(i++) == 0) {
                const auto [x, y] = run.Corner(r, gt);
                const Rgb pixels = ReadRgb(mosaic, x, y, 256, 256);
                EXPECT_EQ(tileserver::DecodeTileImage({pixels.data(), 256, 256, 0}),
                          (tileserver::TileCode{run.type, r.col, r.row, run.level}))
                    << "tile " << i - 1;
            }
        });
    }

    test::RecordingUi ui;
    test::TempDir tileDir; ///< the tiles, apart from the output folder
    test::TempDir out;
};

// A raster on the tiles' grid, for appending to: its north-west corner is that of the run's
// first tile moved by whole tiles (east and south positive); one grey, or noise for grey -1.
void WriteOldRaster(const fs::path &path, const TileRun &run, int tilesEast, int tilesSouth,
                    int tilesWide, int tilesHigh, int grey) {
    TileRecord first;
    run.list.Begin().Next(first);
    const double side = 256 * first.resX;
    const int w = 256 * tilesWide, h = 256 * tilesHigh;
    GDALDatasetUniquePtr ds(GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
        path.c_str(), w, h, 3, GDT_Byte, nullptr));
    ASSERT_TRUE(ds);
    double gt[6] = {first.x - first.resX / 2 + tilesEast * side,  first.resX, 0,
                    first.y - first.resY / 2 - tilesSouth * side, 0,          first.resY};
    const OGRSpatialReference srs = mapout::SetProjectedCoordSystem(mapout::kSphereMercator);
    ASSERT_EQ(ds->SetSpatialRef(&srs), CE_None);
    ASSERT_EQ(ds->SetGeoTransform(gt), CE_None);
    Rgb values(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3,
               static_cast<std::uint8_t>(grey));
    std::mt19937 random(3);
    for (std::uint8_t &v : values) {
        v = grey < 0 ? static_cast<std::uint8_t>(random()) : v;
    }
    ASSERT_EQ(ds->RasterIO(GF_Write, 0, 0, w, h, values.data(), w, h, GDT_Byte, 3, nullptr, 3,
                           static_cast<GSpacing>(w) * 3, 1, nullptr),
              CE_None);
}

} // namespace

// A GeoTIFF of every source and kind (relief from row folders, PNG tiles expanded to RGB) holds
// each tile in its place, in the tiles' system also for GDAL told to trust EPSG codes over
// GeoTIFF keys, and no message is shown. Nothing else is written: GDAL keeps the statistics
// inside a GeoTIFF it creates, and the working folders are gone.
TEST_F(MosaicTest, EveryTileLandsInItsPlace) {
    CPLConfigOptionSetter epsg("GTIFF_SRS_SOURCE", "EPSG", false);
    const std::tuple<std::string, TilesType, int> types[] = {
        {"goo_sat", TilesType::GoogleSat, 13},   {"goo_map", TilesType::GoogleMap, 13},
        {"goo_land", TilesType::GoogleLand, 13}, {"scan_sat", TilesType::ScanSat, 12},
        {"scan_map", TilesType::ScanMap, 12},    {"relief", TilesType::Shade, 8},
        {"yand_sat", TilesType::YandSat, 12},    {"yand_map", TilesType::YandMap, 12}};
    for (const auto &[name, type, level] : types) {
        SCOPED_TRACE(name);
        const TileRun run = Tiles(type, level);
        const auto result = Build(run, out / (name + ".tif"));
        ASSERT_EQ(result.outcome, MosaicOutcome::Built);
        EXPECT_TRUE(ui.messages.empty());
        EXPECT_EQ(std::pair(result.raster, result.layerName),
                  std::pair((out / (name + ".tif")).string(), name));
        EXPECT_EQ(result.placed, run.list.Size());
        auto mosaic = Open(result.raster);
        ASSERT_TRUE(mosaic && mosaic->GetSpatialRef());
        EXPECT_EQ(
            std::pair(mosaic->GetRasterCount(), mosaic->GetRasterBand(1)->GetRasterDataType()),
            std::pair(3, GDT_Byte));
        const auto system = mapout::SetProjectedCoordSystem(*mapout::CoordSystemCodeOf(type));
        EXPECT_TRUE(mosaic->GetSpatialRef()->IsSame(&system));
        ExpectTilesInPlace(*mosaic, run);
    }
    for (const auto &[name, bytes] : test::FolderContents(out.Path())) {
        EXPECT_EQ(fs::path(name).extension(), ".tif") << name;
    }
}

// A raster table goes into an existing GeoPackage without disturbing its vector layer; tiles
// that are missing or damaged are left out and counted, their places transparent: level-14
// tiles appended by MT_FIRST fill those places alone (every other old pixel stays), resampled
// to half size, up to the edges of each tile's place.
TEST_F(MosaicTest, AGeoPackageTableWithHolesFilledByAnotherLevel) {
    const TileRun run = Tiles(TilesType::GoogleMap, 13); // 3 × 3 tiles
    const auto records = tiles::BuildTileList(run.list.Request());
    ASSERT_EQ(records.size(), 9u);
    const std::set<int> holes{1, 5, 6};
    fs::remove(run.Tile(records[1]));
    const std::string bytes = test::ReadFile(run.Tile(records[5]));
    test::WriteFile(run.Tile(records[5]), bytes.substr(0, bytes.size() / 3));
    test::WriteFile(run.Tile(records[6]), "<html>not found</html>");
    const fs::path database = out / "maps.gpkg";
    {
        GDALDatasetUniquePtr ds(GetGDALDriverManager()->GetDriverByName("GPKG")->Create(
            database.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        OGRLayer *layer = ds->CreateLayer("roads", nullptr, wkbLineString, nullptr);
        OGRFeature feature(layer->GetLayerDefn());
        ASSERT_EQ(layer->CreateFeature(&feature), OGRERR_NONE);
    }
    const auto table = Build(run, database / "moscow");
    ASSERT_EQ(table.outcome, MosaicOutcome::Built);
    EXPECT_EQ(std::pair(table.raster, table.layerName),
              std::pair("GPKG:" + database.string() + ":moscow", std::string("moscow")));
    EXPECT_EQ((std::array{table.placed, table.missing, table.unreadable}),
              (std::array<std::int64_t, 3>{6, 1, 2}));
    const TileRun fine = Tiles(TilesType::GoogleSat, 14);
    MosaicOptions first;
    first.mosaicOperator = MosaicOperator::First;
    ASSERT_EQ(Append(fine, database / "moscow", first).outcome, MosaicOutcome::Appended);
    auto raster = Open(table.raster);
    ASSERT_TRUE(raster);
    ExpectTilesInPlace(*raster, run, holes);
    double gt[6];
    ASSERT_EQ(raster->GetGeoTransform(gt), CE_None);
    const double half[6] = {gt[0], gt[1] / 2, 0, gt[3], 0, gt[5] / 2}; // pixels of a fine tile
    std::set<std::pair<int, int>> places;                              // of the holes
    for (const int h : holes) {
        places.insert(run.Corner(records[static_cast<std::size_t>(h)], gt));
    }
    int resampled = 0;
    fine.list.ForEach([&](const TileRecord &record) {
        const auto [x2, y2] = fine.Corner(record, half);
        const int x = x2 / 2, y = y2 / 2;
        if (places.count({x / 256 * 256, y / 256 * 256}) == 0) {
            return;
        }
        ++resampled;
        // Every block on its 8 × 8 pixels, read at block centres; the first and last rows and
        // columns hold the tile's edge blocks (JPEG blends colours across block edges).
        const Rgb px = ReadRgb(*raster, x, y, 128, 128);
        const tileserver::TileCode code{fine.type, record.col, record.row, fine.level};
        auto agrees = [&](int u, int v, int c, int r) { // pixel (u, v) in block (c, r)
            const auto i = static_cast<std::size_t>(3 * (128 * v + u));
            return tileserver::BlockAgrees(tileserver::DecodeBlock(px[i], px[i + 1], px[i + 2]),
                                           code, c, r);
        };
        int agreeing = 0;
        for (int r = 0; r < 16; ++r) {
            for (int c = 0; c < 16; ++c) {
                agreeing += agrees(8 * c + 4, 8 * r + 4, c, r);
            }
            const int mid = 8 * r + 4;
            agreeing += agrees(mid, 0, r, 0) + agrees(mid, 127, r, 15) + agrees(0, mid, 0, r) +
                        agrees(127, mid, 15, r);
        }
        EXPECT_EQ(agreeing, 16 * 16 + 16 * 4) << "tile " << record.col << "," << record.row;
    });
    EXPECT_EQ(resampled, 2 + 4 + 2) << "the quarters of the holes inside the level-14 request";
    GDALDatasetUniquePtr vectors(GDALDataset::Open(database.c_str(), GDAL_OF_VECTOR));
    ASSERT_TRUE(vectors && vectors->GetLayerByName("roads"));
    EXPECT_EQ(vectors->GetLayerByName("roads")->GetFeatureCount(), 1);
}

// Pixel types (in IMAGINE files): wider types hold the tile values, narrower ones clamp them,
// as the mean of the stored statistics shows.
TEST_F(MosaicTest, PixelTypesHoldOrClampTheTileValues) {
    const TileRun run = Tiles(TilesType::GoogleMap, 13);
    const auto tif = Build(run, out / "m.tif");
    auto u8 = Open(tif.raster);
    ASSERT_TRUE(u8);
    const int w = u8->GetRasterXSize(), h = u8->GetRasterYSize();
    std::vector<double> values(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    ASSERT_EQ(u8->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, w, h, values.data(), w, h, GDT_Float64,
                                             0, 0, nullptr),
              CE_None);
    const std::tuple<PixelType, GDALDataType, double, const char *> types[] = {
        {PixelType::U8, GDT_Byte, 255, ""},       {PixelType::U16, GDT_UInt16, 255, ""},
        {PixelType::Float, GDT_Float32, 255, ""}, {PixelType::S8, GDT_Byte, 127, "SIGNEDBYTE"},
        {PixelType::U1, GDT_Byte, 1, "1"},        {PixelType::U4, GDT_Byte, 15, "4"}};
    for (const auto &[pixelType, gdal, max, nbits] : types) {
        MosaicOptions options;
        options.pixelType = pixelType;
        const fs::path name = out / ("t" + std::to_string(static_cast<int>(pixelType)) + ".img");
        ASSERT_EQ(Build(run, name, options).outcome, MosaicOutcome::Built);
        auto img = Open(name.string());
        GDALRasterBand *band = img->GetRasterBand(1);
        const char *bits = band->GetMetadataItem("NBITS", "IMAGE_STRUCTURE");
        const char *type = band->GetMetadataItem("PIXELTYPE", "IMAGE_STRUCTURE");
        const std::string held = bits ? bits : type ? type : "";
        EXPECT_EQ(std::pair(band->GetRasterDataType(), held), std::pair(gdal, std::string(nbits)))
            << name;
        double sum = 0, stats[4];
        for (const double v : values) {
            sum += std::min(v, max);
        }
        ASSERT_EQ(band->GetStatistics(FALSE, FALSE, stats, stats + 1, stats + 2, stats + 3),
                  CE_None);
        EXPECT_NEAR(stats[2], sum / static_cast<double>(values.size()), 1e-9) << name;
    }
    EXPECT_TRUE(ui.messages.empty());
}

// The checks before a build, each with its message and nothing written, appending included;
// a colour-map mode is only said to have no effect.
TEST_F(MosaicTest, ChecksBeforeBuilding) {
    const TileRun run = Tiles(TilesType::GoogleSat, 13), yandex = Tiles(TilesType::YandSat, 12);
    MosaicOptions combine, wide, mode, blend;
    combine.combine = true;
    wide.pixelType = PixelType::U16;
    mode.colormapMode = ColormapMode::Match;
    blend.mosaicOperator = MosaicOperator::Blend;
    const std::string missing =
        "Растр мозаики НЕ существует или его не удается открыть\r\n - выберите существующий или "
        "\r\n - снимите отметку <объединить с существующим>\r\n   (новый растр будет создан)";
    const std::pair<fs::path, std::string> refusals[] = {
        {{}, "Не введено имя нового растра"},
        {out / "m.png", "Invalid raster format"},
        {out / "mosaic", "GDAL cannot write an ArcInfo GRID (an output name without extension): "
                         "give the mosaic the extension .tif (GeoTIFF) or .img (ERDAS IMAGINE)."},
        {out / "blocks.gdb" / "m", "GDAL cannot write rasters into a File Geodatabase: choose a "
                                   "folder or a GeoPackage (.gpkg) for the mosaic."}};
    for (const auto &[path, message] : refusals) {
        EXPECT_EQ(Refusal(run, path), message);
    }
    EXPECT_EQ(Refusal(run, out / "new.tif", combine), missing);
    MosaicOptions cog;
    cog.cog = true;
    EXPECT_EQ(
        Refusal(run, out / "m.img", cog),
        "A cloud-optimised GeoTIFF and a choice of compression need a GeoTIFF output (.tif).");
    EXPECT_EQ(Refusal(run, out / "m.vrt", combine)
                  .rfind("A virtual mosaic (.vrt) only points at "
                         "tile files and cannot be appended to",
                         0),
              0u);
    EXPECT_EQ(Refusal(run, out / "w.gpkg", wide),
              "A GeoPackage raster holds 8-bit RGB tiles only: choose the pixel type \"unsigned 8 "
              "bit\" or a .tif or .img output.");
    EXPECT_TRUE(fs::is_empty(out.Path()));

    ui.messages.clear();
    ASSERT_EQ(Build(run, out / "m.tif", mode).outcome, MosaicOutcome::Built);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text,
              "The colormap mode MM_MATCH has no effect: palette tiles are expanded to RGB before "
              "they are mosaicked, so the mosaic has no colour map.");
    EXPECT_EQ(ui.messages[0].icon, Icon::Information);
    test::WriteFile(out / "notes.tif", "not a raster");
    const auto before = test::FolderContents(out.Path());
    const std::string exists = "Растр мозаики существует\r\n - выберите новый или \r\n - удалите "
                               "его самостоятельно или\r\n - отметьте <объединить с "
                               "существующим>\r\n   (при этом растр не должен быть открыт в "
                               "проекте)";
    EXPECT_EQ(Refusal(run, out / "m.tif"), exists);
    // A file GDAL does not read is not overwritten either, nor appended to.
    EXPECT_EQ(Refusal(run, out / "notes.tif"), exists);
    EXPECT_EQ(Refusal(run, out / "notes.tif", combine), missing);
    // What appending cannot honour, with an exclamation.
    const std::string name = "The existing raster " + (out / "m.tif").string();
    const std::tuple<const TileRun *, MosaicOptions, std::string> appending[] = {
        {&run, blend, "MT_BLEND cannot be used when appending"},
        {&run, wide, name + " holds \"unsigned 8 bit\" values"},
        {&yandex, {}, name + " is in Sphere_Mercator, the tiles in World_Mercator"}};
    for (auto [tiles, options, start] : appending) {
        options.combine = true;
        EXPECT_EQ(Refusal(*tiles, out / "m.tif", options).rfind(start, 0), 0u);
        EXPECT_EQ(ui.messages.at(0).icon, Icon::Exclamation);
    }
    EXPECT_EQ(test::FolderContents(out.Path()), before);

    // A level folder that is not there: the folder's report and message, then this one.
    ui.messages.clear();
    EXPECT_EQ(Build({run.type, 13, out / "nowhere" / "13", run.list}, out / "x.tif").outcome,
              MosaicOutcome::Failed);
    ASSERT_EQ(ui.messages.size(), 3u);
    EXPECT_EQ(ui.messages[2].text, "Ошибка загрузки растов");
}

// Tiles reaching north and west of an old raster (which reaches south of them): the old pixels
// land one tile east and south of the tiles' corner, stay where no tile lies and meet the tiles
// by the operator (by default tiles replace them); pixels covered by neither are 0. The old
// raster's stale side file is replaced.
TEST_F(MosaicTest, AppendingNorthWestOfAnOldRasterKeepsItsPixelsInPlace) {
    const TileRun run = Tiles(TilesType::GoogleSat, 13); // 3 × 3 tiles
    const auto records = tiles::BuildTileList(run.list.Request());
    ASSERT_EQ(records.size(), 9u);
    const Rgb flat{100, 100, 100};
    const Rgb tile = test::DecodeImage(test::ReadFile(run.Tile(records[4]))).rgb; // in the middle
    for (const auto op :
         {std::optional<MosaicOperator>{}, std::optional{MosaicOperator::First},
          std::optional{MosaicOperator::Min}, std::optional{MosaicOperator::Mean}}) {
        const fs::path path = out / ("a" + std::to_string(op ? static_cast<int>(*op) : 0) + ".tif");
        SCOPED_TRACE(path);
        // Two tiles wide and three high from the run's second column and row.
        WriteOldRaster(path, run, 1, 1, 2, 3, 100);
        test::WriteFile(path.string() + ".aux.xml",
                        "<PAMDataset><Metadata><MDI key=\"stale\">1</MDI></Metadata></PAMDataset>");
        MosaicOptions options;
        options.mosaicOperator = op;
        options.compression = Compression::Deflate; // the operators' values, not JPEG's
        const auto result = Append(run, path, options);
        ASSERT_EQ(result.outcome, MosaicOutcome::Appended);
        auto mosaic = Open(result.raster);
        ASSERT_TRUE(mosaic);
        EXPECT_EQ(mosaic->GetMetadataItem("stale"), nullptr);
        EXPECT_EQ(std::pair(mosaic->GetRasterXSize(), mosaic->GetRasterYSize()),
                  std::pair(768, 1024));
        // South of the tiles: the old raster from its west edge to its south-east corner.
        EXPECT_EQ(ReadRgb(*mosaic, 256, 768 + 10), flat);
        EXPECT_EQ(ReadRgb(*mosaic, 767, 1023), flat);
        EXPECT_EQ(ReadRgb(*mosaic, 255, 768 + 10), (Rgb{0, 0, 0}));
        // Only pixels of the old raster or a tile hold data.
        EXPECT_EQ(std::tuple(MaskAt(*mosaic, 255, 778), MaskAt(*mosaic, 256, 778),
                             MaskAt(*mosaic, 10, 10)),
                  std::tuple(0, 255, 255));
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
}

// Outputs other tools open: GeoTIFFs compressed to their tiles' kind or as asked, cloud-optimised
// ones (valid by GDAL's own check) and virtual mosaics hold every tile in its place and are
// transparent where a tile is missing; the GeoTIFFs carry overviews.
TEST_F(MosaicTest, GeoTiffsCogsAndVirtualMosaicsHoldTheTilesAndTheirHoles) {
    const TileRun sat = Tiles(TilesType::GoogleSat, 13), map = Tiles(TilesType::GoogleMap, 13);
    const auto records = tiles::BuildTileList(sat.list.Request()); // 3 × 3, the same for both
    ASSERT_EQ(records.size(), 9u);
    fs::remove(sat.Tile(records[4]));
    fs::remove(map.Tile(records[4])); // the middle one, at (256, 256) in the mosaic
    const std::tuple<const TileRun *, const char *, bool, std::optional<Compression>, const char *>
        cases[] = {{&sat, "sat.tif", false, {}, "YCbCr JPEG"},
                   {&map, "map.tif", false, {}, "DEFLATE"},
                   {&map, "map-jpeg.tif", false, Compression::Jpeg, "YCbCr JPEG"},
                   {&sat, "sat-deflate.tif", false, Compression::Deflate, "DEFLATE"},
                   {&sat, "sat-cog.tif", true, {}, "YCbCr JPEG"},
                   {&map, "map-cog.tif", true, {}, "DEFLATE"},
                   {&sat, "sat.vrt", false, {}, nullptr},
                   {&map, "map.vrt", false, {}, nullptr}};
    for (const auto &[run, name, cog, compression, stored] : cases) {
        SCOPED_TRACE(name);
        MosaicOptions options;
        options.cog = cog;
        options.compression = compression;
        const auto result = Build(*run, out / name, options);
        ASSERT_EQ(result.outcome, MosaicOutcome::Built);
        EXPECT_EQ((std::array{result.placed, result.missing}), (std::array<std::int64_t, 2>{8, 1}));
        auto mosaic = Open(result.raster);
        ASSERT_TRUE(mosaic);
        ExpectTilesInPlace(*mosaic, *run, {4});
        EXPECT_EQ(std::tuple(MaskAt(*mosaic, 384, 384), MaskAt(*mosaic, 10, 10)),
                  std::tuple(0, 255));
        if (stored == nullptr) {
            EXPECT_EQ(mosaic->GetRasterCount(), 4);
            EXPECT_NE(test::ReadFile(out / name).find("relativeToVRT=\"1\""), std::string::npos);
            continue;
        }
        const char *compressed = mosaic->GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE");
        EXPECT_EQ(std::tuple(std::string(compressed ? compressed : ""), mosaic->GetRasterCount(),
                             mosaic->GetRasterBand(1)->GetMaskFlags(),
                             mosaic->GetRasterBand(1)->GetOverviewCount()),
                  std::tuple(std::string(stored), 3, GMF_PER_DATASET, 2)); // 384, 192 pixels
        if (cog) {
            const auto check = test::RunProcess(
                {PYTHON3, "-m", "osgeo_utils.samples.validate_cloud_optimized_geotiff",
                 (out / name).string()});
            EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
        }
    }
}

// A level's virtual mosaic of more than 32 tiles a row is cut into chunks: every tile lies in its
// place on both sides of the cut, and a rebuilt mosaic leaves no chunk of the old one behind.
TEST_F(MosaicTest, ALevelMosaicInChunksHoldsEveryTileInItsPlace) {
    const TileRun run = Tiles(TilesType::GoogleMap, 17, 55.701); // one row of 38 tiles
    ASSERT_GT(run.list.Size(), 32);
    const fs::path vrt = run.levelFolder / "level.vrt";
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(BuildLevelMosaic(run.levelFolder, run.type, vrt), run.list.Size());
    }
    std::vector<fs::path> chunkFolders;
    for (const auto &entry : fs::directory_iterator(run.levelFolder)) {
        if (entry.is_directory()) {
            chunkFolders.push_back(entry.path());
        }
    }
    ASSERT_EQ(chunkFolders.size(), 1u);
    EXPECT_EQ(std::distance(fs::directory_iterator(chunkFolders[0]), fs::directory_iterator()), 2);
    auto mosaic = Open(vrt.string());
    ASSERT_TRUE(mosaic);
    ExpectTilesInPlace(*mosaic, run);
    EXPECT_EQ(MaskAt(*mosaic, 0, 0), 255);
}

// A tile store takes the Google grid one zoom coarser, relief and template tiles at their level.
TEST(TileStore, GoogleLevelsAreOneZoomCoarser) {
    const TileRecord r{5, 7, 0, 0, 0, 0, {}};
    EXPECT_EQ(XyzTileOf(TilesType::GoogleMap, 13, r), (XyzTile{12, 5, 7}));
    EXPECT_EQ(XyzTileOf(TilesType::Shade, 8, r), (XyzTile{8, 5, 7}));
    EXPECT_EQ(XyzTileOf(TilesType::Xyz, 0, r), (XyzTile{0, 5, 7}));
    EXPECT_EQ(XyzTileOf(TilesType::YandSat, 12, r), std::nullopt);
}

// Two levels of Google tiles go into an MBTiles file and a GeoPackage, the second run adding
// to the first and replacing a tile: GDAL's own drivers open each zoom on the web-mercator
// grid where the tiles lie, the stored bytes are the tile files', and the metadata follow.
// ScanEx tiles and other extensions are refused before anything is written.
TEST_F(MosaicTest, TileStoresHoldTheTilesBytesOnTheWebMercatorGrid) {
    const TileRun coarse = Tiles(TilesType::GoogleSat, 13), fine = Tiles(TilesType::GoogleSat, 14);
    TileRecord first;
    fine.list.Begin().Next(first);
    for (const char *name : {"s.mbtiles", "s.gpkg"}) {
        SCOPED_TRACE(name);
        const fs::path store = out / name;
        const StoreInfo info{"moscow", "© test"};
        ASSERT_TRUE(
            WriteTileStore(store, coarse.levelFolder, coarse.list, coarse.type, 13, info, ui)
                .written);
        ASSERT_TRUE(
            WriteTileStore(store, fine.levelFolder, fine.list, fine.type, 14, info, ui).written);
        // The same place again, with other bytes: replaced, not added.
        const std::string before = test::ReadFile(fine.Tile(first));
        test::WriteFile(fine.Tile(first), tileserver::EncodeTile({fine.type, 1, 2, 3}));
        const auto again =
            WriteTileStore(store, fine.levelFolder, fine.list, fine.type, 14, info, ui);
        EXPECT_EQ(again.stored, fine.list.Size());
        const bool mbtiles = StoreFormatOf(store) == StoreFormat::MbTiles;
        // Each zoom covers what the coarse tiles cover (the fine ones lie inside them).
        const auto records = tiles::BuildTileList(coarse.list.Request());
        const auto [west, north] =
            std::pair(std::min_element(records.begin(), records.end(),
                                       [](auto &a, auto &b) { return a.col < b.col; })
                          ->col,
                      std::min_element(records.begin(), records.end(), [](auto &a, auto &b) {
                          return a.row < b.row;
                      })->row);
        for (const int zoom : {12, 13}) {
            const std::string zoomOption = "ZOOM_LEVEL=" + std::to_string(zoom);
            const char *const options[] = {zoomOption.c_str(), nullptr};
            GDALDatasetUniquePtr raster(
                GDALDataset::Open(store.c_str(), GDAL_OF_RASTER, nullptr, options));
            ASSERT_TRUE(raster);
            EXPECT_STREQ(raster->GetDriver()->GetDescription(), mbtiles ? "MBTiles" : "GPKG");
            const double side = 2 * 20037508.342789244 / 4096; // a tile of zoom 12
            double gt[6];
            ASSERT_EQ(raster->GetGeoTransform(gt), CE_None);
            EXPECT_NEAR(gt[0], -20037508.342789244 + west * side, 1e-6);
            EXPECT_NEAR(gt[3], 20037508.342789244 - north * side, 1e-6);
            EXPECT_NEAR(gt[1], side / 256 / (zoom - 11), 1e-9);
            EXPECT_EQ(raster->GetRasterXSize() * raster->GetRasterYSize(),
                      static_cast<int>(records.size()) * 256 * 256 * (zoom - 11) * (zoom - 11));
        }
        // GDAL's SQLite driver reads an MBTiles file only under another name.
        const fs::path sqlite = out / "copy.sqlite";
        fs::copy_file(store, sqlite, fs::copy_options::overwrite_existing);
        GDALDatasetUniquePtr db(
            GDALDataset::Open((mbtiles ? sqlite : store).c_str(), GDAL_OF_VECTOR | GDAL_OF_RASTER));
        ASSERT_TRUE(db);
        const std::int64_t row = mbtiles ? (1 << 13) - 1 - first.row : first.row;
        const std::string query =
            std::string("SELECT tile_data, (SELECT COUNT(*) FROM ") + (mbtiles ? "tiles" : "s") +
            ") FROM " + (mbtiles ? "tiles" : "s") +
            " WHERE zoom_level = 13 AND tile_column = " + std::to_string(first.col) +
            " AND tile_row = " + std::to_string(row);
        OGRLayer *result = db->ExecuteSQL(query.c_str(), nullptr, "SQLITE");
        ASSERT_TRUE(result);
        OGRFeatureUniquePtr tile(result->GetNextFeature());
        ASSERT_TRUE(tile);
        int size = 0;
        const GByte *bytes = tile->GetFieldAsBinary(0, &size);
        EXPECT_EQ(
            std::string(reinterpret_cast<const char *>(bytes), static_cast<std::size_t>(size)),
            test::ReadFile(fine.Tile(first)));
        EXPECT_NE(test::ReadFile(fine.Tile(first)), before);
        EXPECT_EQ(tile->GetFieldAsInteger64(1), coarse.list.Size() + fine.list.Size());
        db->ReleaseResultSet(result);
        if (mbtiles) {
            GDALDatasetUniquePtr meta(GDALDataset::Open(store.c_str(), GDAL_OF_RASTER));
            EXPECT_EQ(std::tuple(std::string(meta->GetMetadataItem("minzoom")),
                                 std::string(meta->GetMetadataItem("maxzoom")),
                                 std::string(meta->GetMetadataItem("format")),
                                 std::string(meta->GetMetadataItem("attribution"))),
                      std::tuple(std::string("12"), std::string("13"), std::string("jpg"),
                                 std::string("© test")));
        }
        test::WriteFile(fine.Tile(first), before);
        fs::remove(sqlite);
    }
    EXPECT_TRUE(ui.messages.empty());
    const auto before = test::FolderContents(out.Path());
    const TileRun scanex = Tiles(TilesType::ScanSat, 12);
    EXPECT_FALSE(
        WriteTileStore(out / "s.mbtiles", scanex.levelFolder, scanex.list, scanex.type, 12, {}, ui)
            .written);
    EXPECT_FALSE(
        WriteTileStore(out / "s.sqlite", coarse.levelFolder, coarse.list, coarse.type, 13, {}, ui)
            .written);
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_NE(ui.messages[0].text.find("ellipsoidal grid"), std::string::npos);
    EXPECT_NE(ui.messages[1].text.find("needs the extension .mbtiles"), std::string::npos);
    EXPECT_EQ(test::FolderContents(out.Path()), before);
    // A GeoPackage whose layer of the store's name holds features keeps them.
    const fs::path roads = tileDir / "roads.gpkg";
    {
        GDALDatasetUniquePtr ds(GetGDALDriverManager()->GetDriverByName("GPKG")->Create(
            roads.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        ASSERT_TRUE(ds && ds->CreateLayer("roads", nullptr, wkbLineString, nullptr));
    }
    const std::string bytes = test::ReadFile(roads);
    EXPECT_FALSE(
        WriteTileStore(roads, coarse.levelFolder, coarse.list, coarse.type, 13, {}, ui).written);
    EXPECT_NE(ui.messages.back().text.find("holds a layer roads that is not a tile table"),
              std::string::npos);
    EXPECT_EQ(test::ReadFile(roads), bytes);
}

// A disk filling up mid-append leaves the old raster and its side file byte for byte, and says
// so; with room to spare the same append succeeds.
TEST_F(MosaicTest, AFullDiskInTheMiddleOfAnAppendKeepsTheOldRasterWhole) {
    const TileRun run = Tiles(TilesType::GoogleSat, 13);
    test::ScopedTmpfs disk(out / "small", "1600k");
    if (!disk.Mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.Error();
    }
    // An old raster of noise, which compresses to nothing: 2 × 4 tiles, about 1.5 MB, so that
    // the new one runs out of room while its tiles are written.
    const fs::path path = out / "small" / "old.tif";
    WriteOldRaster(path, run, -1, 0, 2, 4, -1);
    test::WriteFile(path.string() + ".aux.xml",
                    "<PAMDataset><Metadata><MDI key=\"mine\">1</MDI></Metadata></PAMDataset>");
    const auto before = test::FolderContents(out / "small");

    const auto result = Append(run, path);
    EXPECT_EQ(result.outcome, MosaicOutcome::Failed);
    EXPECT_EQ(test::FolderContents(out / "small"), before);
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_NE(ui.messages[0].text.find("\tcmdOk_Click Mocaic raster  \r\n"), std::string::npos);
    EXPECT_NE(ui.messages[0].text.find("No space left on device"), std::string::npos)
        << ui.messages[0].text;
    EXPECT_EQ(ui.messages[1].text, "Ошибка добавления блоков к существующему растру\r\n"
                                   "проверьте не открыт ли он в проекте");
    EXPECT_EQ(ui.messages[1].icon, Icon::Exclamation);
    fs::copy_file(path, out / "roomy.tif");
    EXPECT_EQ(Append(run, out / "roomy.tif").outcome, MosaicOutcome::Appended);
}
