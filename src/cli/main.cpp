#include "cli/command.h"
#include "cli/terminal_ui.h"
#include "common/abort_flag.h"

#include <csignal>
#include <string>
#include <vector>

namespace {

tessaro::AbortFlag g_abort;
tessaro::AbortFlag g_stop; // never cleared: the run ends, whatever step it is in

// Ctrl-C is the Stop button: a download ends after the tile in hand, keeping every file written
// and finishing its log and .ion list, and any other step ends at its next item; no later step
// starts. A second Ctrl-C ends the program at once (tiles still appear only complete). A
// request to terminate (SIGTERM, a closed terminal's SIGHUP) stops the same way.
extern "C" void OnInterrupt(int signal) {
    g_abort.Set();
    g_stop.Set();
    std::signal(signal, SIG_DFL);
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored from the start (nohup, a background job) stays ignored.
        if (std::signal(signal, OnInterrupt) == SIG_IGN) {
            std::signal(signal, SIG_IGN);
        }
    }
    tessaro::cli::TerminalUi ui(stderr, stdin, &g_abort);
    ui.SetStopFlag(&g_stop);
    return tessaro::cli::Main(args, ui, 1, &g_abort);
}
