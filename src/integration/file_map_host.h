#pragma once

#include "common/abort_flag.h"
#include "common/ui_port.h"
#include "integration/gdal_map_host.h"
#include "mapout/selection_filter.h"
#include "settings/settings.h"

#include <filesystem>

namespace tessaro::integration {

class ProjectMap;

/// A map without a GIS: the tiles' coordinate systems, the block index and the mosaic through
/// GDAL (GdalMapHost), the selected features read from a vector dataset, and the tile layers
/// in a QGIS project file. Without a project there is no map to add tiles to (a run says
/// "Added: 0 (skipped)"). tessaro-gui uses it as it is; the command line through the GDAL
/// module (integration/gdal_module.h).
class FileMapHost : public GdalMapHost {
public:
    /// abort, when given, ends a wait for the block index that another run holds.
    FileMapHost(const settings::Settings &settings, UiPort &ui, const AbortFlag *abort = nullptr);

    /// Opens (or, after the question, creates) the block index at path, as the dialog does when
    /// it starts with an index configured, and checks that it reads back whole. Returns false
    /// when no index resulted. The index is closed again: each run opens it anew, locked,
    /// when it records its tiles, so that runs at once add their records one after another.
    bool OpenIndex(std::filesystem::path path);

    /// Takes the features of a vector dataset as the map's selected features.
    void Select(mapout::Selection selection) { m_selection = std::move(selection); }
    /// The QGIS project that tiles are added to; it must outlive the runs.
    void AttachProject(ProjectMap &project) { m_project = &project; }
    /// The attached project, or none.
    [[nodiscard]] ProjectMap *Project() const noexcept { return m_project; }

    std::int64_t AddGoogleRasters(const std::filesystem::path &levelFolder,
                                  const tiles::TileList &list, int level,
                                  tiles::TilesType type) override;

protected:
    const mapout::Selection &Selected() override { return m_selection; }
    bool AddMosaicLayer(const std::string &raster, const std::string &name,
                        std::string_view procedure) override;

private:
    mapout::Selection m_selection;
    ProjectMap *m_project = nullptr;
};

} // namespace tessaro::integration
