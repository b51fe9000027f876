#pragma once

#include "common/abort_flag.h"
#include "common/ui_port.h"
#include "load/map_host.h"
#include "mapout/db_util.h"
#include "mapout/selection_filter.h"
#include "mosaic/mosaic_raster.h"
#include "settings/settings.h"

#include <filesystem>
#include <optional>

namespace tessaro::integration {
class ProjectMap;
}

namespace tessaro::cli {

/// The map of a command-line run: the tiles' coordinate systems through GDAL, the block index
/// through OGR, the selected features read from a vector dataset, the mosaic through GDAL, and
/// the tile layers in a QGIS project file. Without a project there is no map to add tiles to
/// (the run says "Added: 0 (skipped)").
class CliMapHost : public load::MapHost {
public:
    /// abort, when given, ends a wait for the block index that another run holds.
    CliMapHost(const settings::Settings &settings, UiPort &ui, const AbortFlag *abort = nullptr);

    /// Opens (or, after the question, creates) the block index at path, as the dialog does when
    /// it starts with an index configured, and checks that it reads back whole. Returns false
    /// when no index resulted. The index is closed again: each run opens it anew, locked,
    /// when it records its tiles, so that runs at once add their records one after another.
    bool OpenIndex(std::filesystem::path path);

    /// Takes the features of a vector dataset as the map's selected features.
    void Select(mapout::Selection selection) { m_selection = std::move(selection); }
    /// Builds a mosaic with these options after download runs; with addToProject the result is
    /// also added to the project as a layer.
    void SetMosaic(mosaic::MosaicOptions options, bool addToProject = false) {
        m_mosaic = std::move(options);
        m_mosaicToProject = addToProject;
    }
    /// The QGIS project that tiles are added to; it must outlive the runs.
    void AttachProject(integration::ProjectMap &project) { m_project = &project; }
    /// The attached project, or none.
    [[nodiscard]] integration::ProjectMap *Project() const noexcept { return m_project; }
    /// What the last mosaic built, when it built one.
    [[nodiscard]] const std::optional<mosaic::MosaicResult> &MosaicBuilt() const noexcept {
        return m_mosaicResult;
    }

    std::int64_t SelectionCount() override { return static_cast<std::int64_t>(m_selection.size()); }
    std::optional<std::array<double, 4>> SelectionExtent() override;
    std::int64_t FilterBySelection(const tiles::TileList &list, tiles::TilesType type, int level,
                                   std::string_view sourceText,
                                   std::vector<tiles::TileRecord> &kept) override;
    bool SetRasterSpatRef(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                          tiles::TilesType type, int level) override;
    std::int64_t AddGoogleRasters(const std::filesystem::path &levelFolder,
                                  const tiles::TileList &list, int level,
                                  tiles::TilesType type) override;
    bool ShowMosaic(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                    tiles::TilesType type, int level) override;
    bool OpenPolygonIndex(std::filesystem::path &path, bool chosen) override;
    bool HasPolygonIndex() override { return m_indexPath.has_value(); }
    bool AddPolygonFC(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                      tiles::TilesType type, int level, std::string_view sourceText) override;

private:
    const settings::Settings &m_settings;
    UiPort &m_ui;
    const AbortFlag *m_abort;
    std::optional<std::filesystem::path> m_indexPath; // as the opening rewrote it
    mapout::Selection m_selection;
    std::optional<mosaic::MosaicOptions> m_mosaic;
    std::optional<mosaic::MosaicResult> m_mosaicResult;
    bool m_mosaicToProject = false;
    integration::ProjectMap *m_project = nullptr;
};

} // namespace tessaro::cli
