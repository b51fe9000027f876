#include "cli/command.h"
#include "cli/request_options.h"
#include "cli/settings_options.h"
#include "common/atomic_file.h"
#include "load/block_estimate.h"

namespace tessaro::cli {

namespace {

constexpr std::string_view kUsage =
    R"(Usage: tessaro estimate [--source goo|scan|shade|yand] [--kind sat|map|land]
                        [--level L] [--extent LAT1,LAT2,LON1,LON2]
       tessaro estimate --url-template URL [--mirrors A,B,...] [--level Z] [--extent ...]

Prints how many tiles a request needs and about how much disk they take, as two lines:
  tiles: N
  size: S
S is N x 26 for satellite tiles and template sources, N x 11.5 for map and landscape tiles.

Options (absent ones keep the dialog's start values):
  --source   tile source: goo (default), scan, shade, yand
  --kind     tile kind: sat (default), map, land
  --level    zoom level, 1 to 22 (default 15); for a template source the zoom z, 0 to 22
  --url-template URL
             a template source on the standard web-mercator grid (EPSG:3857, 2^z tiles a
             side) in place of --source and --kind: {z}, {x}, {y}, {-y} (row from the south),
             {q} (quadkey) and {s} (the next of --mirrors) are filled in per tile
  --mirrors A,B,...  the values {s} takes in turn
  --extent   south and north latitude, west and east longitude in decimal degrees
             (default 37.8,38.2,55.2,55.8); write --extent=-12.5,-11,30,31 when the
             first number is negative. Parts of the extent beyond the tile grid (past about
             85.05 degrees on the Google grid, longitude 180) are clamped to the grid's edge.

Exit codes: 0 done; 1 unsupported source and kind, or more tiles than a 32-bit count holds
(the overflow message is printed and the count shows 0); 2 usage error.
)";

constexpr std::array<OptionSpec, 7> kOptions{{
    kRequestOptions[0],
    kRequestOptions[1],
    kRequestOptions[2],
    kRequestOptions[3],
    kRequestOptions[4],
    kRequestOptions[5],
    kConfigOption,
}};

class EstimateCommand : public Command {
public:
    void Setup(const ParsedOptions &options) override { m_request = ReadRequestOptions(options); }

    int Run(CommandContext &context) override {
        const auto &r = m_request.request;
        if (r.type == tiles::TilesType::Invalid) {
            context.ui.ShowMessage(kUnsupportedTypeMessage);
            return kExitProcessing;
        }
        const auto estimate =
            m_request.urlTemplate
                ? load::TemplateEstimate(r, context.ui)
                : load::ShowBlocksParam(m_request.source, m_request.kind, r.lat1, r.lat2, r.lon1,
                                        r.lon2, r.level, context.ui);
        FdWriter out(context.stdoutFd, "standard output");
        out.Write("tiles: " + estimate.countText + "\nsize: " + estimate.sizeText + "\n");
        out.Flush();
        // A validated request always covers at least one tile, so 0 means the count failed.
        return estimate.count > 0 ? kExitOk : kExitProcessing;
    }

private:
    RequestOptions m_request;
};

} // namespace

CommandInfo EstimateCommandInfo() {
    return {"estimate", "show how many tiles a request needs and about how much disk they take",
            kUsage, kOptions, [] { return std::make_unique<EstimateCommand>(); }};
}

} // namespace tessaro::cli
