#pragma once

#include "common/ui_port.h"
#include "mosaic/mosaic_codes.h"
#include "mosaic/mosaic_layout.h"
#include "mosaic/mosaic_options.h"
#include "mosaic/raster_format.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <gdal_priv.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro::mosaic {

/// Shown when the mosaic is asked for without an output name.
inline constexpr std::string_view kNoOutputNameMessage = "Не введено имя нового растра";
/// Shown when the output raster exists and appending was not asked for.
inline constexpr std::string_view kRasterExistsMessage =
    "Растр мозаики существует\r\n"
    " - выберите новый или \r\n"
    " - удалите его самостоятельно или\r\n"
    " - отметьте <объединить с существующим>\r\n"
    "   (при этом растр не должен быть открыт в проекте)";
/// Shown when appending was asked for and the output raster does not exist or does not open.
inline constexpr std::string_view kRasterMissingMessage =
    "Растр мозаики НЕ существует или его не удается открыть\r\n"
    " - выберите существующий или \r\n"
    " - снимите отметку <объединить с существующим>\r\n"
    "   (новый растр будет создан)";
/// Shown when the tiles' folder cannot be read (after the folder's own message).
inline constexpr std::string_view kLoadRastersFailedMessage = "Ошибка загрузки растов";
/// Shown when a palette tile cannot be expanded to RGB.
inline constexpr std::string_view kConvertFailedMessage =
    "Ошибка конвертации png файлов из colormap в RGB";
/// Shown, with the exclamation icon, when appending to an existing raster failed; the
/// existing raster is then unchanged.
inline constexpr std::string_view kAppendFailedMessage =
    "Ошибка добавления блоков к существующему растру\r\n"
    "проверьте не открыт ли он в проекте";

/// Progress captions: opening the tiles, writing the mosaic, the follow-up statistics, the
/// overviews, the cloud-optimised copy.
inline constexpr std::string_view kOpenRastersLabel = "Open rasters";
inline constexpr std::string_view kMosaicLabel = "Mosaic rasters";
inline constexpr std::string_view kStatisticsLabel = "Calculate statistics";
inline constexpr std::string_view kOverviewsLabel = "Build overviews";
inline constexpr std::string_view kCogLabel = "Write cloud-optimised GeoTIFF";

/// How a mosaic run ended.
enum class MosaicOutcome {
    Built,    ///< a new raster was written
    Appended, ///< the tiles were added to the existing raster
    Refused,  ///< a check stopped the run before anything was written (the dialog stays open)
    Failed,   ///< the run failed; nothing was written and an existing raster is unchanged
};

/// What BuildMosaic did.
struct MosaicResult {
    MosaicOutcome outcome = MosaicOutcome::Failed;
    /// The name GDAL (or QGIS's "gdal" provider) opens the result by, for adding it to a map:
    /// a file path, or "GPKG:<file>:<table>". Empty unless the outcome is Built or Appended.
    std::string raster;
    /// A name for the map layer: the output name without its extension.
    std::string layerName;
    std::int64_t placed = 0;     ///< tiles written into the mosaic
    std::int64_t missing = 0;    ///< listed tiles not on disk
    std::int64_t unreadable = 0; ///< tile files GDAL could not open or read (left out)
};

/// The tiles of a run that are on disk and open as rasters, as PopulateRasterArr found them:
/// counts and the extent they cover. The tiles themselves are opened again, one at a time,
/// when they are written, so that no run holds more than one tile.
struct RasterArr {
    std::int64_t opened = 0;     ///< tiles that open as rasters: the entries of the array
    std::int64_t missing = 0;    ///< listed tiles not on disk
    std::int64_t unreadable = 0; ///< tile files GDAL does not open as rasters
    Extent extent;               ///< extent of the opened tiles in the tiles' system
    double pixelWidth = 0;       ///< ground size of a tile pixel, from the tile records
    double pixelHeight = 0;      ///< the same northward (positive)
    bool jpegTiles = false;      ///< the first tile that opened is a JPEG image
};

/// Walks a run's tiles in list order and opens every tile file that exists (shaded-relief
/// tiles in their row folders), counting the ones that open as rasters and the extent they
/// cover, from their tile records. Files that do not exist or do not open are counted and
/// passed over without a message. The progress label reads "Open rasters" meanwhile.
///
/// A level folder that cannot be read (not for shaded relief, whose tiles lie below it) gives
/// the error report of OpenRasterWorkspace and the message "Can not open raster workspase!"
/// CR LF "Folder: " and the folder; a row folder that exists but cannot be read gives the
/// same with the row folder. Other errors are reported under "PopulateRasterArr ".
///
/// @returns the array, or nothing when a folder could not be read or an error occurred.
/// Complexity: one stat and one GDAL open (headers only) per tile; memory does not grow with
/// the number of tiles.
[[nodiscard]] std::optional<RasterArr> PopulateRasterArr(const std::filesystem::path &levelFolder,
                                                         const tiles::TileList &list,
                                                         tiles::TilesType type, int level,
                                                         UiPort &ui);

/// A tile opened for the mosaic: the dataset GDAL opened and, once converted, the RGB view on
/// it. The view reads through the tile, so both live together.
class TileRaster {
public:
    explicit TileRaster(GDALDatasetUniquePtr tile) : m_tile(std::move(tile)) {}

    /// The dataset to read pixels from: the RGB view when there is one, else the tile.
    [[nodiscard]] GDALDataset &Pixels() const noexcept { return m_rgb ? *m_rgb : *m_tile; }
    /// True when the tile's first band has a colour table (a palette image).
    [[nodiscard]] bool HasPalette() const;

private:
    friend void ConvertToRGB2(TileRaster &tile);
    GDALDatasetUniquePtr m_tile;
    GDALDatasetUniquePtr m_rgb; // declared last: closed before the tile it reads
};

/// Replaces a palette tile by an RGB version of it: a virtual dataset (GDAL's VRT, made by
/// GDALTranslate with "-expand rgb"; nothing is written) whose red, green and blue bands look
/// the index band up in the colour table. A tile without a colour table stays as it is.
/// BuildMosaic converts every palette tile, which in practice are the PNG map tiles of Google
/// and Yandex (TilesType 1 and 51).
/// @throws mapout::GdalError naming GDAL's reason when GDAL cannot expand the tile.
void ConvertToRGB2(TileRaster &tile);

/// Builds the mosaic of a run's tiles, as the mosaic dialog's Ok button does.
///
/// Checks first, each stopping the run with its message (outcome Refused, nothing written):
/// an empty output name ("Не введено имя нового растра"); an output whose extension names no
/// format ("Invalid raster format"); a name without extension, which would be an ArcInfo GRID
/// that GDAL cannot write (a message naming .tif and .img instead); a File Geodatabase
/// location, where GDAL cannot write rasters; an output that exists (or a file of that name
/// that GDAL cannot open) while appending is not asked for (kRasterExistsMessage); appending
/// to an output that does not exist or does not open (kRasterMissingMessage); an operator,
/// pixel type or coordinate system appending cannot honour; appending to a virtual mosaic
/// (.vrt), which only points at tile files; a compression or a cloud-optimised output asked of
/// another format than GeoTIFF. An output that does not exist yet is the normal case of a new
/// mosaic and gives no message.
///
/// A new mosaic covers the union of the tiles that open, in the coordinate system of the
/// source (ESRI:53004 or ESRI:54004), with the tiles' pixel size; tiles are copied pixel for
/// pixel, palette tiles expanded to RGB (ConvertToRGB2), into three bands (red, green, blue;
/// a grey tile fills all three). Pixels no tile covers are 0 and transparent: a GeoTIFF of
/// three bands carries an internal mask (GDAL's per-dataset mask) that is set only where a tile
/// lies, a GeoPackage or VRT an alpha band. GeoTIFFs are tiled 256 × 256, compressed by
/// options.compression (JPEG in YCbCr at quality 90 for JPEG tiles, DEFLATE with a
/// horizontal predictor for PNG tiles by default), sparse (blocks no tile touches take no
/// room), BigTIFF when the pixels with their overviews could pass 4 GB, with internal
/// overviews (halving down to 256 pixels, averaged where tiles lie), and carry their
/// coordinate system also as an ESRI PE string, so that GDAL reads the 6 371 000 m sphere back
/// whatever its GTIFF_SRS_SOURCE setting. With options.cog the GeoTIFF is written by GDAL's
/// COG driver from a lossless copy (overviews and the mask included). GeoPackage tiles are
/// PNG, lossless. A ".vrt" output is a virtual mosaic: an XML file of the tiles' places that
/// reads the tile files where they lie (named relative to the output's folder), expanding
/// palette tiles through their colour table; no pixel is copied, so it is built in about the
/// time the tiles take to open, and it has no statistics.
///
/// Appending rebuilds the raster over the union of its extent and the tiles', on its own
/// pixel grid, coordinate system, pixel type and band layout: its pixels are copied, then the
/// tiles are written over them by the operator (default MT_LAST: tiles replace old pixels
/// where they lie; the old pixels stay everywhere else), resampled when they do not fall on
/// its grid. The raster must have no rotation, three bands (four for a GeoPackage, whose
/// fourth is alpha) and the tiles' coordinate system (or none, which is then taken to be
/// theirs).
///
/// Either way the raster is built aside — in a hidden folder beside the output, or in a copy
/// of the GeoPackage — and takes the output's place only when complete, side files included:
/// any failure (a full disk, a GDAL error) leaves an existing raster as it was, byte for byte,
/// and leaves no partial file behind. The follow-up step computes the statistics of every
/// band, which GDAL stores with the raster. Tiles that are missing or do not open are left out
/// silently (the result counts them).
///
/// Unexpected errors are reported under "cmdOk_Click Mocaic raster " (message-box mode);
/// when appending they are followed by kAppendFailedMessage with the exclamation icon.
/// Complexity: two GDAL opens per tile and one pass over the pixels; memory holds one tile,
/// one strip of the old raster and GDAL's block cache, which is flushed every few tiles and
/// held to 64 MB during the run, so it does not grow with the number of tiles. The overviews
/// and the cloud-optimised copy read the mosaic once more each.
[[nodiscard]] MosaicResult BuildMosaic(const std::filesystem::path &levelFolder,
                                       const tiles::TileList &list, tiles::TilesType type,
                                       int level, const MosaicOptions &options, UiPort &ui);

/// A mosaic the user chose and built in the desktop's mosaic dialog, and whether they asked
/// for it on the map.
struct MosaicChoice {
    /// Built or Appended with the raster's name, or Failed after its messages were shown.
    MosaicResult mosaic;
    /// The caller adds mosaic.raster to the map as a layer named mosaic.layerName when the
    /// run built or appended it.
    bool addToMap = false;
};

/// Shows the mosaic dialog for a run's tiles, builds what the user chose and returns it;
/// nothing when the user cancelled.
using MosaicDialog = std::function<std::optional<MosaicChoice>(
    const std::filesystem::path &levelFolder, const tiles::TileList &list, tiles::TilesType type,
    int level)>;

/// The checks BuildMosaic makes of its output before it reads a tile (the name, its format,
/// the folder, and whether the output exists as "combine" expects), made before a run
/// downloads anything, so that a run never fetches its tiles and then refuses its mosaic.
/// Shows the refusal's message and returns false when BuildMosaic would refuse.
[[nodiscard]] bool CheckMosaicTarget(const MosaicOptions &options, UiPort &ui);

} // namespace tessaro::mosaic
