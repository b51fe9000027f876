#include "cli/command.h"
#include "cli/request_options.h"
#include "cli/settings_options.h"
#include "common/atomic_file.h"
#include "common/error.h"
#include "common/text.h"
#include "load/load_run.h"

#include <optional>

namespace tessaro::cli {

namespace {

constexpr std::string_view kUsage =
    R"(Usage: tessaro load --source goo|scan|shade|yand --kind sat|map|land --level L
                    --extent LAT1,LAT2,LON1,LON2 --dir DIR [--calculate-only] [--log] [--ion]
                    [--set NAME=VALUE]... [--config FILE]

Runs a load as the dialog's load button does. The command starts from the values of a freshly
opened dialog, applies the stored settings silently when a store exists, then the --set
changes, then the options. Tiles go to DIR/<level>/ (relief tiles to DIR/<level>/row<row>/);
the load log lies in DIR.

Options:
  --source, --kind   tile source and kind (default goo, sat)
  --level L          zoom level 1..22 (default: the stored level, else 15); ScanEx and Yandex
                     are lowered to 17 and shaded relief to 9, with a message
  --extent ...       south, north latitude, west, east longitude (default 37.8,38.2,55.2,55.8);
                     write --extent=-12.5,-11,30,31 when it starts with a minus sign
  --dir DIR          the tile folder of the source and kind (it must exist)
  --calculate-only   download nothing: count the tiles not on disk, write the log and the .ion
                     list with the addresses the tiles would be fetched from
  --log              write the load log (Tessaro_sat.log, SSevice_map.log, ... in DIR)
  --ion              write the .ion list of file names and addresses in DIR/<level>/
  --set NAME=VALUE   change a setting for this run (see 'tessaro settings show')
  --config FILE      use FILE as the settings store instead of the user's

Messages go to standard error with their exact texts; the counters end the run on standard
output:
  Loaded:0
  New:   12
  Errors:   0

Exit codes: 0 the run completed; 1 a check stopped it or an error was reported; 2 usage
error.
)";

constexpr std::array<OptionSpec, 10> kOptions{{
    kRequestOptions[0],
    kRequestOptions[1],
    kRequestOptions[2],
    kRequestOptions[3],
    {"dir", true, false},
    {"calculate-only", false, false},
    {"log", false, false},
    {"ion", false, false},
    kSetOption,
    kConfigOption,
}};

class LoadCommand : public Command {
public:
    void Setup(const ParsedOptions &options) override {
        m_changes = SettingChanges::Read(options);
        if (const auto *word = options.Get("source")) {
            const auto source = tiles::ParseSource(*word);
            if (!source) {
                throw ArgumentError("--source must be goo, scan, shade or yand, not '" + *word +
                                    "'.");
            }
            m_source = *source;
        }
        if (const auto *word = options.Get("kind")) {
            const auto kind = tiles::ParseKind(*word);
            if (!kind) {
                throw ArgumentError("--kind must be sat, map or land, not '" + *word + "'.");
            }
            m_kind = *kind;
        }
        if (const auto *text = options.Get("level")) {
            std::int64_t level = 0;
            if (!ParseInt(*text, level) || level < 1 || level > 22) {
                throw ArgumentError("--level must be a whole number from 1 to 22, not '" + *text +
                                    "'.");
            }
            m_level = static_cast<int>(level);
        }
        if (const auto *text = options.Get("extent")) {
            tiles::TileRequest parsed;
            ParseExtent(*text, parsed);
            m_extent = {FormatDouble(parsed.lat1), FormatDouble(parsed.lat2),
                        FormatDouble(parsed.lon1), FormatDouble(parsed.lon2)};
        }
        if (const auto *dir = options.Get("dir")) {
            if (dir->empty()) {
                throw ArgumentError("--dir needs a folder.");
            }
            m_dir = *dir;
        }
        m_calculateOnly = options.Has("calculate-only");
        m_log = options.Has("log");
        m_ion = options.Has("ion");
    }

    int Run(CommandContext &context) override {
        if (!m_calculateOnly) {
            context.ui.ShowMessage(
                "tessaro load: downloading is not available yet; add --calculate-only.");
            return kExitProcessing;
        }
        auto settings = settings::Settings::FirstOpening();
        m_changes.Store().LoadFromRegistry(settings, context.ui, true);
        m_changes.ApplyTo(settings);
        settings.source = m_source;
        settings.kind = m_kind;
        if (m_level) {
            settings.upDownLevel = *m_level;
            settings.Text(settings::Key::Level) = std::to_string(*m_level);
        }
        if (m_extent) {
            settings.lat1 = (*m_extent)[0];
            settings.lat2 = (*m_extent)[1];
            settings.lon1 = (*m_extent)[2];
            settings.lon2 = (*m_extent)[3];
        }
        if (m_dir) {
            if (const auto key = settings::Settings::DirectoryKey(m_source, m_kind)) {
                settings.Text(*key) = *m_dir;
            }
        }
        settings.onlyCalculate = m_calculateOnly;
        settings.skipLog = !m_log;
        settings.makeIon = m_ion;

        load::LoadRunContext run{settings, context.ui};
        const auto result = load::CmdLoad_Click(run);
        if (!result.txtLog.empty()) {
            FdWriter out(context.stdoutFd, "standard output");
            out.Write(result.txtLog + "\n");
            out.Flush();
        }
        return result.outcome == load::RunOutcome::Completed ? kExitOk : kExitProcessing;
    }

private:
    SettingChanges m_changes;
    tiles::Source m_source = tiles::Source::Goo;
    tiles::Kind m_kind = tiles::Kind::Sat;
    std::optional<int> m_level;
    std::optional<std::array<std::string, 4>> m_extent;
    std::optional<std::string> m_dir;
    bool m_calculateOnly = false;
    bool m_log = false;
    bool m_ion = false;
};

} // namespace

CommandInfo LoadCommandInfo() {
    return {"load", "load the tiles of a request (or only calculate them)", kUsage, kOptions,
            [] { return std::make_unique<LoadCommand>(); }};
}

} // namespace tessaro::cli
