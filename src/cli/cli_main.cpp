#include "cli/command.h"
#include "common/atomic_file.h"
#include "common/error.h"
#include "common/version.h"

#include <algorithm>
#include <cstdio>

namespace tessaro::cli {

namespace {

std::string GeneralHelp() {
    std::string text = "Usage: tessaro COMMAND [OPTIONS]\n\n"
                       "Downloads web-map tiles for an extent and a level and stores them as\n"
                       "georeferenced image files.\n\nCommands:\n";
    for (const auto &info : Commands()) {
        text += "  ";
        text += info.name;
        text.append(12 - std::min<std::size_t>(info.name.size(), 11), ' ');
        text += info.summary;
        text += '\n';
    }
    text += "\n'tessaro COMMAND --help' describes a command.\n"
            "Options take the forms --name value and --name=value.\n\n"
            "Exit codes: 0 done; 1 a check stopped the command or input or output failed;\n"
            "2 usage error; 3 a download run ended with tiles missing (failed or stopped).\n";
    return text;
}

void Print(std::FILE *f, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fflush(f);
}

} // namespace

const std::vector<CommandInfo> &Commands() {
    static const std::vector<CommandInfo> table = {
        EstimateCommandInfo(), ListCommandInfo(),  ExtentCommandInfo(), LoadCommandInfo(),
        SettingsCommandInfo(), ServeCommandInfo(), DemoCommandInfo(),   SourcesCommandInfo(),
    };
    return table;
}

int Main(std::span<const std::string> args, UiPort &ui, int stdoutFd, AbortFlag *abort) {
    if (args.empty()) {
        Print(stderr, GeneralHelp());
        return kExitUsage;
    }
    const std::string &name = args[0];
    if (name == "--help" || name == "-h" || name == "help") {
        Print(stdout, GeneralHelp());
        return kExitOk;
    }
    if (name == "--version") {
        Print(stdout, "tessaro " + std::string(kVersion) + "\n");
        return kExitOk;
    }
    const auto &table = Commands();
    const auto info = std::find_if(table.begin(), table.end(),
                                   [&](const CommandInfo &c) { return c.name == name; });
    if (info == table.end()) {
        Print(stderr, "tessaro: unknown command '" + name + "'. Try 'tessaro --help'.\n");
        return kExitUsage;
    }
    const auto rest = args.subspan(1);
    if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
        Print(stdout, info->usage);
        return kExitOk;
    }
    const std::string prefix = "tessaro " + std::string(info->name) + ": ";
    auto command = info->make();
    try {
        const ParsedOptions options = ParseOptions(rest, info->options);
        if (options.Positional().size() > info->maxPositional) {
            throw ArgumentError("Unexpected argument '" +
                                options.Positional()[info->maxPositional] + "'.");
        }
        command->Setup(options);
    } catch (const ArgumentError &e) {
        Print(stderr,
              prefix + e.what() + "\nTry 'tessaro " + std::string(info->name) + " --help'.\n");
        return kExitUsage;
    }
    try {
        CommandContext context{ui, stdoutFd, abort};
        return command->Run(context);
    } catch (const ArgumentError &e) {
        Print(stderr, prefix + e.what() + "\n");
        return kExitUsage;
    } catch (const std::exception &e) {
        Print(stderr, prefix + e.what() + "\n");
        return kExitProcessing;
    }
}

} // namespace tessaro::cli
