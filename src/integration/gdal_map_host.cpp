#include "integration/gdal_map_host.h"

#include "common/error_report.h"
#include "mapout/block_index.h"
#include "mapout/spatial_reference.h"
#include "tiles/tile_sequence.h"

namespace tessaro::integration {

GdalMapHost::GdalMapHost(const settings::Settings &settings, UiPort &ui, const AbortFlag *abort)
    : m_settings(settings), m_ui(ui), m_abort(abort) {}

bool GdalMapHost::OpenPolygonIndex(std::filesystem::path &path, bool chosen) {
    if (!mapout::OpenLockedIndex(path, m_ui, {true, m_abort, chosen})) {
        return false;
    }
    m_indexPath = path;
    return true;
}

bool GdalMapHost::SetRasterSpatRef(const std::filesystem::path &levelFolder,
                                   const tiles::TileList &list, tiles::TilesType type, int level) {
    // A run that stopped has reported why.
    return download::SetRasterSpatRef(levelFolder, tiles::TileSequence::Of(list), type, level, m_ui)
        .completed;
}

std::optional<std::array<double, 4>> GdalMapHost::SelectionExtent() {
    const auto extent = mapout::SelectionExtent(Selected());
    if (!extent) {
        return std::nullopt;
    }
    return std::array<double, 4>{extent->lat1, extent->lat2, extent->lon1, extent->lon2};
}

std::int64_t GdalMapHost::FilterBySelection(const tiles::TileList &list, tiles::TilesType type,
                                            int level, std::string_view sourceText,
                                            std::vector<tiles::TileRecord> &kept) {
    // Reading the map's selection may fail as the filter itself may: reported alike.
    const mapout::Selection *selected =
        RunTrapped(m_ui, "FilterBySelection ", [this] { return &Selected(); }).value_or(nullptr);
    if (selected == nullptr) {
        kept.clear();
        return -1;
    }
    auto result = mapout::FilterBySelection(list, type, level, sourceText, *selected, m_ui);
    kept = std::move(result.kept);
    return result.lastIndex;
}

bool GdalMapHost::ShowMosaic(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                             tiles::TilesType type, int level) {
    bool stored = true;
    if (m_store) {
        m_storeResult =
            mosaic::WriteTileStore(*m_store, levelFolder, list, type, level, m_storeInfo, m_ui);
        stored = m_storeResult->written;
    }
    bool toMap = m_mosaicToMap;
    if (m_mosaicDialog) {
        auto choice = m_mosaicDialog(levelFolder, list, type, level);
        if (!choice) {
            return stored; // cancelled: no mosaic was asked for after all
        }
        m_mosaicResult = std::move(choice->mosaic);
        toMap = choice->addToMap;
    } else if (m_mosaic) {
        m_mosaicResult = mosaic::BuildMosaic(levelFolder, list, type, level, *m_mosaic, m_ui);
    } else {
        return stored;
    }
    const bool built = m_mosaicResult->outcome == mosaic::MosaicOutcome::Built ||
                       m_mosaicResult->outcome == mosaic::MosaicOutcome::Appended;
    if (built && toMap) {
        return AddMosaicLayer(m_mosaicResult->raster, m_mosaicResult->layerName,
                              "cmdOk_Click Mocaic raster ") &&
               stored;
    }
    return built && stored;
}

bool GdalMapHost::AddPolygonFC(const std::filesystem::path &levelFolder,
                               const tiles::TileList &list, tiles::TilesType type, int level,
                               std::string_view sourceText) {
    if (!m_indexPath) {
        return true;
    }
    const mapout::VersionTexts versions{m_settings.Trimmed(settings::Key::SatVersion),
                                        m_settings.Trimmed(settings::Key::MapVersion),
                                        m_settings.Trimmed(settings::Key::LandVersion)};
    std::filesystem::path path = *m_indexPath;
    auto index = mapout::OpenLockedIndex(path, m_ui, {false, m_abort});
    if (!index) {
        return false;
    }
    return mapout::AddPolygonFC(levelFolder, &index->Index(), tiles::TileSequence::Of(list), type,
                                level, sourceText, versions, m_ui)
        .completed;
}

} // namespace tessaro::integration
