#include "download/side_file.h"

#include "common/atomic_file.h"
#include "common/error.h"
#include "common/error_report.h"
#include "common/progress.h"
#include "common/text.h"
#include "download/image_check.h"
#include "tiles/tile_files.h"

#include <system_error>

namespace tessaro::download {

namespace fs = std::filesystem;

namespace {

// The side files GDAL writes for the tile grids' coordinate systems, made by GDAL itself when
// the program was built (mapout/side_file_texts_main.cpp), so that writing them needs no GDAL.
struct PreparedSideFile {
    int code;
    std::string_view text;
};
constexpr PreparedSideFile kSideFiles[] = {
#include "side_file_texts.inc"
};

[[noreturn]] void ThrowNotRecorded(const fs::path &tile, const std::string &cause,
                                   ErrorNumber number) {
    throw FileError("The coordinate system of " + tile.string() + " cannot be recorded: " + cause,
                    number);
}

// Gives the tiles of one run their coordinate system, one tile at a time, and counts what it
// found in the summary. Every side file is written aside and put in place only when whole,
// and never over a file that is there by then.
class SideFileWriter {
public:
    SideFileWriter(std::string_view text, SpatRefSummary &summary)
        : m_text(text), m_summary(summary) {}

    /// @throws FileError when the tile's side file cannot be written.
    void Visit(const fs::path &tile) {
        const fs::path side = SideFilePath(tile);
        std::error_code ec;
        if (!fs::is_regular_file(tile, ec)) {
            ++m_summary.missing;
            return;
        }
        // A side file on disk is the user's or an earlier run's, and stays as it is.
        const fs::file_status sideStatus = fs::status(side, ec);
        if (fs::is_regular_file(sideStatus)) {
            ++m_summary.alreadySet;
            return;
        }
        if (fs::exists(sideStatus)) {
            ThrowNotRecorded(tile, side.string() + " is not a file.", ErrorNumber::PathFileAccess);
        }
        if (ImageCheck(tile) == 0) {
            ++m_summary.notRaster;
            return;
        }
        try {
            AtomicFile file(side, AtomicFile::Mode::CreateNew);
            file.Write(m_text);
            file.Commit();
        } catch (const AtomicFile::TargetExists &) {
            if (!fs::is_regular_file(side, ec)) {
                ThrowNotRecorded(tile, side.string() + " is not a file.",
                                 ErrorNumber::PathFileAccess);
            }
            ++m_summary.alreadySet; // another run wrote it meanwhile; it stays
            return;
        } catch (const FileError &e) {
            ThrowNotRecorded(tile, e.what(), static_cast<ErrorNumber>(e.Number()));
        }
        ++m_summary.assigned;
    }

private:
    const std::string_view m_text;
    SpatRefSummary &m_summary;
};

} // namespace

std::optional<int> CoordSystemCodeOf(tiles::TilesType type) noexcept {
    using tiles::TilesType;
    switch (type) {
    case TilesType::GoogleSat:
    case TilesType::GoogleMap:
    case TilesType::GoogleLand:
    case TilesType::Shade:
        return kSphereMercator;
    case TilesType::ScanSat:
    case TilesType::ScanMap:
        return kWorldMercator;
    case TilesType::Xyz:
        return kWebMercator;
    default:
        break;
    }
    const int code = static_cast<int>(type);
    if (code >= 50 && code <= 59) {
        return kWorldMercator;
    }
    return std::nullopt;
}

std::string_view SideFileText(tiles::TilesType type) noexcept {
    const auto code = CoordSystemCodeOf(type);
    for (const auto &prepared : kSideFiles) {
        if (code == prepared.code) {
            return prepared.text;
        }
    }
    return {};
}

fs::path SideFilePath(const fs::path &tile) {
    fs::path side = tile;
    side += ".aux.xml";
    return side;
}

std::string FolderText(const fs::path &folder) {
    std::string text = folder.string();
    if (text.empty() || text.back() != fs::path::preferred_separator) {
        text += fs::path::preferred_separator;
    }
    return text;
}

std::string RasterWorkspaceMessage(const fs::path &folder) {
    std::string text = "Can not open raster workspase!";
    text += kCrLf;
    text += "Folder: ";
    text += FolderText(folder);
    return text;
}

std::optional<fs::path> OpenRasterWorkspace(const fs::path &folder, UiPort &ui) {
    auto opened = RunTrapped(ui, "OpenRasterWorkSpace ", [&] {
        std::error_code ec;
        const auto status = fs::status(folder, ec);
        if (!fs::exists(status)) {
            throw FileError("The folder " + FolderText(folder) + " does not exist",
                            ErrorNumber::PathNotFound);
        }
        if (!fs::is_directory(status)) {
            throw FileError("The path " + folder.string() + " is not a folder",
                            ErrorNumber::PathNotFound);
        }
        fs::directory_iterator probe(folder, ec);
        if (ec) {
            throw FileError("The folder " + FolderText(folder) + " cannot be read: " + ec.message(),
                            ErrorNumber::PermissionDenied);
        }
        return folder;
    });
    return opened;
}

SpatRefSummary SetRasterSpatRef(const fs::path &levelFolder, tiles::TileSequence tiles,
                                tiles::TilesType type, int level, UiPort &ui) {
    SpatRefSummary summary;
    const std::string_view text = SideFileText(type);
    if (text.empty() || tiles::ImageExtension(type).empty()) {
        return summary;
    }
    if (type != tiles::TilesType::Shade && type != tiles::TilesType::Xyz &&
        !OpenRasterWorkspace(levelFolder, ui)) {
        ui.ShowMessage(RasterWorkspaceMessage(levelFolder));
        return summary;
    }
    summary.completed = RunTrapped(ui, "SetRasterSpatRef ", [&] {
        SideFileWriter writer(text, summary);
        ProgressPass progress(ui, kSetSpatialReferenceLabel, tiles.Size());
        tiles::TileRecord record;
        std::int64_t i = 0;
        while (tiles.Next(record)) {
            writer.Visit(tiles::FindTilePath(levelFolder, type, record, level));
            progress.Step(i++);
        }
    });
    return summary;
}

} // namespace tessaro::download
