// Writes the side files GDAL records for the tile grids' coordinate systems as C++ string
// literals, one "{code, text}," line each, into the file its argument names. The build runs it
// so that the program writes side files without loading GDAL.
//
// A side file holds what GDAL's PAM code writes for a raster given a spatial reference: the
// SRS element with the system's WKT and the axis order of the data, without the
// image-structure notes GDAL derives again on every open.

#include <cpl_conv.h>
#include <cpl_minixml.h>
#include <gdal.h>
#include <ogr_spatialref.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

namespace {

struct XmlTreeDeleter {
    void operator()(CPLXMLNode *node) const noexcept { CPLDestroyXMLNode(node); }
};

// The projected system of a factory code: its EPSG code where EPSG defines one, else ESRI's
// (53004 and 54004 exist only in ESRI's register). GIS axis order, as for every raster.
bool ProjectedSystem(int code, OGRSpatialReference &srs) {
    for (const char *authority : {"EPSG:", "ESRI:"}) {
        const std::string name = authority + std::to_string(code);
        if (srs.SetFromUserInput(name.c_str()) == OGRERR_NONE && srs.IsProjected() != 0) {
            srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
            return true;
        }
    }
    return false;
}

std::string SideFile(const OGRSpatialReference &srs) {
    char *wkt = nullptr;
    if (srs.exportToWkt(&wkt) != OGRERR_NONE || wkt == nullptr) {
        CPLFree(wkt);
        return {};
    }
    std::unique_ptr<CPLXMLNode, XmlTreeDeleter> root(
        CPLCreateXMLNode(nullptr, CXT_Element, "PAMDataset"));
    CPLXMLNode *element = CPLCreateXMLElementAndValue(root.get(), "SRS", wkt);
    CPLFree(wkt);
    std::string mapping;
    for (const int axis : srs.GetDataAxisToSRSAxisMapping()) {
        mapping += (mapping.empty() ? "" : ",") + std::to_string(axis);
    }
    CPLAddXMLAttributeAndValue(element, "dataAxisToSRSAxisMapping", mapping.c_str());
    char *text = CPLSerializeXMLTree(root.get());
    std::string result = text != nullptr ? text : "";
    CPLFree(text);
    return result;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::cerr << "Usage: " << argv[0] << " OUTPUT\n";
        return 2;
    }
    GDALAllRegister();
    CPLPushErrorHandler(CPLQuietErrorHandler); // a code EPSG does not know is tried with ESRI
    std::string out = "// Made by side_file_texts_main.cpp with GDAL " +
                      std::string(GDALVersionInfo("RELEASE_NAME")) + "; do not edit.\n";
    for (const int code : {53004, 54004, 3857}) {
        OGRSpatialReference srs;
        const std::string text = ProjectedSystem(code, srs) ? SideFile(srs) : std::string();
        if (text.empty() || text.find(")tessaro\"") != std::string::npos) {
            std::cerr << "No side file for the coordinate system " << code << "\n";
            return 1;
        }
        out += "{" + std::to_string(code) + ", R\"tessaro(" + text + ")tessaro\"},\n";
    }
    // Written aside and renamed, so that an interrupted build leaves no half file behind.
    const std::string temporary = std::string(argv[1]) + ".part";
    {
        std::ofstream file(temporary, std::ios::binary);
        file << out;
        if (!file.flush()) {
            std::cerr << "Cannot write " << temporary << "\n";
            return 1;
        }
    }
    if (std::rename(temporary.c_str(), argv[1]) != 0) {
        std::cerr << "Cannot rename " << temporary << " to " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
