#include "mapout/spatial_reference.h"

#include "common/error.h"
#include "common/text.h"
#include "mapout/gdal_support.h"

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

} // namespace

OGRSpatialReference SetProjectedCoordSystem(int code) {
    return CoordSystemOfCode(code, true);
}

OGRSpatialReference SetGeographicCoordSystem(int code) {
    return CoordSystemOfCode(code, false);
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

bool SideFileHolds(const fs::path &sideFile, const OGRSpatialReference &srs) {
    EnsureGdalRegistered();
    return SideFileCheck(srs).Holds(sideFile);
}

} // namespace tessaro::mapout
