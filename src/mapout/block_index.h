#pragma once

#include "common/abort_flag.h"
#include "common/file_lock.h"
#include "common/ui_port.h"
#include "mapout/db_util.h"
#include "tiles/tile_sequence.h"
#include "tiles/tiles_type.h"

#include <ogr_geometry.h>
#include <ogrsf_frmts.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tessaro::mapout {

/// Caption of the progress label while the run prepares the polygons of its tiles.
inline constexpr std::string_view kCreateGeometryLabel = "Create Geometry";
/// Caption of the progress label while the tiles are written into the block index.
inline constexpr std::string_view kAddToIndexLabel = "Add to Polygon Feature class";

/// One field every block index carries, described as AddField takes it.
struct BlockField {
    std::string_view name;
    FieldType type;
    int length;
    int precision;
    int scale;
};

/// The block fields in their order. The doubles hold 17 digits, 9 of them decimals, so that
/// Mercator metres of 8 integer digits (up to about ±30 000 km) and their sign fit a
/// shapefile's number field; Present holds 2 characters for its value -1. Version holds 32
/// characters, room for every tile-server version the settings start with ("w2p.87&hl=ru");
/// indexes made before keep the 10 they were made with.
inline constexpr std::array<BlockField, 9> kBlockFields{{
    {"blockName", FieldType::Text, 255, 0, 0},
    {"Service", FieldType::Text, 10, 0, 0},
    {"Version", FieldType::Text, 32, 0, 0},
    {"blockType", FieldType::Text, 3, 0, 0},
    {"Xm", FieldType::Double, 17, 17, 9},
    {"Ym", FieldType::Double, 17, 17, 9},
    {"Resolution", FieldType::Double, 17, 17, 9},
    {"Zoom", FieldType::Integer, 2, 0, 0},
    {"Present", FieldType::Integer, 2, 0, 0},
}};

/// Returns the shapefile name of a block index: a name without extension gets ".shp", a
/// name with another extension has it replaced by ".shp", an extension "shp" in any letter
/// case stays ("blocks" → "blocks.shp", "blocks.dbf" → "blocks.shp", "b.SHP" → "b.SHP").
[[nodiscard]] std::string NormaliseShapeName(std::string_view name);

/// Returns the index path a typed one stands for: a database named without a feature class
/// ("index.gpkg", "index.gdb") means its feature class "blocks" ("index.gpkg/blocks"); a
/// folder that happens to end in ".gpkg", and every other path, stand for themselves.
[[nodiscard]] std::filesystem::path IndexPathOf(const std::filesystem::path &typed);

/// How OpenLockedIndex treats a missing index and one that another run holds.
struct IndexOpening {
    bool offerCreation = true;        ///< false: a missing index is refused without a question
    const AbortFlag *abort = nullptr; ///< when set, the wait for another run's lock ends
    bool createUnasked = false;       ///< true: a missing index is created without a question
};

/// A block index open for one run, with the lock that keeps every other run out of it until
/// this one is closed: runs that read the records and then add theirs do so one at a time.
class LockedIndex {
public:
    LockedIndex(FileLock lock, FeatureClass index)
        : m_lock(std::move(lock)), m_index(std::move(index)) {}

    [[nodiscard]] FeatureClass &Index() noexcept { return m_index; }

private:
    FileLock m_lock; // released last, once the index is closed and on disk
    FeatureClass m_index;
};

/// Opens the block index a path names, locked for this run: the workspace (a folder or a
/// database, see OpenWorkspaceByPath) followed by the feature-class name; a database named
/// alone stands for its feature class "blocks" (IndexPathOf). A shapefile name is normalised
/// by NormaliseShapeName and the path rewritten with it. A missing index is offered for
/// creation through Question::CreateIndex with "SHP-файл для хранения полигонов не существует"
/// (folder) or "FeatureClass для хранения полигонов не существует" (database), CR LF, the
/// path, CR LF, "Создать новый?"; Yes creates it in ESRI:53004 with polygon geometry, No
/// clears the path. A database file that does not exist yet (".gpkg", ".gdb" in an existing
/// folder) is created together with the index. An index file that exists but cannot be read
/// is never replaced: the error report names GDAL's reason. An existing index that does not
/// read back whole (IndexDamage) is refused with a message naming it and what is wrong, and
/// left as it is. The index gets the block fields it lacks.
///
/// The lock is the file beside the index named like it with ".lock" added ("blocks.shp.lock",
/// "index.gpkg.lock"), taken before the index is looked for, so that only one run at a time
/// creates, reads or writes it. While another run holds it, the message "The block index …
/// is in use by another run; waiting for it." is shown once and the opening waits, until the
/// abort flag is set: then "Stopped while waiting for the block index …; nothing was written
/// to it." and nothing is opened.
///
/// Messages: "Не открылась рабочая область для сохранения полигинов!" CR LF and the name
/// when the workspace does not open (after the error report of GDAL's reason when it is a
/// file or folder that exists); "не поддерживается данный тип рабочей области" for a data
/// source of another kind; "Не открылся FeatureClass " and the name when no index resulted.
/// Unexpected errors go to the error report under "OpenPolygonFC ".
///
/// @param indexPath the configured path; rewritten as described above.
/// @returns the open index with its lock, or nothing.
[[nodiscard]] std::optional<LockedIndex>
OpenLockedIndex(std::filesystem::path &indexPath, UiPort &ui, const IndexOpening &opening = {});

/// Opens the block index as OpenLockedIndex does, offering creation, and releases the lock
/// before it returns: for callers that only read it, or keep it open across runs of their own.
[[nodiscard]] std::optional<FeatureClass> OpenPolygonFC(std::filesystem::path &indexPath,
                                                        UiPort &ui);

/// Adds each block field (kBlockFields) the feature class lacks; fields are found without
/// regard to case, since drivers may change it. Fields already there stay as they are; a
/// field that cannot be added is reported by AddField and the others are still added.
void AddPolygonFields(FeatureClass &featureClass, UiPort &ui);

/// The corners of a tile's ground polygon: x0 = Xm − dx/2, x1 = Xm + 256·dx − dx/2,
/// y0 = Ym − dy/2, y1 = Ym + 256·dy − dy/2 (with the negative dy of world files y1 < y0).
struct BlockCorners {
    double x0 = 0;
    double y0 = 0;
    double x1 = 0;
    double y1 = 0;
};

/// Returns the corners MakeBlockPolygon puts its ring through, computed the same way, for
/// callers that need the rectangle without building a polygon.
[[nodiscard]] BlockCorners MakeBlockCorners(double xm, double ym, double dx, double dy) noexcept;

/// Returns the Y shift a tile's reference point gets before its polygon is built: the tile
/// height H = 256·ResN(level) for ScanEx and Yandex (moving the south-west corner of their
/// records to the north-west corner), 0 for every other type.
[[nodiscard]] double BlockShiftY(tiles::TilesType type, int level) noexcept;

/// Returns the ground polygon of a tile from its reference point and pixel sizes: with the
/// corners of MakeBlockCorners the ring (x0, y0), (x1, y0), (x1, y1), (x0, y1), (x0, y0).
/// No spatial reference is assigned.
[[nodiscard]] OGRPolygon MakeBlockPolygon(double xm, double ym, double dx, double dy);

/// Returns the attribute filter that finds the record of one tile in the layer:
/// "blockName" = '…' AND "Service" = '…' AND "blockType" = '…', with the layer's own
/// spelling of the field names and every value quoted by QuoteLiteral.
/// @throws GdalError when the layer lacks one of the three fields.
[[nodiscard]] std::string BlockWhereClause(OGRLayer &layer, std::string_view blockName,
                                           std::string_view service, std::string_view blockType);

/// Returns the first feature that satisfies an attribute filter, or null when none does or
/// the filter fails (no message). The layer's filter is cleared afterwards.
[[nodiscard]] OGRFeatureUniquePtr FindFeatureByWhere(FeatureClass &featureClass,
                                                     const std::string &where);

/// The Google tile-server versions of a run, written into Version of Google records.
struct VersionTexts {
    std::string sat;
    std::string map;
    std::string land;
};

/// Returns the load date as Version of non-Google records carry it: "dd.mm.yyyy".
[[nodiscard]] std::string LoadDateText(std::chrono::year_month_day date);

/// Returns today's date in the local time zone.
[[nodiscard]] std::chrono::year_month_day LocalToday();

/// Returns the Version text of a record: the sat, map or land version for Google satellite,
/// map and landscape; the load date as LoadDateText writes it for every other type.
[[nodiscard]] std::string VersionText(tiles::TilesType type, const VersionTexts &versions,
                                      std::chrono::year_month_day loadDate);

/// What AddPolygonFC did.
struct BlockIndexSummary {
    std::int64_t added = 0;     ///< new records
    std::int64_t refreshed = 0; ///< records whose Present changed
    std::int64_t unchanged = 0; ///< records already up to date
    bool completed = false;     ///< false when an error ended the run
};

/// Makes the block index hold one record per tile of a run, a tile being identified by
/// (blockName, Service, blockType). A tile seen for the first time gets a record with its
/// ground polygon (MakeBlockPolygon; for ScanEx and Yandex the reference point is first moved
/// up by H = 256·ResN(level), from the south-west to the north-west corner) and the fields
/// blockName (the tile's file name without extension), Service (sourceText), Version
/// (VersionText), blockType ("sat", "map", "lnd"), Xm = x − resX/2, Ym = y − resY/2 (+H for
/// ScanEx and Yandex), Resolution = resX, Zoom = level and Present (-1 when the tile file is
/// on disk, else 0). A tile already recorded only gets Present refreshed.
///
/// Texts longer than their field (a Google version of 11 characters in the Version field of
/// width 10 that earlier indexes have) are cut to the field's width, and trailing blanks
/// dropped, before they are compared or written, so that no driver changes them on its own
/// and a later run finds the record. A version cut so is told once per run: "The field
/// Version of the block index … holds 10 characters: the version "…" is recorded as "…".".
///
/// Polygons are in ESRI:54004 for ScanEx and Yandex and ESRI:53004 for the others, and are
/// transformed when the index has another spatial reference. The records of one run are
/// written in one transaction where the driver has them (GeoPackage). Nothing happens without
/// an index or for a type outside the table. An error ends the run with the error report
/// under "AddPolygonFC " (message-box mode); records written before it stay.
///
/// Complexity: one pass over the index records of this source and type before the tiles are
/// read, then a hash lookup and one write at most per tile. Memory: the existing records of
/// this source and type (name and identifier each) plus 8 bytes and a hash-set node per new
/// record; the tiles themselves are never held.
BlockIndexSummary AddPolygonFC(const std::filesystem::path &levelFolder, FeatureClass *index,
                               tiles::TileSequence tiles, tiles::TilesType type, int level,
                               std::string_view sourceText, const VersionTexts &versions,
                               UiPort &ui, std::chrono::year_month_day loadDate = LocalToday());

} // namespace tessaro::mapout
