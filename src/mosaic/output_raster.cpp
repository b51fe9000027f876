#include "mosaic/output_raster.h"

#include "common/error.h"
#include "common/progress.h"
#include "common/text.h"
#include "mapout/spatial_reference.h"

#include <cpl_string.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <system_error>

namespace tessaro::mosaic::detail {

namespace fs = std::filesystem;
using mapout::GdalError;
using mapout::GdalErrorCapture;
using mapout::WithReason;

namespace {

constexpr std::string_view kBlendMessage =
    "MT_BLEND cannot be used when appending to an existing raster: GDAL has no blending by the "
    "distance to the sources' edges. Choose another mosaic type.";

// Old pixels are copied in squares of this side.
constexpr int kCopyChunk = 512;

// Tiles that come as JPEG have lost what JPEG loses once; a high quality keeps a second
// encoding (and a third, when appending) from adding visible blocks.
constexpr const char *kJpegQuality = "90";

// A classic TIFF addresses 4 GiB; BigTIFF is chosen well before the raw pixels could reach it.
constexpr double kBigTiffFrom = 3.5 * 1024 * 1024 * 1024;

// GDAL's progress callback over a progress pass: false (stop) when the user asked to stop.
int CPL_STDCALL ProgressOf(double done, const char *, void *data) {
    auto *pass = static_cast<ProgressPass *>(data);
    try {
        pass->Step(static_cast<std::int64_t>(done * 1000));
    } catch (const RunStopped &) {
        return FALSE;
    }
    return TRUE;
}

void ThrowIfStopped(UiPort &ui) {
    if (ui.StopRequested()) {
        throw RunStopped();
    }
}

// A pixel type as GDAL stores it.
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

std::optional<PixelType> ByteTypeOf(GDALRasterBand &band) {
    const char *nbits = band.GetMetadataItem("NBITS", "IMAGE_STRUCTURE");
    const char *pixelType = band.GetMetadataItem("PIXELTYPE", "IMAGE_STRUCTURE");
    if (pixelType != nullptr && EQUAL(pixelType, "SIGNEDBYTE")) {
        return PixelType::S8;
    }
    switch (nbits != nullptr ? std::atoi(nbits) : 8) {
    case 1:
        return PixelType::U1;
    case 2:
        return PixelType::U2;
    case 3:
    case 4:
        return PixelType::U4;
    default:
        return PixelType::U8;
    }
}

// The pixel type of an existing raster's first band, or nothing for a type the mosaic does
// not write (complex numbers, 64-bit integers).
std::optional<PixelType> PixelTypeOf(GDALRasterBand &band) {
    switch (band.GetRasterDataType()) {
    case GDT_Byte:
        return ByteTypeOf(band);
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

// Why an existing raster cannot take the tiles, or nothing when it can.
std::optional<std::string> AppendRefusal(GDALDataset &old, const std::array<double, 6> &gt,
                                         bool hasGeoTransform, const OGRSpatialReference &tilesSrs,
                                         const MosaicOptions &options, const std::string &name) {
    if (options.mosaicOperator == MosaicOperator::Blend) {
        return std::string(kBlendMessage);
    }
    if (!hasGeoTransform || gt[2] != 0 || gt[4] != 0 || !(gt[1] > 0) || !(gt[5] < 0)) {
        return "The existing raster " + name +
               " has no north-up georeferencing; tiles can be appended only to a raster "
               "whose rows run west to east from the north.";
    }
    const int count = old.GetRasterCount();
    const bool alpha =
        count == 4 && old.GetRasterBand(4)->GetColorInterpretation() == GCI_AlphaBand;
    if (count != 3 && !alpha) {
        std::string text = "The existing raster " + name + " has ";
        AppendInt(text, count);
        return text + (count == 1 ? " band" : " bands") +
               "; tiles can be appended only to a raster of three bands (red, green, blue) "
               "or four with alpha.";
    }
    const auto pixelType = PixelTypeOf(*old.GetRasterBand(1));
    if (!pixelType) {
        return "The existing raster " + name + " holds values of the type " +
               GDALGetDataTypeName(old.GetRasterBand(1)->GetRasterDataType()) +
               ", which tiles cannot be appended to.";
    }
    if (options.pixelType && *options.pixelType != *pixelType) {
        return "The existing raster " + name + " holds \"" + std::string(TextOf(*pixelType)) +
               "\" values, which appended tiles keep; the pixel type \"" +
               std::string(TextOf(*options.pixelType)) + "\" cannot be used.";
    }
    const OGRSpatialReference *oldSrs = old.GetSpatialRef();
    if (oldSrs != nullptr && !mapout::SameCoordinates(*oldSrs, tilesSrs)) {
        return "The existing raster " + name + " is in " + mapout::SystemName(oldSrs) +
               ", the tiles in " + mapout::SystemName(&tilesSrs) +
               "; tiles can be appended only to a raster in their coordinate system.";
    }
    return std::nullopt;
}

CPLStringList CreationOptions(const MosaicTarget &target, const OutputLayout &layout,
                              const StoredType &stored, bool intoExistingDatabase) {
    CPLStringList options;
    switch (target.format) {
    case RasterFormat::GeoTiff:
        options.SetNameValue("TILED", "YES");
        options.SetNameValue("BLOCKXSIZE", "256");
        options.SetNameValue("BLOCKYSIZE", "256");
        options.SetNameValue("BIGTIFF", NeedsBigTiff(layout) ? "YES" : "NO");
        // Blocks no tile touches are left out of the file; readers take them as 0, and the
        // mask as transparent.
        options.SetNameValue("SPARSE_OK", "TRUE");
        // GeoTIFF keys alone name the sphere of ESRI:53004 through a datum code that GDAL may
        // resolve to another radius (GTIFF_SRS_SOURCE=EPSG gives 6 371 007 m); the ESRI PE
        // string written beside them describes the system in full.
        options.SetNameValue("GEOTIFF_KEYS_FLAVOR", "ESRI_PE");
        if (layout.compression == Compression::Jpeg) {
            options.SetNameValue("COMPRESS", "JPEG");
            options.SetNameValue("PHOTOMETRIC", "YCBCR");
            options.SetNameValue("JPEG_QUALITY", kJpegQuality);
            break;
        }
        options.SetNameValue("COMPRESS", "DEFLATE");
        options.SetNameValue("PREDICTOR",
                             stored.gdal == GDT_Float32 || stored.gdal == GDT_Float64 ? "3" : "2");
        if (layout.cogSource) {
            options.SetNameValue("ZLEVEL", "1");
        }
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
    return options;
}

void Georeference(GDALDataset &dataset, const MosaicTarget &target, const OutputLayout &layout,
                  const GdalErrorCapture &capture) {
    // A GeoPackage takes its coordinate system before its grid.
    std::array<double, 6> gt = layout.grid.geoTransform;
    if (dataset.SetSpatialRef(&layout.srs) != CE_None ||
        dataset.SetGeoTransform(gt.data()) != CE_None) {
        throw GdalError(WithReason("GDAL cannot georeference the mosaic " + target.OpenName(),
                                   capture.Message()));
    }
    if (target.format != RasterFormat::GeoPackage) {
        const GDALColorInterp colours[] = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand, GCI_AlphaBand};
        for (int b = 1; b <= std::min(layout.bands, 4); ++b) {
            // Some formats keep no colour interpretation; the pixels are right without it.
            (void)dataset.GetRasterBand(b)->SetColorInterpretation(colours[b - 1]);
        }
    }
}

} // namespace

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

OutputLayout NewLayout(const RasterArr &arr, const OGRSpatialReference &srs,
                       const MosaicOptions &options, RasterFormat format) {
    OutputLayout layout;
    layout.grid = NewGrid(arr.extent, arr.pixelWidth, arr.pixelHeight);
    layout.bands = format == RasterFormat::GeoPackage || format == RasterFormat::Vrt ? 4 : 3;
    layout.pixelType = options.pixelType.value_or(PixelType::U8);
    layout.srs = srs;
    layout.mask = format == RasterFormat::GeoTiff;
    const Compression wanted =
        options.compression.value_or(arr.jpegTiles ? Compression::Jpeg : Compression::Deflate);
    layout.compression = wanted == Compression::Jpeg && layout.pixelType == PixelType::U8
                             ? Compression::Jpeg
                             : Compression::Deflate;
    layout.cogSource = options.cog;
    return layout;
}

bool NeedsBigTiff(const OutputLayout &layout) noexcept {
    const double pixels =
        static_cast<double>(layout.grid.width) * static_cast<double>(layout.grid.height);
    const double bytes = GDALGetDataTypeSizeBytes(StoredTypeOf(layout.pixelType).gdal);
    const double perPixel = layout.bands * bytes + (layout.mask ? 1 : 0);
    // Overviews halving each side add a third.
    return pixels * perPixel * 4 / 3 > kBigTiffFrom;
}

std::vector<int> OverviewFactors(int width, int height) {
    std::vector<int> factors;
    for (int factor = 2; (std::max(width, height) + factor / 2 - 1) / (factor / 2) > 256;
         factor *= 2) {
        factors.push_back(factor);
    }
    return factors;
}

void BuildOverviews(GDALDataset &out, GdalErrorCapture &capture, const MosaicTarget &target,
                    UiPort &ui) {
    const std::vector<int> factors = OverviewFactors(out.GetRasterXSize(), out.GetRasterYSize());
    if (factors.empty()) {
        return;
    }
    ProgressPass pass(ui, kOverviewsLabel, 1000);
    // The overviews of a JPEG GeoTIFF are JPEG in YCbCr too, at the mosaic's quality.
    const char *compression = out.GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE");
    const bool jpeg = compression != nullptr &&
                      std::string_view(compression).find("JPEG") != std::string_view::npos;
    CPLConfigOptionSetter photometric("PHOTOMETRIC_OVERVIEW", jpeg ? "YCBCR" : nullptr, true);
    CPLConfigOptionSetter quality("JPEG_QUALITY_OVERVIEW", kJpegQuality, true);
    const CPLErr err = out.BuildOverviews("AVERAGE", static_cast<int>(factors.size()),
                                          factors.data(), 0, nullptr, ProgressOf, &pass, nullptr);
    ThrowIfStopped(ui);
    if (err != CE_None || capture.HasFailure()) {
        throw GdalError(
            WithReason("GDAL cannot build the overviews of the mosaic " + target.OpenName(),
                       capture.Message()));
    }
}

void WriteCog(const fs::path &source, const fs::path &file, const OutputLayout &layout,
              const MosaicTarget &target, UiPort &ui) {
    GdalErrorCapture capture;
    GDALDriver *driver = GetGDALDriverManager()->GetDriverByName("COG");
    GDALDatasetUniquePtr input(
        GDALDataset::Open(source.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (driver == nullptr || !input) {
        throw GdalError(
            WithReason("GDAL cannot write the cloud-optimised GeoTIFF " + target.OpenName(),
                       capture.Message()));
    }
    CPLStringList options;
    options.SetNameValue("BLOCKSIZE", "256");
    options.SetNameValue("BIGTIFF", NeedsBigTiff(layout) ? "YES" : "NO");
    options.SetNameValue("RESAMPLING", "AVERAGE");
    options.SetNameValue("OVERVIEWS", "IGNORE_EXISTING");
    options.SetNameValue("SPARSE_OK", "TRUE");
    if (layout.compression == Compression::Jpeg && layout.bands == 3) {
        options.SetNameValue("COMPRESS", "JPEG");
        options.SetNameValue("QUALITY", kJpegQuality);
    } else {
        options.SetNameValue("COMPRESS", "DEFLATE");
        options.SetNameValue("PREDICTOR", "YES");
    }
    ProgressPass pass(ui, kCogLabel, 1000);
    GDALDatasetUniquePtr cog(
        driver->CreateCopy(file.c_str(), input.get(), FALSE, options.List(), ProgressOf, &pass));
    ThrowIfStopped(ui);
    if (!cog || capture.HasFailure()) {
        throw GdalError(
            WithReason("GDAL cannot write the cloud-optimised GeoTIFF " + target.OpenName(),
                       capture.Message()));
    }
}

std::optional<OutputLayout> AppendLayout(GDALDataset &old, const RasterArr &arr,
                                         const OGRSpatialReference &tilesSrs,
                                         const MosaicOptions &options, const MosaicTarget &target,
                                         UiPort &ui) {
    std::array<double, 6> gt{};
    const bool hasGeoTransform = old.GetGeoTransform(gt.data()) == CE_None;
    if (const auto refusal =
            AppendRefusal(old, gt, hasGeoTransform, tilesSrs, options, target.OpenName())) {
        ui.ShowMessage(*refusal, Icon::Exclamation);
        return std::nullopt;
    }
    OutputLayout layout;
    layout.appending = true;
    layout.bands = old.GetRasterCount();
    layout.pixelType = *PixelTypeOf(*old.GetRasterBand(1));
    const OGRSpatialReference *oldSrs = old.GetSpatialRef();
    layout.srs = oldSrs != nullptr ? *oldSrs : tilesSrs;
    layout.grid = AppendGrid(gt, old.GetRasterXSize(), old.GetRasterYSize(), arr.extent);
    layout.mask = target.format == RasterFormat::GeoTiff && layout.bands == 3;
    const Compression wanted =
        options.compression.value_or(arr.jpegTiles ? Compression::Jpeg : Compression::Deflate);
    layout.compression = wanted == Compression::Jpeg && layout.pixelType == PixelType::U8
                             ? Compression::Jpeg
                             : Compression::Deflate;
    layout.cogSource = options.cog;
    return layout;
}

GDALDatasetUniquePtr CreateOutput(const fs::path &file, const MosaicTarget &target,
                                  const OutputLayout &layout, bool intoExistingDatabase) {
    GDALDriver *driver =
        GetGDALDriverManager()->GetDriverByName(std::string(DriverOf(target.format)).c_str());
    if (driver == nullptr) {
        throw GdalError("GDAL has no driver " + std::string(DriverOf(target.format)));
    }
    const StoredType stored = StoredTypeOf(layout.pixelType);
    const CPLStringList options = CreationOptions(target, layout, stored, intoExistingDatabase);
    GdalErrorCapture capture;
    GDALDatasetUniquePtr dataset(driver->Create(file.c_str(), layout.grid.width, layout.grid.height,
                                                layout.bands, stored.gdal, options.List()));
    if (!dataset) {
        throw GdalError(
            WithReason("GDAL cannot create the mosaic " + target.OpenName(), capture.Message()));
    }
    Georeference(*dataset, target, layout, capture);
    if (layout.mask) {
        // Inside the GeoTIFF, not in a .msk file beside it.
        CPLConfigOptionSetter internal("GDAL_TIFF_INTERNAL_MASK", "YES", false);
        if (dataset->CreateMaskBand(GMF_PER_DATASET) != CE_None) {
            throw GdalError(WithReason(
                "GDAL cannot give the mosaic " + target.OpenName() + " a mask", capture.Message()));
        }
    }
    if (capture.HasFailure()) {
        throw GdalError(
            WithReason("GDAL cannot set up the mosaic " + target.OpenName(), capture.Message()));
    }
    return dataset;
}

void CheckWrites(const GdalErrorCapture &capture, const MosaicTarget &target) {
    if (capture.HasFailure()) {
        throw GdalError(WithReason("The mosaic " + target.OpenName() + " cannot be written",
                                   capture.Message()));
    }
}

void CopyOldRaster(GDALDataset &old, GDALDataset &out, const OutputLayout &layout,
                   GdalErrorCapture &capture, const MosaicTarget &target) {
    const MosaicGrid &grid = layout.grid;
    const GDALDataType type = old.GetRasterBand(1)->GetRasterDataType();
    const auto bytes = static_cast<std::size_t>(GDALGetDataTypeSizeBytes(type));
    std::vector<unsigned char> buffer(static_cast<std::size_t>(kCopyChunk) * kCopyChunk *
                                      static_cast<std::size_t>(layout.bands) * bytes);
    GDALRasterBand *oldMask = layout.mask ? old.GetRasterBand(1)->GetMaskBand() : nullptr;
    GDALRasterBand *newMask = layout.mask ? out.GetRasterBand(1)->GetMaskBand() : nullptr;
    for (int y = 0; y < grid.oldHeight; y += kCopyChunk) {
        const int h = std::min(kCopyChunk, grid.oldHeight - y);
        for (int x = 0; x < grid.oldWidth; x += kCopyChunk) {
            const int w = std::min(kCopyChunk, grid.oldWidth - x);
            if (old.RasterIO(GF_Read, x, y, w, h, buffer.data(), w, h, type, layout.bands, nullptr,
                             0, 0, 0, nullptr) != CE_None ||
                out.RasterIO(GF_Write, grid.oldX + x, grid.oldY + y, w, h, buffer.data(), w, h,
                             type, layout.bands, nullptr, 0, 0, 0, nullptr) != CE_None ||
                (oldMask != nullptr &&
                 (oldMask->RasterIO(GF_Read, x, y, w, h, buffer.data(), w, h, GDT_Byte, 0, 0,
                                    nullptr) != CE_None ||
                  newMask->RasterIO(GF_Write, grid.oldX + x, grid.oldY + y, w, h, buffer.data(), w,
                                    h, GDT_Byte, 0, 0, nullptr) != CE_None))) {
                throw GdalError(WithReason("The pixels of the existing raster cannot be copied",
                                           capture.Message()));
            }
        }
        out.FlushCache(false);
        CheckWrites(capture, target);
    }
}

} // namespace tessaro::mosaic::detail
