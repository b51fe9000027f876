#pragma once

#include "common/abort_flag.h"
#include "common/ui_port.h"
#include "load/map_host.h"
#include "mosaic/mosaic_options.h"
#include "mosaic/store_target.h"
#include "settings/settings.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace tessaro::integration {

class ProjectMap;

/// The command line's map host on the GDAL side: the selection, the block index, the side
/// files and the mosaic (FileMapHost), set up through plain calls. The command line keeps the
/// decisions that need no GDAL (no selection, no index, no mosaic: nothing to do) to itself and
/// turns to this host only for the work. No call throws: an exception never crosses the
/// module's boundary, every failure is reported to the user inside it.
class GdalHost : public load::MapHost {
public:
    /// Reads the features of a vector dataset (filtered by where, an OGR attribute filter, when
    /// not empty) as the map's selected features. Shows why and returns false when the
    /// dataset cannot be read.
    virtual bool Select(const std::filesystem::path &file, const std::string &where) = 0;
    /// Builds a mosaic with these options after each run; with addToMap it is also added to
    /// the attached project.
    virtual void SetMosaic(const mosaic::MosaicOptions &options, bool addToMap) = 0;
    /// Writes the tiles of each run into a tile store too (mosaic::WriteTileStore), before
    /// their mosaic.
    virtual void SetTileStore(const std::filesystem::path &file, const mosaic::StoreInfo &info) = 0;
    /// True when the last run's tiles went into the tile store.
    [[nodiscard]] virtual bool TilesStored() const = 0;
    /// The QGIS project mosaics are added to; it must outlive the host.
    virtual void AttachProject(ProjectMap &project) = 0;
    /// The raster the last mosaic built or appended to, as GDAL opens it; nothing when none.
    [[nodiscard]] virtual std::optional<std::string> MosaicRaster() const = 0;
};

/// How reading the extent of a selection ended, and its text.
struct SelectionExtentText {
    enum class Outcome {
        Extent,          ///< text: "LAT1,LAT2,LON1,LON2", as --extent takes it
        NothingSelected, ///< text: the message that says no feature has an extent
        Failed,          ///< text: why the dataset or an extent could not be read
    };
    Outcome outcome = Outcome::Failed;
    std::string text;
};

/// What the GDAL module offers: GDAL, OGR and the many libraries they bring (over a hundred)
/// live in a module of their own, libtessaro-gdal.so, that the command line loads only for a
/// run that needs them, so that every other run starts and runs without them. No call throws.
class GdalModule {
public:
    virtual ~GdalModule() = default;

    /// A host for the runs of one request; settings must outlive it, abort (when given) ends a
    /// wait for the block index that another run holds.
    [[nodiscard]] virtual std::unique_ptr<GdalHost>
    MakeHost(const settings::Settings &settings, UiPort &ui, const AbortFlag *abort) = 0;

    /// The checks a mosaic makes of its output before it reads a tile; see
    /// mosaic::CheckMosaicTarget. Shows the refusal and returns false when it would refuse.
    [[nodiscard]] virtual bool CheckMosaicTarget(const mosaic::MosaicOptions &options,
                                                 UiPort &ui) = 0;

    /// Reads the features of a vector dataset (see mapout::ReadSelection) and the extent of
    /// them all in WGS 84 degrees (mapout::SelectionExtent).
    [[nodiscard]] virtual SelectionExtentText ReadSelectionExtent(const std::filesystem::path &file,
                                                                  const std::string &where) = 0;
};

/// Loads the GDAL module on first use (beside the program, or where TESSARO_GDAL_MODULE
/// names it) and returns what it offers; it stays loaded for the life of the process.
/// @throws tessaro::Error naming the module and why it could not be loaded.
[[nodiscard]] GdalModule &LoadGdalModule();

/// The name of the function the GDAL module exports: it returns the module's GdalModule.
inline constexpr const char *kGdalModuleSymbol = "tessaro_gdal_module";
using GdalModuleFunction = GdalModule *(*)();

} // namespace tessaro::integration
