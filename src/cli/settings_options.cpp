#include "cli/settings_options.h"

#include "common/error.h"
#include "common/text.h"
#include "download/transfer_engine.h"

#include <algorithm>
#include <cctype>

namespace tessaro::cli {

SettingChanges SettingChanges::Read(const ParsedOptions &options) {
    SettingChanges changes;
    std::vector<std::string> unknown;
    for (const std::string &change : options.All("set")) {
        const auto eq = change.find('=');
        if (eq == std::string::npos) {
            throw ArgumentError("--set takes NAME=VALUE, not '" + change + "'.");
        }
        const std::string name = change.substr(0, eq);
        if (std::ranges::equal(name, settings::kUserAgentName, [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            changes.userAgent = TrimBlanks(change.substr(eq + 1));
            if (!settings::IsUsableUserAgent(*changes.userAgent)) {
                throw ArgumentError(std::string(settings::kUserAgentName) +
                                    " needs a name on one line, without control characters.");
            }
            continue;
        }
        const auto key = settings::FindKey(name);
        if (!key) {
            unknown.push_back(name);
            continue;
        }
        std::string value = change.substr(eq + 1);
        if (*key == settings::Key::Level) {
            std::int64_t level = 0;
            if (!ParseInt(value, level) || level < settings::kLevelMin ||
                level > settings::kLevelMax) {
                throw ArgumentError("Level must be between 1 and 22 (--set " + change + ").");
            }
        }
        changes.values.emplace_back(*key, std::move(value));
    }
    if (!unknown.empty()) {
        std::string list;
        for (const auto &name : unknown) {
            list += (list.empty() ? "'" : ", '") + name + "'";
        }
        throw ArgumentError("--set names no such setting: " + list +
                            ". 'tessaro settings show' lists the settings.");
    }
    if (const auto *file = options.Get("config")) {
        if (file->empty()) {
            throw ArgumentError("--config needs a file name.");
        }
        changes.config = *file;
    }
    return changes;
}

settings::SettingsStore SettingChanges::Store() const {
    return config ? settings::SettingsStore::AtFile(*config) : settings::SettingsStore::User();
}

void SettingChanges::ApplyTo(settings::Settings &s) const {
    if (userAgent) {
        s.userAgent = *userAgent;
    }
    for (const auto &[key, value] : values) {
        s.Text(key) = value;
        if (key == settings::Key::Level) {
            std::int64_t level = 0;
            if (ParseInt(value, level)) {
                s.upDownLevel = static_cast<int>(level);
            }
        }
    }
}

std::string SettingsListing(const settings::Settings &s) {
    std::string text;
    for (const auto &info : settings::Keys()) {
        text += info.savedName;
        text += '=';
        text += s.Text(info.key);
        text += '\n';
    }
    text += settings::kUserAgentName;
    text += '=';
    text += s.userAgent.empty() ? download::DefaultUserAgent() : s.userAgent;
    text += '\n';
    return text;
}

} // namespace tessaro::cli
