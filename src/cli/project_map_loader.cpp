// Loads the QGIS module on first use and opens projects through it.

#include "cli/module_loader.h"
#include "common/error.h"
#include "integration/project_map.h"

#include <array>

namespace tessaro::integration {

namespace {

OpenProjectMapFunction LoadModule() {
    return reinterpret_cast<OpenProjectMapFunction>(
        cli::LoadModuleSymbol({"libtessaro-qgis.so", "TESSARO_QGIS_MODULE", kOpenProjectMapSymbol,
                               "the QGIS module", "QGIS projects need"}));
}

} // namespace

std::unique_ptr<ProjectMap> OpenProjectMap(const std::filesystem::path &path,
                                           ProjectLayers layers) {
    const OpenProjectMapFunction open = LoadModule();
    std::array<char, 2048> reason{};
    int fileError = 0;
    std::unique_ptr<ProjectMap> map(open(path.c_str(), layers == ProjectLayers::Deferred ? 1 : 0,
                                         &fileError, reason.data(), reason.size()));
    if (!map) {
        if (fileError != 0) {
            throw FileError(reason.data());
        }
        throw Error(reason.data());
    }
    return map;
}

} // namespace tessaro::integration
