#pragma once

// A virtual mosaic: GDAL's VRT, an XML file that says where every tile file lies in the
// mosaic and reads the tiles themselves when it is drawn.

#include "mosaic/mosaic_layout.h"
#include "mosaic/output_raster.h"
#include "tiles/tiles_type.h"

#include <gdal_priv.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>

namespace tessaro::mosaic::detail {

/// A raster a virtual mosaic reads: a tile file, or another virtual mosaic.
struct VirtualSource {
    std::string name; ///< the file, relative to the mosaic's folder when relative is set
    bool relative = false;
    int width = 0;
    int height = 0;
    int bands = 0;
    bool palette = false;  ///< its first band indexes a colour table
    bool hasAlpha = false; ///< its band 4 is alpha, given as it is
    int blockX = 0;
    int blockY = 0;
    std::string dataType = "Byte";
};

/// Writes a virtual mosaic of four bytes a pixel: red, green and blue from the tiles (a palette
/// tile through its colour table, a grey tile's one band thrice) and alpha, opaque where a tile
/// lies. Tile files are named relative to the folder the mosaic goes into, so that the two can
/// move together.
///
/// Each band's sources are written to a file of their own beside the mosaic while the tiles
/// come, and joined at Finish, so that memory does not grow with the number of tiles.
/// Complexity: one source element per band and tile, about 1.5 kB per tile on disk.
class VirtualMosaic {
public:
    /// Starts the mosaic at file, whose sources name tile files relative to outputFolder.
    /// @throws FileError when the files cannot be created.
    VirtualMosaic(std::filesystem::path file, const std::filesystem::path &outputFolder,
                  const OutputLayout &layout);
    VirtualMosaic(const VirtualMosaic &) = delete;
    VirtualMosaic &operator=(const VirtualMosaic &) = delete;
    /// Removes the band files (and the mosaic, unless Finish completed it).
    ~VirtualMosaic();

    /// Adds a tile file, opened as tile, at its placement in the mosaic's grid.
    /// @pre the placement is not empty.
    void Add(const std::filesystem::path &tileFile, GDALDataset &tile, const Placement &p);
    /// Adds a source described in full (without opening it).
    void Add(const VirtualSource &source, const Placement &p);

    /// Writes the mosaic's head, the band files in turn and its tail into file.
    /// @throws FileError naming the file when it cannot be written whole.
    void Finish();

private:
    std::filesystem::path BandFile(std::size_t band) const;
    VirtualSource SourceOf(const std::filesystem::path &file, GDALDataset &tile) const;

    std::filesystem::path m_file;
    std::filesystem::path m_folder; // absolute, for the tiles' relative names
    const OutputLayout &m_layout;
    std::array<std::ofstream, 4> m_bands;
    std::string m_element; // reused for each source element
    bool m_finished = false;
};

} // namespace tessaro::mosaic::detail

namespace tessaro::mosaic {

/// Writes a virtual mosaic (as VirtualMosaic) of every tile image in a level folder and the
/// folders below it (relief rows, template columns), each placed by its world file and drawn
/// in the coordinate system of the tiles' type, to output, which it replaces whole when
/// complete. The tiles go into chunks of 32 × 32 tiles, each a VRT of its own in a folder
/// beside output (named after it, with a random end; the chunks of the mosaic replaced are
/// removed), which output reads as its sources: GDAL opens output in the time of a few hundred
/// sources and a chunk only when a view reaches it, so that a level of 100 000 tiles opens at
/// once with little memory. Files GDAL does not open, or opens without georeferencing, are
/// passed over. Returns the number of tiles in the mosaic (0 writes nothing).
/// @throws tessaro::Error naming the folder or the output when it cannot be read or written.
/// Complexity: one GDAL open (headers only) per tile; memory about 150 bytes per tile.
std::int64_t BuildLevelMosaic(const std::filesystem::path &levelFolder, tiles::TilesType type,
                              const std::filesystem::path &output);

} // namespace tessaro::mosaic
