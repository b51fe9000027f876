#pragma once

#include "common/abort_flag.h"
#include "common/ui_port.h"
#include "integration/gdal_module.h"
#include "load/map_host.h"
#include "mosaic/mosaic_options.h"
#include "settings/settings.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace tessaro::integration {
class ProjectMap;
}

namespace tessaro::cli {

/// The map of a command-line run: the tiles' coordinate systems in their side files, the
/// selected features read from a vector dataset, the block index and the mosaic through the
/// GDAL module, and the tile layers in a QGIS project file. Without a project there is no map
/// to add tiles to (the run says "Added: 0 (skipped)").
///
/// The GDAL module is loaded only when the run needs it: a selection, a block index or a
/// mosaic. Without them every map step decides here that it has nothing to do, and the side
/// files are written without GDAL.
class CliMapHost final : public load::MapHost {
public:
    /// abort, when given, ends a wait for the block index that another run holds.
    CliMapHost(const settings::Settings &settings, UiPort &ui, const AbortFlag *abort = nullptr);
    ~CliMapHost() override;

    /// Opens (or, after the question, creates) the block index at path, as the dialog does when
    /// it starts with an index configured, and checks that it reads back whole. Returns false
    /// when no index resulted. The index is closed again: each run opens it anew, locked,
    /// when it records its tiles, so that runs at once add their records one after another.
    /// @throws tessaro::Error when the GDAL module cannot be loaded.
    bool OpenIndex(std::filesystem::path path);

    /// Takes the features of a vector dataset (those the OGR filter where selects, when not
    /// empty) as the map's selected features. Shows why and returns false when it cannot be read.
    /// @throws tessaro::Error when the GDAL module cannot be loaded.
    bool Select(const std::filesystem::path &file, const std::string &where);

    /// Builds a mosaic with these options after each run; with addToProject it is also added to
    /// the attached project.
    /// @throws tessaro::Error when the GDAL module cannot be loaded.
    void SetMosaic(const mosaic::MosaicOptions &options, bool addToProject);
    /// Writes the tiles of each run into a tile store too, before their mosaic.
    /// @throws tessaro::Error when the GDAL module cannot be loaded.
    void SetTileStore(const std::filesystem::path &file, const mosaic::StoreInfo &info);
    /// True when the last run's tiles went into the tile store.
    [[nodiscard]] bool TilesStored() const { return m_gdal && m_gdal->TilesStored(); }
    /// The raster the last mosaic built or appended to; nothing when none was.
    [[nodiscard]] std::optional<std::string> MosaicRaster() const;

    /// The QGIS project that tiles are added to; it must outlive the host.
    void AttachProject(integration::ProjectMap &project);

    std::int64_t SelectionCount() override;
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
    bool HasPolygonIndex() override;
    bool AddPolygonFC(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                      tiles::TilesType type, int level, std::string_view sourceText) override;

private:
    // The host in the GDAL module, made (and the module loaded) on first need.
    // @throws tessaro::Error when the module cannot be loaded.
    integration::GdalHost &Gdal();

    const settings::Settings &m_settings;
    UiPort &m_ui;
    const AbortFlag *m_abort;
    std::unique_ptr<integration::GdalHost> m_gdal;
    integration::ProjectMap *m_project = nullptr;
    bool m_selected = false;
    bool m_mosaic = false; // a mosaic or a tile store: ShowMosaic has work
};

} // namespace tessaro::cli
