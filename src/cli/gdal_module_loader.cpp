// Loads the GDAL module on first use.

#include "cli/module_loader.h"
#include "integration/gdal_module.h"

namespace tessaro::integration {

GdalModule &LoadGdalModule() {
    const auto get = reinterpret_cast<GdalModuleFunction>(
        cli::LoadModuleSymbol({"libtessaro-gdal.so", "TESSARO_GDAL_MODULE", kGdalModuleSymbol,
                               "the GDAL module", "Selections, block indexes and mosaics need"}));
    return *get();
}

} // namespace tessaro::integration
