#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace tessaro::test {

/// What a finished child process left behind.
struct ProcessResult {
    int exitCode = -1; ///< exit status, or 128 + signal number
    std::string out;   ///< everything written to standard output
    std::string err;   ///< everything written to standard error
};

/// Runs argv[0] with the given arguments, feeding `input` to its standard input and collecting
/// both outputs. Extra environment variables are added to (or replace) the test's own. The
/// child is killed when it runs longer than the timeout.
ProcessResult RunProcess(const std::vector<std::string> &argv, const std::string &input = {},
                         const std::map<std::string, std::string> &env = {},
                         std::chrono::seconds timeout = std::chrono::seconds(120));

} // namespace tessaro::test
