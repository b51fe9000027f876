#pragma once

#include <string_view>

namespace tessaro::cli {

/// A module of this program that is loaded only for the runs that need it.
struct ModuleInfo {
    std::string_view fileName;    ///< e.g. "libtessaro-gdal.so", looked for beside the program
    const char *environment;      ///< the variable that names another place for it
    const char *symbol;           ///< the function it exports
    std::string_view description; ///< e.g. "the GDAL module", for a file that lacks the symbol
    std::string_view neededBy;    ///< e.g. "QGIS projects need", opening the error message
};

/// Loads a module (once per process; it is never unloaded) and returns the address of its
/// exported function.
/// @throws tessaro::Error naming the module, each place tried and why it failed there.
[[nodiscard]] void *LoadModuleSymbol(const ModuleInfo &module);

} // namespace tessaro::cli
