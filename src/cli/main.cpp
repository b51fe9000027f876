#include "cli/command.h"
#include "cli/terminal_ui.h"
#include "common/abort_flag.h"

#include <csignal>
#include <string>
#include <vector>

namespace {

tessaro::AbortFlag g_abort;

// Ctrl-C is the Stop button: the run ends after the tile in hand, keeping every file written.
// A second Ctrl-C ends the program at once (tiles still appear only complete).
extern "C" void OnInterrupt(int) {
    g_abort.Set();
    std::signal(SIGINT, SIG_DFL);
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::signal(SIGINT, OnInterrupt);
    tessaro::cli::TerminalUi ui(stderr, stdin, &g_abort);
    return tessaro::cli::Main(args, ui, 1, &g_abort);
}
