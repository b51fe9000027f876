// Loads the QGIS module on first use and opens projects through it.

#include "common/error.h"
#include "common/files.h"
#include "integration/project_map.h"

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include <dlfcn.h>

namespace tessaro::integration {

namespace {

constexpr const char *kModuleName = "libtessaro-qgis.so";

// Where the module may be: named by TESSARO_QGIS_MODULE, or beside the running program.
std::vector<std::filesystem::path> ModuleCandidates() {
    std::vector<std::filesystem::path> candidates;
    if (const char *named = std::getenv("TESSARO_QGIS_MODULE");
        named != nullptr && *named != '\0') {
        candidates.emplace_back(named);
        return candidates;
    }
    candidates.push_back(std::filesystem::path(ProgramPath()).parent_path() / kModuleName);
    return candidates;
}

OpenProjectMapFunction LoadModule() {
    // Loaded once and kept for the life of the process: QGIS cannot be unloaded.
    static OpenProjectMapFunction open = nullptr;
    if (open != nullptr) {
        return open;
    }
    std::string reasons;
    for (const auto &candidate : ModuleCandidates()) {
        std::error_code ec;
        if (!std::filesystem::exists(candidate, ec)) {
            reasons += "\n  " + candidate.string() + ": no such file";
            continue;
        }
        void *module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            const char *why = ::dlerror();
            reasons += "\n  " + candidate.string() + ": " + (why != nullptr ? why : "not loadable");
            continue;
        }
        open = reinterpret_cast<OpenProjectMapFunction>(::dlsym(module, kOpenProjectMapSymbol));
        if (open != nullptr) {
            return open;
        }
        reasons += "\n  " + candidate.string() + ": not the QGIS module of this program";
    }
    throw Error("QGIS projects need the module " + std::string(kModuleName) +
                ", which could not be loaded:" + reasons);
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
