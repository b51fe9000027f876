#pragma once

#include "settings/settings.h"

#include <string>
#include <utility>
#include <vector>

namespace tessaro::settings {

/// Returns the server settings that point every source at one HTTP server (base address
/// "http://127.0.0.1:P"), each mirror under its own folder /m0 .. /m3, keeping the path and
/// query parts the program's addresses need.
[[nodiscard]] std::vector<std::pair<Key, std::string>>
ServerSettingsFor(const std::string &baseUrl);

} // namespace tessaro::settings
