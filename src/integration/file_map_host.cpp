#include "integration/file_map_host.h"

#include "integration/project_map.h"

namespace tessaro::integration {

FileMapHost::FileMapHost(const settings::Settings &settings, UiPort &ui, const AbortFlag *abort)
    : GdalMapHost(settings, ui, abort) {}

bool FileMapHost::OpenIndex(std::filesystem::path path) {
    return OpenPolygonIndex(path, false);
}

std::int64_t FileMapHost::AddGoogleRasters(const std::filesystem::path &levelFolder,
                                           const tiles::TileList &list, int level,
                                           tiles::TilesType type) {
    if (m_project == nullptr) {
        return 0;
    }
    return m_project->AddGoogleRasters(levelFolder, list, level, type, Settings(), Ui());
}

bool FileMapHost::AddMosaicLayer(const std::string &raster, const std::string &name,
                                 std::string_view procedure) {
    if (m_project == nullptr) {
        return true;
    }
    return m_project->AddRasterToRoot(raster, name, procedure, Ui());
}

} // namespace tessaro::integration
