#include "mosaic/mosaic_raster.h"

#include "common/error.h"
#include "common/error_report.h"
#include "common/progress.h"
#include "common/text.h"
#include "mapout/db_util.h"
#include "mapout/gdal_support.h"
#include "mapout/spatial_reference.h"
#include "mosaic/mosaic_staging.h"
#include "mosaic/mosaic_statistics.h"
#include "mosaic/output_raster.h"
#include "mosaic/virtual_mosaic.h"
#include "tiles/tile_files.h"

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal_utils.h>
#include <ogr_spatialref.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <system_error>
#include <vector>

namespace tessaro::mosaic {

namespace fs = std::filesystem;
using mapout::GdalError;
using mapout::GdalErrorCapture;
using mapout::WithReason;

namespace {

using detail::OutputLayout;
using detail::Probe;
using detail::TargetState;

constexpr std::string_view kProcedure = "cmdOk_Click Mocaic raster ";

constexpr std::string_view kGridMessage =
    "GDAL cannot write an ArcInfo GRID (an output name without extension): give the mosaic "
    "the extension .tif (GeoTIFF) or .img (ERDAS IMAGINE).";
constexpr std::string_view kFileGdbMessage =
    "GDAL cannot write rasters into a File Geodatabase: choose a folder or a GeoPackage (.gpkg) "
    "for the mosaic.";
constexpr std::string_view kNoTilesMessage =
    "No tile of this run is on disk as an image GDAL can read; no mosaic was made.";
constexpr std::string_view kGeoPackageTypeMessage =
    "A GeoPackage raster holds 8-bit RGB tiles only: choose the pixel type \"unsigned 8 bit\" or "
    "a .tif or .img output.";
constexpr std::string_view kVirtualTypeMessage =
    "A virtual mosaic (.vrt) shows the tiles' own 8-bit values: choose the pixel type \"unsigned "
    "8 bit\" or a .tif or .img output.";
constexpr std::string_view kVirtualAppendMessage =
    "A virtual mosaic (.vrt) only points at tile files and cannot be appended to: build a new one "
    "over the tiles of every run, or append to a .tif or .img mosaic.";
constexpr std::string_view kGeoTiffOnlyMessage =
    "A cloud-optimised GeoTIFF and a choice of compression need a GeoTIFF output (.tif).";

// GDAL's block cache is held to this while a mosaic is built: the tiles are written and read
// back square by square, and a larger cache (by default 5 % of the memory) only fills up.
constexpr std::int64_t kCacheBytes = 64 * 1024 * 1024;

// The tiles are flushed out of GDAL's block cache after this many, so that the cache, and
// with it the memory of a run, stays small however many tiles there are.
constexpr std::int64_t kFlushEvery = 64;

// Opening a tile makes GDAL list its folder for side files, which in a folder of many
// thousand tiles costs more than the tile; the few names are probed one by one instead.
constexpr const char *kNoListing = "GDAL_DISABLE_READDIR_ON_OPEN";

// What a run of the mosaic works on.
struct MosaicRun {
    const fs::path &levelFolder;
    const tiles::TileList &list;
    tiles::TilesType type;
    int level;
    const MosaicOptions &options;
    const MosaicTarget &target;
    UiPort &ui;
};

enum class TileState { Missing, Unreadable, Opened };

// Opens a tile file read-only. GDAL's complaints about files that are not images are kept
// from the user: such tiles are left out silently.
TileState OpenTile(const fs::path &path, GDALDatasetUniquePtr &out) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        return TileState::Missing;
    }
    GdalErrorCapture quiet;
    out.reset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!out || out->GetRasterCount() < 1 || out->GetRasterXSize() < 1 ||
        out->GetRasterYSize() < 1) {
        out.reset();
        return TileState::Unreadable;
    }
    return TileState::Opened;
}

// A row folder of shaded-relief tiles that exists but cannot be listed; a missing one only
// means its tiles are not on disk.
bool RowFolderUnreadable(const fs::path &folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        return false;
    }
    fs::directory_iterator probe(folder, ec);
    return static_cast<bool>(ec);
}

// Opens one tile for PopulateRasterArr and counts it, growing the extent by the opened ones.
void AddToArr(RasterArr &arr, const fs::path &path, const Extent &ground,
              const tiles::TileRecord &record) {
    GDALDatasetUniquePtr dataset;
    switch (OpenTile(path, dataset)) {
    case TileState::Missing:
        ++arr.missing;
        break;
    case TileState::Unreadable:
        ++arr.unreadable;
        break;
    case TileState::Opened:
        if (arr.opened++ == 0) {
            GDALDriver *driver = dataset->GetDriver();
            arr.jpegTiles = driver != nullptr && EQUAL(driver->GetDescription(), "JPEG");
            arr.extent = ground;
            arr.pixelWidth = record.resX;
            arr.pixelHeight = -record.resY;
        } else {
            arr.extent.Include(ground);
        }
        break;
    }
}

GDALRIOResampleAlg ResampleAlgOf(Resampling resampling) {
    switch (resampling) {
    case Resampling::BilinearInterpolation:
        return GRIORA_Bilinear;
    case Resampling::CubicConvolution:
        return GRIORA_Cubic;
    case Resampling::NearestNeighbor:
        break;
    }
    return GRIORA_NearestNeighbour;
}

// Reads a tile's red, green and blue into a band-sequential buffer of the placement's size
// (a grey tile gives its one band three times). False when GDAL cannot read its pixels.
bool ReadTilePixels(GDALDataset &tile, const Placement &p, Resampling resampling,
                    std::vector<unsigned char> &pixels) {
    int bands[3] = {1, 2, 3};
    if (tile.GetRasterCount() < 3) {
        bands[1] = bands[2] = 1;
    }
    pixels.resize(static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height) * 3);
    if (p.width <= 0 || p.height <= 0) {
        return true;
    }
    GdalErrorCapture quiet;
    CPLErr err;
    if (p.aligned) {
        err = tile.RasterIO(GF_Read, 0, 0, p.width, p.height, pixels.data(), p.width, p.height,
                            GDT_Byte, 3, bands, 0, 0, 0, nullptr);
    } else {
        GDALRasterIOExtraArg extra;
        INIT_RASTERIO_EXTRA_ARG(extra);
        extra.eResampleAlg = ResampleAlgOf(resampling);
        extra.bFloatingPointWindowValidity = TRUE;
        extra.dfXOff = p.srcX;
        extra.dfYOff = p.srcY;
        extra.dfXSize = p.srcWidth;
        extra.dfYSize = p.srcHeight;
        const int xOff =
            std::clamp(static_cast<int>(std::floor(p.srcX)), 0, tile.GetRasterXSize() - 1);
        const int yOff =
            std::clamp(static_cast<int>(std::floor(p.srcY)), 0, tile.GetRasterYSize() - 1);
        const int xEnd = std::clamp(static_cast<int>(std::ceil(p.srcX + p.srcWidth - 1e-9)),
                                    xOff + 1, tile.GetRasterXSize());
        const int yEnd = std::clamp(static_cast<int>(std::ceil(p.srcY + p.srcHeight - 1e-9)),
                                    yOff + 1, tile.GetRasterYSize());
        err = tile.RasterIO(GF_Read, xOff, yOff, xEnd - xOff, yEnd - yOff, pixels.data(), p.width,
                            p.height, GDT_Byte, 3, bands, 0, 0, 0, &extra);
    }
    return err == CE_None && !quiet.HasFailure();
}

// One value of a tile over one value of the existing raster, by the operator.
double Combined(MosaicOperator op, double old, double tile) {
    switch (op) {
    case MosaicOperator::First:
        return old;
    case MosaicOperator::Min:
        return std::min(old, tile);
    case MosaicOperator::Max:
        return std::max(old, tile);
    case MosaicOperator::Mean:
        return std::round((old + tile) / 2);
    default:
        return tile;
    }
}

// Combines a tile with the pixels already in the mosaic where the existing raster lies, by
// the operator, into a buffer of doubles GDAL converts to the raster's type.
void Combine(const std::vector<unsigned char> &tile, std::vector<double> &mosaic,
             const std::vector<unsigned char> &mask, const Placement &p, const OutputLayout &layout,
             MosaicOperator op) {
    const std::size_t plane =
        static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height);
    for (int row = 0; row < p.height; ++row) {
        for (int col = 0; col < p.width; ++col) {
            const std::size_t i =
                static_cast<std::size_t>(row) * static_cast<std::size_t>(p.width) +
                static_cast<std::size_t>(col);
            // A pixel of a raster with alpha or a mask counts as covered only where it is not
            // transparent.
            const bool covered = layout.grid.InsideOld(p.x + col, p.y + row) &&
                                 (layout.bands < 4 || mosaic[3 * plane + i] != 0) &&
                                 (mask.empty() || mask[i] != 0);
            for (std::size_t b = 0; b < 3; ++b) {
                const double n = tile[b * plane + i];
                double &o = mosaic[b * plane + i];
                o = covered ? Combined(op, o, n) : n;
            }
            if (layout.bands >= 4) {
                mosaic[3 * plane + i] = 255;
            }
        }
    }
}

// Holds GDAL's block cache to at most a size while it lives.
class CacheLimit {
public:
    explicit CacheLimit(std::int64_t bytes) : m_old(GDALGetCacheMax64()) {
        GDALSetCacheMax64(std::min(m_old, bytes));
    }
    ~CacheLimit() { GDALSetCacheMax64(m_old); }
    CacheLimit(const CacheLimit &) = delete;
    CacheLimit &operator=(const CacheLimit &) = delete;

private:
    std::int64_t m_old;
};

// Converts a palette tile, reporting a failure as ConvertToRGB2 does in the dialog.
class ConvertError : public GdalError {
public:
    using GdalError::GdalError;
};

enum class Written { Placed, Outside, Unreadable };

// Writes tiles into the output one at a time: read (resampled when they do not fall on its
// grid), clamped to the pixel type, combined with the old pixels by the operator.
class TileWriter {
public:
    TileWriter(const MosaicRun &run, const OutputLayout &layout, GDALDataset &out,
               GdalErrorCapture &capture)
        : m_run(run), m_layout(layout), m_out(out), m_capture(capture),
          m_op(run.options.mosaicOperator.value_or(MosaicOperator::Last)),
          m_combining(layout.appending && m_op != MosaicOperator::Last),
          m_maxValue(MaxTileValue(layout.pixelType)) {}

    Written Write(GDALDataset &source, const Extent &ground) {
        const Placement p =
            Place(ground, source.GetRasterXSize(), source.GetRasterYSize(), m_layout.grid);
        if (p.width <= 0 || p.height <= 0) {
            return Written::Outside;
        }
        if (!ReadTilePixels(source, p, m_run.options.resampling, m_pixels)) {
            return Written::Unreadable;
        }
        if (m_maxValue < 255) {
            for (unsigned char &v : m_pixels) {
                v = static_cast<unsigned char>(std::min<int>(v, m_maxValue));
            }
        }
        const CPLErr err =
            m_combining && p.Overlaps(m_layout.grid) ? WriteCombined(p) : WritePlain(p);
        if (err != CE_None) {
            detail::CheckWrites(m_capture, m_run.target);
            throw GdalError("The mosaic " + m_run.target.OpenName() + " cannot be written");
        }
        if (++m_written % kFlushEvery == 0) {
            Flush();
        }
        return Written::Placed;
    }

    void Flush() {
        m_out.FlushCache(false);
        detail::CheckWrites(m_capture, m_run.target);
    }

private:
    CPLErr WriteCombined(const Placement &p) {
        const int bands = m_layout.bands;
        m_mixed.resize(static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height) *
                       static_cast<std::size_t>(bands));
        CPLErr err = m_out.RasterIO(GF_Read, p.x, p.y, p.width, p.height, m_mixed.data(), p.width,
                                    p.height, GDT_Float64, bands, nullptr, 0, 0, 0, nullptr);
        m_oldMask.clear();
        if (err == CE_None && m_layout.mask) {
            m_oldMask.resize(static_cast<std::size_t>(p.width) *
                             static_cast<std::size_t>(p.height));
            err = MaskIO(GF_Read, p, m_oldMask);
        }
        if (err == CE_None) {
            Combine(m_pixels, m_mixed, m_oldMask, p, m_layout, m_op);
            err = m_out.RasterIO(GF_Write, p.x, p.y, p.width, p.height, m_mixed.data(), p.width,
                                 p.height, GDT_Float64, bands, nullptr, 0, 0, 0, nullptr);
        }
        return err == CE_None ? SetMask(p) : err;
    }

    CPLErr MaskIO(GDALRWFlag direction, const Placement &p, std::vector<unsigned char> &values) {
        return m_out.GetRasterBand(1)->GetMaskBand()->RasterIO(direction, p.x, p.y, p.width,
                                                               p.height, values.data(), p.width,
                                                               p.height, GDT_Byte, 0, 0, nullptr);
    }

    // Marks the tile's pixels as holding data.
    CPLErr SetMask(const Placement &p) {
        if (!m_layout.mask) {
            return CE_None;
        }
        m_covered.assign(static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height),
                         255);
        return MaskIO(GF_Write, p, m_covered);
    }

    CPLErr WritePlain(const Placement &p) {
        const std::size_t plane =
            static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height);
        if (m_layout.bands >= 4) {
            m_pixels.resize(plane * 4);
            std::fill(m_pixels.begin() + static_cast<std::ptrdiff_t>(plane * 3), m_pixels.end(),
                      static_cast<unsigned char>(255));
        }
        const CPLErr err = m_out.RasterIO(GF_Write, p.x, p.y, p.width, p.height, m_pixels.data(),
                                          p.width, p.height, GDT_Byte, std::min(m_layout.bands, 4),
                                          nullptr, 0, 0, 0, nullptr);
        return err == CE_None ? SetMask(p) : err;
    }

    const MosaicRun &m_run;
    const OutputLayout &m_layout;
    GDALDataset &m_out;
    GdalErrorCapture &m_capture;
    const MosaicOperator m_op;
    const bool m_combining;
    const int m_maxValue;
    std::int64_t m_written = 0;
    std::vector<unsigned char> m_pixels;
    std::vector<double> m_mixed;
    std::vector<unsigned char> m_oldMask;
    std::vector<unsigned char> m_covered;
};

struct WriteCounts {
    std::int64_t placed = 0;
    std::int64_t unreadable = 0;
};

// Opens the run's tiles one at a time in list order, the mosaic's progress following, and hands
// each to visit(record, path, dataset, state); the dataset is open only when state is Opened.
template <typename Visit> void ForEachTile(const MosaicRun &run, Visit visit) {
    CPLConfigOptionSetter noListing(kNoListing, "TRUE", false);
    ProgressPass pass(run.ui, kMosaicLabel, run.list.Size());
    auto cursor = run.list.Begin();
    tiles::TileRecord record;
    std::int64_t i = 0;
    while (cursor.Next(record)) {
        pass.Step(i++);
        GDALDatasetUniquePtr dataset;
        const fs::path path = tiles::FindTilePath(run.levelFolder, run.type, record, run.level);
        const TileState state = OpenTile(path, dataset);
        visit(record, path, dataset, state);
    }
}

// Opens the run's tiles again, one at a time, and writes them into the output.
WriteCounts WriteTiles(const MosaicRun &run, const OutputLayout &layout, GDALDataset &out,
                       GdalErrorCapture &capture) {
    WriteCounts counts;
    TileWriter writer(run, layout, out, capture);
    ForEachTile(run, [&](const tiles::TileRecord &record, const fs::path &,
                         GDALDatasetUniquePtr &dataset, TileState state) {
        if (state != TileState::Opened) {
            counts.unreadable += state == TileState::Unreadable ? 1 : 0;
            return;
        }
        TileRaster tile(std::move(dataset));
        try {
            ConvertToRGB2(tile);
        } catch (const GdalError &e) {
            throw ConvertError(e.what());
        }
        switch (writer.Write(tile.Pixels(), TileExtent(run.type, record, run.level))) {
        case Written::Placed:
            ++counts.placed;
            break;
        case Written::Unreadable:
            ++counts.unreadable;
            break;
        case Written::Outside:
            break;
        }
    });
    writer.Flush();
    return counts;
}

// The checks of the output name alone. Shows the message and returns true when the run stops.
bool RefusedByName(const MosaicOptions &options, const MosaicTarget &target, UiPort &ui) {
    if (options.output.empty()) {
        ui.ShowMessage(kNoOutputNameMessage);
        return true;
    }
    switch (target.format) {
    case RasterFormat::Invalid:
        ui.ShowMessage(kInvalidFormatMessage);
        return true;
    case RasterFormat::Grid:
        ui.ShowMessage(kGridMessage, Icon::Exclamation);
        return true;
    case RasterFormat::FileGeodatabase:
        ui.ShowMessage(kFileGdbMessage, Icon::Exclamation);
        return true;
    default:
        break;
    }
    if ((options.cog || options.compression) && target.format != RasterFormat::GeoTiff) {
        ui.ShowMessage(kGeoTiffOnlyMessage, Icon::Exclamation);
        return true;
    }
    if (options.combine && target.format == RasterFormat::Vrt) {
        ui.ShowMessage(kVirtualAppendMessage, Icon::Exclamation);
        return true;
    }
    return false;
}

// The checks of what the output holds against what was asked for. Shows the message and
// returns true when the run stops.
bool RefusedByTarget(TargetState state, const MosaicOptions &options, const MosaicTarget &target,
                     UiPort &ui) {
    if (state != TargetState::Absent && !options.combine) {
        ui.ShowMessage(kRasterExistsMessage);
        return true;
    }
    if (state != TargetState::Raster && options.combine) {
        ui.ShowMessage(kRasterMissingMessage);
        return true;
    }
    if (!options.combine && options.pixelType && *options.pixelType != PixelType::U8 &&
        (target.format == RasterFormat::GeoPackage || target.format == RasterFormat::Vrt)) {
        ui.ShowMessage(target.format == RasterFormat::Vrt ? kVirtualTypeMessage
                                                          : kGeoPackageTypeMessage,
                       Icon::Exclamation);
        return true;
    }
    return false;
}

// The folder the output goes into, opened as a raster workspace. False after its message.
bool OutputFolderOpens(const MosaicTarget &target, UiPort &ui) {
    const fs::path folder =
        target.File().parent_path().empty() ? fs::path(".") : target.File().parent_path();
    if (!mapout::OpenRasterWorkspace(folder, ui)) {
        ui.ShowMessage(mapout::RasterWorkspaceMessage(folder));
        return false;
    }
    return true;
}

OGRSpatialReference TilesSystem(tiles::TilesType type) {
    const auto code = mapout::CoordSystemCodeOf(type);
    if (!code) {
        std::string text = "The tile type ";
        AppendInt(text, static_cast<int>(type));
        throw ArgumentError(text + " has no coordinate system");
    }
    return mapout::SetProjectedCoordSystem(*code);
}

// The files of the raster the new one replaces, to be removed when it is in place: the
// existing raster's own files, or side files a deleted raster of that name left behind.
std::vector<fs::path> FilesToReplace(const Probe &probe, const MosaicTarget &target) {
    std::vector<fs::path> files;
    if (probe.raster && !target.InDatabase()) {
        const CPLStringList list(probe.raster->GetFileList());
        for (int i = 0; i < list.Count(); ++i) {
            files.emplace_back(list[i]);
        }
    } else if (!probe.raster) {
        files = detail::LeftoverSideFiles(target.File());
    }
    return files;
}

// Removes the raster table from the copy of its database, in which it is then rebuilt; the
// pixels are read from the original.
void DropTableFromCopy(const fs::path &copyFile, const MosaicTarget &target,
                       GdalErrorCapture &capture) {
    GDALDatasetUniquePtr copy(
        GDALDataset::Open(copyFile.c_str(), GDAL_OF_RASTER | GDAL_OF_VECTOR | GDAL_OF_UPDATE));
    if (!copy) {
        throw GdalError(WithReason("The copy of " + target.File().string() + " cannot be opened",
                                   capture.Message()));
    }
    mapout::DropGeoPackageRaster(*copy, target.name);
    detail::CheckWrites(capture, target);
}

// Writes a virtual mosaic of the tiles into a staging file: no pixel is read.
void WriteVirtual(const MosaicRun &run, const fs::path &file, const OutputLayout &layout,
                  MosaicResult &result) {
    detail::VirtualMosaic vrt(file, run.target.location, layout);
    ForEachTile(run, [&](const tiles::TileRecord &record, const fs::path &path,
                         GDALDatasetUniquePtr &tile, TileState state) {
        if (state != TileState::Opened) {
            result.unreadable += fs::exists(path) ? 1 : 0;
            return;
        }
        const Placement p = Place(TileExtent(run.type, record, run.level), tile->GetRasterXSize(),
                                  tile->GetRasterYSize(), layout.grid);
        if (p.width > 0 && p.height > 0) {
            vrt.Add(path, *tile, p);
            ++result.placed;
        }
    });
    vrt.Finish();
}

// The GeoTIFF a cloud-optimised mosaic is copied from, beside it in the staging folder.
fs::path CogSourceOf(const fs::path &file) {
    return file.parent_path() / (".cog-source-" + file.filename().string());
}

// Writes the whole raster into a staging file: the old pixels, the tiles, the statistics, the
// overviews, or the cloud-optimised copy of all that.
void WriteOutput(const MosaicRun &run, const fs::path &file, Probe &probe,
                 const OutputLayout &layout, MosaicResult &result) {
    if (run.target.format == RasterFormat::Vrt) {
        WriteVirtual(run, file, layout, result);
        return;
    }
    GdalErrorCapture capture;
    std::error_code ec;
    const bool inCopiedDatabase = run.target.InDatabase() && fs::exists(file, ec);
    if (inCopiedDatabase && probe.state == TargetState::Raster) {
        DropTableFromCopy(file, run.target, capture);
    }
    const fs::path written = layout.cogSource ? CogSourceOf(file) : file;
    GDALDatasetUniquePtr out = detail::CreateOutput(written, run.target, layout, inCopiedDatabase);
    if (run.options.combine) {
        detail::CopyOldRaster(*probe.raster, *out, layout, capture, run.target);
    }
    const WriteCounts counts = WriteTiles(run, layout, *out, capture);
    result.placed = counts.placed;
    result.unreadable = counts.unreadable;
    detail::ComputeStatistics(*out, capture, run.target, run.ui);
    if (run.target.format == RasterFormat::GeoTiff && !layout.cogSource) {
        detail::BuildOverviews(*out, capture, run.target, run.ui);
    }
    out.reset();
    detail::CheckWrites(capture, run.target);
    if (layout.cogSource) {
        detail::WriteCog(written, file, layout, run.target, run.ui);
        // Only the copy is moved into place.
        fs::remove(written, ec);
        fs::remove(written.string() + ".aux.xml", ec);
    }
}

// Builds the raster aside and puts it in the output's place, side files included. False,
// after its messages, when a palette tile could not be expanded to RGB.
bool BuildAside(const MosaicRun &run, Probe &probe, const OutputLayout &layout,
                MosaicResult &result) {
    try {
        const std::vector<fs::path> oldFiles = FilesToReplace(probe, run.target);
        std::error_code ec;
        // A new table in an existing database replaces the database file too.
        const bool replacing = fs::exists(run.target.File(), ec);
        detail::Staging staging(run.target);
        WriteOutput(run, staging.File(), probe, layout, result);
        probe.raster.reset();
        staging.Commit(replacing, oldFiles);
        return true;
    } catch (const ConvertError &e) {
        ReportException(run.ui, ProcedureText("ConvertToRGB2 ", "", 0), e, kMessageMode);
        run.ui.ShowMessage(kConvertFailedMessage);
        return false;
    }
}

// The mosaic after the checks of its name: the remaining checks, the tiles, the layout, the
// raster built aside. Leaves the outcome Failed unless it ends with a raster or a refusal.
void Build(const MosaicRun &run, MosaicResult &result) {
    mapout::EnsureGdalRegistered();
    const CacheLimit cache(kCacheBytes);
    // GDAL's own reports go into the messages of the errors they cause, never to the
    // terminal; warnings about a raster being read (a GeoTIFF's datum code) are dropped.
    GdalErrorCapture silence;
    if (!OutputFolderOpens(run.target, run.ui)) {
        return;
    }
    Probe probe = detail::ProbeTarget(run.target);
    if (RefusedByTarget(probe.state, run.options, run.target, run.ui)) {
        result.outcome = MosaicOutcome::Refused;
        return;
    }
    const OGRSpatialReference tilesSrs = TilesSystem(run.type);
    if (run.options.colormapMode) {
        run.ui.ShowMessage("The colormap mode " + std::string(TextOf(*run.options.colormapMode)) +
                               " has no effect: palette tiles are expanded to RGB before they are "
                               "mosaicked, so the mosaic has no colour map.",
                           Icon::Information);
    }
    const auto arr = PopulateRasterArr(run.levelFolder, run.list, run.type, run.level, run.ui);
    if (!arr) {
        run.ui.ShowMessage(kLoadRastersFailedMessage);
        return;
    }
    result.missing = arr->missing;
    result.unreadable = arr->unreadable;
    if (arr->opened == 0) {
        run.ui.ShowMessage(kNoTilesMessage, Icon::Exclamation);
        return;
    }
    const auto layout =
        run.options.combine
            ? detail::AppendLayout(*probe.raster, *arr, tilesSrs, run.options, run.target, run.ui)
            : detail::NewLayout(*arr, tilesSrs, run.options, run.target.format);
    if (!layout) {
        result.outcome = MosaicOutcome::Refused;
        return;
    }
    if (BuildAside(run, probe, *layout, result)) {
        result.outcome = run.options.combine ? MosaicOutcome::Appended : MosaicOutcome::Built;
        result.raster = run.target.OpenName();
    }
}

std::string LayerNameOf(const MosaicTarget &target) {
    if (target.InDatabase()) {
        return target.name;
    }
    const auto dot = target.name.find('.');
    return dot == std::string::npos ? target.name : target.name.substr(0, dot);
}

} // namespace

bool TileRaster::HasPalette() const {
    return m_tile->GetRasterCount() >= 1 && m_tile->GetRasterBand(1)->GetColorTable() != nullptr &&
           m_tile->GetRasterBand(1)->GetColorInterpretation() == GCI_PaletteIndex;
}

void ConvertToRGB2(TileRaster &tile) {
    if (tile.m_rgb || !tile.HasPalette()) {
        return;
    }
    CPLStringList args;
    args.AddString("-of");
    args.AddString("VRT");
    args.AddString("-expand");
    args.AddString("rgb");
    std::unique_ptr<GDALTranslateOptions, decltype(&GDALTranslateOptionsFree)> options(
        GDALTranslateOptionsNew(args.List(), nullptr), &GDALTranslateOptionsFree);
    GdalErrorCapture capture;
    int usageError = FALSE;
    GDALDatasetH rgb = options ? GDALTranslate("", GDALDataset::ToHandle(tile.m_tile.get()),
                                               options.get(), &usageError)
                               : nullptr;
    if (rgb == nullptr) {
        throw GdalError(WithReason(std::string("The palette image ") +
                                       tile.m_tile->GetDescription() + " cannot be expanded to RGB",
                                   capture.Message()));
    }
    tile.m_rgb.reset(GDALDataset::FromHandle(rgb));
}

std::optional<RasterArr> PopulateRasterArr(const fs::path &levelFolder, const tiles::TileList &list,
                                           tiles::TilesType type, int level, UiPort &ui) {
    auto populated = RunTrapped(ui, "PopulateRasterArr ", [&]() -> std::optional<RasterArr> {
        mapout::EnsureGdalRegistered();
        if (tiles::ImageExtension(type).empty()) {
            std::string text = "The tile type ";
            AppendInt(text, static_cast<int>(type));
            throw ArgumentError(text + " has no tile files");
        }
        if (type != tiles::TilesType::Shade && !mapout::OpenRasterWorkspace(levelFolder, ui)) {
            ui.ShowMessage(mapout::RasterWorkspaceMessage(levelFolder));
            return std::nullopt;
        }
        CPLConfigOptionSetter noListing(kNoListing, "TRUE", false);
        ProgressPass pass(ui, kOpenRastersLabel, list.Size());
        RasterArr arr;
        fs::path checkedRow;
        auto cursor = list.Begin();
        tiles::TileRecord record;
        std::int64_t i = 0;
        while (cursor.Next(record)) {
            const fs::path path = tiles::FindTilePath(levelFolder, type, record, level);
            if (type == tiles::TilesType::Shade && path.parent_path() != checkedRow) {
                checkedRow = path.parent_path();
                if (RowFolderUnreadable(checkedRow)) {
                    (void)mapout::OpenRasterWorkspace(checkedRow, ui);
                    ui.ShowMessage(mapout::RasterWorkspaceMessage(checkedRow));
                    return std::nullopt;
                }
            }
            AddToArr(arr, path, TileExtent(type, record, level), record);
            pass.Step(i++);
        }
        return arr;
    });
    return populated ? *populated : std::nullopt;
}

MosaicResult BuildMosaic(const fs::path &levelFolder, const tiles::TileList &list,
                         tiles::TilesType type, int level, const MosaicOptions &options,
                         UiPort &ui) {
    MosaicResult result;
    const MosaicTarget target = ResolveMosaicTarget(options.output);
    result.layerName = LayerNameOf(target);
    if (RefusedByName(options, target, ui)) {
        result.outcome = MosaicOutcome::Refused;
        return result;
    }
    const MosaicRun run{levelFolder, list, type, level, options, target, ui};
    if (!RunTrapped(ui, kProcedure, [&] { Build(run, result); })) {
        if (options.combine && !ui.StopRequested()) {
            ui.ShowMessage(kAppendFailedMessage, Icon::Exclamation);
        }
        result.outcome = MosaicOutcome::Failed;
        result.raster.clear();
    }
    return result;
}

bool CheckMosaicTarget(const MosaicOptions &options, UiPort &ui) {
    const MosaicTarget target = ResolveMosaicTarget(options.output);
    if (RefusedByName(options, target, ui)) {
        return false;
    }
    const auto passed = RunTrapped(ui, kProcedure, [&] {
        mapout::EnsureGdalRegistered();
        GdalErrorCapture silence;
        return OutputFolderOpens(target, ui) &&
               !RefusedByTarget(detail::ProbeTarget(target).state, options, target, ui);
    });
    return passed.value_or(false);
}

} // namespace tessaro::mosaic
