#pragma once

#include "common/ui_port.h"
#include "settings/settings.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tessaro::settings {

/// Message shown when the load finds no stored settings.
inline constexpr std::string_view kNoSavedData = "нет сохраненных данных";

/// The persistent copy of the settings: an INI file of QSettings, by default the user's
/// QSettings("Orvelt", "Tessaro") store (~/.config/Orvelt/Tessaro.conf), or any file given.
/// Value names resolve without regard to letter case, as the Windows registry does.
class SettingsStore {
public:
    /// The user's own store.
    [[nodiscard]] static SettingsStore User();
    /// A given INI file as the store.
    [[nodiscard]] static SettingsStore AtFile(std::filesystem::path file);

    [[nodiscard]] const std::filesystem::path &Path() const noexcept { return m_path; }

    /// What a look at the store finds.
    enum class State {
        Missing,  ///< no file, or a file holding no values
        Readable, ///< values can be read
        Broken,   ///< the file cannot be read or is not a settings file
    };

    /// Looks at the store; for a broken one, problem receives a sentence saying why.
    [[nodiscard]] State Inspect(std::string *problem = nullptr) const;

    /// Writes the fifty values, trimmed of blanks, the way the save button does, and the
    /// User-Agent when one is set. Values of other names in the file are kept; a stored name that
    /// differs only in letter case is written in place. The file is written aside and renamed over
    /// the store, so a failure leaves the old store whole.
    /// @throws tessaro::FileError when the store is broken (it is then left alone) or cannot be
    /// written.
    void Save(const Settings &settings) const;

    /// Outcome of LoadFromRegistry.
    enum class LoadResult { Loaded, NothingStored, Broken, Failed };

    /// Does what the load button does: puts every stored value into its box, the fallback where
    /// the stored value is empty, and sets the level, time-out and batch-size up-downs from
    /// stored values. No store: "нет сохраненных данных" unless silent. A broken store: a message
    /// naming the file, settings unchanged. The stored User-Agent, trimmed, when it is usable;
    /// one that is not is named in a message and the program's own is used. A stored up-down value
    /// that is not a number in the control's range: the error report under "LoadFromRegistry ",
    /// values loaded before stay.
    ///
    /// With unusable given, such a value does not end the load: it is reported the same way,
    /// its name is added to unusable, its box and control keep what they held, and the load
    /// goes on with the next value (so that a save can keep every other stored value).
    LoadResult LoadFromRegistry(Settings &settings, UiPort &ui, bool silent,
                                std::vector<std::string> *unusable = nullptr) const;

    /// Reads every stored value; names keyed in lower case.
    [[nodiscard]] std::map<std::string, std::string> ReadAll() const;

private:
    explicit SettingsStore(std::filesystem::path path) : m_path(std::move(path)) {}

    std::filesystem::path m_path;
};

} // namespace tessaro::settings
