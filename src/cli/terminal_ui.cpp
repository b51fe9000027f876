#include "cli/terminal_ui.h"

#include <cctype>
#include <unistd.h>

namespace tessaro::cli {

namespace {

void Put(std::FILE *f, std::string_view text) { std::fwrite(text.data(), 1, text.size(), f); }

} // namespace

TerminalUi::TerminalUi(std::FILE *err, std::FILE *in)
    : m_err(err), m_in(in), m_errIsTerminal(::isatty(::fileno(err)) != 0),
      m_inIsTerminal(in != nullptr && ::isatty(::fileno(in)) != 0) {}

void TerminalUi::SetAnswerWithoutAsking(dialogs::Question question, bool answer) {
    m_answers[question] = answer;
    m_forced[question] = answer;
}

void TerminalUi::ClearProgressLine() {
    if (m_progressShown) {
        Put(m_err, "\r\033[K");
        m_progressShown = false;
    }
}

void TerminalUi::ShowMessage(std::string_view text, dialogs::Icon /*icon*/,
                             std::string_view title) {
    ClearProgressLine();
    if (!title.empty()) {
        Put(m_err, title);
        Put(m_err, "\n");
    }
    Put(m_err, text);
    Put(m_err, "\n");
    std::fflush(m_err);
}

bool TerminalUi::Ask(dialogs::Question question, std::string_view text, std::string_view title,
                     std::string_view choices, char yes, char no) {
    ShowMessage(text, dialogs::Icon::Question, title);
    if (const auto forced = m_forced.find(question); forced != m_forced.end()) {
        return forced->second;
    }
    if (!m_inIsTerminal) {
        const auto set = m_answers.find(question);
        return set != m_answers.end() && set->second;
    }
    // Bounded: end of input or a closed terminal counts as the negative answer.
    for (int attempt = 0; attempt < 20; ++attempt) {
        Put(m_err, choices);
        std::fflush(m_err);
        std::string line;
        int c = 0;
        while ((c = std::fgetc(m_in)) != EOF && c != '\n') {
            line += static_cast<char>(c);
        }
        if (c == EOF && line.empty()) {
            return false;
        }
        const auto first = line.find_first_not_of(" \t");
        if (first != std::string::npos) {
            const char answer = static_cast<char>(std::tolower(static_cast<unsigned char>(line[first])));
            if (answer == yes) {
                return true;
            }
            if (answer == no) {
                return false;
            }
        }
    }
    return false;
}

bool TerminalUi::AskYesNo(dialogs::Question question, std::string_view text, dialogs::Icon,
                          std::string_view title) {
    return Ask(question, text, title, "[y]es / [n]o? ", 'y', 'n');
}

bool TerminalUi::AskRetryCancel(dialogs::Question question, std::string_view text,
                                std::string_view title) {
    return Ask(question, text, title, "[r]etry / [c]ancel? ", 'r', 'c');
}

void TerminalUi::ShowErrorText(std::string_view report) {
    ClearProgressLine();
    Put(m_err, report);
    if (report.empty() || report.back() != '\n') {
        Put(m_err, "\n");
    }
    std::fflush(m_err);
}

void TerminalUi::Beep() {
    if (m_errIsTerminal) {
        Put(m_err, "\a");
    }
}

void TerminalUi::SetProgressLabel(std::string_view label) {
    m_label = label;
    if (m_label.empty()) {
        ClearProgressLine();
        std::fflush(m_err);
    }
}

void TerminalUi::SetProgress(std::int64_t value, std::int64_t maximum) {
    if (!m_errIsTerminal) {
        return;
    }
    if (maximum <= 0) {
        ClearProgressLine();
        std::fflush(m_err);
        return;
    }
    std::fprintf(m_err, "\r\033[K%s %lld/%lld", m_label.c_str(), static_cast<long long>(value),
                 static_cast<long long>(maximum));
    std::fflush(m_err);
    m_progressShown = true;
}

} // namespace tessaro::cli
