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

namespace {

OGRSpatialReference Sphere() {
    return mapout::SetProjectedCoordSystem(mapout::kSphereMercator);
}

// Adds one feature with a square polygon, so that replacing a feature class shows.
void AddSquare(mapout::FeatureClass &featureClass) {
    OGRFeatureUniquePtr feature(OGRFeature::CreateFeature(featureClass.Layer().GetLayerDefn()));
    OGRGeometry *square = nullptr;
    ASSERT_EQ(
        OGRGeometryFactory::createFromWkt("POLYGON ((0 0,0 1,1 1,1 0,0 0))", nullptr, &square),
        OGRERR_NONE);
    feature->SetGeometryDirectly(square);
    ASSERT_EQ(featureClass.Layer().CreateFeature(feature.get()), OGRERR_NONE);
}

GIntBig FeatureCount(const fs::path &source) {
    GDALDatasetUniquePtr dataset(GDALDataset::Open(source.c_str(), GDAL_OF_VECTOR));
    EXPECT_TRUE(dataset) << source;
    return dataset ? dataset->GetLayer(0)->GetFeatureCount() : -1;
}

} // namespace

TEST(Workspaces, EachKindOfPathOpensItsWorkspace) {
    test::TempDir dir;
    const auto folder = mapout::OpenWorkspaceByPath(dir.Path());
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->Kind(), WorkspaceKind::FileSystem);
    EXPECT_EQ(folder->Path(), dir.Path());
    EXPECT_FALSE(folder->Dataset());

    const fs::path gpkg = dir / "index.gpkg";
    const fs::path gdb = dir / "index.gdb";
    (void)mapout::CreateDbWorkspace(gpkg);
    (void)mapout::CreateDbWorkspace(gdb);
    for (const fs::path &database : {gpkg, gdb}) {
        SCOPED_TRACE(database.string());
        auto direct = mapout::OpenWorkspaceByPath(database);
        ASSERT_TRUE(direct);
        EXPECT_EQ(direct->Kind(), WorkspaceKind::LocalDatabase);
        EXPECT_EQ(direct->Path(), database);
        EXPECT_TRUE(direct->Dataset());
        EXPECT_EQ(direct->FeatureDataset(), "");
        // A layer (or a feature dataset) inside the database opens the database.
        auto inside = mapout::OpenWorkspaceByPath(database / "blocks");
        ASSERT_TRUE(inside);
        EXPECT_EQ(inside->Kind(), WorkspaceKind::LocalDatabase);
        EXPECT_EQ(inside->Path(), database);
        EXPECT_EQ(inside->FeatureDataset(), "blocks");
    }

    // A shapefile stands for the folder it lies in.
    ASSERT_TRUE(mapout::CreateShapeFC(dir.Path(), "blocks", wkbPolygon, false, false, nullptr));
    const auto byShapefile = mapout::OpenWorkspaceByPath(dir / "blocks.shp");
    ASSERT_TRUE(byShapefile);
    EXPECT_EQ(byShapefile->Kind(), WorkspaceKind::FileSystem);
    EXPECT_EQ(byShapefile->Path(), dir.Path());

    // A data source that cannot hold the index.
    test::WriteText(dir / "table.csv", "a,b\n1,2\n");
    const auto csv = mapout::OpenWorkspaceByPath(dir / "table.csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->Kind(), WorkspaceKind::Unsupported);

    EXPECT_FALSE(mapout::OpenWorkspaceByPath(dir / "missing" / "deeper"));
    EXPECT_FALSE(mapout::OpenWorkspaceByPath(dir / "missing.gpkg"));
    EXPECT_FALSE(mapout::OpenWorkspaceByPath({}));
}

TEST(Workspaces, CorruptDatabasesOpenNothing) {
    test::TempDir dir;
    test::WriteText(dir / "broken.gpkg", "this is no database");
    EXPECT_FALSE(mapout::OpenWorkspaceByPath(dir / "broken.gpkg"));
    EXPECT_FALSE(mapout::OpenWorkspaceByPath(dir / "broken.gpkg" / "blocks"));
    // A .gdb folder GDAL cannot read is not taken for a folder of shapefiles.
    test::WriteText(dir / "broken.gdb" / "a00000001.gdbtable", "garbage");
    EXPECT_FALSE(mapout::OpenWorkspaceByPath(dir / "broken.gdb"));

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
}

TEST(ShapeFeatureClass, CreatedOpenedAndReplaced) {
    test::TempDir dir;
    const auto sphere = Sphere();
    {
        auto created =
            mapout::CreateShapeFC(dir.Path(), "blocks.shp", wkbPolygon, false, false, &sphere);
        ASSERT_TRUE(created);
        EXPECT_EQ(created->Name(), "blocks");
        EXPECT_EQ(created->Kind(), WorkspaceKind::FileSystem);
        AddSquare(*created);
    }
    for (const char *ext : {".shp", ".shx", ".dbf", ".prj", ".cpg"}) {
        EXPECT_TRUE(fs::exists(dir / (std::string("blocks") + ext))) << ext;
    }
    EXPECT_EQ(test::ReadText(dir / "blocks.cpg"), "UTF-8");
    EXPECT_EQ(FeatureCount(dir / "blocks.shp"), 1);

    // The name with or without extension, in any letter case of "shp".
    for (const char *name : {"blocks", "blocks.shp", "blocks.SHP"}) {
        auto opened = mapout::OpenShapeFC(dir.Path(), name);
        ASSERT_TRUE(opened) << name;
        EXPECT_EQ(wkbFlatten(opened->Layer().GetGeomType()), wkbPolygon);
        ASSERT_NE(opened->Layer().GetSpatialRef(), nullptr);
        EXPECT_TRUE(opened->Layer().GetSpatialRef()->IsSame(&sphere));
    }

    ASSERT_TRUE(mapout::CreateShapeFC(dir.Path(), "blocks", wkbPolygon, false, false, &sphere));
    EXPECT_EQ(FeatureCount(dir / "blocks.shp"), 0);

    // M and Z reach the layer; no spatial reference stays none.
    auto zm = mapout::CreateShapeFC(dir.Path(), "zm", wkbPolygon, true, true, nullptr);
    ASSERT_TRUE(zm);
    EXPECT_EQ(zm->Layer().GetGeomType(), wkbPolygonZM);
    EXPECT_EQ(zm->Layer().GetSpatialRef(), nullptr);

    std::string failure;
    EXPECT_FALSE(mapout::OpenShapeFC(dir.Path(), "none", &failure));
    EXPECT_EQ(
        failure.rfind("The shapefile " + (dir / "none.shp").string() + " cannot be opened", 0), 0u);
    EXPECT_FALSE(mapout::OpenShapeFC(dir / "missing", "blocks", &failure));
    EXPECT_EQ(failure, "The folder " + (dir / "missing").string() + " does not exist");
    EXPECT_FALSE(mapout::CreateShapeFC(dir / "missing", "blocks", wkbPolygon, false, false, nullptr,
                                       &failure));
    EXPECT_EQ(failure, "The folder " + (dir / "missing").string() + " does not exist");
}

TEST(DatabaseFeatureClass, CreatedAndOpenedInGeoPackageAndFileGeodatabase) {
    test::TempDir dir;
    const auto sphere = Sphere();
    for (const char *file : {"index.gpkg", "index.gdb"}) {
        SCOPED_TRACE(file);
        const fs::path database = dir / file;
        {
            const auto workspace = mapout::CreateDbWorkspace(database);
            auto created =
                mapout::CreateDbFC(workspace, "Blocks", wkbPolygon, false, false, &sphere);
            EXPECT_EQ(created.Kind(), WorkspaceKind::LocalDatabase);
            EXPECT_STREQ(created.Layer().GetFIDColumn(), "OBJECTID");
            EXPECT_STREQ(created.Layer().GetGeometryColumn(), "SHAPE");
            AddSquare(created);
            // A second feature class of the same name is refused.
            EXPECT_THROW(
                (void)mapout::CreateDbFC(workspace, "Blocks", wkbPolygon, false, false, &sphere),
                mapout::GdalError);
        }
        // Reopened from disk, by a name in another letter case.
        auto opened = mapout::OpenDbFC(database, "blocks");
        ASSERT_TRUE(opened);
        EXPECT_EQ(opened->Layer().GetFeatureCount(), 1);
        EXPECT_STREQ(opened->Layer().GetFIDColumn(), "OBJECTID"); // system, type: block index tests

        std::string failure;
        EXPECT_FALSE(mapout::OpenDbFC(database, "other", &failure));
        EXPECT_EQ(failure, "The database " + database.string() + " has no feature class other");
        EXPECT_FALSE(mapout::OpenDbFC(dir / "missing.gpkg", "blocks", &failure));
        EXPECT_NE(failure.find("cannot be opened"), std::string::npos);
    }
}

TEST(DatabaseFeatureClass, FeatureDatasetOfAFileGeodatabaseReceivesTheFeatureClass) {
    test::TempDir dir;
    const fs::path gdb = dir / "index.gdb";
    (void)mapout::CreateDbWorkspace(gdb);
    {
        const auto workspace = mapout::OpenWorkspaceByPath(gdb / "tiles");
        ASSERT_TRUE(workspace);
        ASSERT_EQ(workspace->FeatureDataset(), "tiles");
        (void)mapout::CreateDbFC(*workspace, "blocks", wkbPolygon, false, false, nullptr);
    }
    GDALDatasetUniquePtr dataset(GDALDataset::Open(gdb.c_str(), GDAL_OF_VECTOR));
    ASSERT_TRUE(dataset);
    const auto root = dataset->GetRootGroup();
    ASSERT_TRUE(root);
    const auto group = root->OpenGroup("tiles");
    ASSERT_TRUE(group);
    EXPECT_EQ(group->GetVectorLayerNames(), std::vector<std::string>{"blocks"});
}

// The widths fields get are checked with the block fields; here what AddField refuses.
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
