#include "cli/cli_map_host.h"

#include "common/error.h"
#include "download/side_file.h"
#include "integration/project_map.h"

namespace tessaro::cli {

CliMapHost::CliMapHost(const settings::Settings &settings, UiPort &ui, const AbortFlag *abort)
    : m_settings(settings), m_ui(ui), m_abort(abort) {}

CliMapHost::~CliMapHost() = default;

integration::GdalHost &CliMapHost::Gdal() {
    if (!m_gdal) {
        m_gdal = integration::LoadGdalModule().MakeHost(m_settings, m_ui, m_abort);
        if (m_project != nullptr) {
            m_gdal->AttachProject(*m_project);
        }
    }
    return *m_gdal;
}

bool CliMapHost::OpenIndex(std::filesystem::path path) {
    return Gdal().OpenPolygonIndex(path, false);
}

bool CliMapHost::Select(const std::filesystem::path &file, const std::string &where) {
    m_selected = Gdal().Select(file, where);
    return m_selected;
}

void CliMapHost::SetMosaic(const mosaic::MosaicOptions &options, bool addToProject) {
    Gdal().SetMosaic(options, addToProject);
    m_mosaic = true;
}

void CliMapHost::SetTileStore(const std::filesystem::path &file, const mosaic::StoreInfo &info) {
    Gdal().SetTileStore(file, info);
    m_mosaic = true; // written where the mosaic is built
}

std::optional<std::string> CliMapHost::MosaicRaster() const {
    return m_gdal ? m_gdal->MosaicRaster() : std::nullopt;
}

void CliMapHost::AttachProject(integration::ProjectMap &project) {
    m_project = &project;
    if (m_gdal) {
        m_gdal->AttachProject(project);
    }
}

std::int64_t CliMapHost::SelectionCount() {
    return m_selected ? m_gdal->SelectionCount() : 0;
}

std::optional<std::array<double, 4>> CliMapHost::SelectionExtent() {
    return m_selected ? m_gdal->SelectionExtent() : std::nullopt;
}

std::int64_t CliMapHost::FilterBySelection(const tiles::TileList &list, tiles::TilesType type,
                                           int level, std::string_view sourceText,
                                           std::vector<tiles::TileRecord> &kept) {
    if (!m_selected) {
        kept.clear(); // nothing selected meets a tile
        return -1;
    }
    return m_gdal->FilterBySelection(list, type, level, sourceText, kept);
}

bool CliMapHost::SetRasterSpatRef(const std::filesystem::path &levelFolder,
                                  const tiles::TileList &list, tiles::TilesType type, int level) {
    // Side files need no GDAL: a plain load never loads the module.
    return download::SetRasterSpatRef(levelFolder, tiles::TileSequence::Of(list), type, level, m_ui)
        .completed;
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
    return !m_mosaic || m_gdal->ShowMosaic(levelFolder, list, type, level);
}

bool CliMapHost::OpenPolygonIndex(std::filesystem::path &path, bool chosen) {
    // A map step reports its problems rather than throw.
    try {
        return Gdal().OpenPolygonIndex(path, chosen);
    } catch (const Error &e) {
        m_ui.ShowMessage(e.what(), Icon::Critical);
        return false;
    }
}

bool CliMapHost::HasPolygonIndex() {
    return m_gdal && m_gdal->HasPolygonIndex();
}

bool CliMapHost::AddPolygonFC(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                              tiles::TilesType type, int level, std::string_view sourceText) {
    return !HasPolygonIndex() || m_gdal->AddPolygonFC(levelFolder, list, type, level, sourceText);
}

} // namespace tessaro::cli
