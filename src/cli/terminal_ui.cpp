#include "cli/terminal_ui.h"

#include <unistd.h>

namespace tessaro::cli {

namespace {

void Put(std::FILE *f, std::string_view text) { std::fwrite(text.data(), 1, text.size(), f); }

} // namespace

void TerminalUi::ShowMessage(std::string_view text, dialogs::Icon /*icon*/,
                             std::string_view title) {
    if (!title.empty()) {
        Put(m_err, title);
        Put(m_err, "\n");
    }
    Put(m_err, text);
    Put(m_err, "\n");
    std::fflush(m_err);
}

void TerminalUi::ShowErrorText(std::string_view report) {
    Put(m_err, report);
    if (report.empty() || report.back() != '\n') {
        Put(m_err, "\n");
    }
    std::fflush(m_err);
}

void TerminalUi::Beep() {
    if (::isatty(::fileno(m_err)) != 0) {
        Put(m_err, "\a");
    }
}

} // namespace tessaro::cli
