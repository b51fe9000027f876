#include "cli/module_loader.h"

#include "common/error.h"
#include "common/files.h"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include <dlfcn.h>

namespace tessaro::cli {

namespace {

// Where the module may be: named by its variable, or beside the running program.
std::filesystem::path ModulePath(const ModuleInfo &module) {
    if (const char *named = std::getenv(module.environment); named != nullptr && *named != '\0') {
        return named;
    }
    return std::filesystem::path(ProgramPath()).parent_path() / module.fileName;
}

} // namespace

void *LoadModuleSymbol(const ModuleInfo &module) {
    // Loaded once and kept for the life of the process: neither QGIS nor GDAL can be unloaded.
    static std::map<std::string, void *, std::less<>> loaded;
    if (const auto found = loaded.find(module.symbol); found != loaded.end()) {
        return found->second;
    }
    const auto path = ModulePath(module);
    std::string reason;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        reason = "no such file";
    } else if (void *handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); handle == nullptr) {
        const char *why = ::dlerror();
        reason = why != nullptr ? why : "not loadable";
    } else if (void *symbol = ::dlsym(handle, module.symbol); symbol == nullptr) {
        reason = "not " + std::string(module.description) + " of this program";
    } else {
        loaded.emplace(module.symbol, symbol);
        return symbol;
    }
    throw Error(std::string(module.neededBy) + " the module " + std::string(module.fileName) +
                ", which could not be loaded:\n  " + path.string() + ": " + reason);
}

} // namespace tessaro::cli
