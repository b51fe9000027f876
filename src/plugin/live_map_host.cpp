#include "plugin/live_map_host.h"

#include "common/error.h"
#include "common/error_report.h"
#include "integration/tile_layers.h"

#include <ogr_geometry.h>
#include <ogr_spatialref.h>
#include <qgscoordinatereferencesystem.h>
#include <qgsfeature.h>
#include <qgsfeatureiterator.h>
#include <qgsgeometry.h>
#include <qgsmapcanvas.h>
#include <qgsproject.h>
#include <qgsvectorlayer.h>

#include <memory>

namespace tessaro::plugin {

namespace {

// GDAL's spatial references are counted; this drops ours when the shapes hold theirs.
struct SrsRelease {
    void operator()(OGRSpatialReference *srs) const noexcept { srs->Release(); }
};

std::unique_ptr<OGRSpatialReference, SrsRelease> SrsOf(const QgsCoordinateReferenceSystem &crs) {
    std::unique_ptr<OGRSpatialReference, SrsRelease> srs(new OGRSpatialReference());
    const QByteArray wkt = crs.toWkt(QgsCoordinateReferenceSystem::WKT_PREFERRED_GDAL).toUtf8();
    if (!crs.isValid() || srs->importFromWkt(wkt.constData()) != OGRERR_NONE) {
        throw Error("The coordinate system of a layer with selected features is unknown: " +
                    crs.authid().toStdString());
    }
    // QGIS gives x = longitude, y = latitude whatever the system's declared axis order.
    srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    return srs;
}

} // namespace

LiveMapHost::LiveMapHost(QgsProject &project, QgsMapCanvas *canvas,
                         const settings::Settings &settings, UiPort &ui)
    : GdalMapHost(settings, ui), m_project(project), m_canvas(canvas) {
    for (QgsMapLayer *layer : project.mapLayers()) {
        Watch(layer);
    }
    connect(&project, &QgsProject::layerWasAdded, this, [this](QgsMapLayer *layer) {
        Watch(layer);
        emit selectionChanged();
    });
    connect(&project, &QgsProject::layersRemoved, this, &LiveMapHost::selectionChanged);
    connect(&project, &QgsProject::cleared, this, &LiveMapHost::selectionChanged);
    connect(&project, &QgsProject::readProject, this, &LiveMapHost::selectionChanged);
}

LiveMapHost::~LiveMapHost() = default;

void LiveMapHost::Watch(QgsMapLayer *layer) {
    if (auto *vector = qobject_cast<QgsVectorLayer *>(layer)) {
        connect(vector, &QgsVectorLayer::selectionChanged, this, &LiveMapHost::selectionChanged,
                Qt::UniqueConnection);
    }
}

std::int64_t LiveMapHost::SelectionCount() {
    std::int64_t count = 0;
    for (QgsMapLayer *layer : m_project.mapLayers()) {
        if (auto *vector = qobject_cast<QgsVectorLayer *>(layer)) {
            count += vector->selectedFeatureCount();
        }
    }
    return count;
}

const mapout::Selection &LiveMapHost::Selected() {
    m_selected.clear();
    for (QgsMapLayer *layer : m_project.mapLayers()) {
        auto *vector = qobject_cast<QgsVectorLayer *>(layer);
        if (vector == nullptr || vector->selectedFeatureCount() == 0) {
            continue;
        }
        const auto srs = SrsOf(vector->crs());
        QgsFeatureIterator features =
            vector->getSelectedFeatures(QgsFeatureRequest().setNoAttributes());
        QgsFeature feature;
        while (features.nextFeature(feature)) {
            const QgsGeometry geometry = feature.geometry();
            if (geometry.isNull()) {
                m_selected.emplace_back(); // selected, but meets no tile
                continue;
            }
            const QByteArray wkb = geometry.asWkb();
            OGRGeometry *shape = nullptr;
            if (OGRGeometryFactory::createFromWkb(wkb.constData(), srs.get(), &shape,
                                                  static_cast<std::size_t>(wkb.size())) !=
                OGRERR_NONE) {
                throw Error("A selected feature of the layer " + vector->name().toStdString() +
                            " has a shape GDAL cannot read");
            }
            m_selected.emplace_back(shape);
        }
    }
    return m_selected;
}

std::int64_t LiveMapHost::AddGoogleRasters(const std::filesystem::path &levelFolder,
                                           const tiles::TileList &list, int level,
                                           tiles::TilesType type) {
    const std::int64_t added =
        integration::AddGoogleRasters(m_project, levelFolder, list, level, type, Settings(), Ui());
    if (added > 0 && m_canvas != nullptr) {
        m_canvas->refresh();
    }
    return added;
}

bool LiveMapHost::AddMosaicLayer(const std::string &raster, const std::string &name,
                                 std::string_view procedure) {
    const bool added = RunTrapped(
        Ui(), procedure, [&] { (void)integration::AddRasterToRoot(m_project, raster, name); });
    if (added && m_canvas != nullptr) {
        m_canvas->refresh();
    }
    return added;
}

} // namespace tessaro::plugin
