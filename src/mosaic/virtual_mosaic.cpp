#include "mosaic/virtual_mosaic.h"

#include "common/error.h"
#include "common/text.h"
#include "mapout/gdal_support.h"
#include "mapout/spatial_reference.h"

#include <cpl_string.h>

#include <algorithm>
#include <system_error>

namespace tessaro::mosaic::detail {

namespace fs = std::filesystem;

namespace {

constexpr std::array<const char *, 4> kColours{"Red", "Green", "Blue", "Alpha"};

void AppendEscaped(std::string &out, const std::string &text) {
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
}

void AppendRect(std::string &out, const char *element, double x, double y, double w, double h) {
    out += "      <";
    out += element;
    out += " xOff=\"";
    AppendDouble(out, x);
    out += "\" yOff=\"";
    AppendDouble(out, y);
    out += "\" xSize=\"";
    AppendDouble(out, w);
    out += "\" ySize=\"";
    AppendDouble(out, h);
    out += "\"/>\n";
}

// The tile's name as its sources give it: relative to the mosaic's folder when it can be.
std::pair<std::string, bool> SourceName(const fs::path &tile, const fs::path &folder) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(tile, ec).lexically_normal();
    const fs::path relative = absolute.lexically_relative(folder);
    if (ec || relative.empty()) {
        return {absolute.string(), false};
    }
    return {relative.string(), true};
}

} // namespace

VirtualMosaic::VirtualMosaic(fs::path file, const fs::path &outputFolder,
                             const OutputLayout &layout)
    : m_file(std::move(file)), m_layout(layout) {
    std::error_code ec;
    m_folder = fs::absolute(outputFolder, ec).lexically_normal();
    for (std::size_t b = 0; b < m_bands.size(); ++b) {
        m_bands[b].open(BandFile(b), std::ios::binary | std::ios::trunc);
        if (!m_bands[b]) {
            throw FileError("The virtual mosaic " + m_file.string() + " cannot be written");
        }
    }
}

VirtualMosaic::~VirtualMosaic() {
    std::error_code ec;
    for (std::size_t b = 0; b < m_bands.size(); ++b) {
        m_bands[b].close();
        fs::remove(BandFile(b), ec);
    }
    if (!m_finished) {
        fs::remove(m_file, ec);
    }
}

fs::path VirtualMosaic::BandFile(std::size_t band) const {
    return m_file.string() + ".band" + std::to_string(band + 1);
}

void VirtualMosaic::Add(const fs::path &tileFile, GDALDataset &tile, const Placement &p) {
    const auto [name, relative] = SourceName(tileFile, m_folder);
    GDALRasterBand &first = *tile.GetRasterBand(1);
    const bool palette =
        first.GetColorTable() != nullptr && first.GetColorInterpretation() == GCI_PaletteIndex;
    int blockX = 0;
    int blockY = 0;
    first.GetBlockSize(&blockX, &blockY);
    const int tileBands = tile.GetRasterCount();
    for (std::size_t b = 0; b < m_bands.size(); ++b) {
        const bool alpha = b == 3;
        // A plain source is copied as it is; the others look values up or scale them.
        const bool complex = palette || alpha;
        const char *element = complex ? "ComplexSource" : "SimpleSource";
        const int sourceBand = palette || alpha || tileBands < 3 ? 1 : static_cast<int>(b) + 1;
        std::string &out = m_element;
        out.clear();
        out += "    <";
        out += element;
        out += ">\n      <SourceFilename relativeToVRT=\"";
        out += relative ? "1" : "0";
        out += "\">";
        AppendEscaped(out, name);
        out += "</SourceFilename>\n      <SourceBand>";
        AppendInt(out, sourceBand);
        out += "</SourceBand>\n      <SourceProperties RasterXSize=\"";
        AppendInt(out, tile.GetRasterXSize());
        out += "\" RasterYSize=\"";
        AppendInt(out, tile.GetRasterYSize());
        out += "\" DataType=\"";
        out += GDALGetDataTypeName(first.GetRasterDataType());
        out += "\" BlockXSize=\"";
        AppendInt(out, blockX);
        out += "\" BlockYSize=\"";
        AppendInt(out, blockY);
        out += "\"/>\n";
        if (p.aligned) {
            AppendRect(out, "SrcRect", 0, 0, p.width, p.height);
        } else {
            AppendRect(out, "SrcRect", p.srcX, p.srcY, p.srcWidth, p.srcHeight);
        }
        AppendRect(out, "DstRect", p.x, p.y, p.width, p.height);
        if (alpha) {
            out += "      <ScaleOffset>255</ScaleOffset>\n      <ScaleRatio>0</ScaleRatio>\n";
        } else if (palette) {
            out += "      <ColorTableComponent>";
            AppendInt(out, static_cast<std::int64_t>(b) + 1);
            out += "</ColorTableComponent>\n";
        }
        out += "    </";
        out += element;
        out += ">\n";
        m_bands[b] << out;
    }
}

void VirtualMosaic::Finish() {
    const MosaicGrid &grid = m_layout.grid;
    std::string head = "<VRTDataset rasterXSize=\"";
    AppendInt(head, grid.width);
    head += "\" rasterYSize=\"";
    AppendInt(head, grid.height);
    head += "\">\n  <SRS dataAxisToSRSAxisMapping=\"1,2\">";
    char *wkt = nullptr;
    (void)m_layout.srs.exportToWkt(&wkt); // an empty system leaves the SRS empty
    AppendEscaped(head, wkt != nullptr ? wkt : "");
    CPLFree(wkt);
    head += "</SRS>\n  <GeoTransform>";
    for (std::size_t i = 0; i < grid.geoTransform.size(); ++i) {
        head += i == 0 ? " " : ", ";
        AppendDouble(head, grid.geoTransform[i]);
    }
    head += "</GeoTransform>\n";
    std::ofstream out(m_file, std::ios::binary | std::ios::trunc);
    out << head;
    for (std::size_t b = 0; b < m_bands.size(); ++b) {
        m_bands[b].close();
        if (m_bands[b].fail()) {
            break;
        }
        out << "  <VRTRasterBand dataType=\"Byte\" band=\"" << b + 1 << "\">\n    <ColorInterp>"
            << kColours[b] << "</ColorInterp>\n";
        std::ifstream in(BandFile(b), std::ios::binary);
        if (in.peek() != std::ifstream::traits_type::eof()) {
            out << in.rdbuf();
        }
        out << "  </VRTRasterBand>\n";
    }
    out << "</VRTDataset>\n";
    out.flush();
    if (!out || std::any_of(m_bands.begin(), m_bands.end(),
                            [](const std::ofstream &band) { return band.fail(); })) {
        throw FileError("The virtual mosaic " + m_file.string() + " cannot be written");
    }
    out.close();
    m_finished = !out.fail();
    if (!m_finished) {
        throw FileError("The virtual mosaic " + m_file.string() + " cannot be written");
    }
}

} // namespace tessaro::mosaic::detail

namespace tessaro::mosaic {

namespace fs = std::filesystem;

namespace {

// Calls visit(path, dataset, ground) for every tile image below a folder that GDAL opens with a
// north-up georeferencing.
template <typename Visit>
void ForEachTile(const fs::path &folder, const fs::path &skip, Visit &&visit) {
    CPLConfigOptionSetter noListing("GDAL_DISABLE_READDIR_ON_OPEN", "TRUE", false);
    mapout::GdalErrorCapture quiet;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path &path = it->path();
        const std::string extension = path.extension().string();
        if (!it->is_regular_file(ec) || path == skip ||
            !(EQUAL(extension.c_str(), ".jpg") || EQUAL(extension.c_str(), ".png"))) {
            continue;
        }
        GDALDatasetUniquePtr tile(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
        std::array<double, 6> gt{};
        if (!tile || tile->GetGeoTransform(gt.data()) != CE_None || gt[2] != 0 || gt[4] != 0 ||
            !(gt[1] > 0) || !(gt[5] < 0)) {
            continue;
        }
        const Extent ground{gt[0], gt[3] + gt[5] * tile->GetRasterYSize(),
                            gt[0] + gt[1] * tile->GetRasterXSize(), gt[3]};
        visit(path, *tile, ground, gt);
    }
    if (ec) {
        throw FileError("The tile folder " + folder.string() + " cannot be read: " + ec.message());
    }
}

} // namespace

std::int64_t BuildLevelMosaic(const fs::path &levelFolder, tiles::TilesType type,
                              const fs::path &output) {
    mapout::EnsureGdalRegistered();
    detail::OutputLayout layout;
    layout.bands = 4;
    std::int64_t count = 0;
    Extent extent;
    double pixelWidth = 0;
    double pixelHeight = 0;
    ForEachTile(levelFolder, output,
                [&](const fs::path &, GDALDataset &, const Extent &ground,
                    const std::array<double, 6> &gt) {
                    if (count++ == 0) {
                        extent = ground;
                        pixelWidth = gt[1];
                        pixelHeight = -gt[5];
                    } else {
                        extent.Include(ground);
                    }
                });
    if (count == 0) {
        return 0;
    }
    layout.grid = NewGrid(extent, pixelWidth, pixelHeight);
    if (const auto code = mapout::CoordSystemCodeOf(type)) {
        layout.srs = mapout::SetProjectedCoordSystem(*code);
    }
    const fs::path working = output.string() + ".tessaro-new";
    {
        detail::VirtualMosaic vrt(working, output.parent_path(), layout);
        count = 0;
        ForEachTile(levelFolder, output,
                    [&](const fs::path &path, GDALDataset &tile, const Extent &ground,
                        const std::array<double, 6> &) {
                        const Placement p = Place(ground, tile.GetRasterXSize(),
                                                  tile.GetRasterYSize(), layout.grid);
                        if (p.width > 0 && p.height > 0) {
                            vrt.Add(path, tile, p);
                            ++count;
                        }
                    });
        vrt.Finish();
    }
    std::error_code ec;
    fs::rename(working, output, ec);
    if (ec) {
        fs::remove(working, ec);
        throw FileError("The level mosaic " + output.string() +
                        " cannot be written: " + ec.message());
    }
    return count;
}

} // namespace tessaro::mosaic
