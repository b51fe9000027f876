#pragma once

#include "common/abort_flag.h"
#include "common/ui_port.h"
#include "load/map_host.h"
#include "mapout/selection_filter.h"
#include "mosaic/mosaic_raster.h"
#include "mosaic/tile_store.h"
#include "settings/settings.h"

#include <filesystem>
#include <optional>
#include <string_view>

namespace tessaro::integration {

/// The part of a map host that works on files through GDAL/OGR, whatever the map is: the tiles'
/// coordinate systems in their side files, the block index, the selection filter and extent
/// over the selected shapes, and the mosaic. What depends on the map (the selected shapes, the
/// tile layers, a mosaic layer) is the derived host's. Free of QGIS, so that the command line
/// links it without QGIS's libraries.
class GdalMapHost : public load::MapHost {
public:
    /// settings is read when tiles are recorded (the versions) and must outlive the host; abort,
    /// when given, ends a wait for the block index that another run holds.
    GdalMapHost(const settings::Settings &settings, UiPort &ui, const AbortFlag *abort = nullptr);

    /// Builds a mosaic with these options after download runs; with addToMap the result is also
    /// added to the map as a layer (AddMosaicLayer).
    void SetMosaic(mosaic::MosaicOptions options, bool addToMap = false) {
        m_mosaic = std::move(options);
        m_mosaicToMap = addToMap;
    }
    /// Has the mosaic of a run chosen in a dialog once its tiles are in, in place of the
    /// options of SetMosaic.
    void SetMosaicDialog(mosaic::MosaicDialog dialog) { m_mosaicDialog = std::move(dialog); }
    /// Writes the tiles of download runs into a tile store (MBTiles or GeoPackage) as well,
    /// before their mosaic; see mosaic::WriteTileStore.
    void SetTileStore(std::filesystem::path file, mosaic::StoreInfo info) {
        m_store = std::move(file);
        m_storeInfo = std::move(info);
    }
    /// What the last tile store write did, when there was one.
    [[nodiscard]] const std::optional<mosaic::StoreResult> &TilesStored() const noexcept {
        return m_storeResult;
    }
    /// What the last mosaic built, when it built one.
    [[nodiscard]] const std::optional<mosaic::MosaicResult> &MosaicBuilt() const noexcept {
        return m_mosaicResult;
    }

    std::int64_t SelectionCount() override { return static_cast<std::int64_t>(Selected().size()); }
    std::optional<std::array<double, 4>> SelectionExtent() override;
    std::int64_t FilterBySelection(const tiles::TileList &list, tiles::TilesType type, int level,
                                   std::string_view sourceText,
                                   std::vector<tiles::TileRecord> &kept) override;
    bool SetRasterSpatRef(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                          tiles::TilesType type, int level) override;
    bool ShowMosaic(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                    tiles::TilesType type, int level) override;
    bool OpenPolygonIndex(std::filesystem::path &path, bool chosen) override;
    bool HasPolygonIndex() override { return m_indexPath.has_value(); }
    bool AddPolygonFC(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                      tiles::TilesType type, int level, std::string_view sourceText) override;

protected:
    /// The map's selected shapes, each with its coordinate system.
    virtual const mapout::Selection &Selected() = 0;
    /// Adds a built mosaic to the map under a name; reports a failure under procedure and
    /// returns false. A host without a map adds nothing and returns true.
    virtual bool AddMosaicLayer(const std::string &raster, const std::string &name,
                                std::string_view procedure) = 0;

    [[nodiscard]] const settings::Settings &Settings() const noexcept { return m_settings; }
    [[nodiscard]] UiPort &Ui() const noexcept { return m_ui; }

private:
    const settings::Settings &m_settings;
    UiPort &m_ui;
    const AbortFlag *m_abort;
    std::optional<std::filesystem::path> m_indexPath; // as the opening rewrote it
    std::optional<mosaic::MosaicOptions> m_mosaic;
    mosaic::MosaicDialog m_mosaicDialog;
    std::optional<mosaic::MosaicResult> m_mosaicResult;
    bool m_mosaicToMap = false;
    std::optional<std::filesystem::path> m_store;
    mosaic::StoreInfo m_storeInfo;
    std::optional<mosaic::StoreResult> m_storeResult;
};

} // namespace tessaro::integration
