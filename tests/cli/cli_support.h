#pragma once

// What the command-line tests share: the built program run with a home of its own, so that the
// user's store is never touched, and `tessaro load` runs that fetch every source from the
// built-in tile server.
#include "settings/local_servers.h"
#include "support/files.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "tileserver/tile_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace tessaro::test {

class CliTest : public ::testing::Test {
protected:
    CliTest() { server.Start(); }

    // Runs `tessaro args...` with HOME and the config folder in the test's home.
    ProcessResult Tessaro(std::vector<std::string> args,
                          std::map<std::string, std::string> env = {}) {
        args.insert(args.begin(), TESSARO_BINARY);
        env.emplace("HOME", home.Path().string());
        env.emplace("XDG_CONFIG_HOME", (home / "config").string());
        return RunProcess(args, {}, env);
    }

    // The arguments (after the program) of a load of the extent (central Moscow unless given)
    // from the tile server into dir (the test's tile folder unless given), with the store
    // home/store.ini, followed by more.
    std::vector<std::string> LoadArgs(const std::string &source, const std::string &kind, int level,
                                      std::vector<std::string> more = {},
                                      const std::string &extent = "55.70,55.80,37.50,37.70",
                                      const std::filesystem::path &dir = {}) {
        std::vector<std::string> args = {"load",
                                         "--source=" + source,
                                         "--kind=" + kind,
                                         "--level=" + std::to_string(level),
                                         "--extent=" + extent,
                                         "--dir=" + (dir.empty() ? tiles.Path() : dir).string(),
                                         "--config=" + (home / "store.ini").string()};
        for (const auto &[key, value] : settings::ServerSettingsFor(server.BaseUrl())) {
            args.insert(args.end(),
                        {"--set", std::string(settings::InfoOf(key).savedName) + "=" + value});
        }
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    // Starts `tessaro args...` (as LoadArgs gives them) with its output going nowhere, for the
    // test to signal and reap.
    static pid_t Spawn(std::vector<std::string> args) {
        args.insert(args.begin(), TESSARO_BINARY);
        std::vector<char *> argv(args.size() + 1, nullptr);
        std::ranges::transform(args, argv.begin(), [](std::string &a) { return a.data(); });
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::freopen("/dev/null", "w", stdout);
            ::freopen("/dev/null", "w", stderr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return pid;
    }

    // Whether a run exited with code and wrote part to standard error.
    static testing::AssertionResult Exited(const ProcessResult &r, int code,
                                           const std::string &part = "") {
        if (r.exitCode == code && r.err.find(part) != std::string::npos) {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure() << "exit " << r.exitCode << ", standard error:\n"
                                           << r.err;
    }

    // The one file of a folder whose name ends in suffix.
    static std::filesystem::path OnlyFile(const std::filesystem::path &folder,
                                          const std::string &suffix) {
        EXPECT_EQ(Count(folder, suffix), 1u) << folder << " " << suffix;
        for (const auto &e : std::filesystem::directory_iterator(folder)) {
            if (e.path().filename().string().ends_with(suffix)) {
                return e.path();
            }
        }
        return folder / ("no" + suffix);
    }

    // Files under a folder (and its subfolders) whose names end in suffix; none if the folder
    // is not there (yet).
    static std::size_t Count(const std::filesystem::path &folder, const std::string &suffix) {
        std::size_t n = 0;
        std::error_code missing;
        for (const auto &e : std::filesystem::recursive_directory_iterator(folder, missing)) {
            n += e.path().filename().string().ends_with(suffix);
        }
        return n;
    }

    TempDir home;
    TempDir tiles;
    tileserver::TileServer server;
};

} // namespace tessaro::test
