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
// inside one, another data source (unsupported); a corrupt database or a missing path opens
// nothing, and is never taken for a folder of shapefiles.
TEST(Workspaces, EachKindOfPathOpensItsWorkspace) {
    test::TempDir dir;
    (void)mapout::CreateDbWorkspace(dir / "index.gpkg");
    (void)mapout::CreateDbWorkspace(dir / "index.gdb");
    test::WriteText(dir / "table.csv", "a,b\n1,2\n");
    test::WriteText(dir / "broken.gpkg", "this is no database");
    test::WriteText(dir / "broken.gdb" / "a00000001.gdbtable", "garbage");
    const std::tuple<fs::path, std::optional<WorkspaceKind>, fs::path, const char *> cases[] = {
        {dir.Path(), WorkspaceKind::FileSystem, dir.Path(), ""},
        {dir / "index.gpkg", WorkspaceKind::LocalDatabase, dir / "index.gpkg", ""},
        {dir / "index.gpkg" / "blocks", WorkspaceKind::LocalDatabase, dir / "index.gpkg", "blocks"},
        {dir / "index.gdb" / "tiles", WorkspaceKind::LocalDatabase, dir / "index.gdb", "tiles"},
        {dir / "table.csv", WorkspaceKind::Unsupported, dir / "table.csv", ""},
        {dir / "missing" / "deeper", std::nullopt, {}, ""},
        {dir / "missing.gpkg", std::nullopt, {}, ""},
        {dir / "broken.gpkg", std::nullopt, {}, ""},
        {dir / "broken.gpkg" / "blocks", std::nullopt, {}, ""},
        {dir / "broken.gdb", std::nullopt, {}, ""}};
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

// Shapefiles take the name of their file without ".shp" and are written in UTF-8.
TEST(FeatureClasses, ShapefilesAreWrittenInUtf8) {
    test::TempDir dir;
    auto created =
        mapout::CreateShapeFC(dir.Path(), "blocks.shp", wkbPolygon, false, false, nullptr);
    ASSERT_TRUE(created);
    EXPECT_EQ(created->Name(), "blocks");
    EXPECT_EQ(created->Kind(), WorkspaceKind::FileSystem);
    created.reset();
    EXPECT_EQ(test::ReadText(dir / "blocks.cpg"), "UTF-8");
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
        // Found again by a name in another letter case.
        const auto workspace = mapout::OpenWorkspaceByPath(database);
        ASSERT_TRUE(workspace && mapout::OpenDbFC(*workspace, "blocks"));
        EXPECT_FALSE(mapout::OpenDbFC(*workspace, "other"));
    }
}

// Fields are nullable as asked; one GDAL refuses is shown with GDAL's reason (a shapefile
// opened read-only).
TEST(AddField, NullableAsAskedAndRefusalsShownWithTheirReason) {
    test::TempDir dir;
    test::RecordingUi ui;
    auto gpkg = mapout::CreateDbFC(mapout::CreateDbWorkspace(dir / "f.gpkg"), "f", wkbPolygon,
                                   false, false, nullptr);
    EXPECT_TRUE(mapout::AddField(gpkg, "must", false, mapout::FieldType::Text, 5, 0, 0, true, ui));
    EXPECT_FALSE(gpkg.Layer().GetLayerDefn()->GetFieldDefn(0)->IsNullable());
    ASSERT_TRUE(mapout::CreateShapeFC(dir.Path(), "ro", wkbPolygon, false, false, nullptr));
    GDALDataset *raw = GDALDataset::Open((dir / "ro.shp").c_str(), GDAL_OF_VECTOR);
    ASSERT_NE(raw, nullptr);
    mapout::SharedDataset dataset(raw, [](GDALDataset *d) { GDALClose(d); });
    mapout::FeatureClass readOnly(dataset, *raw->GetLayer(0), WorkspaceKind::FileSystem);
    EXPECT_FALSE(mapout::AddField(readOnly, "x", true, mapout::FieldType::Text, 5, 0, 0, true, ui));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text,
              "dbUtil.AddField: CreateField : unsupported operation on a read-only datasource.");
}

// Literals and identifiers keep every quote of the text and end where they should.
TEST(Sql, QuotesAreDoubledInsideLiteralsAndIdentifiers) {
    EXPECT_EQ(mapout::QuoteLiteral("x' OR '1'='1"), "'x'' OR ''1''=''1'");
    EXPECT_EQ(mapout::QuoteLiteral("\"Тест\""), "'\"Тест\"'");
    EXPECT_EQ(mapout::QuoteLiteral(""), "''");
    EXPECT_EQ(mapout::QuoteIdentifier("a\"b'c"), "\"a\"\"b'c\"");
}
