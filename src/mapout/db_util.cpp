#include "mapout/db_util.h"

#include "mapout/gdal_support.h"

#include <cpl_conv.h>
#include <cpl_string.h>

#include <system_error>
#include <utility>

namespace tessaro::mapout {

namespace fs = std::filesystem;

namespace {

constexpr const char *kShapefileDriver = "ESRI Shapefile";
constexpr const char *kGeoPackageDriver = "GPKG";
constexpr const char *kFileGdbDriver = "OpenFileGDB";

bool HasExtension(const fs::path &path, std::string_view extension) {
    return EQUAL(path.extension().string().c_str(), std::string(extension).c_str());
}

SharedDataset Share(GDALDataset *dataset) {
    return SharedDataset(dataset, [](GDALDataset *d) { GDALClose(GDALDataset::ToHandle(d)); });
}

GDALDriver &DriverNamed(const char *name) {
    EnsureGdalRegistered();
    GDALDriver *driver = GetGDALDriverManager()->GetDriverByName(name);
    if (driver == nullptr) {
        throw GdalError(std::string("GDAL has no ") + name + " driver");
    }
    return *driver;
}

// Opens a data source for update with any vector driver and sorts it into a workspace kind:
// GeoPackage and File Geodatabase hold the index; a shapefile opened by its file name stands
// for its folder; anything else is a workspace the index cannot use.
std::optional<Workspace> OpenAsDataSource(const fs::path &path, std::string *failure) {
    GdalErrorCapture quiet;
    GDALDataset *raw = GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE);
    if (raw == nullptr) {
        if (failure != nullptr) {
            const std::string reason = quiet.Message();
            *failure = WithReason("The database " + path.string() + " cannot be opened",
                                  reason.empty() ? "GDAL knows no database of this kind" : reason);
        }
        return std::nullopt;
    }
    SharedDataset dataset = Share(raw);
    const std::string driver = raw->GetDriver() != nullptr ? raw->GetDriverName() : "";
    if (driver == kGeoPackageDriver || driver == kFileGdbDriver) {
        return Workspace(path, WorkspaceKind::LocalDatabase, std::move(dataset));
    }
    if (driver == kShapefileDriver) {
        std::error_code ec;
        if (fs::is_regular_file(path, ec)) {
            const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
            return Workspace::Folder(folder);
        }
    }
    return Workspace(path, WorkspaceKind::Unsupported, std::move(dataset));
}

// The file a shapefile name stands for. GDAL always writes the extension in lower case, so a
// name typed as "blocks.SHP" is found as blocks.shp when no file of the typed name exists.
fs::path ShapefilePath(const fs::path &folder, std::string_view name) {
    fs::path file = folder / std::string(name);
    if (!file.has_extension()) {
        file += ".shp";
    }
    std::error_code ec;
    if (!fs::exists(file, ec) && HasExtension(file, ".shp")) {
        file.replace_extension(".shp");
    }
    return file;
}

CPLStringList LayerOptions(const BasicFields &fields, const std::string &driver,
                           const std::string &featureDataset) {
    CPLStringList options;
    if (driver == kShapefileDriver) {
        options.SetNameValue("ENCODING", "UTF-8");
        return options;
    }
    options.SetNameValue("FID", fields.objectIdName.c_str());
    options.SetNameValue("GEOMETRY_NAME", fields.shapeName.c_str());
    if (driver == kFileGdbDriver) {
        options.SetNameValue("CONFIGURATION_KEYWORD", "DEFAULTS");
        if (!featureDataset.empty()) {
            options.SetNameValue("FEATURE_DATASET", featureDataset.c_str());
        }
    } else if (driver == kGeoPackageDriver) {
        options.SetNameValue("SPATIAL_INDEX", "YES");
    }
    return options;
}

OGRLayer *CreateLayerWith(GDALDataset &dataset, const std::string &layerName,
                          const BasicFields &fields, const std::string &featureDataset) {
    CPLStringList options = LayerOptions(fields, dataset.GetDriverName(), featureDataset);
    // CreateLayer of GDAL 3.6 takes a mutable spatial reference; it gets its own copy.
    std::optional<OGRSpatialReference> srs = fields.spatialReference;
    return dataset.CreateLayer(layerName.c_str(), srs ? &*srs : nullptr, fields.geometryType,
                               options.List());
}

} // namespace

bool HasDatabaseExtension(const fs::path &path) {
    return HasExtension(path, ".gpkg") || HasExtension(path, ".gdb");
}

Workspace Workspace::Folder(fs::path folder) {
    return Workspace(std::move(folder), WorkspaceKind::FileSystem, nullptr);
}

Workspace::Workspace(fs::path path, WorkspaceKind kind, SharedDataset dataset,
                     std::string featureDataset)
    : m_path(std::move(path)), m_kind(kind), m_dataset(std::move(dataset)),
      m_featureDataset(std::move(featureDataset)) {}

FeatureClass::FeatureClass(SharedDataset dataset, OGRLayer &layer, WorkspaceKind kind)
    : m_dataset(std::move(dataset)), m_layer(&layer), m_kind(kind) {}

BasicFields MakeBasicFields(OGRwkbGeometryType geometryType, bool hasM, bool hasZ,
                            const OGRSpatialReference *spatialReference) {
    BasicFields fields;
    OGRwkbGeometryType type = wkbFlatten(geometryType);
    if (hasZ) {
        type = OGR_GT_SetZ(type);
    }
    if (hasM) {
        type = OGR_GT_SetM(type);
    }
    fields.geometryType = type;
    if (spatialReference != nullptr) {
        fields.spatialReference = *spatialReference;
    }
    return fields;
}

std::optional<Workspace> OpenWorkspaceByPath(const fs::path &path, std::string *failure) {
    if (path.empty()) {
        return std::nullopt;
    }
    EnsureGdalRegistered();
    std::error_code ec;
    const auto status = fs::status(path, ec);
    const bool gdbName = HasExtension(path, ".gdb");
    if (fs::is_directory(status) && !gdbName) {
        return Workspace::Folder(path);
    }
    if (fs::exists(status)) {
        // An existing path that is neither a folder of shapefiles nor a data source (a
        // corrupt database, a .gdb folder GDAL cannot read) opens nothing: falling back to
        // its parent would put the index beside it.
        return OpenAsDataSource(path, failure);
    }
    const fs::path parent = path.parent_path();
    if (!parent.empty() && parent != path && fs::exists(parent, ec) &&
        (!fs::is_directory(parent, ec) || HasExtension(parent, ".gdb"))) {
        if (auto workspace = OpenAsDataSource(parent, failure)) {
            if (workspace->Kind() == WorkspaceKind::LocalDatabase) {
                return Workspace(parent, WorkspaceKind::LocalDatabase, workspace->Dataset(),
                                 path.filename().string());
            }
            return workspace;
        }
    }
    return std::nullopt;
}

Workspace OpenDbWorkspace(const fs::path &database) {
    EnsureGdalRegistered();
    GdalErrorCapture capture;
    const char *const drivers[] = {kGeoPackageDriver, kFileGdbDriver, nullptr};
    GDALDataset *raw =
        GDALDataset::Open(database.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, drivers);
    if (raw == nullptr) {
        throw GdalError(WithReason("The database " + database.string() + " cannot be opened",
                                   capture.Message()));
    }
    return Workspace(database, WorkspaceKind::LocalDatabase, Share(raw));
}

Workspace CreateDbWorkspace(const fs::path &database) {
    const char *driverName = nullptr;
    if (HasExtension(database, ".gpkg")) {
        driverName = kGeoPackageDriver;
    } else if (HasExtension(database, ".gdb")) {
        driverName = kFileGdbDriver;
    } else {
        throw GdalError("The name " + database.string() +
                        " is not a database name (.gpkg or .gdb)");
    }
    GDALDriver &driver = DriverNamed(driverName);
    GdalErrorCapture capture;
    GDALDataset *raw = driver.Create(database.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    if (raw == nullptr) {
        throw GdalError(WithReason("The database " + database.string() + " cannot be created",
                                   capture.Message()));
    }
    return Workspace(database, WorkspaceKind::LocalDatabase, Share(raw));
}

std::optional<FeatureClass> OpenDbFC(const fs::path &database, std::string_view name,
                                     std::string *failure) {
    try {
        auto featureClass = OpenDbFC(OpenDbWorkspace(database), name);
        if (!featureClass && failure != nullptr) {
            *failure =
                "The database " + database.string() + " has no feature class " + std::string(name);
        }
        return featureClass;
    } catch (const std::exception &e) {
        if (failure != nullptr) {
            *failure = e.what();
        }
        return std::nullopt;
    }
}

std::optional<FeatureClass> OpenDbFC(const Workspace &workspace, std::string_view name) {
    if (!workspace.Dataset() || name.empty()) {
        return std::nullopt;
    }
    GdalErrorCapture quiet;
    OGRLayer *layer = workspace.Dataset()->GetLayerByName(std::string(name).c_str());
    if (layer == nullptr) {
        return std::nullopt;
    }
    return FeatureClass(workspace.Dataset(), *layer, workspace.Kind());
}

FeatureClass CreateDbFC(const Workspace &workspace, std::string_view name,
                        OGRwkbGeometryType geometryType, bool hasM, bool hasZ,
                        const OGRSpatialReference *spatialReference) {
    if (!workspace.Dataset()) {
        throw GdalError("The workspace " + workspace.Path().string() + " is not a database");
    }
    const BasicFields fields = MakeBasicFields(geometryType, hasM, hasZ, spatialReference);
    GdalErrorCapture capture;
    // Some drivers would rename the new feature class rather than refuse the name.
    if (workspace.Dataset()->GetLayerByName(std::string(name).c_str()) != nullptr) {
        throw GdalError("The feature class " + std::string(name) + " already exists in " +
                        workspace.Path().string());
    }
    capture.Clear();
    OGRLayer *layer = CreateLayerWith(*workspace.Dataset(), std::string(name), fields,
                                      workspace.FeatureDataset());
    if (layer == nullptr) {
        throw GdalError(WithReason("The feature class " + std::string(name) +
                                       " cannot be created in " + workspace.Path().string(),
                                   capture.Message()));
    }
    return FeatureClass(workspace.Dataset(), *layer, WorkspaceKind::LocalDatabase);
}

std::optional<FeatureClass> OpenShapeFC(const fs::path &folder, std::string_view name,
                                        std::string *failure) {
    EnsureGdalRegistered();
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        if (failure != nullptr) {
            *failure = "The folder " + folder.string() + " does not exist";
        }
        return std::nullopt;
    }
    const fs::path file = ShapefilePath(folder, name);
    GdalErrorCapture capture;
    const char *const drivers[] = {kShapefileDriver, nullptr};
    GDALDataset *raw = GDALDataset::Open(file.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE, drivers);
    if (raw == nullptr || raw->GetLayerCount() != 1) {
        if (raw != nullptr) {
            GDALClose(GDALDataset::ToHandle(raw));
        }
        if (failure != nullptr) {
            *failure = WithReason("The shapefile " + file.string() + " cannot be opened",
                                  capture.Message());
        }
        return std::nullopt;
    }
    SharedDataset dataset = Share(raw);
    return FeatureClass(dataset, *raw->GetLayer(0), WorkspaceKind::FileSystem);
}

std::optional<FeatureClass> CreateShapeFC(const fs::path &folder, std::string_view name,
                                          OGRwkbGeometryType geometryType, bool hasM, bool hasZ,
                                          const OGRSpatialReference *spatialReference,
                                          std::string *failure) {
    auto fail = [failure](std::string reason) -> std::optional<FeatureClass> {
        if (failure != nullptr) {
            *failure = std::move(reason);
        }
        return std::nullopt;
    };
    try {
        std::error_code ec;
        if (!fs::is_directory(folder, ec)) {
            return fail("The folder " + folder.string() + " does not exist");
        }
        GDALDriver &driver = DriverNamed(kShapefileDriver);
        const fs::path file = ShapefilePath(folder, name);
        GdalErrorCapture capture;
        if (fs::exists(file, ec) && driver.Delete(file.c_str()) != CE_None) {
            return fail(WithReason("The shapefile " + file.string() + " cannot be replaced",
                                   capture.Message()));
        }
        fs::path created = file;
        created.replace_extension(".shp");
        GDALDataset *raw = driver.Create(created.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
        if (raw == nullptr) {
            return fail(WithReason("The shapefile " + created.string() + " cannot be created",
                                   capture.Message()));
        }
        SharedDataset dataset = Share(raw);
        const BasicFields fields = MakeBasicFields(geometryType, hasM, hasZ, spatialReference);
        OGRLayer *layer = CreateLayerWith(*raw, created.stem().string(), fields, {});
        if (layer == nullptr) {
            return fail(WithReason("The shapefile " + created.string() + " cannot be created",
                                   capture.Message()));
        }
        return FeatureClass(dataset, *layer, WorkspaceKind::FileSystem);
    } catch (const std::exception &e) {
        return fail(e.what());
    }
}

std::string QuoteLiteral(std::string_view value) {
    char *escaped = CPLEscapeString(value.data(), static_cast<int>(value.size()), CPLES_SQL);
    std::string text = "'";
    text += escaped;
    text += '\'';
    CPLFree(escaped);
    return text;
}

std::string QuoteIdentifier(std::string_view name) {
    char *escaped = CPLEscapeString(name.data(), static_cast<int>(name.size()), CPLES_SQLI);
    std::string text = "\"";
    text += escaped;
    text += '"';
    CPLFree(escaped);
    return text;
}

void DropGeoPackageRaster(GDALDataset &database, std::string_view table) {
    const std::string where = " WHERE lower(table_name) = lower(" + QuoteLiteral(table) + ")";
    auto run = [&](const std::string &sql) {
        if (OGRLayer *rows = database.ExecuteSQL(sql.c_str(), nullptr, nullptr)) {
            database.ReleaseResultSet(rows);
        }
    };
    {
        // Tables a GeoPackage has only when an extension or metadata was written.
        GdalErrorCapture optional;
        run("DELETE FROM gpkg_extensions" + where);
        run("DELETE FROM gpkg_metadata_reference" + where);
    }
    run("DELETE FROM gpkg_tile_matrix" + where);
    run("DELETE FROM gpkg_tile_matrix_set" + where);
    run("DELETE FROM gpkg_contents" + where);
    run("DROP TABLE " + QuoteIdentifier(table));
}

bool AddField(FeatureClass &featureClass, std::string_view name, bool nullable, FieldType type,
              int length, int precision, int scale, bool /*editable*/, UiPort &ui) {
    OGRFieldType ogrType = OFTString;
    switch (type) {
    case FieldType::Integer:
        ogrType = OFTInteger;
        break;
    case FieldType::Double:
        ogrType = OFTReal;
        break;
    case FieldType::Text:
        ogrType = OFTString;
        break;
    }
    const std::string fieldName(name);
    // Drivers differ on a name already taken (in another letter case): some rename the new
    // field, some fail only when the table is written. It is refused here for all of them.
    if (featureClass.Layer().GetLayerDefn()->GetFieldIndex(fieldName.c_str()) >= 0) {
        ui.ShowMessage("dbUtil.AddField: The feature class " + featureClass.Name() +
                       " already has a field " + fieldName);
        return false;
    }
    OGRFieldDefn field(fieldName.c_str(), ogrType);
    field.SetNullable(nullable ? TRUE : FALSE);
    if (type == FieldType::Double && precision > 0) {
        field.SetWidth(precision + 2);
        if (scale > 0) {
            field.SetPrecision(scale);
        }
    } else if (length > 0) {
        field.SetWidth(length);
    }
    GdalErrorCapture capture;
    if (featureClass.Layer().CreateField(&field, TRUE) != OGRERR_NONE) {
        std::string reason = capture.Message();
        if (reason.empty()) {
            reason =
                "the field " + std::string(name) + " cannot be added to " + featureClass.Name();
        }
        ui.ShowMessage("dbUtil.AddField: " + reason);
        return false;
    }
    return true;
}

} // namespace tessaro::mapout
