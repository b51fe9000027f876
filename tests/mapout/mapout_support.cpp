#include "mapout_support.h"

#include "download/world_file.h"
#include "support/files.h"
#include "tiles/tile_files.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <tuple>

namespace tessaro::test {

namespace fs = std::filesystem;
using tiles::TilesType;

void WriteImage(const fs::path &path, bool png) {
    GDALAllRegister();
    fs::create_directories(path.parent_path());
    GDALDatasetUniquePtr source(
        GetGDALDriverManager()->GetDriverByName("MEM")->Create("", 256, 256, 3, GDT_Byte, nullptr));
    for (int band = 1; band <= 3; ++band) {
        ASSERT_EQ(source->GetRasterBand(band)->Fill(40.0 * band), CE_None);
    }
    GDALDatasetUniquePtr copy(
        GetGDALDriverManager()
            ->GetDriverByName(png ? "PNG" : "JPEG")
            ->CreateCopy(path.c_str(), source.get(), FALSE, nullptr, nullptr, nullptr));
    ASSERT_TRUE(copy) << path;
    copy.reset();
    // Creating an image may leave a side file; a downloaded tile has none.
    fs::remove(path.string() + ".aux.xml");
}

fs::path WriteTile(const fs::path &levelFolder, TilesType type, const tiles::TileRecord &record,
                   int level) {
    const fs::path image = tiles::TilePath(levelFolder, type, record, level);
    WriteImage(image, tiles::ImageExtension(type) == ".png");
    const double height = tiles::IsEllipsoidal(type) ? 256 * record.resX : 0.0;
    download::WriteWorldFile(tiles::WorldFilePath(image, type), record, height);
    return image;
}

void WriteText(const fs::path &path, const std::string &text) {
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path());
    }
    WriteFile(path, text);
}

std::string ReadText(const fs::path &path) {
    return ReadFile(path);
}

std::map<std::string, std::string> FolderBytes(const fs::path &folder) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), folder).string()] = ReadText(entry.path());
        }
    }
    return files;
}

namespace {

constexpr double kPi = std::numbers::pi;

double Degrees(double radians) {
    return radians * 180 / kPi;
}

// Latitude of a northing on the WGS 84 ellipsoid's Mercator.
double EllipsoidalLatitude(double y) {
    constexpr double a = 6378137.0;
    constexpr double b = 6356752.314245;
    const double e = std::sqrt(1 - b * b / (a * a));
    const double t = std::exp(-y / a);
    double phi = kPi / 2 - 2 * std::atan(t);
    for (int i = 0; i < 30; ++i) {
        const double s = e * std::sin(phi);
        phi = kPi / 2 - 2 * std::atan(t * std::pow((1 - s) / (1 + s), e / 2));
    }
    return Degrees(phi);
}

} // namespace

GeoBounds TileGeoBounds(TilesType type, const tiles::TileRecord &record, int level) {
    if (tiles::IsEllipsoidal(type)) {
        const double half = std::ldexp(1.0, level - 1);
        double col = record.col;
        double row = record.row;
        if (tiles::IsYandex(type)) {
            col = record.col - half;
            row = half - record.row - 1;
        }
        const double tiles = 2 * half;
        const double tileSize = 2 * kPi * 6378137.0 / tiles;
        return {col * 360 / tiles, EllipsoidalLatitude(row * tileSize), (col + 1) * 360 / tiles,
                EllipsoidalLatitude((row + 1) * tileSize)};
    }
    const double tiles = std::ldexp(1.0, type == TilesType::Shade ? level : level - 1);
    auto lat = [&](double row) {
        return Degrees(std::atan(std::sinh(kPi * (1 - 2 * row / tiles))));
    };
    return {record.col / tiles * 360 - 180, lat(record.row + 1.0),
            (record.col + 1) / tiles * 360 - 180, lat(record.row)};
}

std::vector<tiles::TileRecord> MoscowTiles(TilesType type, int level) {
    return tiles::BuildTileList({type, level, 55.70, 55.80, 37.50, 37.70});
}

namespace {

bool ByKey(const BlockRow &a, const BlockRow &b) {
    return std::tie(a.blockName, a.service, a.blockType) <
           std::tie(b.blockName, b.service, b.blockType);
}

} // namespace

std::vector<BlockRow> ReadBlockRows(const fs::path &source, const std::string &layerName) {
    GDALAllRegister();
    std::vector<BlockRow> rows;
    GDALDatasetUniquePtr dataset(GDALDataset::Open(source.c_str(), GDAL_OF_VECTOR));
    OGRLayer *layer = !dataset            ? nullptr
                      : layerName.empty() ? dataset->GetLayer(0)
                                          : dataset->GetLayerByName(layerName.c_str());
    if (layer == nullptr) {
        ADD_FAILURE() << "no layer " << layerName << " in " << source;
        return rows;
    }
    for (const auto &feature : *layer) {
        auto text = [&](const char *field) { return feature->GetFieldAsString(field); };
        auto number = [&](const char *field) { return feature->GetFieldAsDouble(field); };
        auto integer = [&](const char *field) { return feature->GetFieldAsInteger(field); };
        BlockRow row{text("blockName"),    text("Service"),
                     text("Version"),      text("blockType"),
                     number("Xm"),         number("Ym"),
                     number("Resolution"), integer("Zoom"),
                     integer("Present"),   {}};
        const OGRGeometry *geometry = feature->GetGeometryRef();
        if (geometry != nullptr && wkbFlatten(geometry->getGeometryType()) == wkbMultiPolygon) {
            geometry = geometry->toMultiPolygon()->getGeometryRef(0);
        }
        if (geometry != nullptr && wkbFlatten(geometry->getGeometryType()) == wkbPolygon) {
            const OGRLinearRing *ring = geometry->toPolygon()->getExteriorRing();
            for (int i = 0; i < ring->getNumPoints(); ++i) {
                row.ring.emplace_back(ring->getX(i), ring->getY(i));
            }
        }
        rows.push_back(std::move(row));
    }
    std::sort(rows.begin(), rows.end(), ByKey);
    return rows;
}

void ExpectSameRows(std::vector<BlockRow> expected, const std::vector<BlockRow> &actual,
                    double ringTolerance) {
    std::sort(expected.begin(), expected.end(), ByKey);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t r = 0; r < expected.size(); ++r) {
        const BlockRow &want = expected[r], &got = actual[r];
        SCOPED_TRACE("record " + want.blockName + " " + want.service + " " + want.blockType);
        EXPECT_EQ(
            std::tie(got.blockName, got.service, got.version, got.blockType, got.zoom, got.present),
            std::tie(want.blockName, want.service, want.version, want.blockType, want.zoom,
                     want.present));
        EXPECT_NEAR(got.xm, want.xm, 1e-6);
        EXPECT_NEAR(got.ym, want.ym, 1e-6);
        EXPECT_NEAR(got.resolution, want.resolution, 1e-6);
        ASSERT_EQ(got.ring.size(), want.ring.size());
        for (std::size_t i = 0; i < want.ring.size(); ++i) {
            EXPECT_NEAR(got.ring[i].first, want.ring[i].first, ringTolerance) << "vertex " << i;
            EXPECT_NEAR(got.ring[i].second, want.ring[i].second, ringTolerance) << "vertex " << i;
        }
    }
}

} // namespace tessaro::test
