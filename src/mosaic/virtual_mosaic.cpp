#include "mosaic/virtual_mosaic.h"

#include "common/error.h"
#include "common/text.h"
#include "mapout/gdal_support.h"
#include "mapout/spatial_reference.h"

#include <cpl_string.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <tuple>
#include <vector>

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

VirtualSource VirtualMosaic::SourceOf(const fs::path &file, GDALDataset &tile) const {
    VirtualSource source;
    std::tie(source.name, source.relative) = SourceName(file, m_folder);
    GDALRasterBand &first = *tile.GetRasterBand(1);
    source.palette =
        first.GetColorTable() != nullptr && first.GetColorInterpretation() == GCI_PaletteIndex;
    first.GetBlockSize(&source.blockX, &source.blockY);
    source.width = tile.GetRasterXSize();
    source.height = tile.GetRasterYSize();
    source.bands = tile.GetRasterCount();
    source.dataType = GDALGetDataTypeName(first.GetRasterDataType());
    return source;
}

void VirtualMosaic::Add(const fs::path &tileFile, GDALDataset &tile, const Placement &p) {
    Add(SourceOf(tileFile, tile), p);
}

void VirtualMosaic::Add(const VirtualSource &source, const Placement &p) {
    for (std::size_t b = 0; b < m_bands.size(); ++b) {
        const bool alpha = b == 3;
        // A plain source is copied as it is; the others look values up or scale them. A
        // source with its own alpha band gives it as it is.
        const bool opaque = alpha && !source.hasAlpha;
        const bool complex = (source.palette && !alpha) || opaque;
        const char *element = complex ? "ComplexSource" : "SimpleSource";
        int sourceBand = static_cast<int>(b) + 1;
        if (opaque || source.palette || source.bands < 3) {
            sourceBand = 1;
        }
        std::string &out = m_element;
        out.clear();
        out += "    <";
        out += element;
        out += ">\n      <SourceFilename relativeToVRT=\"";
        out += source.relative ? "1" : "0";
        out += "\">";
        AppendEscaped(out, source.name);
        out += "</SourceFilename>\n      <SourceBand>";
        AppendInt(out, sourceBand);
        out += "</SourceBand>\n      <SourceProperties RasterXSize=\"";
        AppendInt(out, source.width);
        out += "\" RasterYSize=\"";
        AppendInt(out, source.height);
        out += "\" DataType=\"";
        out += source.dataType;
        out += "\" BlockXSize=\"";
        AppendInt(out, source.blockX);
        out += "\" BlockYSize=\"";
        AppendInt(out, source.blockY);
        out += "\"/>\n";
        if (p.aligned) {
            AppendRect(out, "SrcRect", 0, 0, p.width, p.height);
        } else {
            AppendRect(out, "SrcRect", p.srcX, p.srcY, p.srcWidth, p.srcHeight);
        }
        AppendRect(out, "DstRect", p.x, p.y, p.width, p.height);
        if (opaque) {
            out += "      <ScaleOffset>255</ScaleOffset>\n      <ScaleRatio>0</ScaleRatio>\n";
        } else if (source.palette && !alpha) {
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

// The side of a level mosaic's chunks in pixels: 32 × 32 tiles of 256 pixels, so that a VRT
// GDAL opens holds at most about four thousand sources.
constexpr int kChunkPixels = 32 * 256;

// Calls visit(path, dataset, ground, geotransform) for every tile image below a folder that GDAL
// opens with a north-up georeferencing.
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
    // The tiles, read once: about 150 bytes each.
    struct Tile {
        detail::VirtualSource source;
        Extent ground;
        Placement place;
    };
    std::vector<Tile> found;
    double pixelWidth = 0;
    double pixelHeight = 0;
    ForEachTile(levelFolder, output,
                [&](const fs::path &path, GDALDataset &tile, const Extent &ground,
                    const std::array<double, 6> &gt) {
                    detail::VirtualSource source;
                    source.name = path.string();
                    GDALRasterBand &first = *tile.GetRasterBand(1);
                    source.palette = first.GetColorTable() != nullptr &&
                                     first.GetColorInterpretation() == GCI_PaletteIndex;
                    first.GetBlockSize(&source.blockX, &source.blockY);
                    source.width = tile.GetRasterXSize();
                    source.height = tile.GetRasterYSize();
                    source.bands = tile.GetRasterCount();
                    source.dataType = GDALGetDataTypeName(first.GetRasterDataType());
                    if (found.empty()) {
                        pixelWidth = gt[1];
                        pixelHeight = -gt[5];
                    }
                    found.push_back({std::move(source), ground, {}});
                });
    if (found.empty()) {
        return 0;
    }
    Extent extent = found.front().ground;
    for (const Tile &tile : found) {
        extent.Include(tile.ground);
    }
    detail::OutputLayout layout;
    layout.bands = 4;
    layout.grid = NewGrid(extent, pixelWidth, pixelHeight);
    if (const auto code = mapout::CoordSystemCodeOf(type)) {
        layout.srs = mapout::SetProjectedCoordSystem(*code);
    }
    // Tiles go into square chunks of the grid, one small VRT each, in chunk order.
    for (Tile &tile : found) {
        tile.place = Place(tile.ground, tile.source.width, tile.source.height, layout.grid);
    }
    std::erase_if(found, [](const Tile &t) { return t.place.width <= 0 || t.place.height <= 0; });
    std::stable_sort(found.begin(), found.end(), [](const Tile &a, const Tile &b) {
        return std::pair(a.place.y / kChunkPixels, a.place.x / kChunkPixels) <
               std::pair(b.place.y / kChunkPixels, b.place.x / kChunkPixels);
    });
    const fs::path folder = output.parent_path().empty() ? fs::path(".") : output.parent_path();
    const std::string prefix = output.stem().string() + "-";
    std::string chunkFolderName = (folder / (prefix + "XXXXXX")).string();
    if (::mkdtemp(chunkFolderName.data()) == nullptr) {
        throw FileError("The level mosaic " + output.string() + " cannot be written in " +
                        folder.string());
    }
    const fs::path chunkFolder = chunkFolderName;
    std::error_code absoluteError;
    const fs::path absoluteChunks = fs::absolute(chunkFolder, absoluteError).lexically_normal();
    const fs::path working = output.string() + ".tessaro-new";
    try {
        detail::VirtualMosaic top(working, folder, layout);
        for (std::size_t start = 0; start < found.size();) {
            const int chunkX = found[start].place.x / kChunkPixels * kChunkPixels;
            const int chunkY = found[start].place.y / kChunkPixels * kChunkPixels;
            std::size_t end = start;
            while (end < found.size() &&
                   found[end].place.x / kChunkPixels * kChunkPixels == chunkX &&
                   found[end].place.y / kChunkPixels * kChunkPixels == chunkY) {
                ++end;
            }
            detail::OutputLayout chunk = layout;
            chunk.grid.width = std::min(kChunkPixels, layout.grid.width - chunkX);
            chunk.grid.height = std::min(kChunkPixels, layout.grid.height - chunkY);
            chunk.grid.geoTransform[0] += chunkX * layout.grid.geoTransform[1];
            chunk.grid.geoTransform[3] += chunkY * layout.grid.geoTransform[5];
            const fs::path chunkFile =
                chunkFolder / (std::to_string(chunkX / kChunkPixels) + "_" +
                               std::to_string(chunkY / kChunkPixels) + ".vrt");
            {
                detail::VirtualMosaic part(chunkFile, chunkFolder, chunk);
                for (std::size_t i = start; i < end; ++i) {
                    Tile &tile = found[i];
                    tile.place.x -= chunkX;
                    tile.place.y -= chunkY;
                    std::tie(tile.source.name, tile.source.relative) =
                        detail::SourceName(tile.source.name, absoluteChunks);
                    part.Add(tile.source, tile.place);
                }
                part.Finish();
            }
            detail::VirtualSource source;
            source.name = (chunkFolder.filename() / chunkFile.filename()).string();
            source.relative = true;
            source.width = chunk.grid.width;
            source.height = chunk.grid.height;
            source.bands = 4;
            source.hasAlpha = true;
            source.blockX = 128;
            source.blockY = 128;
            source.dataType = "Byte";
            Placement place;
            place.x = chunkX;
            place.y = chunkY;
            place.width = chunk.grid.width;
            place.height = chunk.grid.height;
            place.aligned = true;
            top.Add(source, place);
            start = end;
        }
        top.Finish();
    } catch (...) {
        std::error_code ec;
        fs::remove_all(chunkFolder, ec);
        throw;
    }
    std::error_code ec;
    fs::rename(working, output, ec);
    if (ec) {
        fs::remove(working, ec);
        fs::remove_all(chunkFolder, ec);
        throw FileError("The level mosaic " + output.string() +
                        " cannot be written: " + ec.message());
    }
    // The chunks of the mosaic it replaced.
    for (const auto &entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.path() != chunkFolder && name.size() == prefix.size() + 6 &&
            name.compare(0, prefix.size(), prefix) == 0 && entry.is_directory(ec)) {
            fs::remove_all(entry.path(), ec);
        }
    }
    return static_cast<std::int64_t>(found.size());
}

} // namespace tessaro::mosaic
