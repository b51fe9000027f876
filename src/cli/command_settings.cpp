#include "cli/command.h"
#include "cli/settings_options.h"
#include "common/atomic_file.h"
#include "common/error.h"
#include "common/error_report.h"
#include "common/files.h"
#include "common/text.h"

#include <algorithm>
#include <cmath>

namespace tessaro::cli {

namespace {

constexpr std::string_view kUsage =
    R"(Usage: tessaro settings show [--set NAME=VALUE]... [--config FILE]
       tessaro settings save [--set NAME=VALUE]... [--config FILE]
       tessaro settings load [--config FILE]

The fifty stored settings: tile folders, layer names and level prefixes per source, tile
servers and versions, the block index, the level, the pause between download batches and the
batch size. They live in the user's store (~/.config/Orvelt/Tessaro.conf) unless --config
names another file. Names resolve without regard to letter case. Beside them the store may
hold txtUserAgent, the User-Agent of the downloads (absent: Tessaro/<version>); it is shown
and changed like the others, and must be a name on one line.

  show   prints NAME=VALUE for every setting as every command starts with them: the values
         of a freshly opened dialog, the stored ones applied over them, then the --set changes
  save   writes all fifty values, each trimmed of blanks, as the save button does: the values
         'show' prints, so a stored value not named by --set keeps its value; txtUserAgent
         only once one is set. The store is written aside and replaced whole.
  load   does what the load button does: fills every setting from the store, the fallback
         value where the stored one is empty, and prints the result; with nothing stored it
         prints "нет сохраненных данных" and exits 1

Exit codes: 0 done; 1 nothing stored (load), or the store is broken or cannot be written;
2 usage error (among them --set with a name that is no setting).
)";

constexpr std::array<OptionSpec, 2> kOptions{{kSetOption, kConfigOption}};

class SettingsCommand : public Command {
public:
    void Setup(const ParsedOptions &options) override {
        if (options.Positional().empty()) {
            throw ArgumentError("Say what to do: show, save or load.");
        }
        m_action = options.Positional()[0];
        if (m_action != "show" && m_action != "save" && m_action != "load") {
            throw ArgumentError("Unknown action '" + m_action + "': use show, save or load.");
        }
        m_changes = SettingChanges::Read(options);
        if (m_action == "load" && !m_changes.values.empty()) {
            throw ArgumentError("'load' takes no --set: it shows what the store holds.");
        }
        if (m_action == "save") {
            // The store sets the time-out and batch-size controls from these on loading,
            // which takes only numbers in the controls' ranges.
            for (const auto &[key, value] : m_changes.values) {
                const auto [low, high] = key == settings::Key::TimeOut
                                             ? std::pair{settings::kTimeMin, settings::kTimeMax}
                                             : std::pair{settings::kTilesMin, settings::kTilesMax};
                double number = 0;
                if ((key == settings::Key::TimeOut || key == settings::Key::TilesAtOnce) &&
                    (!ParseDouble(value, number) || std::nearbyint(number) < low ||
                     std::nearbyint(number) > high)) {
                    throw ArgumentError(std::string(settings::InfoOf(key).savedName) +
                                        " can be stored only as a number from " +
                                        std::to_string(low) + " to " + std::to_string(high) +
                                        " (--set " + std::string(settings::InfoOf(key).savedName) +
                                        "=" + value + ").");
                }
            }
        }
    }

    int Run(CommandContext &context) override {
        const auto store = m_changes.Store();
        auto settings = settings::Settings::FirstOpening();
        FdWriter out(context.stdoutFd, "standard output");
        if (m_action == "load") {
            const auto result = store.LoadFromRegistry(settings, context.ui, false);
            if (result != settings::SettingsStore::LoadResult::Loaded) {
                return kExitProcessing;
            }
            out.Write(SettingsListing(settings));
            out.Flush();
            return kExitOk;
        }
        if (m_action == "show") {
            const auto loaded = store.LoadFromRegistry(settings, context.ui, true);
            m_changes.ApplyTo(settings);
            out.Write(SettingsListing(settings));
            out.Flush();
            return loaded == settings::SettingsStore::LoadResult::Loaded ||
                           loaded == settings::SettingsStore::LoadResult::NothingStored
                       ? kExitOk
                       : kExitProcessing;
        }
        return Save(store, settings, context.ui);
    }

private:
    // Writes every value: the stored ones with the changes over them. A stored value that
    // cannot be read back must be replaced by a change, or the save would put the default in
    // its place without being asked to.
    int Save(const settings::SettingsStore &store, settings::Settings &settings, UiPort &ui) const {
        std::vector<std::string> unusable;
        store.LoadFromRegistry(settings, ui, true, &unusable);
        m_changes.ApplyTo(settings);
        std::string kept;
        for (const std::string &name : unusable) {
            const auto key = settings::FindKey(name);
            const bool replaced =
                std::any_of(m_changes.values.begin(), m_changes.values.end(),
                            [&](const auto &change) { return change.first == key; });
            if (!replaced) {
                kept += (kept.empty() ? "" : ", ") + name;
            }
        }
        if (!kept.empty()) {
            ui.ShowMessage("Nothing was saved: the stored " + kept +
                               " cannot be read back (see above). Give a new value with --set "
                               "NAME=VALUE, and every other stored value keeps its value.",
                           Icon::Exclamation);
            return kExitProcessing;
        }
        try {
            store.Save(settings);
        } catch (const std::exception &e) {
            ReportException(ui, ProcedureText("cmdSaveTorRgistry_Click ", ProgramPath(), 0), e,
                            kWindowMode);
            return kExitProcessing;
        }
        return kExitOk;
    }

    std::string m_action;
    SettingChanges m_changes;
};

} // namespace

CommandInfo SettingsCommandInfo() {
    return {"settings", "show, save or load the stored settings",           kUsage,
            kOptions,   [] { return std::make_unique<SettingsCommand>(); }, 1};
}

} // namespace tessaro::cli
