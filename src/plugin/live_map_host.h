#pragma once

#include "integration/gdal_map_host.h"

#include <QObject>

#include <functional>

class QgsMapCanvas;
class QgsMapLayer;
class QgsProject;

namespace tessaro::plugin {

/// The map host of the running QGIS: tiles join the live project's layer tree in their groups
/// (the grouping the project-file path uses, integration::AddGoogleRasters) and the canvas
/// redraws; the selected features are those of every vector layer of the project, in any
/// coordinate system; side files, block index and mosaic go through GDAL as for the command
/// line. The project object stays the same when the user starts or opens another project, so
/// the host follows it without being rebuilt; selectionChanged tells of every change of the
/// selection, of layers coming and going, and of a new or opened project.
class LiveMapHost : public QObject, public integration::GdalMapHost {
    Q_OBJECT
public:
    /// project and canvas must outlive the host; settings is the dialog's state of the run in
    /// hand, read for the layer names and versions.
    LiveMapHost(QgsProject &project, QgsMapCanvas *canvas, const settings::Settings &settings,
                UiPort &ui);
    ~LiveMapHost() override;

    std::int64_t SelectionCount() override;
    std::int64_t AddGoogleRasters(const std::filesystem::path &levelFolder,
                                  const tiles::TileList &list, int level,
                                  tiles::TilesType type) override;

signals:
    /// The selection of the map may have changed.
    void selectionChanged();

protected:
    /// Reads the selected shapes of every vector layer anew.
    const mapout::Selection &Selected() override;
    bool AddMosaicLayer(const std::string &raster, const std::string &name,
                        std::string_view procedure) override;

private:
    void Watch(QgsMapLayer *layer);

    QgsProject &m_project;
    QgsMapCanvas *m_canvas;
    mapout::Selection m_selected;
};

} // namespace tessaro::plugin
