#include "cli/cli_map_host.h"
#include "cli/command.h"
#include "cli/terminal_ui.h"
#include "common/atomic_file.h"
#include "common/error.h"
#include "common/files.h"
#include "integration/project_map.h"
#include "load/dialog_request.h"
#include "settings/local_servers.h"
#include "tileserver/tile_server.h"

namespace tessaro::cli {

namespace {

// The name of the demo's template source: its block-index Service and its group in the map.
constexpr const char *kTemplateName = "xyz";

constexpr std::string_view kUsage =
    R"(Usage: tessaro demo [DIR]

Starts the built-in tile server on a free loopback port, points the settings at it (in memory
only: the stored settings are neither read nor changed), and runs one real load per source and
kind into DIR (default ./tessaro-demo): Google satellite, map and landscape, ScanEx satellite
and map, shaded relief, Yandex satellite and map, and a template source (the server's
/xyz/{z}/{x}/{y}.png addresses, zoom 14, into xyz/14/<x>/<y>.jpg, since the server sends
JPEG), each over a small extent in Moscow, with load
log and .ion list, a mosaic of its tiles (<folder>/mosaic.tif; Google satellite's is a
cloud-optimised GeoTIFF) and a record per tile in the block index DIR/blocks.gpkg (layer
"blocks"). The Google runs also store their tiles in an MBTiles file (<folder>/tiles.mbtiles). Every tile and every mosaic is added to the QGIS
project DIR/tessaro-demo.qgs, tiles grouped per source and level. For each run it prints the
counters and where the files are.

Every tile's pixels encode the tile's own numbers, so their placement can be checked through
the world files (see 'tessaro serve').

Exit codes: 0 every run loaded every tile; 1 a run failed; 2 usage error.
)";

struct DemoRun {
    const char *folder;
    const char *title;
    tiles::Source source;
    tiles::Kind kind;
    int level;
    bool templateSource; // the server's XYZ addresses through a URL template; level is the zoom
    bool cog;            // the mosaic is a cloud-optimised GeoTIFF
    bool store;          // the tiles also go into <folder>/tiles.mbtiles
};

constexpr DemoRun kRuns[] = {
    {"google-sat", "Google satellite", tiles::Source::Goo, tiles::Kind::Sat, 15, false, true, true},
    {"google-map", "Google map", tiles::Source::Goo, tiles::Kind::Map, 15, false, false, true},
    {"google-land", "Google landscape", tiles::Source::Goo, tiles::Kind::Land, 15, false, false,
     true},
    {"scanex-sat", "ScanEx satellite", tiles::Source::Scan, tiles::Kind::Sat, 14, false, false,
     false},
    {"scanex-map", "ScanEx map", tiles::Source::Scan, tiles::Kind::Map, 14, false, false, false},
    {"relief", "Shaded relief", tiles::Source::Shade, tiles::Kind::Sat, 9, false, false, false},
    {"yandex-sat", "Yandex satellite", tiles::Source::Yand, tiles::Kind::Sat, 14, false, false,
     false},
    {"yandex-map", "Yandex map", tiles::Source::Yand, tiles::Kind::Map, 14, false, false, false},
    {"xyz", "Template source", tiles::Source::Goo, tiles::Kind::Sat, 14, true, false, false},
};

// The tile store of a Google run, in its folder.
constexpr const char *kStoreName = "tiles.mbtiles";

// The demo's extent: a small area in Moscow, south, north, west, east.
constexpr std::array<double, 4> kExtent{55.745, 55.765, 37.58, 37.64};

// The dialog as the demo fills it for one run: the built-in server's addresses, the run's
// source, kind, level and folder, the log and the .ion list, the block index and the mosaic.
settings::Settings DemoDialog(const DemoRun &demo, const std::string &serverUrl,
                              const std::filesystem::path &folder,
                              const std::filesystem::path &indexPath) {
    auto settings = settings::Settings::FirstOpening();
    for (const auto &[key, value] : settings::ServerSettingsFor(serverUrl)) {
        settings.Text(key) = value;
    }
    settings.Text(*settings::Settings::DirectoryKey(demo.source, demo.kind)) = folder.string();
    settings.source = demo.source;
    settings.kind = demo.kind;
    settings.upDownLevel = demo.level;
    settings.Text(settings::Key::Level) = std::to_string(demo.level);
    settings.skipLog = false;
    settings.makeIon = true;
    settings.connections = 4;
    settings.createPolygon = true;
    settings.mosaic = true;
    settings.Text(settings::Key::OutPolygon) = indexPath.string();
    return settings;
}

// What a run printed: its title, its tile folder, its counters without CRs, its mosaic.
std::string RunReport(const DemoRun &demo, const std::filesystem::path &folder, int level,
                      const load::LoadRunResult &result, const CliMapHost &host) {
    std::string text = "\n== " + std::string(demo.title) + ", level " + std::to_string(level) +
                       ": " + (folder / std::to_string(level)).string() + "/\n";
    for (char c : result.txtLog) {
        if (c != '\r') {
            text += c;
        }
    }
    text += '\n';
    if (const auto raster = host.MosaicRaster()) {
        text += "Mosaic: " + *raster + "\n";
    }
    if (host.TilesStored()) {
        text += "Tile store: " + (folder / kStoreName).string() + "\n";
    }
    return text;
}

class DemoCommand : public Command {
public:
    void Setup(const ParsedOptions &options) override {
        m_dir =
            options.Positional().empty() ? std::string("tessaro-demo") : options.Positional()[0];
    }

    int Run(CommandContext &context) override {
        if (!MakeDir(m_dir)) {
            throw FileError("Cannot create the demo folder " + m_dir + ".");
        }
        const auto root = std::filesystem::absolute(m_dir);
        tileserver::TileServer server;
        server.Start();
        // The demo's own block index, created without asking.
        if (auto *terminal = dynamic_cast<TerminalUi *>(&context.ui)) {
            terminal->SetAnswerWithoutAsking(Question::CreateIndex, true);
        }
        const auto indexPath = root / "blocks.gpkg" / "blocks";
        // One QGIS project for all runs: each source and kind gets its group, each level its
        // group inside it, each mosaic a layer of its own.
        const auto project = integration::OpenProjectMap(root / "tessaro-demo.qgs",
                                                         integration::ProjectLayers::Open);
        FdWriter out(context.stdoutFd, "standard output");
        out.Write("Built-in tile server: " + server.BaseUrl() + "\n");
        out.Flush();
        bool allLoaded = true;
        for (const auto &demo : kRuns) {
            const auto loaded = RunOne(demo, server.BaseUrl(), root, indexPath, *project, context);
            if (!loaded) {
                return kExitProcessing;
            }
            allLoaded = allLoaded && *loaded;
            if (context.abort != nullptr && context.abort->IsSet()) {
                break;
            }
        }
        server.Stop();
        const bool saved = project->Save(context.ui);
        out.Write("\nBlock index of every tile: " + indexPath.string() + "\n");
        if (saved) {
            out.Write("QGIS project with every tile and mosaic: " + project->Path().string() +
                      "\n");
        }
        out.Flush();
        return allLoaded && saved ? kExitOk : kExitProcessing;
    }

private:
    // Loads one source and kind into its folder and prints what it did. Returns whether every
    // tile was loaded, or nothing when the block index cannot be opened.
    static std::optional<bool> RunOne(const DemoRun &demo, const std::string &serverUrl,
                                      const std::filesystem::path &root,
                                      const std::filesystem::path &indexPath,
                                      integration::ProjectMap &project, CommandContext &context) {
        const auto folder = root / demo.folder;
        if (!MakeDir(folder)) {
            throw FileError("Cannot create the demo folder " + folder.string() + ".");
        }
        auto settings = DemoDialog(demo, serverUrl, folder, indexPath);
        settings.templateSource = demo.templateSource ? kTemplateName : "";
        CliMapHost host(settings, context.ui, context.abort);
        if (!host.OpenIndex(indexPath)) {
            return std::nullopt;
        }
        mosaic::MosaicOptions mosaicOptions;
        mosaicOptions.output = folder / "mosaic.tif";
        mosaicOptions.cog = demo.cog;
        std::error_code ec;
        std::filesystem::remove(mosaicOptions.output, ec); // a new mosaic each demo
        host.SetMosaic(mosaicOptions, true);
        if (demo.store) {
            host.SetTileStore(folder / kStoreName, {demo.title, "Tessaro's built-in tile server"});
        }
        host.AttachProject(project);

        load::LoadRunContext run(settings, context.ui);
        run.abort = context.abort;
        run.host = &host;
        load::KnownValues known;
        known.extent = kExtent;
        if (demo.templateSource) {
            known.urlTemplate =
                download::UrlTemplate{serverUrl + "/xyz/{z}/{x}/{y}.png", {}, kTemplateName, ""};
        }
        const auto result = load::CmdLoad_Click(run, known);
        FdWriter out(context.stdoutFd, "standard output");
        out.Write(RunReport(demo, folder, settings.upDownLevel, result, host));
        out.Flush();
        return result.outcome == load::RunOutcome::Completed && result.wasErrors == 0 &&
               result.wasLoaded > 0;
    }

    std::string m_dir;
};

} // namespace

CommandInfo DemoCommandInfo() {
    return {"demo",
            "run one real load per source and kind against the built-in tile server",
            kUsage,
            {},
            [] { return std::make_unique<DemoCommand>(); },
            1};
}

} // namespace tessaro::cli
