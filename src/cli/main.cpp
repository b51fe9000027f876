#include "cli/command.h"
#include "cli/terminal_ui.h"

#include <string>
#include <vector>

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    tessaro::cli::TerminalUi ui;
    return tessaro::cli::Main(args, ui);
}
