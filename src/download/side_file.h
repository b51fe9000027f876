#pragma once

#include "common/ui_port.h"
#include "tiles/tile_sequence.h"
#include "tiles/tiles_type.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro::download {

/// Factory code of the sphere Mercator (R = 6 371 000 m) of Google and shaded-relief tiles.
inline constexpr int kSphereMercator = 53004;
/// Factory code of the World Mercator on WGS 84 of ScanEx and Yandex tiles.
inline constexpr int kWorldMercator = 54004;
/// EPSG code of the web-mercator plane of the template sources (EPSG:3857).
inline constexpr int kWebMercator = 3857;

/// Caption of the progress label while tiles get their coordinate system.
inline constexpr std::string_view kSetSpatialReferenceLabel = "Set Spatial Reference";

/// Returns the factory code of the coordinate system of a tile type: 53004 for Google and
/// shaded relief, 54004 for every code from 50 to 59 and for ScanEx, 3857 for template
/// sources; nothing for any other.
[[nodiscard]] std::optional<int> CoordSystemCodeOf(tiles::TilesType type) noexcept;

/// Returns the side file that records a tile type's coordinate system, as GDAL writes it (its
/// PAMDataset with the SRS element, prepared when the program was built); empty for a type
/// without a coordinate system.
[[nodiscard]] std::string_view SideFileText(tiles::TilesType type) noexcept;

/// Returns the path of the side file in which GDAL records a tile's spatial reference: the
/// whole file name followed by ".aux.xml" ("a.jpg" → "a.jpg.aux.xml").
[[nodiscard]] std::filesystem::path SideFilePath(const std::filesystem::path &tile);

/// Returns a folder as messages show it: its path ending with the separator.
[[nodiscard]] std::string FolderText(const std::filesystem::path &folder);

/// Returns the message shown when a folder of rasters cannot be read:
/// "Can not open raster workspase!" CR LF "Folder: " and the folder (FolderText).
[[nodiscard]] std::string RasterWorkspaceMessage(const std::filesystem::path &folder);

/// Returns folder when it is a folder whose entries can be listed. Otherwise reports the
/// cause through the error report under "OpenRasterWorkSpace " (message-box mode) and
/// returns nothing.
[[nodiscard]] std::optional<std::filesystem::path>
OpenRasterWorkspace(const std::filesystem::path &folder, UiPort &ui);

/// What SetRasterSpatRef did with the tiles of a run.
struct SpatRefSummary {
    std::int64_t assigned = 0;   ///< tiles that got the coordinate system now
    std::int64_t alreadySet = 0; ///< tiles that had a side file already (left as it is)
    std::int64_t missing = 0;    ///< tiles not on disk
    std::int64_t notRaster = 0;  ///< files that are no image (skipped silently)
    bool completed = false;      ///< false when the run ended early (workspace, error)
};

/// Gives every tile of a run that lies on disk the coordinate system of its source: a side
/// file (SideFilePath) holding SideFileText, written aside and put in place only when whole,
/// so that a full disk, a crash or a kill never leaves one half written.
///
/// Tiles not on disk, tiles with a side file already (the user's, or another run's, whatever
/// it holds; it is left as it is) and files that are not images (an error page saved under a
/// tile name) are passed over without a message.
///
/// A type outside the table of coordinate systems does nothing and shows nothing. Unless the
/// type is shaded relief or a template source (whose tiles lie in subfolders), a level folder
/// that cannot be opened ends the run with the error report of OpenRasterWorkspace and the
/// message "Can not open raster workspase!" CR LF "Folder: " and the folder. Any other error
/// (a side file that cannot be written: a full disk, a read-only folder, a folder in its
/// place) stops the run at that tile: the progress is cleared and the error is reported under
/// "SetRasterSpatRef ", naming the tile and the cause; tiles done before keep their
/// coordinate system, later ones get none. The progress label reads "Set Spatial Reference"
/// while the bar runs over the tiles; both are cleared at the end.
///
/// Complexity: a header read and one small file per tile without a side file, two stats per
/// tile otherwise; memory does not grow with the number of tiles.
SpatRefSummary SetRasterSpatRef(const std::filesystem::path &levelFolder, tiles::TileSequence tiles,
                                tiles::TilesType type, int level, UiPort &ui);

} // namespace tessaro::download
