#include "cli/cli_map_host.h"

#include "common/error_report.h"
#include "integration/project_map.h"
#include "mapout/block_index.h"
#include "mapout/spatial_reference.h"
#include "mapout/tile_sequence.h"

namespace tessaro::cli {

namespace {

// A pass over a run's list for the data layer, read from the list without holding it.
mapout::TileSequence SequenceOf(const tiles::TileList &list) {
    auto cursor = std::make_shared<tiles::TileList::Cursor>(list.Begin());
    return {list.Size(), [cursor](tiles::TileRecord &r) { return cursor->Next(r); }};
}

} // namespace

CliMapHost::CliMapHost(const settings::Settings &settings, UiPort &ui, const AbortFlag *abort)
    : m_settings(settings), m_ui(ui), m_abort(abort) {}

bool CliMapHost::OpenIndex(std::filesystem::path path) {
    return OpenPolygonIndex(path, false);
}

bool CliMapHost::OpenPolygonIndex(std::filesystem::path &path, bool chosen) {
    if (!mapout::OpenLockedIndex(path, m_ui, {true, m_abort, chosen})) {
        return false;
    }
    m_indexPath = path;
    return true;
}

bool CliMapHost::SetRasterSpatRef(const std::filesystem::path &levelFolder,
                                  const tiles::TileList &list, tiles::TilesType type, int level) {
    // A run that stopped has reported why.
    return mapout::SetRasterSpatRef(levelFolder, SequenceOf(list), type, level, m_ui).completed;
}

std::optional<std::array<double, 4>> CliMapHost::SelectionExtent() {
    const auto extent = mapout::SelectionExtent(m_selection);
    if (!extent) {
        return std::nullopt;
    }
    return std::array<double, 4>{extent->lat1, extent->lat2, extent->lon1, extent->lon2};
}

std::int64_t CliMapHost::FilterBySelection(const tiles::TileList &list, tiles::TilesType type,
                                           int level, std::string_view sourceText,
                                           std::vector<tiles::TileRecord> &kept) {
    auto result = mapout::FilterBySelection(list, type, level, sourceText, m_selection, m_ui);
    kept = std::move(result.kept);
    return result.lastIndex;
}

std::int64_t CliMapHost::AddGoogleRasters(const std::filesystem::path &levelFolder,
                                          const tiles::TileList &list, int level,
                                          tiles::TilesType type) {
    if (m_project == nullptr) {
        return 0;
    }
    return m_project->AddGoogleRasters(levelFolder, list, level, type, m_settings, m_ui);
}

bool CliMapHost::ShowMosaic(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                            tiles::TilesType type, int level) {
    if (!m_mosaic) {
        return true;
    }
    m_mosaicResult = mosaic::BuildMosaic(levelFolder, list, type, level, *m_mosaic, m_ui);
    const bool built = m_mosaicResult->outcome == mosaic::MosaicOutcome::Built ||
                       m_mosaicResult->outcome == mosaic::MosaicOutcome::Appended;
    if (built && m_mosaicToProject && m_project != nullptr) {
        return m_project->AddRasterToRoot(m_mosaicResult->raster, m_mosaicResult->layerName,
                                          "cmdOk_Click Mocaic raster ", m_ui);
    }
    return built;
}

bool CliMapHost::AddPolygonFC(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                              tiles::TilesType type, int level, std::string_view sourceText) {
    const mapout::VersionTexts versions{m_settings.Trimmed(settings::Key::SatVersion),
                                        m_settings.Trimmed(settings::Key::MapVersion),
                                        m_settings.Trimmed(settings::Key::LandVersion)};
    if (!m_indexPath) {
        return true;
    }
    std::filesystem::path path = *m_indexPath;
    auto index = mapout::OpenLockedIndex(path, m_ui, {false, m_abort});
    if (!index) {
        return false;
    }
    return mapout::AddPolygonFC(levelFolder, &index->Index(), SequenceOf(list), type, level,
                                sourceText, versions, m_ui)
        .completed;
}

} // namespace tessaro::cli
