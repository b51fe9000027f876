#include "mapout/block_index.h"

#include "common/error_report.h"
#include "common/progress.h"
#include "common/text.h"
#include "mapout/gdal_support.h"
#include "mapout/index_check.h"
#include "mapout/spatial_reference.h"
#include "tiles/ellipsoidal_grid.h"
#include "tiles/spherical_grid.h"
#include "tiles/tile_files.h"

#include <cpl_port.h>
#include <ogr_spatialref.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

namespace tessaro::mapout {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kNoShapefileQuestion = "SHP-файл для хранения полигонов не существует";
constexpr std::string_view kNoFeatureClassQuestion =
    "FeatureClass для хранения полигонов не существует";
constexpr std::string_view kCreateNewQuestion = "Создать новый?";
constexpr std::string_view kWorkspaceNotOpened =
    "Не открылась рабочая область для сохранения полигинов!";
constexpr std::string_view kUnsupportedWorkspace = "не поддерживается данный тип рабочей области";
constexpr std::string_view kFeatureClassNotOpened = "Не открылся FeatureClass ";

void ReportOpenFailure(UiPort &ui, const std::string &reason) {
    if (!reason.empty()) {
        ReportException(ui, ProcedureText("OpenPolygonFC ", "", 0), GdalError(reason),
                        kMessageMode);
    }
}

bool AskCreate(UiPort &ui, std::string_view question, const fs::path &indexPath) {
    std::string text(question);
    text += kCrLf;
    text += indexPath.string();
    text += kCrLf;
    text += kCreateNewQuestion;
    return ui.AskYesNo(Question::CreateIndex, text, Icon::Exclamation, {});
}

// A database that does not exist yet but can be created with the index: a .gpkg or .gdb name
// in an existing folder.
bool IsNewDatabase(const fs::path &path) {
    std::error_code ec;
    return HasDatabaseExtension(path) && !fs::exists(path, ec) &&
           fs::is_directory(path.parent_path().empty() ? fs::path(".") : path.parent_path(), ec);
}

bool ShapefileExists(const fs::path &folder, const std::string &name) {
    std::error_code ec;
    fs::path lower = folder / name;
    lower.replace_extension(".shp");
    return fs::exists(folder / name, ec) || fs::exists(lower, ec);
}

int FieldIndex(OGRLayer &layer, std::string_view name) {
    const int index = layer.GetLayerDefn()->GetFieldIndex(std::string(name).c_str());
    if (index < 0) {
        throw GdalError("The block index " + std::string(layer.GetName()) + " has no field " +
                        std::string(name));
    }
    return index;
}

// Positions of the block fields in the index, located once per run.
struct BlockFieldIndices {
    int name, service, version, type, xm, ym, resolution, zoom, present;

    explicit BlockFieldIndices(OGRLayer &layer)
        : name(FieldIndex(layer, "blockName")), service(FieldIndex(layer, "Service")),
          version(FieldIndex(layer, "Version")), type(FieldIndex(layer, "blockType")),
          xm(FieldIndex(layer, "Xm")), ym(FieldIndex(layer, "Ym")),
          resolution(FieldIndex(layer, "Resolution")), zoom(FieldIndex(layer, "Zoom")),
          present(FieldIndex(layer, "Present")) {}
};

// Text is made what every driver gives back before it is compared or written: cut to its
// field (width in bytes, 0 for none) at a character boundary, and without trailing blanks,
// which a shapefile drops. Otherwise a driver would cut it with a warning, and a source name
// stored differently from how it was given would not match what the next run looks up.
std::string_view FitText(std::string_view text, int width) {
    std::size_t end = text.size();
    if (width > 0 && end > static_cast<std::size_t>(width)) {
        end = static_cast<std::size_t>(width);
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
            --end;
        }
    }
    while (end > 0 && text[end - 1] == ' ') {
        --end;
    }
    return text.substr(0, end);
}

// A Present value no record holds, standing for an empty field: such records get refreshed.
constexpr int kPresentUnset = INT_MIN;

struct ExistingRecord {
    GIntBig fid;
    int present;
};

using ExistingRecords = std::unordered_map<std::string, ExistingRecord>;

int PresentOf(const OGRFeature &feature, int field) {
    return feature.IsFieldSetAndNotNull(field) ? feature.GetFieldAsInteger(field) : kPresentUnset;
}

// Reads the records of one source and type once, so that each tile is then found by a hash
// lookup instead of a query. Geometry and the other fields are not read.
ExistingRecords ReadExisting(OGRLayer &layer, const BlockFieldIndices &fields,
                             std::string_view service, std::string_view blockType) {
    const OGRFeatureDefn &defn = *layer.GetLayerDefn();
    const std::string where = QuoteIdentifier(defn.GetFieldDefn(fields.service)->GetNameRef()) +
                              " = " + QuoteLiteral(service) + " AND " +
                              QuoteIdentifier(defn.GetFieldDefn(fields.type)->GetNameRef()) +
                              " = " + QuoteLiteral(blockType);
    // Drivers without SQL evaluate the filter on the features read, so the filter's own
    // fields must be read too.
    CPLStringList ignored;
    for (int i = 0; i < defn.GetFieldCount(); ++i) {
        if (i != fields.name && i != fields.present && i != fields.service && i != fields.type) {
            ignored.AddString(defn.GetFieldDefn(i)->GetNameRef());
        }
    }
    ignored.AddString("OGR_GEOMETRY");
    ignored.AddString("OGR_STYLE");

    GdalErrorCapture capture;
    if (layer.SetAttributeFilter(where.c_str()) != OGRERR_NONE) {
        throw GdalError(
            WithReason("The block index " + std::string(layer.GetName()) + " cannot be searched",
                       capture.Message()));
    }
    layer.SetIgnoredFields(const_cast<const char **>(ignored.List()));
    ExistingRecords records;
    layer.ResetReading();
    for (OGRFeatureUniquePtr feature(layer.GetNextFeature()); feature;
         feature.reset(layer.GetNextFeature())) {
        if (feature->IsFieldSetAndNotNull(fields.name)) {
            records.emplace(feature->GetFieldAsString(fields.name),
                            ExistingRecord{feature->GetFID(), PresentOf(*feature, fields.present)});
        }
    }
    layer.SetIgnoredFields(nullptr);
    layer.SetAttributeFilter(nullptr);
    layer.ResetReading();
    if (capture.HasFailure()) {
        throw GdalError(
            WithReason("The block index " + std::string(layer.GetName()) + " cannot be read",
                       capture.Message()));
    }
    return records;
}

// Everything a run needs to write records, fixed before the first tile.
class RecordWriter {
public:
    RecordWriter(FeatureClass &index, const BlockFieldIndices &fields, int code)
        : m_layer(index.Layer()), m_fields(fields), m_source(SetProjectedCoordSystem(code)),
          m_multi(wkbFlatten(m_layer.GetGeomType()) == wkbMultiPolygon) {
        // Present is refreshed in place; a field too narrow for -1 would be spoilt before the
        // driver's warning could stop the run, so such an index is refused up front.
        if (m_layer.GetLayerDefn()->GetFieldDefn(fields.present)->GetWidth() == 1) {
            throw GdalError("The field Present of the block index " +
                            std::string(m_layer.GetName()) + " is too narrow to hold -1");
        }
        m_target = m_layer.GetSpatialRef();
        if (m_target != nullptr && m_target->IsSame(&m_source) == 0) {
            GdalErrorCapture capture;
            m_transform.reset(OGRCreateCoordinateTransformation(&m_source, m_target));
            if (!m_transform) {
                throw GdalError(WithReason("The tile polygons cannot be transformed into the "
                                           "spatial reference of the block index",
                                           capture.Message()));
            }
        }
    }

    struct Values {
        const std::string &name;
        std::string_view service;
        std::string_view version;
        std::string_view blockType;
        double xm, ym, resolution;
        int zoom, present;
    };

    void Insert(OGRPolygon polygon, const Values &v) {
        OGRFeatureUniquePtr feature(OGRFeature::CreateFeature(m_layer.GetLayerDefn()));
        std::unique_ptr<OGRGeometry> geometry = std::make_unique<OGRPolygon>(std::move(polygon));
        if (m_transform && geometry->transform(m_transform.get()) != OGRERR_NONE) {
            throw GdalError("The polygon of tile " + v.name + " cannot be transformed");
        }
        geometry->assignSpatialReference(m_target != nullptr ? m_target : &m_source);
        if (m_multi) {
            geometry.reset(OGRGeometryFactory::forceToMultiPolygon(geometry.release()));
        }
        feature->SetGeometryDirectly(geometry.release());
        feature->SetField(m_fields.name, v.name.c_str());
        feature->SetField(m_fields.service, std::string(v.service).c_str());
        feature->SetField(m_fields.version, std::string(v.version).c_str());
        feature->SetField(m_fields.type, std::string(v.blockType).c_str());
        feature->SetField(m_fields.xm, v.xm);
        feature->SetField(m_fields.ym, v.ym);
        feature->SetField(m_fields.resolution, v.resolution);
        feature->SetField(m_fields.zoom, v.zoom);
        feature->SetField(m_fields.present, v.present);
        GdalErrorCapture capture;
        const OGRErr err = m_layer.CreateFeature(feature.get());
        std::string what = "The record of tile " + v.name + " cannot be added";
        if (err == OGRERR_NONE && capture.HasWarning() && feature->GetFID() != OGRNullFID) {
            // Written, but not as given: take the record out again before reporting.
            GdalErrorCapture quiet;
            if (m_layer.DeleteFeature(feature->GetFID()) != OGRERR_NONE) {
                what += " (it stays as written, with wrong values)";
            }
        }
        Check(err, capture, what);
    }

    void Refresh(GIntBig fid, const std::string &name, int present) {
        GdalErrorCapture capture;
        OGRFeatureUniquePtr feature(m_layer.GetFeature(fid));
        if (!feature) {
            Check(OGRERR_NON_EXISTING_FEATURE, capture,
                  "The record of tile " + name + " cannot be read back");
        }
        feature->SetField(m_fields.present, present);
        const OGRErr err = m_layer.SetFeature(feature.get());
        Check(err, capture, "The record of tile " + name + " cannot be updated");
    }

private:
    // A driver that cannot store a value as given (a number wider than a shapefile field)
    // only warns and goes on; that would leave a wrong record, so warnings count as errors.
    void Check(OGRErr err, const GdalErrorCapture &capture, const std::string &what) const {
        if (err != OGRERR_NONE || capture.HasFailure() || capture.HasWarning()) {
            std::string reason = capture.Message();
            if (reason.empty()) {
                reason = "OGR error ";
                AppendInt(reason, err);
            }
            throw GdalError(WithReason(what + " in " + std::string(m_layer.GetName()), reason));
        }
    }

    OGRLayer &m_layer;
    const BlockFieldIndices &m_fields;
    OGRSpatialReference m_source;
    OGRSpatialReference *m_target = nullptr;
    std::unique_ptr<OGRCoordinateTransformation> m_transform;
    bool m_multi;
};

// The transaction of a run, where the driver has them (GeoPackage). Records written before an
// error stay, as they would without a transaction: a transaction still open when the run ends
// is committed all the same.
class RunTransaction {
public:
    explicit RunTransaction(GDALDataset &dataset) : m_dataset(dataset) {
        if (dataset.TestCapability(ODsCTransactions) == 0) {
            return;
        }
        GdalErrorCapture capture;
        if (dataset.StartTransaction() != OGRERR_NONE) {
            throw GdalError(
                WithReason("No transaction can be started on the block index", capture.Message()));
        }
        m_open = true;
    }
    RunTransaction(const RunTransaction &) = delete;
    RunTransaction &operator=(const RunTransaction &) = delete;
    ~RunTransaction() {
        if (m_open) {
            GdalErrorCapture quiet;
            m_dataset.CommitTransaction();
        }
    }

    void Commit() {
        if (!m_open) {
            return;
        }
        m_open = false;
        GdalErrorCapture capture;
        if (m_dataset.CommitTransaction() != OGRERR_NONE) {
            throw GdalError(WithReason("The records cannot be committed to the block index",
                                       capture.Message()));
        }
    }

private:
    GDALDataset &m_dataset;
    bool m_open = false;
};

// One run of AddPolygonFC over the tiles of one source and type: the texts its records share,
// the records already in the index, and the writer.
class BlockRun {
public:
    BlockRun(FeatureClass &index, tiles::TilesType type, int level, std::string_view sourceText,
             std::string_view version)
        : m_index(index), m_fields(index.Layer()), m_type(type), m_level(level),
          m_blockType(tiles::TypeWord(type)), m_service(Fit(sourceText, m_fields.service)),
          m_version(Fit(version, m_fields.version)),
          // ScanEx and Yandex lists give the south-west corner; one tile height up is the
          // north-west corner the polygon and the record start from.
          m_shift(BlockShiftY(type, level)) {}

    // Tells that the version is cut to fit an index made with a narrower Version field.
    void TellCutVersion(std::string_view version, UiPort &ui) const {
        const std::string_view whole = FitText(version, 0);
        if (m_version.size() == whole.size()) {
            return;
        }
        std::string text =
            "The field Version of the block index " + IndexDisplayName(m_index) + " holds ";
        AppendInt(text, m_index.Layer().GetLayerDefn()->GetFieldDefn(m_fields.version)->GetWidth());
        text += " characters: the version \"";
        text += whole;
        text += "\" is recorded as \"" + m_version + "\".";
        ui.ShowMessage(text, Icon::Exclamation);
    }

    // Reads the records of this source and type and makes the writer.
    void Prepare(int code) {
        m_existing = ReadExisting(m_index.Layer(), m_fields, m_service, m_blockType);
        m_writer.emplace(m_index, m_fields, code);
    }

    // Refreshes the record of one tile, or adds it.
    void Record(const fs::path &levelFolder, const tiles::TileRecord &record,
                BlockIndexSummary &summary) {
        // A template source's tiles share their base names (y) across columns: their record
        // goes by "z/x/y".
        const std::string name = Fit(
            tiles::IsXyz(m_type) ? record.name.Str() : tiles::TileBaseName(m_type, record, m_level),
            m_fields.name);
        std::error_code ec;
        const int present =
            fs::is_regular_file(tiles::FindTilePath(levelFolder, m_type, record, m_level), ec) ? -1
                                                                                               : 0;
        const auto found = Find(name);
        if (found == m_existing.end()) {
            const double ym = record.y + m_shift;
            m_writer->Insert(MakeBlockPolygon(record.x, ym, record.resX, record.resY),
                             {name, m_service, m_version, m_blockType, record.x - record.resX / 2,
                              ym - record.resY / 2, record.resX, m_level, present});
            m_addedNames.insert(m_hashName(name));
            ++summary.added;
        } else if (found->second.present != present) {
            m_writer->Refresh(found->second.fid, name, present);
            found->second.present = present;
            ++summary.refreshed;
        } else {
            ++summary.unchanged;
        }
    }

private:
    std::string Fit(std::string_view text, int field) const {
        return std::string(
            FitText(text, m_index.Layer().GetLayerDefn()->GetFieldDefn(field)->GetWidth()));
    }

    // The record of a tile read before the run, or added by it: a tile listed twice is found
    // again by a query instead of getting a second record, without keeping every name added.
    ExistingRecords::iterator Find(const std::string &name) {
        auto found = m_existing.find(name);
        if (found == m_existing.end() && m_addedNames.count(m_hashName(name)) != 0) {
            if (auto feature = FindFeatureByWhere(
                    m_index, BlockWhereClause(m_index.Layer(), name, m_service, m_blockType))) {
                found = m_existing
                            .emplace(name, ExistingRecord{feature->GetFID(),
                                                          PresentOf(*feature, m_fields.present)})
                            .first;
            }
        }
        return found;
    }

    FeatureClass &m_index;
    const BlockFieldIndices m_fields;
    const tiles::TilesType m_type;
    const int m_level;
    const std::string_view m_blockType;
    const std::string m_service;
    const std::string m_version;
    const double m_shift;
    ExistingRecords m_existing;
    std::optional<RecordWriter> m_writer;
    // Names added in this run, as hashes.
    std::unordered_set<std::size_t> m_addedNames;
    std::hash<std::string> m_hashName;
};

// An existing index is used only when it reads back whole; otherwise it is named with what is
// wrong, and left as it is.
std::optional<FeatureClass> Whole(FeatureClass featureClass, UiPort &ui) {
    const std::string damage = IndexDamage(featureClass);
    if (damage.empty()) {
        return featureClass;
    }
    ui.ShowMessage("The block index " + IndexDisplayName(featureClass) +
                       " does not read back whole: " + damage + ". It is left as it is.",
                   Icon::Exclamation);
    return std::nullopt;
}

// Whether a missing index is created: at once for one the user has just chosen, after the
// question when creation is offered.
bool MayCreate(const IndexOpening &opening, UiPort &ui, std::string_view question,
               const fs::path &indexPath) {
    return opening.createUnasked || (opening.offerCreation && AskCreate(ui, question, indexPath));
}

// The shapefile index of a folder: opened, or created when the user agrees. A shapefile that
// exists but cannot be read is reported and never offered for replacement.
std::optional<FeatureClass> OpenOrCreateShapeIndex(const fs::path &folder, const std::string &name,
                                                   fs::path &indexPath, const IndexOpening &opening,
                                                   UiPort &ui) {
    std::string failure;
    if (auto featureClass = OpenShapeFC(folder, name, &failure)) {
        return Whole(std::move(*featureClass), ui);
    }
    if (ShapefileExists(folder, name)) {
        ReportOpenFailure(ui, failure);
        return std::nullopt;
    }
    if (!MayCreate(opening, ui, kNoShapefileQuestion, indexPath)) {
        indexPath.clear();
        return std::nullopt;
    }
    const OGRSpatialReference srs = SetProjectedCoordSystem(kSphereMercator);
    auto created = CreateShapeFC(folder, name, wkbPolygon, false, false, &srs, &failure);
    if (!created) {
        ReportOpenFailure(ui, failure);
    }
    return created;
}

// The index inside a database: opened, or created when the user agrees, together with the
// database itself when that does not exist yet. Creation errors pass to the caller.
std::optional<FeatureClass> OpenOrCreateDbIndex(std::optional<Workspace> &workspace,
                                                const fs::path &database, const std::string &name,
                                                fs::path &indexPath, const IndexOpening &opening,
                                                UiPort &ui) {
    if (workspace) {
        if (auto featureClass = OpenDbFC(*workspace, name)) {
            return Whole(std::move(*featureClass), ui);
        }
    }
    if (!MayCreate(opening, ui, kNoFeatureClassQuestion, indexPath)) {
        indexPath.clear();
        return std::nullopt;
    }
    if (!workspace) {
        workspace = CreateDbWorkspace(database);
    }
    const OGRSpatialReference srs = SetProjectedCoordSystem(kSphereMercator);
    return CreateDbFC(*workspace, name, wkbPolygon, false, false, &srs);
}

// The lock file of an index, named like the database or the shapefile with ".lock" added:
// "index.gpkg.lock" (also for a feature dataset inside "index.gdb"), "blocks.shp.lock" in a
// folder. Nothing where no index can be (a folder that does not exist).
std::optional<fs::path> LockPathOf(const fs::path &workspacePath, const std::string &name) {
    std::error_code ec;
    fs::path lock;
    if (HasDatabaseExtension(workspacePath)) {
        lock = workspacePath;
    } else if (HasDatabaseExtension(workspacePath.parent_path())) {
        lock = workspacePath.parent_path();
    } else if (fs::is_directory(workspacePath, ec)) {
        return name.empty() ? std::nullopt
                            : std::optional(workspacePath / (NormaliseShapeName(name) + ".lock"));
    } else if (fs::is_regular_file(workspacePath, ec)) {
        lock = workspacePath; // a database of another name, or no workspace at all
    }
    const fs::path folder = lock.parent_path().empty() ? fs::path(".") : lock.parent_path();
    if (lock.empty() || !fs::is_directory(folder, ec)) {
        return std::nullopt;
    }
    return lock += ".lock";
}

// The lock of an index: the file beside the shapefile or the database, named like it with
// ".lock" added. Waiting for another run is said once; the abort flag ends the wait.
std::optional<FileLock> LockIndex(const fs::path &lockPath, const fs::path &indexPath,
                                  const AbortFlag *abort, UiPort &ui) {
    auto lock = FileLock::Acquire(
        lockPath,
        [&] {
            ui.ShowMessage("The block index " + indexPath.string() +
                               " is in use by another run; waiting for it.",
                           Icon::Information);
        },
        [&] {
            ui.ProcessPendingEvents();
            return abort != nullptr && abort->IsSet();
        });
    if (!lock) {
        ui.ShowMessage("Stopped while waiting for the block index " + indexPath.string() +
                           "; nothing was written to it.",
                       Icon::Exclamation);
    }
    return lock;
}

} // namespace

std::string NormaliseShapeName(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos) {
        return std::string(name) + ".shp";
    }
    if (EQUAL(std::string(name.substr(dot + 1)).c_str(), "shp")) {
        return std::string(name);
    }
    return std::string(name.substr(0, dot)) + ".shp";
}

fs::path IndexPathOf(const fs::path &typed) {
    std::error_code ec;
    const bool database =
        HasDatabaseExtension(typed) &&
        (EQUAL(typed.extension().string().c_str(), ".gdb") || !fs::is_directory(typed, ec));
    return database ? typed / "blocks" : typed;
}

std::optional<LockedIndex> OpenLockedIndex(fs::path &indexPath, UiPort &ui,
                                           const IndexOpening &opening) {
    auto opened = RunTrapped(ui, "OpenPolygonFC ", [&]() -> std::optional<LockedIndex> {
        indexPath = IndexPathOf(indexPath);
        const fs::path parent = indexPath.parent_path();
        const fs::path workspacePath = parent.empty() ? fs::path(".") : parent;
        std::string name = indexPath.filename().string();

        // Taken before anything is looked at, so that what is found (a database another run
        // is just creating, say) is what this run then reads and writes.
        std::optional<FileLock> lock;
        if (const auto lockPath = LockPathOf(workspacePath, name)) {
            lock = LockIndex(*lockPath, indexPath, opening.abort, ui);
            if (!lock) {
                return std::nullopt;
            }
        }
        std::string failure;
        auto workspace = OpenWorkspaceByPath(workspacePath, &failure);
        if (!workspace && !IsNewDatabase(workspacePath)) {
            ReportOpenFailure(ui, failure);
            std::string text(kWorkspaceNotOpened);
            text += kCrLf;
            text += name;
            ui.ShowMessage(text);
            return std::nullopt;
        }
        const WorkspaceKind kind = workspace ? workspace->Kind() : WorkspaceKind::LocalDatabase;
        std::optional<FeatureClass> featureClass;
        if (name.empty()) {
            // A path ending in a separator names no feature class.
        } else if (kind == WorkspaceKind::FileSystem) {
            name = NormaliseShapeName(name);
            indexPath = parent / name;
            featureClass = OpenOrCreateShapeIndex(workspacePath, name, indexPath, opening, ui);
        } else if (kind == WorkspaceKind::LocalDatabase) {
            featureClass =
                OpenOrCreateDbIndex(workspace, workspacePath, name, indexPath, opening, ui);
        } else {
            ui.ShowMessage(kUnsupportedWorkspace);
        }
        if (!featureClass) {
            ui.ShowMessage(std::string(kFeatureClassNotOpened) + name);
            return std::nullopt;
        }
        if (!lock) { // every place an index opens in has its lock file
            throw GdalError("The block index " + indexPath.string() + " has no lock file");
        }
        AddPolygonFields(*featureClass, ui);
        // GeoPackage writes a new table only when asked to; a failure then belongs here, not
        // to whichever later call happens to trigger it.
        GdalErrorCapture capture;
        if (featureClass->Layer().SyncToDisk() != OGRERR_NONE) {
            throw GdalError(WithReason(
                "The block index " + indexPath.string() + " cannot be written", capture.Message()));
        }
        return LockedIndex(std::move(*lock), std::move(*featureClass));
    });
    return opened ? std::move(*opened) : std::nullopt;
}

std::optional<FeatureClass> OpenPolygonFC(fs::path &indexPath, UiPort &ui) {
    auto opened = OpenLockedIndex(indexPath, ui);
    if (!opened) {
        return std::nullopt;
    }
    return opened->Index();
}

void AddPolygonFields(FeatureClass &featureClass, UiPort &ui) {
    for (const BlockField &field : kBlockFields) {
        const std::string name(field.name);
        if (featureClass.Layer().GetLayerDefn()->GetFieldIndex(name.c_str()) >= 0) {
            continue;
        }
        AddField(featureClass, field.name, true, field.type, field.length, field.precision,
                 field.scale, true, ui);
    }
}

BlockCorners MakeBlockCorners(double xm, double ym, double dx, double dy) noexcept {
    const double side = tiles::kTilePixels;
    return {xm - dx / 2, ym - dy / 2, xm + side * dx - dx / 2, ym + side * dy - dy / 2};
}

double BlockShiftY(tiles::TilesType type, int level) noexcept {
    return tiles::IsEllipsoidal(type) ? tiles::kTilePixels * tiles::ResN(level) : 0.0;
}

OGRPolygon MakeBlockPolygon(double xm, double ym, double dx, double dy) {
    const BlockCorners c = MakeBlockCorners(xm, ym, dx, dy);
    auto ring = std::make_unique<OGRLinearRing>();
    ring->addPoint(c.x0, c.y0);
    ring->addPoint(c.x1, c.y0);
    ring->addPoint(c.x1, c.y1);
    ring->addPoint(c.x0, c.y1);
    ring->addPoint(c.x0, c.y0);
    OGRPolygon polygon;
    polygon.addRingDirectly(ring.release());
    return polygon;
}

std::string BlockWhereClause(OGRLayer &layer, std::string_view blockName, std::string_view service,
                             std::string_view blockType) {
    const OGRFeatureDefn &defn = *layer.GetLayerDefn();
    auto name = [&](std::string_view field) {
        return QuoteIdentifier(defn.GetFieldDefn(FieldIndex(layer, field))->GetNameRef());
    };
    return name("blockName") + " = " + QuoteLiteral(blockName) + " AND " + name("Service") + " = " +
           QuoteLiteral(service) + " AND " + name("blockType") + " = " + QuoteLiteral(blockType);
}

OGRFeatureUniquePtr FindFeatureByWhere(FeatureClass &featureClass, const std::string &where) {
    OGRLayer &layer = featureClass.Layer();
    GdalErrorCapture quiet;
    OGRFeatureUniquePtr feature;
    if (layer.SetAttributeFilter(where.c_str()) == OGRERR_NONE) {
        layer.ResetReading();
        feature.reset(layer.GetNextFeature());
    }
    layer.SetAttributeFilter(nullptr);
    layer.ResetReading();
    return feature;
}

std::string LoadDateText(std::chrono::year_month_day date) {
    char text[16];
    std::snprintf(text, sizeof text, "%02u.%02u.%04d", static_cast<unsigned>(date.day()),
                  static_cast<unsigned>(date.month()), static_cast<int>(date.year()));
    return text;
}

std::chrono::year_month_day LocalToday() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return std::chrono::year_month_day{std::chrono::year(local.tm_year + 1900),
                                       std::chrono::month(static_cast<unsigned>(local.tm_mon + 1)),
                                       std::chrono::day(static_cast<unsigned>(local.tm_mday))};
}

std::string VersionText(tiles::TilesType type, const VersionTexts &versions,
                        std::chrono::year_month_day loadDate) {
    switch (type) {
    case tiles::TilesType::GoogleSat:
        return versions.sat;
    case tiles::TilesType::GoogleMap:
        return versions.map;
    case tiles::TilesType::GoogleLand:
        return versions.land;
    default:
        return LoadDateText(loadDate);
    }
}

BlockIndexSummary AddPolygonFC(const fs::path &levelFolder, FeatureClass *index,
                               tiles::TileSequence tiles, tiles::TilesType type, int level,
                               std::string_view sourceText, const VersionTexts &versions,
                               UiPort &ui, std::chrono::year_month_day loadDate) {
    BlockIndexSummary summary;
    const auto code = CoordSystemCodeOf(type);
    if (index == nullptr || !code || tiles::TypeWord(type).empty()) {
        return summary;
    }
    summary.completed = RunTrapped(ui, "AddPolygonFC ", [&] {
        const std::string version = VersionText(type, versions, loadDate);
        BlockRun run(*index, type, level, sourceText, version);
        run.TellCutVersion(version, ui);
        ProgressPass progress(ui, kCreateGeometryLabel, tiles.Size());
        run.Prepare(*code);
        RunTransaction transaction(index->Dataset());
        progress.Restart(kAddToIndexLabel, tiles.Size());
        tiles::TileRecord record;
        std::int64_t i = 0;
        while (tiles.Next(record)) {
            run.Record(levelFolder, record, summary);
            progress.Step(i++);
        }
        transaction.Commit();
        GdalErrorCapture capture;
        if (index->Layer().SyncToDisk() != OGRERR_NONE) {
            throw GdalError(
                WithReason("The block index cannot be written to disk", capture.Message()));
        }
    });
    return summary;
}

} // namespace tessaro::mapout
