#pragma once

#include "cli/options.h"
#include "settings/settings.h"
#include "settings/settings_store.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessaro::cli {

/// The options every command that reads or writes settings takes.
inline constexpr OptionSpec kSetOption{"set", true, true};
inline constexpr OptionSpec kConfigOption{"config", true, false};

/// Settings changes given as --set NAME=VALUE, checked against the fifty names and the
/// User-Agent's.
struct SettingChanges {
    std::vector<std::pair<settings::Key, std::string>> values;
    std::optional<std::string> userAgent; ///< trimmed of blanks
    std::optional<std::string> config;    ///< --config FILE

    /// Reads --set and --config. @throws tessaro::ArgumentError naming every unknown setting,
    /// a change without "=", a level that is not a whole number from 1 to 22, or a User-Agent
    /// that is empty or not on one line.
    static SettingChanges Read(const ParsedOptions &options);

    /// The store the command uses: --config FILE or the user's own.
    [[nodiscard]] settings::SettingsStore Store() const;

    /// Puts the changes into the boxes; a level also moves the level control.
    void ApplyTo(settings::Settings &s) const;
};

/// Returns "name=value" lines of the fifty settings in save order, then the User-Agent the
/// requests give.
[[nodiscard]] std::string SettingsListing(const settings::Settings &s);

} // namespace tessaro::cli
