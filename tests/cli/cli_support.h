#pragma once

// The arguments of a `tessaro load` run that fetches every source from one local tile server.
#include "settings/local_servers.h"

#include <filesystem>
#include <string>
#include <vector>

namespace tessaro::test {

inline std::vector<std::string> LoadArgs(const std::string &serverUrl, const std::string &source,
                                         const std::string &kind, int level,
                                         const std::string &extent,
                                         const std::filesystem::path &dir,
                                         const std::filesystem::path &config) {
    std::vector<std::string> args = {TESSARO_BINARY,
                                     "load",
                                     "--source",
                                     source,
                                     "--kind",
                                     kind,
                                     "--level",
                                     std::to_string(level),
                                     "--extent=" + extent,
                                     "--dir",
                                     dir.string(),
                                     "--config",
                                     config.string()};
    for (const auto &[key, value] : settings::ServerSettingsFor(serverUrl)) {
        args.push_back("--set");
        args.push_back(std::string(settings::InfoOf(key).savedName) + "=" + value);
    }
    return args;
}

} // namespace tessaro::test
