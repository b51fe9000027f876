#pragma once

#include "cli/options.h"
#include "common/abort_flag.h"
#include "common/ui_port.h"

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::cli {

/// Exit codes of every command.
enum ExitCode : int {
    kExitOk = 0,         ///< the command did what was asked
    kExitProcessing = 1, ///< a check stopped it, or input or output failed
    kExitUsage = 2,      ///< the command line was wrong
    kExitIncomplete = 3, ///< a download run ended with tiles missing (failed or aborted)
};

/// What a running command may use of the outside world.
struct CommandContext {
    UiPort &ui;
    int stdoutFd = 1;
    AbortFlag *abort = nullptr; ///< set by Ctrl-C while a command runs
};

/// One sub-command: Setup parses and checks its options without any input or output, Run
/// does the work.
class Command {
public:
    Command() = default;
    Command(const Command &) = delete;
    Command &operator=(const Command &) = delete;
    virtual ~Command() = default;

    /// @throws tessaro::ArgumentError for a usage error.
    virtual void Setup(const ParsedOptions &options) = 0;
    /// Returns the exit code. @throws tessaro::Error for failures the command does not handle.
    virtual int Run(CommandContext &context) = 0;
};

/// An entry of the command table.
struct CommandInfo {
    std::string_view name;
    std::string_view summary; ///< one line for the command list
    std::string_view usage;   ///< the command's --help text
    std::span<const OptionSpec> options;
    std::function<std::unique_ptr<Command>()> make;
    std::size_t maxPositional = 0; ///< how many arguments without "--" the command takes
};

/// Returns the command table in the order the help lists it.
[[nodiscard]] const std::vector<CommandInfo> &Commands();

/// Runs a whole command line (without the program name); returns the exit code.
[[nodiscard]] int Main(std::span<const std::string> args, UiPort &ui, int stdoutFd = 1,
                       AbortFlag *abort = nullptr);

// The table entries, one per command source file.
[[nodiscard]] CommandInfo EstimateCommandInfo();
[[nodiscard]] CommandInfo ListCommandInfo();
[[nodiscard]] CommandInfo ExtentCommandInfo();
[[nodiscard]] CommandInfo LoadCommandInfo();
[[nodiscard]] CommandInfo SettingsCommandInfo();
[[nodiscard]] CommandInfo ServeCommandInfo();
[[nodiscard]] CommandInfo DemoCommandInfo();
[[nodiscard]] CommandInfo SourcesCommandInfo();

} // namespace tessaro::cli
