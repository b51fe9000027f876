// The QGIS module: a ProjectMap over a headless QGIS session and a project file.

#include "common/error.h"
#include "common/error_report.h"
#include "integration/project_map.h"
#include "integration/qgis_project_file.h"
#include "integration/qgis_session.h"
#include "integration/tile_layers.h"

#include <qgscoordinatereferencesystem.h>
#include <qgsproject.h>
#include <qgsrasterlayer.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace tessaro::integration {

namespace {

class QgisProjectMap final : public ProjectMap {
public:
    QgisProjectMap(const std::filesystem::path &path, ProjectLayers layers)
        : m_project(QgisProjectFile::Open(path, layers == ProjectLayers::Deferred
                                                    ? QgisProjectFile::LayerLoading::Deferred
                                                    : QgisProjectFile::LayerLoading::Full)) {}

    ~QgisProjectMap() override {
        m_project.reset(); // every QGIS object goes before the session ends
    }

    [[nodiscard]] const std::filesystem::path &Path() const override { return m_project->Path(); }

    std::int64_t AddGoogleRasters(const std::filesystem::path &levelFolder,
                                  const tiles::TileList &list, int level, tiles::TilesType type,
                                  const settings::Settings &settings, UiPort &ui) override {
        EnsureProjectCrs(m_project->Project(), TileCrs(type));
        if (m_layers == TileLayers::PerLevel) {
            return integration::AddLevelMosaic(m_project->Project(), levelFolder, list, level, type,
                                               settings, ui);
        }
        return integration::AddGoogleRasters(m_project->Project(), levelFolder, list, level, type,
                                             settings, ui);
    }

    bool AddRasterToRoot(const std::filesystem::path &path, std::string_view name,
                         std::string_view procedure, UiPort &ui) override {
        return RunTrapped(ui, procedure, [&] {
            QgsRasterLayer &layer = integration::AddRasterToRoot(m_project->Project(), path, name);
            EnsureProjectCrs(m_project->Project(), layer.crs());
        });
    }

    void SetTileLayers(TileLayers layers) override { m_layers = layers; }

    bool SetCrs(std::string_view code, UiPort &ui) override {
        const QgsCoordinateReferenceSystem crs(
            QString::fromUtf8(code.data(), static_cast<int>(code.size())));
        if (!crs.isValid()) {
            ui.ShowMessage("QGIS knows no coordinate system \"" + std::string(code) +
                               "\": give one as EPSG:3857 or ESRI:53004.",
                           Icon::Exclamation);
            return false;
        }
        m_project->Project().setCrs(crs);
        return true;
    }

    bool Save(UiPort &ui) override { return m_project->Save(ui); }

private:
    QgisSession m_session; // first in, last out
    std::optional<QgisProjectFile> m_project;
    TileLayers m_layers = TileLayers::PerTile;
};

void CopyReason(const char *text, char *reason, std::size_t size) {
    if (size == 0) {
        return;
    }
    const std::size_t n = std::min(std::strlen(text), size - 1);
    std::memcpy(reason, text, n);
    reason[n] = '\0';
}

} // namespace

} // namespace tessaro::integration

// Nothing may leave the module as an exception: the reason goes back as text, with a flag
// for the errors that concern the project file rather than QGIS itself.
extern "C" __attribute__((visibility("default"))) tessaro::integration::ProjectMap *
tessaro_open_project_map(const char *path, int deferred, int *fileError, char *reason,
                         std::size_t reasonSize) {
    using namespace tessaro::integration;
    try {
        return new QgisProjectMap(path,
                                  deferred != 0 ? ProjectLayers::Deferred : ProjectLayers::Open);
    } catch (const tessaro::FileError &e) {
        *fileError = 1;
        CopyReason(e.what(), reason, reasonSize);
    } catch (const std::exception &e) {
        *fileError = 0;
        CopyReason(e.what(), reason, reasonSize);
    } catch (...) {
        *fileError = 0;
        CopyReason("QGIS failed for an unknown reason", reason, reasonSize);
    }
    return nullptr;
}
