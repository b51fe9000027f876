#pragma once

#include "common/abort_flag.h"
#include "common/ui_port.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro::cli {

/// The text of a progress line: the label, done/total, the percent, and once a rate is known,
/// the tiles per second, the bytes fetched (when any) and the time left. For example
/// "Load from Goo 1200/4096 (29 %), 410 tiles/s, 5.3 MB, 8 s left".
[[nodiscard]] std::string ProgressLine(std::string_view label, std::int64_t value,
                                       std::int64_t maximum, std::chrono::duration<double> elapsed,
                                       std::int64_t bytes);

/// The user-interface port of the command line. Messages and reports go to standard error
/// with their exact texts, each ended by a line break; a title, when there is one, goes on the
/// line before the text. Questions are asked at the terminal when standard input is one;
/// otherwise each is answered from the answer set for it (an unset answer is No / Cancel), so
/// a run without a terminal never waits. Progress is drawn on one terminal line, redrawn at
/// most ten times a second; without a terminal a progress line is written every ten seconds.
class TerminalUi : public UiPort {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    /// How often a tile is fetched again without a terminal, on a --bad-tile retry answer,
    /// before the answer becomes Cancel: a server that always sends a page instead of a tile
    /// must not keep the run going for ever.
    static constexpr int kMaxUnattendedRetries = 3;

    /// How often a progress line is written when standard error is no terminal.
    static constexpr std::chrono::seconds kProgressEvery{10};

    explicit TerminalUi(std::FILE *err = stderr, std::FILE *in = stdin,
                        const AbortFlag *abort = nullptr, Clock clock = nullptr);

    /// The flag a request to end the program sets (a signal handler): once set, StopRequested
    /// is true for good.
    void SetStopFlag(const AbortFlag *stop) { m_stop = stop; }
    [[nodiscard]] bool StopRequested() const override {
        return m_stop != nullptr && m_stop->IsSet();
    }

    /// Silences progress and summaries; messages, questions and errors stay.
    void SetQuiet(bool quiet) { m_quiet = quiet; }
    [[nodiscard]] bool Quiet() const { return m_quiet; }

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
    void SetProgressBytes(std::int64_t bytes) override { m_bytes = bytes; }
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
    const AbortFlag *m_abort;
    const AbortFlag *m_stop = nullptr;
    Clock m_clock;
    std::string m_label;
    bool m_progressShown = false;
    bool m_quiet = false;
    std::chrono::steady_clock::time_point m_passStart; // of the pass the progress is of
    std::chrono::steady_clock::time_point m_lastShown; // when progress was last written
    std::int64_t m_lastValue = 0;
    std::int64_t m_bytes = 0;
    std::string m_lastRetryText;
    int m_retriesOfText = 0;
};

} // namespace tessaro::cli
