#include "mapout/spatial_reference.h"

#include "common/atomic_file.h"
#include "common/error.h"
#include "common/error_report.h"
#include "common/progress.h"
#include "common/text.h"
#include "download/image_check.h"
#include "mapout/gdal_support.h"
#include "tiles/tile_files.h"

#include <cpl_conv.h>
#include <cpl_minixml.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

namespace tessaro::mapout {

namespace fs = std::filesystem;

namespace {

// Factory codes are ESRI well-known ids, which coincide with EPSG codes wherever EPSG defines
// the system; the others (53004, 54004) exist only in ESRI's register.
OGRSpatialReference CoordSystemOfCode(int code, bool projected) {
    EnsureGdalRegistered();
    GdalErrorCapture capture;
    for (const char *authority : {"EPSG:", "ESRI:"}) {
        std::string name = authority;
        AppendInt(name, code);
        OGRSpatialReference srs;
        if (srs.SetFromUserInput(name.c_str()) == OGRERR_NONE &&
            (projected ? srs.IsProjected() : srs.IsGeographic()) != 0) {
            srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
            return srs;
        }
    }
    std::string message = projected ? "There is no projected coordinate system with code "
                                    : "There is no geographic coordinate system with code ";
    AppendInt(message, code);
    throw GdalError(WithReason(message, capture.Message()));
}

// The PROJ definition of a system; empty when it has none.
std::string ProjText(const OGRSpatialReference &srs) {
    char *text = nullptr;
    std::string result;
    if (srs.exportToProj4(&text) == OGRERR_NONE && text != nullptr) {
        result = text;
    }
    CPLFree(text);
    return result;
}

std::string ReadSmallFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct XmlTreeDeleter {
    void operator()(CPLXMLNode *node) const noexcept { CPLDestroyXMLNode(node); }
};

// Compares side files against the coordinate system of a run. GDAL writes the SRS element
// as the WKT that exportToWkt gives, so comparing the text settles almost every file without
// asking PROJ; any other spelling (another GDAL version, another program) is parsed and
// compared as a coordinate system.
class SideFileCheck {
public:
    explicit SideFileCheck(const OGRSpatialReference &srs) : m_srs(srs) {
        char *wkt = nullptr;
        if (srs.exportToWkt(&wkt) == OGRERR_NONE && wkt != nullptr) {
            m_wkt = wkt;
        }
        CPLFree(wkt);
    }

    [[nodiscard]] bool Holds(const fs::path &sideFile) const {
        std::error_code ec;
        if (!fs::is_regular_file(sideFile, ec)) {
            return false;
        }
        const std::string content = ReadSmallFile(sideFile);
        if (content.empty()) {
            return false;
        }
        GdalErrorCapture quiet;
        std::unique_ptr<CPLXMLNode, XmlTreeDeleter> root(CPLParseXMLString(content.c_str()));
        if (!root) {
            return false;
        }
        const char *text = CPLGetXMLValue(root.get(), "=PAMDataset.SRS", nullptr);
        if (text == nullptr || *text == '\0') {
            return false;
        }
        if (!m_wkt.empty() && m_wkt == text) {
            return true;
        }
        OGRSpatialReference found;
        if (found.SetFromUserInput(text) != OGRERR_NONE) {
            return false;
        }
        // A PROJ string names no datum, which IsSame holds against an otherwise equal
        // system; the same PROJ string describes the same coordinates.
        return found.IsSame(&m_srs) != 0 || (!m_proj.empty() && ProjText(found) == m_proj);
    }

private:
    const OGRSpatialReference &m_srs;
    std::string m_wkt;
    std::string m_proj = ProjText(m_srs);
};

// The side file GDAL writes for a tile given a spatial reference, without the image-structure
// notes it derives again on every open: the SRS element as GDAL's PAM code builds it, with the
// axis order of the data.
std::string SideFileText(const OGRSpatialReference &srs) {
    char *wkt = nullptr;
    if (srs.exportToWkt(&wkt) != OGRERR_NONE || wkt == nullptr) {
        CPLFree(wkt);
        throw GdalError("The coordinate system " + SystemName(&srs) + " cannot be written as WKT");
    }
    std::unique_ptr<CPLXMLNode, XmlTreeDeleter> root(
        CPLCreateXMLNode(nullptr, CXT_Element, "PAMDataset"));
    CPLXMLNode *element = CPLCreateXMLElementAndValue(root.get(), "SRS", wkt);
    CPLFree(wkt);
    std::string mapping;
    for (const int axis : srs.GetDataAxisToSRSAxisMapping()) {
        if (!mapping.empty()) {
            mapping += ',';
        }
        AppendInt(mapping, axis);
    }
    CPLAddXMLAttributeAndValue(element, "dataAxisToSRSAxisMapping", mapping.c_str());
    char *text = CPLSerializeXMLTree(root.get());
    std::string result = text != nullptr ? text : "";
    CPLFree(text);
    return result;
}

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
    SideFileWriter(const OGRSpatialReference &srs, SpatRefSummary &summary)
        : m_text(SideFileText(srs)), m_summary(summary) {}

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
        if (download::ImageCheck(tile) == 0) {
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
    const std::string m_text;
    SpatRefSummary &m_summary;
};

} // namespace

OGRSpatialReference SetProjectedCoordSystem(int code) {
    return CoordSystemOfCode(code, true);
}

OGRSpatialReference SetGeographicCoordSystem(int code) {
    return CoordSystemOfCode(code, false);
}

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

bool SameCoordinates(const OGRSpatialReference &a, const OGRSpatialReference &b) {
    if (a.IsSame(&b) != 0) {
        return true;
    }
    const std::string pa = ProjText(a);
    return !pa.empty() && pa == ProjText(b);
}

std::string SystemName(const OGRSpatialReference *srs) {
    const char *name = srs != nullptr ? srs->GetName() : nullptr;
    return name != nullptr ? name : "an unnamed coordinate system";
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

fs::path SideFilePath(const fs::path &tile) {
    fs::path side = tile;
    side += ".aux.xml";
    return side;
}

bool SideFileHolds(const fs::path &sideFile, const OGRSpatialReference &srs) {
    EnsureGdalRegistered();
    return SideFileCheck(srs).Holds(sideFile);
}

SpatRefSummary SetRasterSpatRef(const fs::path &levelFolder, TileSequence tiles,
                                tiles::TilesType type, int level, UiPort &ui) {
    SpatRefSummary summary;
    const auto code = CoordSystemCodeOf(type);
    if (!code || tiles::ImageExtension(type).empty()) {
        return summary;
    }
    if (type != tiles::TilesType::Shade && type != tiles::TilesType::Xyz &&
        !OpenRasterWorkspace(levelFolder, ui)) {
        ui.ShowMessage(RasterWorkspaceMessage(levelFolder));
        return summary;
    }
    summary.completed = RunTrapped(ui, "SetRasterSpatRef ", [&] {
        SideFileWriter writer(SetProjectedCoordSystem(*code), summary);
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

} // namespace tessaro::mapout
