#pragma once

#include "common/abort_flag.h"
#include "common/ui_port.h"

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
class TerminalUi : public UiPort {
public:
    /// How often a tile is fetched again without a terminal, on a --bad-tile retry answer,
    /// before the answer becomes Cancel: a server that always sends a page instead of a tile
    /// must not keep the run going for ever.
    static constexpr int kMaxUnattendedRetries = 3;

    explicit TerminalUi(std::FILE *err = stderr, std::FILE *in = stdin,
                        const AbortFlag *abort = nullptr);

    /// Sets the answer a question gets when no terminal is attached.
    void SetAnswer(Question question, bool answer) { m_answers[question] = answer; }
    /// Makes questions use the set answers even on a terminal (for --yes/--no style options).
    void SetAnswerWithoutAsking(Question question, bool answer);

    using UiPort::ShowMessage;
    void ShowMessage(std::string_view text, Icon icon, std::string_view title) override;
    bool AskYesNo(Question question, std::string_view text, Icon icon,
                  std::string_view title) override;
    bool AskRetryCancel(Question question, std::string_view text, std::string_view title) override;
    void ShowErrorText(std::string_view report) override;
    void Beep() override;
    void SetProgressLabel(std::string_view label) override;
    void SetProgress(std::int64_t value, std::int64_t maximum) override;
    void CountDown(std::int32_t seconds, std::int64_t processed) override;
    void ShowBadTile(std::string_view url, std::string_view start, std::int64_t size) override;
    void ShowTileFailure(std::string_view text) override;
    /// Nothing to do: Ctrl-C reaches the abort flag through a signal handler.
    void ProcessPendingEvents() override {}

private:
    bool Ask(Question question, std::string_view text, std::string_view title,
             std::string_view choices, char yes, char no);
    void ClearProgressLine();

    std::FILE *m_err;
    std::FILE *m_in;
    bool m_errIsTerminal;
    bool m_inIsTerminal;
    std::map<Question, bool> m_answers;
    std::map<Question, bool> m_forced;
    std::string m_label;
    bool m_progressShown = false;
    const AbortFlag *m_abort;
    std::string m_lastRetryText;
    int m_retriesOfText = 0;
};

} // namespace tessaro::cli
