#include "mosaic/tile_store.h"

#include "common/error.h"
#include "common/error_report.h"
#include "common/file_lock.h"
#include "common/progress.h"
#include "common/text.h"
#include "mapout/gdal_support.h"
#include "tiles/tile_files.h"
#include "tiles/web_mercator_grid.h"

#include <cpl_string.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <system_error>

#include <unistd.h>

namespace tessaro::mosaic {

namespace fs = std::filesystem;
using mapout::GdalError;
using mapout::GdalErrorCapture;
using mapout::WithReason;

namespace {

constexpr std::string_view kProcedure = "WriteTileStore ";
constexpr std::string_view kStoreLabel = "Store tiles";
constexpr std::size_t kReasonRoom = 300;

// The tiles' table of an MBTiles file, and the one of a GeoPackage unless named otherwise.
constexpr const char *kMbTilesSchema =
    "CREATE TABLE IF NOT EXISTS metadata (name TEXT, value TEXT);"
    "CREATE UNIQUE INDEX IF NOT EXISTS metadata_name ON metadata (name);"
    "CREATE TABLE IF NOT EXISTS tiles (zoom_level INTEGER, tile_column INTEGER, "
    "tile_row INTEGER, tile_data BLOB);"
    "CREATE UNIQUE INDEX IF NOT EXISTS tile_index ON tiles (zoom_level, tile_column, tile_row)";

constexpr const char *kGeoPackageSchema =
    "CREATE TABLE IF NOT EXISTS gpkg_tile_matrix_set (table_name TEXT NOT NULL PRIMARY KEY, "
    "srs_id INTEGER NOT NULL, min_x DOUBLE NOT NULL, min_y DOUBLE NOT NULL, "
    "max_x DOUBLE NOT NULL, max_y DOUBLE NOT NULL, "
    "CONSTRAINT fk_gtms_table_name FOREIGN KEY (table_name) REFERENCES "
    "gpkg_contents(table_name), CONSTRAINT fk_gtms_srs FOREIGN KEY (srs_id) REFERENCES "
    "gpkg_spatial_ref_sys (srs_id));"
    "CREATE TABLE IF NOT EXISTS gpkg_tile_matrix (table_name TEXT NOT NULL, "
    "zoom_level INTEGER NOT NULL, matrix_width INTEGER NOT NULL, "
    "matrix_height INTEGER NOT NULL, tile_width INTEGER NOT NULL, "
    "tile_height INTEGER NOT NULL, pixel_x_size DOUBLE NOT NULL, "
    "pixel_y_size DOUBLE NOT NULL, CONSTRAINT pk_ttm PRIMARY KEY (table_name, zoom_level), "
    "CONSTRAINT fk_tmm_table_name FOREIGN KEY (table_name) REFERENCES "
    "gpkg_contents(table_name))";

// Appends a double in the shortest text that reads back as the same value ("." decimals).
void AppendExact(std::string &out, double value) {
    std::array<char, 32> text{};
    const auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(), value);
    out.append(text.data(), ec == std::errc() ? end : text.data());
}

std::string Quoted(const std::string &text, char quote) {
    std::string out(1, quote);
    for (const char c : text) {
        out += c;
        if (c == quote) {
            out += c;
        }
    }
    return out + quote;
}

// The image kind of a tile's bytes: "jpg", "png", or empty for anything else.
std::string_view ImageKind(const std::string &bytes) {
    if (bytes.size() > 3 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xD8) {
        return "jpg";
    }
    if (bytes.size() > 8 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0) {
        return "png";
    }
    return {};
}

bool ReadWhole(const fs::path &path, std::string &bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// A store being written: a working copy beside the store (the store's bytes, or nothing for
// a new one) under a name its GDAL driver opens, which replaces the store when complete.
class WorkingCopy {
public:
    WorkingCopy(const fs::path &store, StoreFormat format) : m_store(store) {
        const fs::path folder = store.parent_path().empty() ? fs::path(".") : store.parent_path();
        std::string pattern =
            (folder / ("." + store.filename().string() + ".tessaro-XXXXXX")).string();
        const int fd = ::mkstemp(pattern.data());
        if (fd < 0) {
            throw FileError("The tile store " + store.string() + " cannot be written in " +
                            folder.string());
        }
        ::close(fd);
        m_reserved = pattern;
        // GDAL's SQLite driver leaves .mbtiles files to the MBTiles driver, which has no SQL.
        m_file = pattern + (format == StoreFormat::MbTiles ? ".sqlite" : ".gpkg");
        std::error_code ec;
        if (fs::exists(store, ec)) {
            fs::copy_file(store, m_file, fs::copy_options::overwrite_existing, ec);
            if (ec) {
                Remove();
                throw FileError("The tile store " + store.string() +
                                " cannot be copied: " + ec.message());
            }
            m_existed = true;
        }
    }
    WorkingCopy(const WorkingCopy &) = delete;
    WorkingCopy &operator=(const WorkingCopy &) = delete;
    ~WorkingCopy() { Remove(); }

    [[nodiscard]] const fs::path &File() const noexcept { return m_file; }
    [[nodiscard]] bool Existed() const noexcept { return m_existed; }

    void Commit() {
        std::error_code ec;
        fs::rename(m_file, m_store, ec);
        if (ec) {
            throw FileError("The tile store " + m_store.string() +
                            " cannot be replaced: " + ec.message());
        }
    }

private:
    void Remove() noexcept {
        std::error_code ec;
        fs::remove(m_file, ec);
        fs::remove(m_file.string() + "-journal", ec);
        fs::remove(m_reserved, ec);
    }

    fs::path m_store;
    fs::path m_reserved; // the name mkstemp made, kept until the end so that it stays ours
    fs::path m_file;
    bool m_existed = false;
};

// Runs SQL statements; a failure throws with SQLite's reason.
class Sql {
public:
    Sql(GDALDataset &db, GdalErrorCapture &capture, const fs::path &store)
        : m_db(db), m_capture(capture), m_store(store) {}

    void Run(const std::string &statement) {
        m_db.ReleaseResultSet(m_db.ExecuteSQL(statement.c_str(), nullptr, "SQLITE"));
        Check();
    }

    // Runs a script of statements separated by ";" (no ";" inside them) one after the other.
    void RunScript(std::string_view script) {
        std::size_t start = 0;
        while (start < script.size()) {
            const std::size_t end = std::min(script.find(';', start), script.size());
            Run(std::string(script.substr(start, end - start)));
            start = end + 1;
        }
    }

    // The integers of the rows a SELECT gives, each row's fields in order.
    std::vector<std::vector<std::int64_t>> Rows(const std::string &query) {
        std::vector<std::vector<std::int64_t>> rows;
        OGRLayer *result = m_db.ExecuteSQL(query.c_str(), nullptr, "SQLITE");
        Check();
        if (result == nullptr) {
            return rows;
        }
        for (auto &feature : *result) {
            std::vector<std::int64_t> row;
            for (int i = 0; i < feature->GetFieldCount(); ++i) {
                row.push_back(feature->IsFieldSetAndNotNull(i) ? feature->GetFieldAsInteger64(i)
                                                               : -1);
            }
            rows.push_back(std::move(row));
        }
        m_db.ReleaseResultSet(result);
        return rows;
    }

    void Check() {
        if (m_capture.HasFailure()) {
            // SQLite quotes the statement, which holds a whole tile: its start is enough.
            std::string reason = m_capture.Message();
            if (reason.size() > kReasonRoom) {
                reason = reason.substr(0, kReasonRoom) + "…";
            }
            throw GdalError(
                WithReason("The tile store " + m_store.string() + " cannot be written", reason));
        }
    }

private:
    GDALDataset &m_db;
    GdalErrorCapture &m_capture;
    const fs::path &m_store;
};

// The extent of tiles at one zoom on the web-mercator square, in metres.
struct Bounds {
    double west = HUGE_VAL;
    double south = HUGE_VAL;
    double east = -HUGE_VAL;
    double north = -HUGE_VAL;

    void Include(int zoom, std::int64_t minX, std::int64_t maxX, std::int64_t minY,
                 std::int64_t maxY) {
        const auto grid = tiles::WebMercatorGrid::ForZoom(zoom);
        west = std::min(west, grid.ColToX(static_cast<std::int32_t>(minX)));
        east = std::max(east, grid.ColToX(static_cast<std::int32_t>(maxX + 1)));
        north = std::max(north, grid.RowToY(static_cast<std::int32_t>(minY)));
        south = std::min(south, grid.RowToY(static_cast<std::int32_t>(maxY + 1)));
    }
};

double Longitude(double x) {
    return x / tiles::kWebMercatorOrigin * 180.0;
}
double Latitude(double y) {
    return std::atan(std::sinh(y / tiles::kWebMercatorOrigin * M_PI)) * 180.0 / M_PI;
}

// A store being filled: its schema, the tiles, then the metadata that follow them.
class StoreWriter {
public:
    StoreWriter(GDALDataset &db, StoreFormat format, const fs::path &store, const StoreInfo &info,
                GdalErrorCapture &capture)
        : m_sql(db, capture, store), m_store(store), m_format(format), m_info(info),
          m_table(format == StoreFormat::MbTiles ? "tiles" : store.stem().string()) {}

    void Prepare() {
        if (m_format == StoreFormat::MbTiles) {
            m_sql.RunScript(kMbTilesSchema);
            return;
        }
        const auto other = m_sql.Rows("SELECT COUNT(*) FROM gpkg_contents WHERE table_name = " +
                                      Quoted(m_table, '\'') + " AND data_type <> 'tiles'");
        if (!other.empty() && other[0][0] > 0) {
            throw ArgumentError("The GeoPackage " + m_store.string() + " holds a layer " + m_table +
                                " that is not a tile table; name the store otherwise.");
        }
        m_sql.RunScript(kGeoPackageSchema);
        m_sql.Run("CREATE TABLE IF NOT EXISTS " + Quoted(m_table, '"') +
                  " (id INTEGER PRIMARY KEY AUTOINCREMENT, zoom_level INTEGER NOT NULL, "
                  "tile_column INTEGER NOT NULL, tile_row INTEGER NOT NULL, tile_data BLOB NOT "
                  "NULL, UNIQUE (zoom_level, tile_column, tile_row))");
        OGRSpatialReference webMercator;
        webMercator.importFromEPSG(3857);
        char *wkt = nullptr;
        (void)webMercator.exportToWkt(&wkt);
        const std::string definition = wkt != nullptr ? wkt : "undefined";
        CPLFree(wkt);
        m_sql.Run("INSERT OR IGNORE INTO gpkg_spatial_ref_sys (srs_name, srs_id, organization, "
                  "organization_coordsys_id, definition) VALUES ('WGS 84 / Pseudo-Mercator', "
                  "3857, 'EPSG', 3857, " +
                  Quoted(definition, '\'') + ")");
        std::string square;
        for (const double v : {-tiles::kWebMercatorOrigin, -tiles::kWebMercatorOrigin,
                               tiles::kWebMercatorOrigin, tiles::kWebMercatorOrigin}) {
            square += ", ";
            AppendExact(square, v);
        }
        m_sql.Run("INSERT OR IGNORE INTO gpkg_contents (table_name, data_type, identifier, "
                  "description, srs_id) VALUES (" +
                  Quoted(m_table, '\'') + ", 'tiles', " + Quoted(m_info.name, '\'') + ", " +
                  Quoted(m_info.attribution, '\'') + ", 3857)");
        m_sql.Run("INSERT OR IGNORE INTO gpkg_tile_matrix_set VALUES (" + Quoted(m_table, '\'') +
                  ", 3857" + square + ")");
    }

    void Add(const XyzTile &tile, const std::string &bytes, std::string_view kind) {
        if (m_kind.empty()) {
            m_kind = kind;
        }
        const std::int64_t row =
            m_format == StoreFormat::MbTiles ? (std::int64_t{1} << tile.zoom) - 1 - tile.y : tile.y;
        std::string &sql = m_statement;
        sql = "INSERT OR REPLACE INTO " + Quoted(m_table, '"') +
              " (zoom_level, tile_column, tile_row, tile_data) VALUES (";
        AppendInt(sql, tile.zoom);
        sql += ", ";
        AppendInt(sql, tile.x);
        sql += ", ";
        AppendInt(sql, row);
        sql += ", X'";
        static constexpr char kHex[] = "0123456789ABCDEF";
        for (const char c : bytes) {
            const auto b = static_cast<unsigned char>(c);
            sql += kHex[b >> 4];
            sql += kHex[b & 15];
        }
        sql += "')";
        m_sql.Run(sql);
    }

    // The metadata of every tile the store now holds.
    void Finish() {
        const auto zooms = m_sql.Rows(
            "SELECT zoom_level, MIN(tile_column), MAX(tile_column), MIN(tile_row), MAX(tile_row) "
            "FROM " +
            Quoted(m_table, '"') + " GROUP BY zoom_level ORDER BY zoom_level");
        if (zooms.empty()) {
            return;
        }
        Bounds bounds;
        for (const auto &z : zooms) {
            const int zoom = static_cast<int>(z[0]);
            const std::int64_t last = (std::int64_t{1} << zoom) - 1;
            if (m_format == StoreFormat::MbTiles) {
                bounds.Include(zoom, z[1], z[2], last - z[4], last - z[3]);
            } else {
                bounds.Include(zoom, z[1], z[2], z[3], z[4]);
                AddTileMatrix(zoom);
            }
        }
        const int minZoom = static_cast<int>(zooms.front()[0]);
        const int maxZoom = static_cast<int>(zooms.back()[0]);
        if (m_format == StoreFormat::MbTiles) {
            std::string text;
            AppendDouble(text, Longitude(bounds.west));
            text += ',';
            AppendDouble(text, Latitude(bounds.south));
            text += ',';
            AppendDouble(text, Longitude(bounds.east));
            text += ',';
            AppendDouble(text, Latitude(bounds.north));
            Meta("bounds", text);
            Meta("minzoom", std::to_string(minZoom));
            Meta("maxzoom", std::to_string(maxZoom));
            Meta("name", m_info.name);
            Meta("attribution", m_info.attribution);
            Meta("type", "baselayer");
            Meta("version", "1.3");
            // A store keeps the format it was made with; a mixed one says its first.
            m_sql.Run("INSERT OR IGNORE INTO metadata VALUES ('format', " +
                      Quoted(std::string(m_kind.empty() ? "png" : m_kind), '\'') + ")");
            return;
        }
        std::string extent = "UPDATE gpkg_contents SET min_x = ";
        AppendExact(extent, bounds.west);
        extent += ", min_y = ";
        AppendExact(extent, bounds.south);
        extent += ", max_x = ";
        AppendExact(extent, bounds.east);
        extent += ", max_y = ";
        AppendExact(extent, bounds.north);
        extent += ", last_change = strftime('%Y-%m-%dT%H:%M:%fZ','now') WHERE table_name = " +
                  Quoted(m_table, '\'');
        m_sql.Run(extent);
    }

private:
    void Meta(const char *name, const std::string &value) {
        m_sql.Run("INSERT OR REPLACE INTO metadata VALUES ('" + std::string(name) + "', " +
                  Quoted(value, '\'') + ")");
    }

    void AddTileMatrix(int zoom) {
        const auto grid = tiles::WebMercatorGrid::ForZoom(zoom);
        std::string sql =
            "INSERT OR IGNORE INTO gpkg_tile_matrix VALUES (" + Quoted(m_table, '\'') + ", ";
        AppendInt(sql, zoom);
        sql += ", ";
        AppendInt(sql, grid.tilesPerSide);
        sql += ", ";
        AppendInt(sql, grid.tilesPerSide);
        sql += ", 256, 256, ";
        AppendExact(sql, grid.pixelSize);
        sql += ", ";
        AppendExact(sql, grid.pixelSize);
        sql += ")";
        m_sql.Run(sql);
    }

    Sql m_sql;
    const fs::path &m_store;
    StoreFormat m_format;
    const StoreInfo &m_info;
    std::string m_table;
    std::string_view m_kind;
    std::string m_statement;
};

GDALDatasetUniquePtr OpenWorkingCopy(const WorkingCopy &copy, StoreFormat format,
                                     GdalErrorCapture &capture, const fs::path &store) {
    const char *driverName = format == StoreFormat::MbTiles ? "SQLite" : "GPKG";
    GDALDatasetUniquePtr db;
    if (copy.Existed()) {
        const char *const drivers[] = {driverName, nullptr};
        db.reset(GDALDataset::Open(copy.File().c_str(),
                                   GDAL_OF_VECTOR | GDAL_OF_RASTER | GDAL_OF_UPDATE, drivers));
    } else if (GDALDriver *driver = GetGDALDriverManager()->GetDriverByName(driverName)) {
        CPLStringList options;
        if (format == StoreFormat::MbTiles) {
            options.SetNameValue("METADATA", "NO"); // a plain SQLite file, no OGR tables
        }
        db.reset(driver->Create(copy.File().c_str(), 0, 0, 0, GDT_Unknown, options.List()));
    }
    if (!db) {
        throw GdalError(WithReason("The tile store " + store.string() + " cannot be opened",
                                   capture.Message()));
    }
    return db;
}

} // namespace

StoreResult WriteTileStore(const fs::path &file, const fs::path &levelFolder,
                           const tiles::TileList &list, tiles::TilesType type, int level,
                           const StoreInfo &info, UiPort &ui) {
    StoreResult result;
    if (!CheckTileStore(file, type, ui)) {
        return result;
    }
    const StoreFormat format = StoreFormatOf(file);
    result.written = RunTrapped(ui, kProcedure, [&] {
        mapout::EnsureGdalRegistered();
        // Runs at once on one store take turns: each works on a copy that replaces the store.
        const auto lock = FileLock::Acquire(
            file.string() + ".lock",
            [&] {
                ui.ShowMessage("Waiting for another run to finish its tiles in " + file.string() +
                               " ...");
            },
            [&] { return ui.StopRequested(); });
        if (!lock) {
            throw RunStopped();
        }
        WorkingCopy copy(file, format);
        GdalErrorCapture capture;
        {
            GDALDatasetUniquePtr db = OpenWorkingCopy(copy, format, capture, file);
            if (db->StartTransaction(FALSE) != OGRERR_NONE) {
                throw GdalError(WithReason("The tile store " + file.string() + " cannot be written",
                                           capture.Message()));
            }
            StoreWriter writer(*db, format, file, info, capture);
            writer.Prepare();
            ProgressPass pass(ui, kStoreLabel, list.Size());
            auto cursor = list.Begin();
            tiles::TileRecord record;
            std::int64_t i = 0;
            std::string bytes;
            while (cursor.Next(record)) {
                pass.Step(i++);
                if (!ReadWhole(tiles::FindTilePath(levelFolder, type, record, level), bytes)) {
                    ++result.missing;
                    continue;
                }
                const std::string_view kind = ImageKind(bytes);
                if (kind.empty()) {
                    ++result.unreadable;
                    continue;
                }
                writer.Add(*XyzTileOf(type, level, record), bytes, kind);
                ++result.stored;
            }
            writer.Finish();
            if (db->CommitTransaction() != OGRERR_NONE || capture.HasFailure()) {
                throw GdalError(WithReason("The tile store " + file.string() + " cannot be written",
                                           capture.Message()));
            }
            db.reset();
        }
        if (capture.HasFailure()) {
            throw GdalError(WithReason("The tile store " + file.string() + " cannot be written",
                                       capture.Message()));
        }
        copy.Commit();
    });
    return result;
}

} // namespace tessaro::mosaic
