#include "mosaic/mosaic_raster.h"

#include "common/error.h"
#include "common/error_report.h"
#include "common/text.h"
#include "mapout/gdal_support.h"
#include "common/progress.h"
#include "mapout/spatial_reference.h"
#include "tiles/ellipsoidal_grid.h"
#include "tiles/tile_files.h"

#include <cpl_string.h>
#include <gdal_utils.h>
#include <ogr_spatialref.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <vector>

namespace tessaro::mosaic {

namespace fs = std::filesystem;
using mapout::GdalError;
using mapout::GdalErrorCapture;
using mapout::WithReason;

namespace {

constexpr std::string_view kProcedure = "cmdOk_Click Mocaic raster ";

constexpr std::string_view kGridMessage =
    "GDAL cannot write an ArcInfo GRID (an output name without extension): give the mosaic "
    "the extension .tif (GeoTIFF) or .img (ERDAS IMAGINE).";
constexpr std::string_view kFileGdbMessage =
    "GDAL cannot write rasters into a File Geodatabase: choose a folder or a GeoPackage (.gpkg) "
    "for the mosaic.";
constexpr std::string_view kNoTilesMessage =
    "No tile of this run is on disk as an image GDAL can read; no mosaic was made.";
constexpr std::string_view kBlendMessage =
    "MT_BLEND cannot be used when appending to an existing raster: GDAL has no blending by the "
    "distance to the sources' edges. Choose another mosaic type.";
constexpr std::string_view kGeoPackageTypeMessage =
    "A GeoPackage raster holds 8-bit RGB tiles only: choose the pixel type \"unsigned 8 bit\" or "
    "a .tif or .img output.";

// The tiles are flushed out of GDAL's block cache after this many, so that the cache, and
// with it the memory of a run, stays small however many tiles there are.
constexpr std::int64_t kFlushEvery = 64;
// Old pixels are copied in squares of this side.
constexpr int kCopyChunk = 512;

// The level folder as messages show it, ending with the separator.
std::string FolderText(const fs::path &folder) {
    std::string text = folder.string();
    if (text.empty() || text.back() != fs::path::preferred_separator) {
        text += fs::path::preferred_separator;
    }
    return text;
}

void ShowWorkspaceMessage(UiPort &ui, const fs::path &folder) {
    std::string text = "Can not open raster workspase!";
    text += kCrLf;
    text += "Folder: ";
    text += FolderText(folder);
    ui.ShowMessage(text);
}

struct Bounds {
    double west = 0;
    double south = 0;
    double east = 0;
    double north = 0;
};

// The ground a tile image covers, from its record as the world file has it: the centre of the
// upper-left pixel on the spherical grids, the south-west corner on the ellipsoidal one.
Bounds TileBounds(tiles::TilesType type, const tiles::TileRecord &r, int level) {
    Bounds b;
    if (tiles::IsEllipsoidal(type)) {
        b.west = r.x;
        b.north = r.y + tiles::kTilePixels * tiles::ResN(level);
    } else {
        b.west = r.x - r.resX / 2;
        b.north = r.y - r.resY / 2;
    }
    b.east = b.west + tiles::kTilePixels * r.resX;
    b.south = b.north + tiles::kTilePixels * r.resY;
    return b;
}

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

// ---------------------------------------------------------------------------------------
// Pixel types as GDAL stores them.

struct StoredType {
    GDALDataType gdal = GDT_Byte;
    int nbits = 0;           // 1, 2 or 4 for the sub-byte types
    bool signedByte = false; // Byte with PIXELTYPE=SIGNEDBYTE
};

StoredType StoredTypeOf(PixelType type) {
    switch (type) {
    case PixelType::U1:
    case PixelType::U2:
    case PixelType::U4:
        return {GDT_Byte, SubByteBits(type), false};
    case PixelType::U8:
        return {GDT_Byte, 0, false};
    case PixelType::S8:
        return {GDT_Byte, 0, true};
    case PixelType::U16:
        return {GDT_UInt16, 0, false};
    case PixelType::S16:
        return {GDT_Int16, 0, false};
    case PixelType::U32:
        return {GDT_UInt32, 0, false};
    case PixelType::S32:
        return {GDT_Int32, 0, false};
    case PixelType::Float:
        return {GDT_Float32, 0, false};
    case PixelType::Double:
        return {GDT_Float64, 0, false};
    }
    return {};
}

// The pixel type of an existing raster's first band, or nothing for a type the mosaic does
// not write (complex numbers, 64-bit integers).
std::optional<PixelType> PixelTypeOf(GDALRasterBand &band) {
    const char *nbits = band.GetMetadataItem("NBITS", "IMAGE_STRUCTURE");
    const char *pixelType = band.GetMetadataItem("PIXELTYPE", "IMAGE_STRUCTURE");
    switch (band.GetRasterDataType()) {
    case GDT_Byte:
        if (pixelType != nullptr && EQUAL(pixelType, "SIGNEDBYTE")) {
            return PixelType::S8;
        }
        if (nbits != nullptr) {
            switch (std::atoi(nbits)) {
            case 1:
                return PixelType::U1;
            case 2:
                return PixelType::U2;
            case 3:
            case 4:
                return PixelType::U4;
            default:
                break;
            }
        }
        return PixelType::U8;
    case GDT_UInt16:
        return PixelType::U16;
    case GDT_Int16:
        return PixelType::S16;
    case GDT_UInt32:
        return PixelType::U32;
    case GDT_Int32:
        return PixelType::S32;
    case GDT_Float32:
        return PixelType::Float;
    case GDT_Float64:
        return PixelType::Double;
    default:
        return std::nullopt;
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

// ---------------------------------------------------------------------------------------
// The output raster's grid and layout.

struct Layout {
    std::array<double, 6> geoTransform{};
    int width = 0;
    int height = 0;
    int bands = 3; // red, green, blue and, for four, alpha
    PixelType pixelType = PixelType::U8;
    OGRSpatialReference srs;
    bool appending = false;
    // Where the existing raster lies in the new one, when appending.
    int oldX = 0;
    int oldY = 0;
    int oldWidth = 0;
    int oldHeight = 0;
};

int PixelCount(double extent, double pixel, const char *what) {
    const double count = std::round(extent / pixel);
    if (!(count >= 1) || count > 2'000'000'000.0) {
        throw Error(std::string("The mosaic would be ") + FormatDouble(count) + " pixels " + what +
                    ", beyond what a raster holds");
    }
    return static_cast<int>(count);
}

// Whole pixels from a side of the old raster to a side of the union, rounded up: a tile edge
// a hair beyond the old grid's line does not add a column.
double PixelsBeyond(double distance, double pixel) {
    return distance > 0 ? std::ceil(distance / pixel - 1e-6) : 0.0;
}

Layout NewLayout(const RasterArr &arr, PixelType pixelType, const OGRSpatialReference &srs,
                 bool geoPackage) {
    Layout layout;
    layout.width = PixelCount(arr.east - arr.west, arr.pixelWidth, "wide");
    layout.height = PixelCount(arr.north - arr.south, arr.pixelHeight, "high");
    layout.geoTransform = {arr.west, arr.pixelWidth, 0, arr.north, 0, -arr.pixelHeight};
    // A GeoPackage keeps pixels no tile covers transparent through its alpha band.
    layout.bands = geoPackage ? 4 : 3;
    layout.pixelType = pixelType;
    layout.srs = srs;
    return layout;
}

// ---------------------------------------------------------------------------------------
// Building aside and putting the result into place.

// A hidden folder beside the output in which the raster is built under its final name (so
// that a format that names its own side files after the raster, IMAGINE's spill file for one,
// keeps them right), with a copy of the database when the raster goes into an existing one.
// Removed with everything in it unless committed.
class Staging {
public:
    explicit Staging(const MosaicTarget &target) : m_target(target.File()) {
        const fs::path folder =
            m_target.parent_path().empty() ? fs::path(".") : m_target.parent_path();
        std::string pattern = (folder / ".tessaro-mosaic-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            const std::error_code ec(errno, std::generic_category());
            throw FileError("No working folder can be made in " + FolderText(folder) + ": " +
                                ec.message(),
                            ec == std::errc::no_space_on_device ? ErrorNumber::DiskFull
                                                                : ErrorNumber::PathFileAccess);
        }
        m_folder = pattern;
        std::error_code ec;
        if (target.InDatabase() && fs::exists(m_target, ec)) {
            fs::copy_file(m_target, File(), ec);
            if (ec) {
                Remove();
                throw FileError("The database " + m_target.string() +
                                    " cannot be copied to build the mosaic in: " + ec.message(),
                                ec == std::errc::no_space_on_device ? ErrorNumber::DiskFull
                                                                    : ErrorNumber::PathFileAccess);
            }
        }
    }
    Staging(const Staging &) = delete;
    Staging &operator=(const Staging &) = delete;
    ~Staging() { Remove(); }

    // The file to build: the output's (or the database's) name in the working folder.
    [[nodiscard]] fs::path File() const { return m_folder / m_target.filename(); }

    // Moves every file built into the output's folder, side files first and the raster (or
    // database) last, then removes the files of the replaced raster that the new one has not
    // replaced (stale overviews, statistics, world files).
    void Commit(bool replacing, const std::vector<fs::path> &oldFiles) {
        std::error_code ec;
        if (!replacing && fs::exists(m_target, ec)) {
            throw FileError("The output " + m_target.string() +
                            " appeared while the mosaic was built; it was left as it is");
        }
        std::vector<fs::path> built;
        for (const auto &entry : fs::directory_iterator(m_folder)) {
            built.push_back(entry.path());
        }
        std::stable_partition(built.begin(), built.end(), [&](const fs::path &p) {
            return p.filename() != m_target.filename();
        });
        std::vector<fs::path> placed;
        for (const fs::path &file : built) {
            const fs::path destination = m_target.parent_path() / file.filename();
            fs::rename(file, destination, ec);
            if (ec) {
                throw FileError("The mosaic cannot be moved to " + destination.string() + ": " +
                                ec.message());
            }
            placed.push_back(fs::absolute(destination, ec).lexically_normal());
        }
        for (const fs::path &old : oldFiles) {
            const fs::path normal = fs::absolute(old, ec).lexically_normal();
            if (std::find(placed.begin(), placed.end(), normal) == placed.end()) {
                fs::remove(old, ec);
            }
        }
    }

private:
    void Remove() noexcept {
        if (!m_folder.empty()) {
            std::error_code ec;
            fs::remove_all(m_folder, ec);
            m_folder.clear();
        }
    }

    fs::path m_target;
    fs::path m_folder;
};

GDALDatasetUniquePtr CreateOutput(const fs::path &file, const MosaicTarget &target,
                                  const Layout &layout, bool intoExistingDatabase) {
    GDALDriver *driver =
        GetGDALDriverManager()->GetDriverByName(std::string(DriverOf(target.format)).c_str());
    if (driver == nullptr) {
        throw GdalError("GDAL has no driver " + std::string(DriverOf(target.format)));
    }
    const StoredType stored = StoredTypeOf(layout.pixelType);
    CPLStringList options;
    switch (target.format) {
    case RasterFormat::GeoTiff:
        options.SetNameValue("TILED", "YES");
        options.SetNameValue("BLOCKXSIZE", "256");
        options.SetNameValue("BLOCKYSIZE", "256");
        options.SetNameValue("COMPRESS", "LZW");
        options.SetNameValue("BIGTIFF", "IF_SAFER");
        // GeoTIFF keys alone name the sphere of ESRI:53004 through a datum code that GDAL may
        // resolve to another radius (GTIFF_SRS_SOURCE=EPSG gives 6 371 007 m); the ESRI PE
        // string written beside them describes the system in full.
        options.SetNameValue("GEOTIFF_KEYS_FLAVOR", "ESRI_PE");
        if (layout.bands >= 3 && stored.nbits == 0 && !stored.signedByte &&
            (stored.gdal == GDT_Byte || stored.gdal == GDT_UInt16)) {
            options.SetNameValue("PHOTOMETRIC", "RGB");
            if (layout.bands == 4) {
                options.SetNameValue("ALPHA", "YES");
            }
        }
        break;
    case RasterFormat::Imagine:
        options.SetNameValue("BLOCKSIZE", "256");
        break;
    case RasterFormat::GeoPackage:
        options.SetNameValue("RASTER_TABLE", target.name.c_str());
        options.SetNameValue("TILE_FORMAT", "PNG");
        if (intoExistingDatabase) {
            options.SetNameValue("APPEND_SUBDATASET", "YES");
        }
        break;
    default:
        break;
    }
    if (stored.nbits != 0) {
        options.SetNameValue("NBITS", std::to_string(stored.nbits).c_str());
    }
    if (stored.signedByte) {
        options.SetNameValue("PIXELTYPE", "SIGNEDBYTE");
    }
    GdalErrorCapture capture;
    GDALDatasetUniquePtr dataset(driver->Create(file.c_str(), layout.width, layout.height,
                                                layout.bands, stored.gdal, options.List()));
    if (!dataset) {
        throw GdalError(
            WithReason("GDAL cannot create the mosaic " + target.OpenName(), capture.Message()));
    }
    // A GeoPackage takes its coordinate system before its grid.
    std::array<double, 6> gt = layout.geoTransform;
    if (dataset->SetSpatialRef(&layout.srs) != CE_None ||
        dataset->SetGeoTransform(gt.data()) != CE_None) {
        throw GdalError(WithReason("GDAL cannot georeference the mosaic " + target.OpenName(),
                                   capture.Message()));
    }
    if (target.format != RasterFormat::GeoPackage) {
        const GDALColorInterp colours[] = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand, GCI_AlphaBand};
        for (int b = 1; b <= std::min(layout.bands, 4); ++b) {
            // Some formats keep no colour interpretation; the pixels are right without it.
            (void)dataset->GetRasterBand(b)->SetColorInterpretation(colours[b - 1]);
        }
    }
    if (capture.HasFailure()) {
        throw GdalError(
            WithReason("GDAL cannot set up the mosaic " + target.OpenName(), capture.Message()));
    }
    return dataset;
}

// Throws when GDAL reported a failure on the output since the capture was last cleared
// (a write that the block cache put off fails when the cache is flushed).
void CheckWrites(GdalErrorCapture &capture, const MosaicTarget &target) {
    if (capture.HasFailure()) {
        throw GdalError(WithReason("The mosaic " + target.OpenName() + " cannot be written",
                                   capture.Message()));
    }
}

// Copies the existing raster into its place in the new one, square by square in its own
// pixel type, so that memory holds one square whatever the raster's size.
void CopyOldRaster(GDALDataset &old, GDALDataset &out, const Layout &layout,
                   GdalErrorCapture &capture, const MosaicTarget &target) {
    const GDALDataType type = old.GetRasterBand(1)->GetRasterDataType();
    const auto bytes = static_cast<std::size_t>(GDALGetDataTypeSizeBytes(type));
    std::vector<unsigned char> buffer(static_cast<std::size_t>(kCopyChunk) * kCopyChunk *
                                      static_cast<std::size_t>(layout.bands) * bytes);
    for (int y = 0; y < layout.oldHeight; y += kCopyChunk) {
        const int h = std::min(kCopyChunk, layout.oldHeight - y);
        for (int x = 0; x < layout.oldWidth; x += kCopyChunk) {
            const int w = std::min(kCopyChunk, layout.oldWidth - x);
            if (old.RasterIO(GF_Read, x, y, w, h, buffer.data(), w, h, type, layout.bands, nullptr,
                             0, 0, 0, nullptr) != CE_None ||
                out.RasterIO(GF_Write, layout.oldX + x, layout.oldY + y, w, h, buffer.data(), w, h,
                             type, layout.bands, nullptr, 0, 0, 0, nullptr) != CE_None) {
                throw GdalError(WithReason("The pixels of the existing raster cannot be copied",
                                           capture.Message()));
            }
        }
        out.FlushCache(false);
        CheckWrites(capture, target);
    }
}

// Where a tile goes in the mosaic: the mosaic pixels whose centres lie on the tile, and the
// part of the tile (in its own pixels, not necessarily whole) they cover.
struct Placement {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool aligned = false; // the tile's pixels are the mosaic's: copied as they are
    double srcX = 0;
    double srcY = 0;
    double srcWidth = 0;
    double srcHeight = 0;
};

Placement Place(const Bounds &tile, int tileWidth, int tileHeight, const Layout &layout) {
    const auto &gt = layout.geoTransform;
    const double x0 = (tile.west - gt[0]) / gt[1];
    const double x1 = (tile.east - gt[0]) / gt[1];
    const double y0 = (tile.north - gt[3]) / gt[5];
    const double y1 = (tile.south - gt[3]) / gt[5];
    Placement p;
    constexpr double kTolerance = 1e-6; // world files carry 15 digits
    if (std::abs(x0 - std::round(x0)) < kTolerance && std::abs(y0 - std::round(y0)) < kTolerance &&
        std::abs(x1 - x0 - tileWidth) < kTolerance && std::abs(y1 - y0 - tileHeight) < kTolerance) {
        p.aligned = true;
        p.x = static_cast<int>(std::round(x0));
        p.y = static_cast<int>(std::round(y0));
        p.width = tileWidth;
        p.height = tileHeight;
    } else {
        // Pixel i belongs to the tile when its centre i + 0.5 lies in [x0, x1).
        p.x = static_cast<int>(std::ceil(x0 - 0.5));
        p.y = static_cast<int>(std::ceil(y0 - 0.5));
        p.width = static_cast<int>(std::ceil(x1 - 0.5)) - p.x;
        p.height = static_cast<int>(std::ceil(y1 - 0.5)) - p.y;
        const double scaleX = tileWidth / (x1 - x0);
        const double scaleY = tileHeight / (y1 - y0);
        p.srcX = (p.x - x0) * scaleX;
        p.srcY = (p.y - y0) * scaleY;
        p.srcWidth = p.width * scaleX;
        p.srcHeight = p.height * scaleY;
    }
    // Keep to the mosaic; a tile never reaches beyond it except by rounding.
    const int cutLeft = std::max(0, -p.x);
    const int cutTop = std::max(0, -p.y);
    const int cutRight = std::max(0, p.x + p.width - layout.width);
    const int cutBottom = std::max(0, p.y + p.height - layout.height);
    if (cutLeft + cutTop + cutRight + cutBottom > 0) {
        if (p.aligned) {
            p.aligned = false;
            p.srcX = p.srcY = 0;
            p.srcWidth = tileWidth;
            p.srcHeight = tileHeight;
        }
        const double sx = p.srcWidth / p.width;
        const double sy = p.srcHeight / p.height;
        p.srcX += cutLeft * sx;
        p.srcY += cutTop * sy;
        p.x += cutLeft;
        p.y += cutTop;
        p.width -= cutLeft + cutRight;
        p.height -= cutTop + cutBottom;
        p.srcWidth = p.width * sx;
        p.srcHeight = p.height * sy;
    }
    return p;
}

// Reads a tile's red, green and blue into a band-sequential buffer of the placement's size
// (a grey tile gives its one band three times). False when GDAL cannot read its pixels.
bool ReadTilePixels(GDALDataset &tile, const Placement &p, Resampling resampling,
                    std::vector<unsigned char> &pixels) {
    const int count = tile.GetRasterCount();
    int bands[3] = {1, 2, 3};
    if (count < 3) {
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

// Combines a tile with the pixels already in the mosaic where the existing raster lies, by
// the operator, into a buffer of doubles GDAL converts to the raster's type.
void Combine(const std::vector<unsigned char> &tile, std::vector<double> &mosaic,
             const Placement &p, const Layout &layout, MosaicOperator op) {
    const std::size_t plane =
        static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height);
    for (int row = 0; row < p.height; ++row) {
        const int y = p.y + row;
        for (int col = 0; col < p.width; ++col) {
            const int x = p.x + col;
            const std::size_t i =
                static_cast<std::size_t>(row) * static_cast<std::size_t>(p.width) +
                static_cast<std::size_t>(col);
            const bool insideOld = x >= layout.oldX && x < layout.oldX + layout.oldWidth &&
                                   y >= layout.oldY && y < layout.oldY + layout.oldHeight;
            // A pixel of a raster with alpha counts as covered only where it is not transparent.
            const bool covered = insideOld && (layout.bands < 4 || mosaic[3 * plane + i] != 0);
            for (std::size_t b = 0; b < 3; ++b) {
                const double n = tile[b * plane + i];
                double &o = mosaic[b * plane + i];
                if (!covered) {
                    o = n;
                    continue;
                }
                switch (op) {
                case MosaicOperator::First:
                    break;
                case MosaicOperator::Min:
                    o = std::min(o, n);
                    break;
                case MosaicOperator::Max:
                    o = std::max(o, n);
                    break;
                case MosaicOperator::Mean:
                    o = std::round((o + n) / 2);
                    break;
                default:
                    o = n;
                    break;
                }
            }
            if (layout.bands >= 4) {
                mosaic[3 * plane + i] = 255;
            }
        }
    }
}

struct WriteCounts {
    std::int64_t placed = 0;
    std::int64_t missing = 0;
    std::int64_t unreadable = 0;
};

// Converts a palette tile, reporting a failure as ConvertToRGB2 does in the dialog.
class ConvertError : public GdalError {
public:
    using GdalError::GdalError;
};

WriteCounts WriteTiles(const fs::path &levelFolder, const tiles::TileList &list,
                       tiles::TilesType type, int level, const MosaicOptions &options,
                       const Layout &layout, GDALDataset &out, GdalErrorCapture &capture,
                       const MosaicTarget &target, UiPort &ui) {
    WriteCounts counts;
    const MosaicOperator op = options.mosaicOperator.value_or(MosaicOperator::Last);
    const bool combining = layout.appending && op != MosaicOperator::Last;
    const int maxValue = MaxTileValue(layout.pixelType);
    std::vector<unsigned char> pixels;
    std::vector<double> mixed;
    mapout::ScopedConfigOption noListing("GDAL_DISABLE_READDIR_ON_OPEN", "TRUE");
    ProgressPass pass(ui, kMosaicLabel, list.Size());
    auto cursor = list.Begin();
    tiles::TileRecord record;
    std::int64_t i = 0;
    while (cursor.Next(record)) {
        pass.Step(i++);
        GDALDatasetUniquePtr dataset;
        const fs::path path = tiles::TilePath(levelFolder, type, record, level);
        const TileState state = OpenTile(path, dataset);
        if (state != TileState::Opened) {
            ++(state == TileState::Missing ? counts.missing : counts.unreadable);
            continue;
        }
        TileRaster tile(std::move(dataset));
        try {
            ConvertToRGB2(tile);
        } catch (const GdalError &e) {
            throw ConvertError(e.what());
        }
        GDALDataset &source = tile.Pixels();
        const Placement p = Place(TileBounds(type, record, level), source.GetRasterXSize(),
                                  source.GetRasterYSize(), layout);
        if (p.width <= 0 || p.height <= 0) {
            continue;
        }
        if (!ReadTilePixels(source, p, options.resampling, pixels)) {
            ++counts.unreadable;
            continue;
        }
        if (maxValue < 255) {
            for (unsigned char &v : pixels) {
                v = static_cast<unsigned char>(std::min<int>(v, maxValue));
            }
        }
        const std::size_t plane =
            static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height);
        const bool overOld = combining && p.x < layout.oldX + layout.oldWidth &&
                             p.x + p.width > layout.oldX && p.y < layout.oldY + layout.oldHeight &&
                             p.y + p.height > layout.oldY;
        CPLErr err;
        if (overOld) {
            mixed.resize(plane * static_cast<std::size_t>(layout.bands));
            err = out.RasterIO(GF_Read, p.x, p.y, p.width, p.height, mixed.data(), p.width,
                               p.height, GDT_Float64, layout.bands, nullptr, 0, 0, 0, nullptr);
            if (err == CE_None) {
                Combine(pixels, mixed, p, layout, op);
                err = out.RasterIO(GF_Write, p.x, p.y, p.width, p.height, mixed.data(), p.width,
                                   p.height, GDT_Float64, layout.bands, nullptr, 0, 0, 0, nullptr);
            }
        } else {
            if (layout.bands >= 4) {
                pixels.resize(plane * 4);
                std::fill(pixels.begin() + static_cast<std::ptrdiff_t>(plane * 3), pixels.end(),
                          static_cast<unsigned char>(255));
            }
            err = out.RasterIO(GF_Write, p.x, p.y, p.width, p.height, pixels.data(), p.width,
                               p.height, GDT_Byte, std::min(layout.bands, 4), nullptr, 0, 0, 0,
                               nullptr);
        }
        if (err != CE_None) {
            CheckWrites(capture, target);
            throw GdalError("The mosaic " + target.OpenName() + " cannot be written");
        }
        if (++counts.placed % kFlushEvery == 0) {
            out.FlushCache(false);
            CheckWrites(capture, target);
        }
    }
    out.FlushCache(false);
    CheckWrites(capture, target);
    return counts;
}

// The follow-up step: the minimum, maximum, mean and standard deviation of every band (of the
// whole raster, pixels no tile covers included), which GDAL keeps with the raster (inside a
// GeoTIFF or IMAGINE file, in a GeoPackage's metadata) and QGIS uses to stretch it. GDAL's
// ComputeStatistics would do the same but leave every block it read in the block cache, up to
// the cache's size; reading window by window and dropping the blocks after each window keeps
// memory flat. 8-bit bands are counted in a histogram, others summed as doubles.
void ComputeStatistics(GDALDataset &out, GdalErrorCapture &capture, const MosaicTarget &target,
                       UiPort &ui) {
    const int bands = out.GetRasterCount();
    const int width = out.GetRasterXSize();
    const int height = out.GetRasterYSize();
    const bool bytes = out.GetRasterBand(1)->GetRasterDataType() == GDT_Byte;
    constexpr int kWindow = 512;
    struct Sums {
        std::array<std::uint64_t, 256> histogram{};
        double min = HUGE_VAL;
        double max = -HUGE_VAL;
        double sum = 0;
        double squares = 0;
    };
    std::vector<Sums> sums(static_cast<std::size_t>(bands));
    std::vector<unsigned char> byteBuffer;
    std::vector<double> valueBuffer;
    ProgressPass pass(ui, kStatisticsLabel, height);
    for (int y = 0; y < height; y += kWindow) {
        const int h = std::min(kWindow, height - y);
        for (int x = 0; x < width; x += kWindow) {
            const int w = std::min(kWindow, width - x);
            const auto count = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
            for (int b = 0; b < bands; ++b) {
                GDALRasterBand *band = out.GetRasterBand(b + 1);
                Sums &s = sums[static_cast<std::size_t>(b)];
                CPLErr err;
                if (bytes) {
                    byteBuffer.resize(count);
                    err = band->RasterIO(GF_Read, x, y, w, h, byteBuffer.data(), w, h, GDT_Byte, 0,
                                         0, nullptr);
                    for (const unsigned char v : byteBuffer) {
                        ++s.histogram[v];
                    }
                } else {
                    valueBuffer.resize(count);
                    err = band->RasterIO(GF_Read, x, y, w, h, valueBuffer.data(), w, h, GDT_Float64,
                                         0, 0, nullptr);
                    for (const double v : valueBuffer) {
                        s.min = std::min(s.min, v);
                        s.max = std::max(s.max, v);
                        s.sum += v;
                        s.squares += v * v;
                    }
                }
                if (err != CE_None) {
                    throw GdalError(WithReason("The statistics of the mosaic " + target.OpenName() +
                                                   " cannot be computed",
                                               capture.Message()));
                }
            }
            out.FlushCache(false);
            CheckWrites(capture, target);
        }
        pass.Step(y + h);
    }
    const double n = static_cast<double>(width) * static_cast<double>(height);
    for (int b = 0; b < bands; ++b) {
        Sums &s = sums[static_cast<std::size_t>(b)];
        if (bytes) {
            for (int v = 0; v < 256; ++v) {
                const auto c = static_cast<double>(s.histogram[static_cast<std::size_t>(v)]);
                if (c > 0) {
                    s.min = std::min<double>(s.min, v);
                    s.max = std::max<double>(s.max, v);
                    s.sum += c * v;
                    s.squares += c * v * v;
                }
            }
        }
        const double mean = s.sum / n;
        const double deviation = std::sqrt(std::max(0.0, s.squares / n - mean * mean));
        if (out.GetRasterBand(b + 1)->SetStatistics(s.min, s.max, mean, deviation) != CE_None) {
            throw GdalError(WithReason("The statistics of the mosaic " + target.OpenName() +
                                           " cannot be stored",
                                       capture.Message()));
        }
    }
}

// What the output holds before the run.
enum class TargetState {
    Absent,   // nothing of that name
    Raster,   // a raster GDAL opens
    Occupied, // a file or table of that name that GDAL does not open as a raster
};

struct Probe {
    TargetState state = TargetState::Absent;
    GDALDatasetUniquePtr raster;
};

Probe ProbeTarget(const MosaicTarget &target) {
    Probe probe;
    std::error_code ec;
    const fs::path file = target.File();
    if (!fs::exists(file, ec)) {
        return probe;
    }
    GdalErrorCapture quiet;
    if (target.format == RasterFormat::GeoPackage) {
        const char *const drivers[] = {"GPKG", nullptr};
        GDALDatasetUniquePtr database(GDALDataset::Open(
            file.c_str(), GDAL_OF_RASTER | GDAL_OF_VECTOR | GDAL_OF_READONLY, drivers));
        if (!database) {
            throw GdalError(WithReason("The GeoPackage " + file.string() + " cannot be opened",
                                       quiet.Message()));
        }
        const bool layerOfThatName = database->GetLayerByName(target.name.c_str()) != nullptr;
        database.reset();
        probe.raster.reset(GDALDataset::Open(target.OpenName().c_str(),
                                             GDAL_OF_RASTER | GDAL_OF_READONLY, drivers));
        probe.state = probe.raster      ? TargetState::Raster
                      : layerOfThatName ? TargetState::Occupied
                                        : TargetState::Absent;
        return probe;
    }
    probe.raster.reset(GDALDataset::Open(file.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    probe.state = probe.raster ? TargetState::Raster : TargetState::Occupied;
    return probe;
}

std::string QuoteSql(std::string_view text, char quote) {
    std::string quoted(1, quote);
    for (const char c : text) {
        if (c == quote) {
            quoted += quote;
        }
        quoted += c;
    }
    quoted += quote;
    return quoted;
}

// Removes a raster table and its entries in the GeoPackage's system tables, so that the
// table can be written anew in a copy of the database.
void DropGeoPackageRaster(GDALDataset &database, const std::string &table) {
    const std::string where = " WHERE lower(table_name) = lower(" + QuoteSql(table, '\'') + ")";
    auto run = [&](const std::string &sql) {
        if (OGRLayer *rows = database.ExecuteSQL(sql.c_str(), nullptr, nullptr)) {
            database.ReleaseResultSet(rows);
        }
    };
    {
        // Tables a GeoPackage has only when an extension or metadata was written.
        GdalErrorCapture optional;
        run("DELETE FROM gpkg_extensions" + where);
        run("DELETE FROM gpkg_metadata_reference" + where);
    }
    run("DELETE FROM gpkg_tile_matrix" + where);
    run("DELETE FROM gpkg_tile_matrix_set" + where);
    run("DELETE FROM gpkg_contents" + where);
    run("DROP TABLE " + QuoteSql(table, '"'));
}

// True when two systems give points the same coordinates: the same system by OGR's rules,
// or the same PROJ definition. A raster written by another program may spell the sphere of
// ESRI:53004 with an EPSG datum of that radius and another angle unit, which OGR holds apart
// though every coordinate is the same.
bool SameCoordinates(const OGRSpatialReference &a, const OGRSpatialReference &b) {
    if (a.IsSame(&b) != 0) {
        return true;
    }
    auto proj = [](const OGRSpatialReference &srs) {
        char *text = nullptr;
        std::string result;
        if (srs.exportToProj4(&text) == OGRERR_NONE && text != nullptr) {
            result = text;
        }
        CPLFree(text);
        return result;
    };
    const std::string pa = proj(a);
    return !pa.empty() && pa == proj(b);
}

std::string SystemName(const OGRSpatialReference *srs) {
    const char *name = srs != nullptr ? srs->GetName() : nullptr;
    return name != nullptr ? name : "an unnamed coordinate system";
}

// Checks an existing raster for appending and lays the union out on its grid. Returns
// nothing (after a message) when the raster cannot take the tiles.
std::optional<Layout> AppendLayout(GDALDataset &old, const RasterArr &arr,
                                   const OGRSpatialReference &tilesSrs,
                                   const MosaicOptions &options, const MosaicTarget &target,
                                   UiPort &ui) {
    const std::string name = target.OpenName();
    auto refuse = [&](const std::string &text) {
        ui.ShowMessage(text, Icon::Exclamation);
        return std::nullopt;
    };
    if (options.mosaicOperator == MosaicOperator::Blend) {
        return refuse(std::string(kBlendMessage));
    }
    std::array<double, 6> gt{};
    if (old.GetGeoTransform(gt.data()) != CE_None || gt[2] != 0 || gt[4] != 0 || !(gt[1] > 0) ||
        !(gt[5] < 0)) {
        return refuse("The existing raster " + name +
                      " has no north-up georeferencing; tiles can be appended only to a raster "
                      "whose rows run west to east from the north.");
    }
    const int count = old.GetRasterCount();
    const bool alpha =
        count == 4 && old.GetRasterBand(4)->GetColorInterpretation() == GCI_AlphaBand;
    if (count != 3 && !alpha) {
        std::string text = "The existing raster " + name + " has ";
        AppendInt(text, count);
        return refuse(text + (count == 1 ? " band" : " bands") +
                      "; tiles can be appended only to a raster of three bands (red, green, blue) "
                      "or four with alpha.");
    }
    const auto pixelType = PixelTypeOf(*old.GetRasterBand(1));
    if (!pixelType) {
        return refuse("The existing raster " + name + " holds values of the type " +
                      GDALGetDataTypeName(old.GetRasterBand(1)->GetRasterDataType()) +
                      ", which tiles cannot be appended to.");
    }
    if (options.pixelType && *options.pixelType != *pixelType) {
        return refuse("The existing raster " + name + " holds \"" +
                      std::string(TextOf(*pixelType)) +
                      "\" values, which appended tiles keep; the pixel type \"" +
                      std::string(TextOf(*options.pixelType)) + "\" cannot be used.");
    }
    const OGRSpatialReference *oldSrs = old.GetSpatialRef();
    if (oldSrs != nullptr && !SameCoordinates(*oldSrs, tilesSrs)) {
        return refuse("The existing raster " + name + " is in " + SystemName(oldSrs) +
                      ", the tiles in " + SystemName(&tilesSrs) +
                      "; tiles can be appended only to a raster in their coordinate system.");
    }

    Layout layout;
    layout.appending = true;
    layout.bands = count;
    layout.pixelType = *pixelType;
    layout.srs = oldSrs != nullptr ? *oldSrs : tilesSrs;
    layout.oldWidth = old.GetRasterXSize();
    layout.oldHeight = old.GetRasterYSize();
    const double pw = gt[1];
    const double ph = -gt[5];
    const double oldWest = gt[0];
    const double oldNorth = gt[3];
    const double oldEast = oldWest + pw * layout.oldWidth;
    const double oldSouth = oldNorth - ph * layout.oldHeight;
    const double left = PixelsBeyond(oldWest - arr.west, pw);
    const double top = PixelsBeyond(arr.north - oldNorth, ph);
    const double right = PixelsBeyond(arr.east - oldEast, pw);
    const double bottom = PixelsBeyond(oldSouth - arr.south, ph);
    layout.width = PixelCount((left + right) * pw + (oldEast - oldWest), pw, "wide");
    layout.height = PixelCount((top + bottom) * ph + (oldNorth - oldSouth), ph, "high");
    layout.oldX = static_cast<int>(left);
    layout.oldY = static_cast<int>(top);
    layout.geoTransform = {oldWest - left * pw, pw, 0, oldNorth + top * ph, 0, -ph};
    return layout;
}

// Side files GDAL would take as part of a raster of this name: left behind by a raster that
// was deleted without them, they would lend the new one stale statistics, overviews or even
// another georeferencing.
std::vector<fs::path> LeftoverSideFiles(const fs::path &file) {
    std::vector<fs::path> candidates;
    for (const char *suffix : {".aux.xml", ".ovr", "w"}) {
        fs::path p = file;
        p += suffix;
        candidates.push_back(p);
    }
    for (const char *extension : {".aux", ".rrd", ".tfw", ".wld"}) {
        fs::path p = file;
        p.replace_extension(extension);
        candidates.push_back(p);
    }
    std::vector<fs::path> present;
    std::error_code ec;
    for (const fs::path &p : candidates) {
        if (fs::is_regular_file(p, ec)) {
            present.push_back(p);
        }
    }
    return present;
}

std::string LayerNameOf(const MosaicTarget &target) {
    if (target.InDatabase()) {
        return target.name;
    }
    const auto dot = target.name.find('.');
    return dot == std::string::npos ? target.name : target.name.substr(0, dot);
}

MosaicResult Refuse(MosaicResult result, UiPort &ui, std::string_view message) {
    ui.ShowMessage(message, Icon::Exclamation);
    result.outcome = MosaicOutcome::Refused;
    return result;
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
    try {
        mapout::EnsureGdalRegistered();
        if (tiles::ImageExtension(type).empty()) {
            std::string text = "The tile type ";
            AppendInt(text, static_cast<int>(type));
            throw ArgumentError(text + " has no tile files");
        }
        if (type != tiles::TilesType::Shade && !mapout::OpenRasterWorkspace(levelFolder, ui)) {
            ShowWorkspaceMessage(ui, levelFolder);
            return std::nullopt;
        }
        // Opening a tile makes GDAL list its folder for side files, which in a folder of many
        // thousand tiles costs more than the tile; the few names are probed one by one instead.
        mapout::ScopedConfigOption noListing("GDAL_DISABLE_READDIR_ON_OPEN", "TRUE");
        ProgressPass pass(ui, kOpenRastersLabel, list.Size());
        RasterArr arr;
        fs::path checkedRow;
        auto cursor = list.Begin();
        tiles::TileRecord record;
        std::int64_t i = 0;
        while (cursor.Next(record)) {
            const fs::path path = tiles::TilePath(levelFolder, type, record, level);
            if (type == tiles::TilesType::Shade && path.parent_path() != checkedRow) {
                checkedRow = path.parent_path();
                if (RowFolderUnreadable(checkedRow)) {
                    (void)mapout::OpenRasterWorkspace(checkedRow, ui);
                    ShowWorkspaceMessage(ui, checkedRow);
                    return std::nullopt;
                }
            }
            GDALDatasetUniquePtr dataset;
            switch (OpenTile(path, dataset)) {
            case TileState::Missing:
                ++arr.missing;
                break;
            case TileState::Unreadable:
                ++arr.unreadable;
                break;
            case TileState::Opened: {
                const Bounds b = TileBounds(type, record, level);
                if (arr.opened++ == 0) {
                    arr.west = b.west;
                    arr.south = b.south;
                    arr.east = b.east;
                    arr.north = b.north;
                    arr.pixelWidth = record.resX;
                    arr.pixelHeight = -record.resY;
                } else {
                    arr.west = std::min(arr.west, b.west);
                    arr.south = std::min(arr.south, b.south);
                    arr.east = std::max(arr.east, b.east);
                    arr.north = std::max(arr.north, b.north);
                }
                break;
            }
            }
            pass.Step(i++);
        }
        return arr;
    } catch (const std::exception &e) {
        ReportException(ui, ProcedureText("PopulateRasterArr ", "", 0), e, kMessageMode);
        return std::nullopt;
    }
}

MosaicResult BuildMosaic(const fs::path &levelFolder, const tiles::TileList &list,
                         tiles::TilesType type, int level, const MosaicOptions &options,
                         UiPort &ui) {
    MosaicResult result;
    if (options.output.empty()) {
        ui.ShowMessage(kNoOutputNameMessage);
        result.outcome = MosaicOutcome::Refused;
        return result;
    }
    const MosaicTarget target = ResolveMosaicTarget(options.output);
    result.layerName = LayerNameOf(target);
    switch (target.format) {
    case RasterFormat::Invalid:
        ui.ShowMessage(kInvalidFormatMessage);
        result.outcome = MosaicOutcome::Refused;
        return result;
    case RasterFormat::Grid:
        return Refuse(std::move(result), ui, kGridMessage);
    case RasterFormat::FileGeodatabase:
        return Refuse(std::move(result), ui, kFileGdbMessage);
    default:
        break;
    }
    try {
        mapout::EnsureGdalRegistered();
        // GDAL's own reports go into the messages of the errors they cause, never to the
        // terminal; warnings about a raster being read (a GeoTIFF's datum code) are dropped.
        GdalErrorCapture silence;
        const fs::path folder =
            target.File().parent_path().empty() ? fs::path(".") : target.File().parent_path();
        if (!mapout::OpenRasterWorkspace(folder, ui)) {
            ShowWorkspaceMessage(ui, folder);
            return result;
        }
        Probe probe = ProbeTarget(target);
        if (probe.state != TargetState::Absent && !options.combine) {
            ui.ShowMessage(kRasterExistsMessage);
            result.outcome = MosaicOutcome::Refused;
            return result;
        }
        if (probe.state != TargetState::Raster && options.combine) {
            ui.ShowMessage(kRasterMissingMessage);
            result.outcome = MosaicOutcome::Refused;
            return result;
        }
        const bool geoPackage = target.format == RasterFormat::GeoPackage;
        if (!options.combine && geoPackage && options.pixelType &&
            *options.pixelType != PixelType::U8) {
            return Refuse(std::move(result), ui, kGeoPackageTypeMessage);
        }
        const auto code = mapout::CoordSystemCodeOf(type);
        if (!code) {
            std::string text = "The tile type ";
            AppendInt(text, static_cast<int>(type));
            throw ArgumentError(text + " has no coordinate system");
        }
        const OGRSpatialReference tilesSrs = mapout::SetProjectedCoordSystem(*code);
        if (options.colormapMode) {
            ui.ShowMessage("The colormap mode " + std::string(TextOf(*options.colormapMode)) +
                               " has no effect: palette tiles are expanded to RGB before they are "
                               "mosaicked, so the mosaic has no colour map.",
                           Icon::Information);
        }

        const auto arr = PopulateRasterArr(levelFolder, list, type, level, ui);
        if (!arr) {
            ui.ShowMessage(kLoadRastersFailedMessage);
            return result;
        }
        result.missing = arr->missing;
        result.unreadable = arr->unreadable;
        if (arr->opened == 0) {
            ui.ShowMessage(kNoTilesMessage, Icon::Exclamation);
            return result;
        }

        std::optional<Layout> layout;
        if (options.combine) {
            layout = AppendLayout(*probe.raster, *arr, tilesSrs, options, target, ui);
            if (!layout) {
                result.outcome = MosaicOutcome::Refused;
                return result;
            }
        } else {
            layout =
                NewLayout(*arr, options.pixelType.value_or(PixelType::U8), tilesSrs, geoPackage);
        }

        try {
            std::vector<fs::path> oldFiles;
            if (probe.raster && !target.InDatabase()) {
                const CPLStringList files(probe.raster->GetFileList());
                for (int i = 0; i < files.Count(); ++i) {
                    oldFiles.emplace_back(files[i]);
                }
            } else if (!probe.raster) {
                oldFiles = LeftoverSideFiles(target.File());
            }
            std::error_code ec;
            // A new table in an existing database replaces the database file too.
            const bool replacing = fs::exists(target.File(), ec);
            Staging staging(target);
            {
                GdalErrorCapture capture;
                const bool inCopiedDatabase = target.InDatabase() && fs::exists(staging.File(), ec);
                if (inCopiedDatabase && probe.state == TargetState::Raster) {
                    // The table is rebuilt in the copy; the pixels are read from the original.
                    const std::string table = target.name;
                    GDALDatasetUniquePtr copy(GDALDataset::Open(
                        staging.File().c_str(), GDAL_OF_RASTER | GDAL_OF_VECTOR | GDAL_OF_UPDATE));
                    if (!copy) {
                        throw GdalError(WithReason("The copy of " + target.File().string() +
                                                       " cannot be opened",
                                                   capture.Message()));
                    }
                    DropGeoPackageRaster(*copy, table);
                    CheckWrites(capture, target);
                }
                GDALDatasetUniquePtr out =
                    CreateOutput(staging.File(), target, *layout, inCopiedDatabase);
                if (options.combine) {
                    CopyOldRaster(*probe.raster, *out, *layout, capture, target);
                }
                const WriteCounts counts = WriteTiles(levelFolder, list, type, level, options,
                                                      *layout, *out, capture, target, ui);
                result.placed = counts.placed;
                result.unreadable = counts.unreadable;
                ComputeStatistics(*out, capture, target, ui);
                out.reset();
                CheckWrites(capture, target);
            }
            probe.raster.reset();
            staging.Commit(replacing, oldFiles);
        } catch (const ConvertError &e) {
            ReportException(ui, ProcedureText("ConvertToRGB2 ", "", 0), e, kMessageMode);
            ui.ShowMessage(kConvertFailedMessage);
            return result;
        }
        result.outcome = options.combine ? MosaicOutcome::Appended : MosaicOutcome::Built;
        result.raster = target.OpenName();
    } catch (const std::exception &e) {
        ReportException(ui, ProcedureText(kProcedure, "", 0), e, kMessageMode);
        if (options.combine) {
            ui.ShowMessage(kAppendFailedMessage, Icon::Exclamation);
        }
        result.outcome = MosaicOutcome::Failed;
        result.raster.clear();
    }
    return result;
}

} // namespace tessaro::mosaic
