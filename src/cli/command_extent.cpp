#include "cli/command.h"
#include "common/atomic_file.h"
#include "common/error.h"
#include "integration/gdal_module.h"

#include <array>

namespace tessaro::cli {

namespace {

constexpr std::string_view kUsage =
    R"(Usage: tessaro extent --selection FILE [--selection-where EXPR]

Prints the extent of the selected features in WGS 84 degrees as one line
  LAT1,LAT2,LON1,LON2
(south and north latitude, west and east longitude, the order --extent takes), so that
  tessaro load --extent=$(tessaro extent --selection roads.gpkg) ...
loads the area of a selection. Each feature's extent is projected from its layer's
coordinate system into WGS 84 along its edges, and the union of them all is printed.
Numbers have up to 15 significant digits and "." as the decimal point. An extent that wraps
across the 180th meridian is widened to longitudes -180 to 180.

Options:
  --selection FILE        the selected features: any vector data source GDAL reads
                          (a shapefile, a GeoPackage, GeoJSON, ...); the features of all its
                          layers are taken
  --selection-where EXPR  keep only the features that satisfy this OGR attribute filter
                          (SQL WHERE syntax, e.g. "name = 'Moscow'"); it must suit every layer

Exit codes: 0 done; 1 the file cannot be read, the filter does not suit a layer, a feature
has no coordinate system, no feature is selected ("На карте нет выбранных объектов"), or
the GDAL module libtessaro-gdal.so (TESSARO_GDAL_MODULE) cannot be loaded; 2 usage error.
)";

constexpr std::array<OptionSpec, 2> kOptions{{
    {"selection", true, false},
    {"selection-where", true, false},
}};

class ExtentCommand : public Command {
public:
    void Setup(const ParsedOptions &options) override {
        const auto *file = options.Get("selection");
        if (file == nullptr || file->empty()) {
            throw ArgumentError("--selection needs the file of the selected features.");
        }
        m_selection = *file;
        if (const auto *where = options.Get("selection-where")) {
            m_where = *where;
        }
    }

    int Run(CommandContext &context) override {
        using Outcome = integration::SelectionExtentText::Outcome;
        const auto extent = integration::LoadGdalModule().ReadSelectionExtent(m_selection, m_where);
        if (extent.outcome == Outcome::Failed) {
            throw Error(extent.text);
        }
        if (extent.outcome == Outcome::NothingSelected) {
            context.ui.ShowMessage(extent.text);
            return kExitProcessing;
        }
        FdWriter out(context.stdoutFd, "standard output");
        out.Write(extent.text + "\n");
        out.Flush();
        return kExitOk;
    }

private:
    std::string m_selection;
    std::string m_where;
};

} // namespace

CommandInfo ExtentCommandInfo() {
    return {"extent", "print the extent of selected features as LAT1,LAT2,LON1,LON2", kUsage,
            kOptions, [] { return std::make_unique<ExtentCommand>(); }};
}

} // namespace tessaro::cli
