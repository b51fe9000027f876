#include "cli/cli_map_host.h"
#include "cli/command.h"
#include "cli/mosaic_options.h"
#include "cli/request_options.h"
#include "cli/settings_options.h"
#include "cli/terminal_ui.h"
#include "common/atomic_file.h"
#include "common/error.h"
#include "common/files.h"
#include "common/text.h"
#include "integration/project_map.h"
#include "load/dialog_request.h"
#include "mosaic/store_target.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace tessaro::cli {

namespace {

constexpr std::string_view kUsageHead =
    R"(Usage: tessaro load [--source goo|scan|shade|yand] [--kind sat|map|land] [--level L]
                    [--extent LAT1,LAT2,LON1,LON2] [--dir DIR] [--calculate-only] [--log]
                    [--ion] [--offline] [--timeout S] [--tiles-at-once N] [--connections N]
                    [--bad-tile retry|cancel] [--bad-offline delete|exit] [--proxy-user USER]
                    [--user-agent NAME] [--retries N] [--max-rate R]
                    [--index PATH [--yes|--no]]
                    [--selection FILE [--selection-where EXPR]]
                    [--mosaic OUT [mosaic options]] [--store FILE.mbtiles|FILE.gpkg]
                    [--project FILE [--mosaic-to-project] [--project-crs CODE]
                    [--project-layers tile|level]]
                    [--quiet] [--set NAME=VALUE]... [--config FILE]
       tessaro load --url-template URL [--mirrors A,B,...] [--level Z] ... (as above)

Runs a load as the dialog's load button does. The command starts from the values of a freshly
opened dialog, applies the stored settings silently when a store exists, then the --set
changes, then the options. Tiles go to DIR/<level>/ (relief tiles to DIR/<level>/row<row>/,
a template source's to DIR/<z>/<x>/<y>.png or .jpg, as the server sent them), each with its
world file; the load log lies in DIR.

Request:
  --source, --kind   tile source and kind (default goo, sat)
  --level L          zoom level 1..22 (default: the stored level, else 15); ScanEx and Yandex
                     are lowered to 17 and shaded relief to 9, with a message
  --extent ...       south, north latitude, west, east longitude (default 37.8,38.2,55.2,55.8);
                     write --extent=-12.5,-11,30,31 when it starts with a minus sign
  --url-template URL a template source on the web-mercator grid (EPSG:3857) in place of
                     --source and --kind; --level is then its zoom, 0..22. {z}, {x}, {y},
                     {-y} (row from the south), {q} (quadkey), {s} (the next of --mirrors)
  --mirrors A,B,...  the values {s} takes in turn
  --part K/N         only the K-th of N disjoint parts of the tile list (as 'tessaro list'
                     splits it); the part's log, .ion list and --index carry "_part<K>of<N>"
                     in their names, its tiles go to the same tree as every other part's
  --dir DIR          the tile folder of the source and kind (it must exist)
What to write:
  --calculate-only   download nothing: count the tiles not on disk, write the log and the .ion
                     list with the addresses the tiles would be fetched from
  --log              write the load log (Tessaro_sat.log, SSevice_map.log, ... in DIR)
  --ion              write the .ion list of file names and addresses in DIR/<level>/
Downloading:
  --offline          fetch nothing; use only the tiles already on disk
  --timeout S        pause in seconds after every batch of Google tiles (0 means 30)
  --tiles-at-once N  Google batch size (not 0)
  --connections N    transfers at once (1..64, default 1: one after another); the files
                     written are the same as with 1
  --bad-tile A       without a terminal, what to do when a Google tile is not an image:
                     retry (at most 3 times for one tile) or cancel the run (default)
  --bad-offline A    without a terminal, what to do with a bad file in an offline run:
                     delete it and every later bad file, or exit (default)
  --proxy-user USER  proxy user name; the password comes from the environment variable
                     TESSARO_PROXY_PASSWORD or is asked at the terminal, never an argument.
                     The proxy itself comes from http_proxy / https_proxy / no_proxy.
  --user-agent NAME  the User-Agent the requests give (default: the stored txtUserAgent,
                     else Tessaro/<version>)
  --retries N        how often a tile the server answered 429 or 503 ("slow down") is asked
                     for again (default 3); meanwhile no transfer starts, for the server's
                     Retry-After (at most 10 minutes) or a back-off doubling from 1 s
  --max-rate R       start at most R transfers per second (tiles per second)
Map:
  --project FILE     add the tiles to the QGIS project FILE (.qgs or .qgz; created when
                     missing, saved at the end of the run): one group per source and kind named
                     from the layer-name settings, one group per level ("Level_15"), one raster
                     layer per tile file. Without it the map is skipped (Added: 0, skipped).
  --mosaic-to-project  also add the mosaic (--mosaic) to the project (once: a later run
                     that rebuilds it keeps its layer)
  --project-crs CODE the project's coordinate system, as EPSG:3857 or ESRI:53004 (default: a
                     project without one takes the system of its first tiles)
  --project-layers M tile (default): one layer per tile file; level: one virtual mosaic
                     (DIR/<level>/tessaro-level.vrt of every tile in the level folder) per
                     level group, which opens at once however many tiles there are; Added
                     then counts the run's tiles that it shows
Tile store:
  --store FILE       also write the run's tiles, their bytes unchanged, into FILE.mbtiles
                     (MBTiles) or FILE.gpkg (a GeoPackage tile table named FILE) on the standard
                     web-mercator grid, with bounds, zooms, format, name and attribution; an
                     existing store gets the tiles added (a tile at the same place replaced),
                     all in one step. Google, relief and template tiles only: ScanEx and
                     Yandex tiles lie on another grid and are refused before the first tile.
Block index:
  --index PATH       record every tile of the run in a block index: a shapefile in a folder
                     (PATH = folder/name, ".shp" is added), or a layer of a GeoPackage
                     (file.gpkg/layer) or File Geodatabase (file.gdb/layer; the database alone
                     means the layer "blocks"); a missing index is offered for creation
                     ("Создать новый?"). Without it the stored index (txtOutPolygon) is used;
                     --set txtOutPolygon= runs without one, as does a stored index
                     that does not open. The index is checked before the
                     first tile: one that does not read back whole stops the run, untouched.
                     Runs at once take turns on it (lock file INDEX.lock beside it).
  --yes, --no        the answer to that question without asking (without a terminal and
                     without these the answer is no)
Selection:
  --selection FILE   keep only the tiles whose ground polygon meets a feature of FILE (any
                     vector dataset OGR opens, in any coordinate system): points keep the tiles
                     they lie in, lines those they run through, polygons those they overlap
  --selection-where EXPR
                     only the features of FILE that this OGR attribute filter selects
Output:
  --quiet            no progress and no summary line; messages and errors stay
Settings:
  --set NAME=VALUE   change a setting for this run (see 'tessaro settings show')
  --config FILE      use FILE as the settings store instead of the user's
)";

constexpr std::string_view kUsageTail = R"(
Ctrl-C stops a download after the tile in hand; every file written so far stays. Messages go
to standard error with their exact texts; the counters end the run on standard output:
  Loaded:12
  New:   12
  Errors:   0
  Added: 0 (skipped)
and a summary line on standard error after them:
  Tiles wanted: 14, on disk: 12, failed: 2 (time-out: 1, HTTP 404: 1).
Progress is one line redrawn on a terminal, or a line every 10 seconds without one:
  Load from Goo 1200/4096 (29 %), 410 tiles/s, 5.3 MB, 8 s left

Selections, block indexes and mosaics need the GDAL module libtessaro-gdal.so beside the
program (TESSARO_GDAL_MODULE names another place); projects need the QGIS module
libtessaro-qgis.so (TESSARO_QGIS_MODULE). A run loads them only when it needs them.

Exit codes: 0 the run completed (a download: with every tile on disk); 1 a check stopped it,
an error was reported, a module it needs could not be loaded or the project could not be
written; 2 usage error; 3 a download ended with failed tiles or was stopped.
)";

constexpr std::array<OptionSpec, 42> kOptions{{
    kRequestOptions[0],
    kRequestOptions[1],
    kRequestOptions[2],
    kRequestOptions[3],
    kRequestOptions[4],
    kRequestOptions[5],
    kPartOption,
    {"dir", true, false},
    {"calculate-only", false, false},
    {"log", false, false},
    {"ion", false, false},
    {"offline", false, false},
    {"timeout", true, false},
    {"tiles-at-once", true, false},
    {"connections", true, false},
    {"bad-tile", true, false},
    {"bad-offline", true, false},
    {"proxy-user", true, false},
    {"user-agent", true, false},
    {"retries", true, false},
    {"max-rate", true, false},
    kSetOption,
    kConfigOption,
    {"project", true, false},
    {"index", true, false},
    {"yes", false, false},
    {"no", false, false},
    {"selection", true, false},
    {"selection-where", true, false},
    kMosaicOptions[0],
    kMosaicOptions[1],
    kMosaicOptions[2],
    kMosaicOptions[3],
    kMosaicOptions[4],
    kMosaicOptions[5],
    kMosaicOptions[6],
    kMosaicOptions[7],
    {"mosaic-to-project", false, false},
    {"store", true, false},
    {"project-crs", true, false},
    {"project-layers", true, false},
    {"quiet", false, false},
}};

std::int64_t WholeNumber(const ParsedOptions &options, std::string_view name, std::int64_t low,
                         std::int64_t high) {
    const std::string &text = *options.Get(name);
    std::int64_t value = 0;
    if (!ParseInt(text, value) || value < low || value > high) {
        throw ArgumentError("--" + std::string(name) + " must be a whole number from " +
                            std::to_string(low) + " to " + std::to_string(high) + ", not '" + text +
                            "'.");
    }
    return value;
}

// Reads the proxy password at the terminal without showing it. Ctrl-C (or another stop
// signal) ends the prompt; the terminal shows what is typed again however the prompt ends.
// Returns nothing when the run was stopped.
std::optional<std::string> ReadPasswordAtTerminal(const AbortFlag *stop) {
    if (::isatty(STDIN_FILENO) == 0) {
        throw ArgumentError("--proxy-user needs the password in TESSARO_PROXY_PASSWORD when no "
                            "terminal is attached.");
    }
    std::fputs("Proxy password: ", stderr);
    std::fflush(stderr);
    struct QuietTerminal {
        termios old{};
        bool saved = ::tcgetattr(STDIN_FILENO, &old) == 0;
        QuietTerminal() {
            termios quiet = old;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            if (saved) {
                ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
            }
        }
        ~QuietTerminal() {
            if (saved) {
                ::tcsetattr(STDIN_FILENO, TCSANOW, &old);
            }
            std::fputs("\n", stderr);
        }
    } terminal;
    std::string password;
    while (stop == nullptr || !stop->IsSet()) {
        // Woken ten times a second to see whether a signal asked the run to stop.
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (::poll(&input, 1, 100) <= 0) {
            continue;
        }
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || c == '\n') {
            return password;
        }
        password += c;
    }
    return std::nullopt;
}

// The value of an option that names a file or folder; an empty one is a usage error.
std::optional<std::string> PathOption(const ParsedOptions &options, std::string_view name,
                                      std::string_view needs) {
    const auto *value = options.Get(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (value->empty()) {
        throw ArgumentError("--" + std::string(name) + " needs " + std::string(needs) + ".");
    }
    return *value;
}

// A two-word option: true for the first word, false for the second, unset when absent.
std::optional<bool> ChoiceOption(const ParsedOptions &options, std::string_view name,
                                 std::string_view yes, std::string_view no) {
    const auto *answer = options.Get(name);
    if (answer == nullptr) {
        return std::nullopt;
    }
    if (*answer != yes && *answer != no) {
        throw ArgumentError("--" + std::string(name) + " must be " + std::string(yes) + " or " +
                            std::string(no) + ", not '" + *answer + "'.");
    }
    return *answer == yes;
}

class LoadCommand : public Command {
public:
    void Setup(const ParsedOptions &options) override {
        m_changes = SettingChanges::Read(options);
        ReadRequest(options);
        ReadDownloading(options);
        ReadMap(options);
    }

    int Run(CommandContext &context) override {
        AbortFlag ownAbort;
        AbortFlag *abort = context.abort != nullptr ? context.abort : &ownAbort;
        auto dialog = Dialog(context.ui, abort);
        if (!dialog) {
            return kExitIncomplete; // stopped at the password prompt
        }
        auto &settings = *dialog;
        settings.templateSource = m_known.urlTemplate ? m_known.urlTemplate->name : "";
        SetAnswers(context.ui);
        // Declared before the host, so that the host's index and selection are released
        // while GDAL is still up: the end of the QGIS session shuts GDAL down.
        std::unique_ptr<integration::ProjectMap> project;
        CliMapHost host(settings, context.ui, context.abort);
        if (!PrepareMap(settings, host, project, context.ui)) {
            // Stopped while another run held the block index, or a check failed.
            return context.abort != nullptr && context.abort->IsSet() ? kExitIncomplete
                                                                      : kExitProcessing;
        }

        load::LoadRunContext run{settings, context.ui};
        run.host = &host;
        run.abort = abort;
        if (m_userAgent || !settings.userAgent.empty()) {
            run.limits.userAgent = m_userAgent.value_or(settings.userAgent);
        }
        run.limits.retries = m_retries;
        run.limits.maxRate = m_maxRate;
        // A named source's own User-Agent and pace, unless the options give others.
        if (m_named && !m_userAgent && !m_named->userAgent.empty()) {
            run.limits.userAgent = m_named->userAgent;
        }
        if (m_named && m_maxRate == 0 && m_named->maxRate) {
            run.limits.maxRate = *m_named->maxRate;
        }
        const auto result = load::CmdLoad_Click(run, m_known);
        bool projectSaved = true;
        if (project && result.outcome != load::RunOutcome::Stopped) {
            // The project is saved whatever became of the run: it holds what was added.
            projectSaved = project->Save(context.ui);
        }
        if (!result.txtLog.empty()) {
            FdWriter out(context.stdoutFd, "standard output");
            out.Write(result.txtLog + "\n");
            out.Flush();
        }
        if (const auto summary = load::SummaryText(result, m_calculateOnly);
            !m_quiet && !summary.empty()) {
            context.ui.ShowMessage(summary);
        }
        // Whoever shows the tiles owes their source its credit: said after every run that
        // fetched from a named source that asks for one.
        if (m_named && !m_named->attribution.empty() && !m_quiet && result.wasNew > 0) {
            context.ui.ShowMessage("Tiles of " + m_named->source.name + ": " +
                                   m_named->attribution);
        }
        return projectSaved ? ExitCodeOf(result) : kExitProcessing;
    }

private:
    void ReadRequest(const ParsedOptions &options) {
        const RequestOptions request = ReadSourceAndKind(options);
        m_source = request.source;
        m_kind = request.kind;
        m_named = ReadTemplateSource(options);
        if (m_named) {
            m_known.urlTemplate = m_named->source;
        }
        if (const auto *part = options.Get("part")) {
            ParsePart(*part, m_part);
            m_known.partIndex = m_part.partIndex;
            m_known.partCount = m_part.partCount;
        }
        if (options.Has("level")) {
            // A template source's zoom starts at 0.
            m_level =
                static_cast<int>(WholeNumber(options, "level", m_known.urlTemplate ? 0 : 1, 22));
        }
        if (m_named && m_level) {
            CheckZoom(*m_named, *m_level);
        }
        // Coordinates outside the world are a usage error, as for estimate and list; the
        // extent's order is the run's own check, with the dialog's message.
        if (const auto *text = options.Get("extent")) {
            tiles::TileRequest parsed;
            ParseExtent(*text, parsed);
            tiles::ValidateExtentLimits(parsed);
            m_known.extent = {parsed.lat1, parsed.lat2, parsed.lon1, parsed.lon2};
        }
        m_dir = PathOption(options, "dir", "a folder");
        m_calculateOnly = options.Has("calculate-only");
        m_log = options.Has("log");
        m_ion = options.Has("ion");
        m_quiet = options.Has("quiet");
    }

    void ReadDownloading(const ParsedOptions &options) {
        m_offline = options.Has("offline");
        if (options.Has("timeout")) {
            m_known.timeOutSeconds =
                static_cast<std::int32_t>(WholeNumber(options, "timeout", 0, 86'400));
        }
        if (options.Has("tiles-at-once")) {
            m_known.tilesAtOnce =
                static_cast<std::int32_t>(WholeNumber(options, "tiles-at-once", 1, 1'000'000'000));
        }
        if (options.Has("connections")) {
            m_connections = static_cast<int>(WholeNumber(options, "connections", 1, 64));
        }
        m_retryBadTile = ChoiceOption(options, "bad-tile", "retry", "cancel").value_or(false);
        m_deleteBadFiles = ChoiceOption(options, "bad-offline", "delete", "exit").value_or(false);
        if (const auto *user = options.Get("proxy-user")) {
            m_proxyUser = *user;
        }
        if (const auto *agent = options.Get("user-agent")) {
            if (!settings::IsUsableUserAgent(*agent)) {
                throw ArgumentError("--user-agent needs a name on one line, without control "
                                    "characters.");
            }
            m_userAgent = *agent;
        }
        if (options.Has("retries")) {
            m_retries = static_cast<int>(WholeNumber(options, "retries", 0, 100));
        }
        if (const auto *rate = options.Get("max-rate")) {
            double value = 0;
            if (!ParseDouble(*rate, value) || !(value > 0)) {
                throw ArgumentError("--max-rate needs a number of tiles per second above 0, not '" +
                                    *rate + "'.");
            }
            m_maxRate = value;
        }
    }

    void ReadMap(const ParsedOptions &options) {
        m_project = PathOption(options, "project", "a QGIS project file (.qgs or .qgz)");
        m_mosaicToProject = options.Has("mosaic-to-project");
        for (const char *name : {"mosaic-to-project", "project-crs", "project-layers"}) {
            if (options.Has(name) && !m_project) {
                throw ArgumentError("--" + std::string(name) + " needs --project.");
            }
        }
        m_projectCrs = PathOption(options, "project-crs", "a coordinate system code");
        m_levelLayers = ChoiceOption(options, "project-layers", "level", "tile").value_or(false);
        m_index = PathOption(options, "index", "the path of the block index");
        m_selection = PathOption(options, "selection", "a vector dataset");
        if (const auto *where = options.Get("selection-where")) {
            if (!m_selection) {
                throw ArgumentError("--selection-where needs --selection.");
            }
            m_selectionWhere = *where;
        }
        m_mosaic = ReadMosaicOptions(options);
        m_store = PathOption(options, "store", "a tile store file (.mbtiles or .gpkg)");
        if (m_mosaicToProject && !m_mosaic) {
            throw ArgumentError("--mosaic-to-project needs --mosaic.");
        }
        if (options.Has("yes") && options.Has("no")) {
            throw ArgumentError("--yes and --no cannot both be given.");
        }
        if (options.Has("yes") || options.Has("no")) {
            m_createIndex = options.Has("yes");
        }
    }

    // The dialog as a freshly opened one, with the stored settings read silently, then the
    // --set changes, then the options. Nothing when the run was stopped at the password prompt.
    std::optional<settings::Settings> Dialog(UiPort &ui, const AbortFlag *stop) const {
        auto settings = settings::Settings::FirstOpening();
        m_changes.Store().LoadFromRegistry(settings, ui, true);
        m_changes.ApplyTo(settings);
        settings.source = m_source;
        settings.kind = m_kind;
        if (m_level) {
            settings.upDownLevel = *m_level;
            settings.Text(settings::Key::Level) = std::to_string(*m_level);
        }
        if (m_dir) {
            if (const auto key = settings::Settings::DirectoryKey(m_source, m_kind)) {
                settings.Text(*key) = *m_dir;
            }
        }
        settings.onlyCalculate = m_calculateOnly;
        settings.skipLog = !m_log;
        settings.makeIon = m_ion;
        settings.offline = m_offline;
        settings.connections = m_connections;
        // Without a project file there is no map to add tiles to: as with "no tiles on TOC".
        settings.skipAddToMap = !m_project.has_value();
        if (m_proxyUser) {
            settings.useProxy = true;
            settings.userName = *m_proxyUser;
            if (const char *password = std::getenv("TESSARO_PROXY_PASSWORD")) {
                settings.password = password;
            } else if (auto typed = ReadPasswordAtTerminal(stop)) {
                settings.password = std::move(*typed);
            } else {
                return std::nullopt;
            }
        }
        return settings;
    }

    // The answers given in advance to the questions a run may ask.
    void SetAnswers(UiPort &ui) const {
        if (auto *terminal = dynamic_cast<TerminalUi *>(&ui)) {
            terminal->SetQuiet(m_quiet);
            terminal->SetAnswer(Question::RetryBadTile, m_retryBadTile);
            terminal->SetAnswer(Question::DeleteBadFiles, m_deleteBadFiles);
            if (m_createIndex) {
                terminal->SetAnswerWithoutAsking(Question::CreateIndex, *m_createIndex);
            }
        }
    }

    // Gives the host the selection, the mosaic, the project and the block index, before a tile
    // is fetched. False when one of them failed, or the GDAL module they need (loaded here, when
    // the run needs it) could not be loaded; the message is shown.
    bool PrepareMap(settings::Settings &settings, CliMapHost &host,
                    std::unique_ptr<integration::ProjectMap> &project, UiPort &ui) const {
        try {
            return PrepareMapParts(settings, host, project, ui);
        } catch (const Error &e) {
            ui.ShowMessage(e.what(), Icon::Critical);
            return false;
        }
    }

    bool PrepareMapParts(settings::Settings &settings, CliMapHost &host,
                         std::unique_ptr<integration::ProjectMap> &project, UiPort &ui) const {
        if (m_selection) {
            // The features of the dataset are the map's selected features.
            settings.useSelection = true;
            if (!host.Select(*m_selection, m_selectionWhere)) {
                return false;
            }
        }
        if (m_mosaic) {
            // So is a mosaic that would be refused once the tiles are in.
            if (!m_calculateOnly &&
                !integration::LoadGdalModule().CheckMosaicTarget(*m_mosaic, ui)) {
                return false;
            }
            settings.mosaic = true;
            host.SetMosaic(*m_mosaic, m_mosaicToProject);
        }
        if (m_store) {
            const tiles::TilesType type = m_known.urlTemplate
                                              ? tiles::TilesType::Xyz
                                              : tiles::TilesTypeOf(settings.source, settings.kind);
            if (!m_calculateOnly && type != tiles::TilesType::Invalid &&
                !mosaic::CheckTileStore(*m_store, type, ui)) {
                return false;
            }
            settings.mosaic = true; // the store is written where the mosaic is built
            mosaic::StoreInfo info;
            info.name = std::filesystem::path(*m_store).stem().string();
            if (m_named) {
                info.attribution = m_named->attribution;
            }
            host.SetTileStore(*m_store, std::move(info));
        }
        // QGIS starts after the settings are read: its session takes over QSettings' folders.
        if (m_project) {
            // A project that could not be saved is refused before a tile is fetched.
            if (const auto why = WhyNotWritable(*m_project); !why.empty()) {
                ui.ShowMessage("Could not write the project file " + *m_project + ": " + why,
                               Icon::Critical);
                return false;
            }
            try {
                project =
                    integration::OpenProjectMap(*m_project, integration::ProjectLayers::Deferred);
            } catch (const Error &e) {
                ui.ShowMessage(e.what(), Icon::Exclamation);
                return false;
            }
            project->SetTileLayers(m_levelLayers ? integration::TileLayers::PerLevel
                                                 : integration::TileLayers::PerTile);
            if (m_projectCrs && !project->SetCrs(*m_projectCrs, ui)) {
                return false;
            }
            host.AttachProject(*project);
        }
        // As the dialog does with a configured index at start: open it, or offer to create
        // it, before the first tile is fetched. --index overrides the stored one.
        // Each part of a split run records its tiles in an index of its own.
        const std::string index = m_index ? PartIndexPath(*m_index, m_part)
                                          : TrimBlanks(settings.Text(settings::Key::OutPolygon));
        if (index.empty()) {
            return true;
        }
        settings.Text(settings::Key::OutPolygon) = index;
        settings.createPolygon = true;
        if (host.OpenIndex(index) || m_index) {
            return host.HasPolygonIndex();
        }
        // A stored index that did not open (its message shown, or creation declined) leaves
        // the run without one, as the opened dialog goes on without it.
        settings.Text(settings::Key::OutPolygon).clear();
        settings.createPolygon = false;
        return !ui.StopRequested();
    }

    int ExitCodeOf(const load::LoadRunResult &result) const {
        switch (result.outcome) {
        case load::RunOutcome::Completed:
            return m_calculateOnly || result.wasErrors == 0 ? kExitOk : kExitIncomplete;
        case load::RunOutcome::Aborted:
            return kExitIncomplete;
        case load::RunOutcome::Stopped:
        case load::RunOutcome::Failed:
            break;
        }
        return kExitProcessing;
    }

    SettingChanges m_changes;
    tiles::Source m_source = tiles::Source::Goo;
    tiles::Kind m_kind = tiles::Kind::Sat;
    std::optional<int> m_level;
    std::optional<std::string> m_dir;
    bool m_calculateOnly = false;
    bool m_log = false;
    bool m_ion = false;
    bool m_quiet = false;
    bool m_offline = false;
    load::KnownValues m_known; // extent, time-out and batch size given as options
    int m_connections = 1;
    bool m_retryBadTile = false;
    bool m_deleteBadFiles = false;
    std::optional<std::string> m_proxyUser;
    std::optional<std::string> m_userAgent;
    int m_retries = download::DownloadLimits{}.retries;
    double m_maxRate = 0;
    std::optional<std::string> m_index;
    std::optional<download::NamedSource> m_named; // a template source, named or given
    tiles::TileRequest m_part;                    // only its part of a split run
    std::optional<bool> m_createIndex;
    std::optional<std::string> m_selection;
    std::string m_selectionWhere;
    std::optional<mosaic::MosaicOptions> m_mosaic;
    std::optional<std::string> m_store;
    std::optional<std::string> m_project;
    bool m_mosaicToProject = false;
    std::optional<std::string> m_projectCrs;
    bool m_levelLayers = false;
};

const std::string &Usage() {
    static const std::string text =
        std::string(kUsageHead) + std::string(kMosaicOptionsHelp) + std::string(kUsageTail);
    return text;
}

} // namespace

CommandInfo LoadCommandInfo() {
    return {"load", "load the tiles of a request (or only calculate them)", Usage(), kOptions,
            [] { return std::make_unique<LoadCommand>(); }};
}

} // namespace tessaro::cli
