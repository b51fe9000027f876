#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace tessaro::test {

/// What a program run on a pseudo-terminal wrote, and how it ended.
struct TerminalRun {
    int exitCode = -1;
    std::string screen; ///< everything written to the terminal
    bool echo = false;  ///< the terminal echoes what is typed, as the program left it
};

/// Runs a program with a pseudo-terminal as its standard input, output and error, typing each
/// answer once the screen shows its prompt (prompt → text to type, in turn). The program is
/// killed after the timeout.
TerminalRun RunOnTerminal(const std::vector<std::string> &argv,
                          const std::vector<std::pair<std::string, std::string>> &answers,
                          const std::map<std::string, std::string> &env = {},
                          std::chrono::seconds timeout = std::chrono::seconds(60));

} // namespace tessaro::test
