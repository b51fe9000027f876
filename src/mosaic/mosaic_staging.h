#pragma once

// Building a mosaic aside and putting it into place only when it is complete.

#include "mosaic/raster_format.h"

#include <filesystem>
#include <vector>

namespace tessaro::mosaic::detail {

/// A hidden folder beside the output in which the raster is built under its final name (so
/// that a format that names its own side files after the raster, IMAGINE's spill file for one,
/// keeps them right), with a copy of the database when the raster goes into an existing one.
/// Removed with everything in it when done, committed or not.
///
/// The folder is named after the output (".tessaro-mosaic-<output file name>-XXXXXX") and
/// holds an advisory lock (flock) for as long as it lives. A run killed before it could
/// remove its folder leaves it behind unlocked, and the next run on the same output removes
/// it; the folder of a run still going on is locked and left alone.
class Staging {
public:
    /// Removes the folders that killed runs on this output left behind, makes and locks the
    /// working folder and, for a raster table in an existing database, copies the database
    /// into it.
    /// @throws FileError naming the folder or the database (DiskFull when the disk is full).
    explicit Staging(const MosaicTarget &target);
    Staging(const Staging &) = delete;
    Staging &operator=(const Staging &) = delete;
    ~Staging();

    /// The file to build: the output's (or the database's) name in the working folder.
    [[nodiscard]] std::filesystem::path File() const { return m_folder / m_target.filename(); }

    /// Moves every file built into the output's folder, side files first and the raster (or
    /// database) last, then removes the files of the replaced raster that the new one has not
    /// replaced (stale overviews, statistics, world files).
    /// @param replacing true when the output file existed before the run; otherwise an output
    ///        that appeared meanwhile is left alone and the commit fails.
    /// @throws FileError when a file cannot be moved into place.
    void Commit(bool replacing, const std::vector<std::filesystem::path> &oldFiles);

private:
    void Remove() noexcept;

    std::filesystem::path m_target;
    std::filesystem::path m_folder;
    int m_lock = -1; // the working folder, open and locked
};

/// Returns the side files beside a raster file of this name that GDAL would take as part of
/// it (.aux.xml, .ovr, a world file, …): left behind by a raster that was deleted without
/// them, they would lend a new one stale statistics, overviews or another georeferencing.
[[nodiscard]] std::vector<std::filesystem::path>
LeftoverSideFiles(const std::filesystem::path &file);

} // namespace tessaro::mosaic::detail
