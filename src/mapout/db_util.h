#pragma once

#include "common/ui_port.h"

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro::mapout {

/// Kind of a workspace, numbered as the host's workspace types are.
enum class WorkspaceKind {
    FileSystem = 0,    ///< a folder of shapefiles
    LocalDatabase = 1, ///< a GeoPackage file (.gpkg) or a File Geodatabase folder (.gdb)
    Unsupported = 2,   ///< a data source GDAL opens but the block index cannot live in
};

/// A GDAL dataset shared by a workspace and the feature classes opened from it; the last
/// owner closes it, which writes pending changes.
using SharedDataset = std::shared_ptr<GDALDataset>;

/// A place where feature classes live: a folder of shapefiles or an open database.
class Workspace {
public:
    /// A folder of shapefiles (no dataset is held: each shapefile is opened on its own).
    [[nodiscard]] static Workspace Folder(std::filesystem::path folder);
    /// An open database, or an unsupported data source.
    Workspace(std::filesystem::path path, WorkspaceKind kind, SharedDataset dataset,
              std::string featureDataset = {});

    [[nodiscard]] WorkspaceKind Kind() const noexcept { return m_kind; }
    /// The folder or the database file.
    [[nodiscard]] const std::filesystem::path &Path() const noexcept { return m_path; }
    /// The open database; null for a folder.
    [[nodiscard]] const SharedDataset &Dataset() const noexcept { return m_dataset; }
    /// The feature dataset inside a File Geodatabase the path named, else empty.
    [[nodiscard]] const std::string &FeatureDataset() const noexcept { return m_featureDataset; }

private:
    std::filesystem::path m_path;
    WorkspaceKind m_kind;
    SharedDataset m_dataset;
    std::string m_featureDataset;
};

/// An open feature class: an OGR layer together with the dataset that owns it.
class FeatureClass {
public:
    /// @pre layer belongs to dataset
    FeatureClass(SharedDataset dataset, OGRLayer &layer, WorkspaceKind kind);

    [[nodiscard]] OGRLayer &Layer() const noexcept { return *m_layer; }
    [[nodiscard]] GDALDataset &Dataset() const noexcept { return *m_dataset; }
    [[nodiscard]] WorkspaceKind Kind() const noexcept { return m_kind; }
    /// The layer name (a shapefile's name without ".shp").
    [[nodiscard]] std::string Name() const { return m_layer->GetName(); }

private:
    SharedDataset m_dataset;
    OGRLayer *m_layer;
    WorkspaceKind m_kind;
};

/// Field types by the host's field-type codes.
enum class FieldType { Integer = 1, Double = 3, Text = 4 };

/// What every new feature class gets besides its own fields: an object-identifier field
/// "OBJECTID" and a geometry field "SHAPE" of the requested type, with M and Z as
/// requested, in the given spatial reference. OGR creates both with the layer, so they are
/// expressed as its creation settings.
struct BasicFields {
    std::string objectIdName = "OBJECTID";
    std::string shapeName = "SHAPE";
    OGRwkbGeometryType geometryType = wkbUnknown;
    std::optional<OGRSpatialReference> spatialReference;
};

/// Returns the basic fields of a new feature class.
[[nodiscard]] BasicFields MakeBasicFields(OGRwkbGeometryType geometryType, bool hasM, bool hasZ,
                                          const OGRSpatialReference *spatialReference);

/// Opens the workspace a path names, trying in turn: the path as a folder of shapefiles (a
/// folder not named *.gdb); the path as a database (GeoPackage or File Geodatabase); the
/// path's parent as a database, so that "db.gpkg/blocks" or "db.gdb/dataset" opens the
/// database; a shapefile, whose folder is the workspace. Any other data source GDAL can
/// update gives a workspace of kind Unsupported. Returns nothing when all fail (no message);
/// failure, when given, then receives GDAL's reason if the path (or the parent tried) exists.
[[nodiscard]] std::optional<Workspace> OpenWorkspaceByPath(const std::filesystem::path &path,
                                                           std::string *failure = nullptr);

/// True when a path ends in ".gpkg" or ".gdb", in any letter case: a database's name.
[[nodiscard]] bool HasDatabaseExtension(const std::filesystem::path &path);

/// Opens a database file for update: a GeoPackage or a File Geodatabase.
/// @throws GdalError naming the file and GDAL's reason when it cannot be opened.
[[nodiscard]] Workspace OpenDbWorkspace(const std::filesystem::path &database);

/// Creates an empty database chosen by the name's extension: ".gpkg" a GeoPackage, ".gdb"
/// a File Geodatabase. @throws GdalError for another extension or when GDAL refuses.
[[nodiscard]] Workspace CreateDbWorkspace(const std::filesystem::path &database);

/// Opens a feature class by name in a database file; nothing when the database or the
/// feature class cannot be opened. failure, when given, receives the reason.
[[nodiscard]] std::optional<FeatureClass> OpenDbFC(const std::filesystem::path &database,
                                                   std::string_view name,
                                                   std::string *failure = nullptr);

/// Opens a feature class by name in an open database workspace; nothing when it has none of
/// that name (names compare without regard to case, as the databases do).
[[nodiscard]] std::optional<FeatureClass> OpenDbFC(const Workspace &workspace,
                                                   std::string_view name);

/// Creates a feature class with the basic fields in a database workspace; in a File
/// Geodatabase it goes into the feature dataset the workspace path named, if any.
/// @throws GdalError naming the feature class and GDAL's reason.
[[nodiscard]] FeatureClass CreateDbFC(const Workspace &workspace, std::string_view name,
                                      OGRwkbGeometryType geometryType, bool hasM, bool hasZ,
                                      const OGRSpatialReference *spatialReference);

/// Opens the shapefile name (".shp" is added when the name has no extension) in a folder;
/// nothing when the folder or the shapefile cannot be opened. failure, when given, receives
/// the reason.
[[nodiscard]] std::optional<FeatureClass> OpenShapeFC(const std::filesystem::path &folder,
                                                      std::string_view name,
                                                      std::string *failure = nullptr);

/// Creates the shapefile name in a folder with the basic fields, replacing a shapefile of
/// that name; text fields are written in UTF-8. Nothing when the folder is not a folder or
/// GDAL refuses; failure, when given, receives the reason.
[[nodiscard]] std::optional<FeatureClass>
CreateShapeFC(const std::filesystem::path &folder, std::string_view name,
              OGRwkbGeometryType geometryType, bool hasM, bool hasZ,
              const OGRSpatialReference *spatialReference, std::string *failure = nullptr);

/// Returns value as an SQL literal (also for OGR attribute filters): in single quotes, each
/// single quote inside doubled, so that no value can end the literal early ("a'b" → "'a''b'").
[[nodiscard]] std::string QuoteLiteral(std::string_view value);

/// Returns name as an SQL identifier: in double quotes, each double quote inside doubled.
[[nodiscard]] std::string QuoteIdentifier(std::string_view name);

/// Removes a raster table from a GeoPackage: the table itself and its rows in the
/// GeoPackage's system tables (contents, tile matrices, extensions, metadata references), so
/// that a table of that name can be written anew. Names compare without regard to case in
/// the system tables, as SQLite compares table names.
void DropGeoPackageRaster(GDALDataset &database, std::string_view table);

/// Adds a field described as the host describes fields: length is the width of a text or
/// integer field; precision (total digits) and scale (decimals) apply to doubles when greater
/// than 0. OGR gets a double of width precision + 2 (sign and point) with scale decimals;
/// drivers without widths ignore them. editable is accepted for the host's signature and has
/// no OGR counterpart. On failure shows "dbUtil.AddField: " and GDAL's reason, and returns
/// false.
bool AddField(FeatureClass &featureClass, std::string_view name, bool nullable, FieldType type,
              int length, int precision, int scale, bool editable, UiPort &ui);

} // namespace tessaro::mapout
