// Workspaces and feature classes; what the block index makes of them is tested with it.
#include "mapout/db_util.h"

#include "mapout/gdal_support.h"
#include "mapout/spatial_reference.h"
#include "mapout_support.h"
#include "support/recording_ui.h"
#include "support/temp_dir.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <gtest/gtest.h>

using namespace tessaro;
using mapout::WorkspaceKind;
namespace fs = std::filesystem;

// Each kind of path opens its workspace: a folder, a database, a layer or feature dataset
// inside one, a shapefile (its folder), another data source (unsupported); a corrupt database
// or a missing path opens nothing, and is never taken for a folder of shapefiles.
TEST(Workspaces, EachKindOfPathOpensItsWorkspace) {
    test::TempDir dir;
    (void)mapout::CreateDbWorkspace(dir / "index.gpkg");
    (void)mapout::CreateDbWorkspace(dir / "index.gdb");
    ASSERT_TRUE(mapout::CreateShapeFC(dir.Path(), "blocks", wkbPolygon, false, false, nullptr));
    test::WriteText(dir / "table.csv", "a,b\n1,2\n");
    test::WriteText(dir / "broken.gpkg", "this is no database");
    test::WriteText(dir / "broken.gdb" / "a00000001.gdbtable", "garbage");
    const std::tuple<fs::path, std::optional<WorkspaceKind>, fs::path, const char *> cases[] = {
        {dir.Path(), WorkspaceKind::FileSystem, dir.Path(), ""},
        {dir / "blocks.shp", WorkspaceKind::FileSystem, dir.Path(), ""},
        {dir / "index.gpkg", WorkspaceKind::LocalDatabase, dir / "index.gpkg", ""},
        {dir / "index.gpkg" / "blocks", WorkspaceKind::LocalDatabase, dir / "index.gpkg", "blocks"},
        {dir / "index.gdb" / "tiles", WorkspaceKind::LocalDatabase, dir / "index.gdb", "tiles"},
        {dir / "table.csv", WorkspaceKind::Unsupported, dir / "table.csv", ""},
        {dir / "missing" / "deeper", std::nullopt, {}, ""},
        {dir / "missing.gpkg", std::nullopt, {}, ""},
        {dir / "broken.gpkg", std::nullopt, {}, ""},
        {dir / "broken.gpkg" / "blocks", std::nullopt, {}, ""},
        {dir / "broken.gdb", std::nullopt, {}, ""},
        {{}, std::nullopt, {}, ""}};
    for (const auto &[path, kind, workspacePath, featureDataset] : cases) {
        const auto workspace = mapout::OpenWorkspaceByPath(path);
        ASSERT_EQ(workspace.has_value(), kind.has_value()) << path;
        if (workspace) {
            EXPECT_EQ(workspace->Kind(), *kind) << path;
            EXPECT_EQ(workspace->Path(), workspacePath) << path;
            EXPECT_EQ(workspace->FeatureDataset(), featureDataset) << path;
            EXPECT_EQ(workspace->Dataset() != nullptr, *kind != WorkspaceKind::FileSystem);
        }
    }
    try {
        (void)mapout::OpenDbWorkspace(dir / "broken.gpkg");
        FAIL() << "a corrupt database opened";
    } catch (const mapout::GdalError &e) {
        EXPECT_EQ(std::string(e.what()).rfind(
                      "The database " + (dir / "broken.gpkg").string() + " cannot be opened", 0),
                  0u);
        EXPECT_EQ(e.Number(), 1001);
    }
    EXPECT_THROW((void)mapout::CreateDbWorkspace(dir / "index.sqlite"), mapout::GdalError);
    EXPECT_THROW((void)mapout::CreateDbWorkspace(dir / "broken.gpkg"), mapout::GdalError);

    // A feature class created through a feature dataset of a File Geodatabase lands in it.
    (void)mapout::CreateDbFC(*mapout::OpenWorkspaceByPath(dir / "index.gdb" / "tiles"), "blocks",
                             wkbPolygon, false, false, nullptr);
    GDALDatasetUniquePtr gdb(GDALDataset::Open((dir / "index.gdb").c_str(), GDAL_OF_VECTOR));
    ASSERT_TRUE(gdb && gdb->GetRootGroup() && gdb->GetRootGroup()->OpenGroup("tiles"));
    EXPECT_EQ(gdb->GetRootGroup()->OpenGroup("tiles")->GetVectorLayerNames(),
              std::vector<std::string>{"blocks"});
}

// Shapefiles are written in UTF-8, found by their name with or without ".shp" in any letter
// case, and replaced when created again; failures name the file or folder.
TEST(FeatureClasses, ShapefilesCreatedOpenedAndReplaced) {
    test::TempDir dir;
    const auto sphere = mapout::SetProjectedCoordSystem(mapout::kSphereMercator);
    auto created =
        mapout::CreateShapeFC(dir.Path(), "blocks.shp", wkbPolygon, false, false, &sphere);
    ASSERT_TRUE(created);
    EXPECT_EQ(created->Name(), "blocks");
    OGRFeature feature(created->Layer().GetLayerDefn());
    ASSERT_EQ(created->Layer().CreateFeature(&feature), OGRERR_NONE);
    created.reset();
    EXPECT_EQ(test::ReadText(dir / "blocks.cpg"), "UTF-8");
    for (const char *name : {"blocks", "blocks.shp", "blocks.SHP"}) {
        auto opened = mapout::OpenShapeFC(dir.Path(), name);
        ASSERT_TRUE(opened) << name;
        EXPECT_EQ(opened->Layer().GetFeatureCount(), 1);
        EXPECT_EQ(opened->Kind(), WorkspaceKind::FileSystem);
    }
    ASSERT_TRUE(mapout::CreateShapeFC(dir.Path(), "blocks", wkbPolygon, false, false, &sphere));
    EXPECT_EQ(mapout::OpenShapeFC(dir.Path(), "blocks")->Layer().GetFeatureCount(), 0);

    std::string failure;
    EXPECT_FALSE(mapout::OpenShapeFC(dir.Path(), "none", &failure));
    EXPECT_EQ(
        failure.rfind("The shapefile " + (dir / "none.shp").string() + " cannot be opened", 0), 0u);
    EXPECT_FALSE(
        mapout::CreateShapeFC(dir / "missing", "b", wkbPolygon, false, false, nullptr, &failure));
    EXPECT_EQ(failure, "The folder " + (dir / "missing").string() + " does not exist");
}

// Database feature classes have the object-identifier and shape fields OBJECTID and SHAPE, are
// found by their name in any letter case, and are never created twice.
TEST(FeatureClasses, DatabaseFeatureClassesInGeoPackageAndFileGeodatabase) {
    test::TempDir dir;
    for (const char *file : {"index.gpkg", "index.gdb"}) {
        SCOPED_TRACE(file);
        const fs::path database = dir / file;
        {
            const auto workspace = mapout::CreateDbWorkspace(database);
            auto created =
                mapout::CreateDbFC(workspace, "Blocks", wkbPolygon, false, false, nullptr);
            EXPECT_STREQ(created.Layer().GetFIDColumn(), "OBJECTID");
            EXPECT_STREQ(created.Layer().GetGeometryColumn(), "SHAPE");
            EXPECT_THROW(
                (void)mapout::CreateDbFC(workspace, "Blocks", wkbPolygon, false, false, nullptr),
                mapout::GdalError);
        }
        auto opened = mapout::OpenDbFC(database, "blocks");
        ASSERT_TRUE(opened);
        EXPECT_EQ(opened->Kind(), WorkspaceKind::LocalDatabase);
        std::string failure;
        EXPECT_FALSE(mapout::OpenDbFC(database, "other", &failure));
        EXPECT_EQ(failure, "The database " + database.string() + " has no feature class other");
    }
}

// What AddField refuses is shown with its reason; the widths fields get are checked with the
// block fields.
TEST(AddField, RefusalsAreShownWithTheirReason) {
    test::TempDir dir;
    test::RecordingUi ui;
    auto gpkg = mapout::CreateDbFC(mapout::CreateDbWorkspace(dir / "f.gpkg"), "f", wkbPolygon,
                                   false, false, nullptr);
    EXPECT_TRUE(mapout::AddField(gpkg, "must", false, mapout::FieldType::Text, 5, 0, 0, true, ui));
    EXPECT_FALSE(gpkg.Layer().GetLayerDefn()->GetFieldDefn(0)->IsNullable());
    // A name already taken in another letter case is refused, whatever the driver would do.
    EXPECT_FALSE(
        mapout::AddField(gpkg, "MUST", true, mapout::FieldType::Integer, 2, 0, 0, true, ui));
    EXPECT_EQ(gpkg.Layer().GetLayerDefn()->GetFieldCount(), 1);

    // GDAL's own refusal (a shapefile opened read-only) is shown with GDAL's text.
    ASSERT_TRUE(mapout::CreateShapeFC(dir.Path(), "ro", wkbPolygon, false, false, nullptr));
    GDALDataset *raw = GDALDataset::Open((dir / "ro.shp").c_str(), GDAL_OF_VECTOR);
    ASSERT_NE(raw, nullptr);
    mapout::SharedDataset dataset(raw, [](GDALDataset *d) { GDALClose(d); });
    mapout::FeatureClass readOnly(dataset, *raw->GetLayer(0), WorkspaceKind::FileSystem);
    EXPECT_FALSE(mapout::AddField(readOnly, "x", true, mapout::FieldType::Text, 5, 0, 0, true, ui));

    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0].text, "dbUtil.AddField: The feature class f already has a field MUST");
    EXPECT_EQ(ui.messages[1].text,
              "dbUtil.AddField: CreateField : unsupported operation on a read-only datasource.");
}

// Literals and identifiers keep every quote of the text and end where they should.
TEST(Sql, QuotesAreDoubledInsideLiteralsAndIdentifiers) {
    EXPECT_EQ(mapout::QuoteLiteral("x' OR '1'='1"), "'x'' OR ''1''=''1'");
    EXPECT_EQ(mapout::QuoteLiteral("\"Тест\""), "'\"Тест\"'");
    EXPECT_EQ(mapout::QuoteLiteral(""), "''");
    EXPECT_EQ(mapout::QuoteIdentifier("a\"b'c"), "\"a\"\"b'c\"");
}
