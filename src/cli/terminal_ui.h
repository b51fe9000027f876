#pragma once

#include "dialogs/ui_port.h"

#include <cstdio>
#include <map>
#include <optional>
#include <string>

namespace tessaro::cli {

/// The user-interface port of the command line. Messages and reports go to standard error
/// with their exact texts, each ended by a line break; a title, when there is one, goes on the
/// line before the text. Questions are asked at the terminal when standard input is one;
/// otherwise each is answered from the answer set for it (an unset answer is No / Cancel), so
/// a run without a terminal never waits. Progress is drawn on one terminal line, and only on a
/// terminal.
class TerminalUi : public dialogs::UiPort {
public:
    explicit TerminalUi(std::FILE *err = stderr, std::FILE *in = stdin);

    /// Sets the answer a question gets when no terminal is attached.
    void SetAnswer(dialogs::Question question, bool answer) { m_answers[question] = answer; }
    /// Makes questions use the set answers even on a terminal (for --yes/--no style options).
    void SetAnswerWithoutAsking(dialogs::Question question, bool answer);

    using dialogs::UiPort::ShowMessage;
    void ShowMessage(std::string_view text, dialogs::Icon icon, std::string_view title) override;
    bool AskYesNo(dialogs::Question question, std::string_view text, dialogs::Icon icon,
                  std::string_view title) override;
    bool AskRetryCancel(dialogs::Question question, std::string_view text,
                        std::string_view title) override;
    void ShowErrorText(std::string_view report) override;
    void Beep() override;
    void SetProgressLabel(std::string_view label) override;
    void SetProgress(std::int64_t value, std::int64_t maximum) override;

private:
    bool Ask(dialogs::Question question, std::string_view text, std::string_view title,
             std::string_view choices, char yes, char no);
    void ClearProgressLine();

    std::FILE *m_err;
    std::FILE *m_in;
    bool m_errIsTerminal;
    bool m_inIsTerminal;
    std::map<dialogs::Question, bool> m_answers;
    std::map<dialogs::Question, bool> m_forced;
    std::string m_label;
    bool m_progressShown = false;
};

} // namespace tessaro::cli
