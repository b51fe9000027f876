#include "mosaic/raster_format.h"

#include <cpl_port.h>

#include <system_error>

namespace tessaro::mosaic {

namespace fs = std::filesystem;

namespace {

bool HasExtension(const fs::path &path, const char *extension) {
    return EQUAL(path.extension().string().c_str(), extension);
}

} // namespace

RasterFormat FormatOfName(std::string_view name) noexcept {
    const auto dot = name.find('.');
    if (dot == std::string_view::npos) {
        return RasterFormat::Grid;
    }
    const std::string extension(name.substr(dot));
    if (EQUAL(extension.c_str(), ".tif")) {
        return RasterFormat::GeoTiff;
    }
    if (EQUAL(extension.c_str(), ".img")) {
        return RasterFormat::Imagine;
    }
    if (EQUAL(extension.c_str(), ".vrt")) {
        return RasterFormat::Vrt;
    }
    return RasterFormat::Invalid;
}

std::string_view DriverOf(RasterFormat format) noexcept {
    switch (format) {
    case RasterFormat::GeoTiff:
        return "GTiff";
    case RasterFormat::Imagine:
        return "HFA";
    case RasterFormat::GeoPackage:
        return "GPKG";
    case RasterFormat::Vrt:
        return "VRT";
    default:
        return {};
    }
}

fs::path MosaicTarget::File() const {
    return InDatabase() ? location : location / name;
}

std::string MosaicTarget::OpenName() const {
    if (format == RasterFormat::GeoPackage) {
        return "GPKG:" + location.string() + ":" + name;
    }
    return File().string();
}

MosaicTarget ResolveMosaicTarget(const fs::path &output) {
    MosaicTarget target;
    fs::path parent = output.parent_path();
    const std::string last = output.filename().string();
    if (!parent.empty() && !last.empty()) {
        if (HasExtension(parent, ".gpkg")) {
            target.format = RasterFormat::GeoPackage;
        } else if (HasExtension(parent, ".gdb")) {
            target.format = RasterFormat::FileGeodatabase;
        }
        if (target.InDatabase()) {
            target.location = parent;
            target.name = last;
            return target;
        }
    }
    if (HasExtension(output, ".gpkg")) {
        target.format = RasterFormat::GeoPackage;
        target.location = output;
        target.name = output.stem().string();
        return target;
    }
    target.location = parent.empty() ? fs::path(".") : parent;
    target.name = last;
    target.format = FormatOfName(last);
    return target;
}

} // namespace tessaro::mosaic
