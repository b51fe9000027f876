#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace tessaro {

/// Icon of a message box.
enum class Icon { None, Critical, Question, Exclamation, Information };

/// The questions the program asks, so that a port without a user (the command line without
/// a terminal) can answer each from its own option.
enum class Question {
    CreateIndex,    ///< Yes/No: create a missing block index ("Создать новый?")
    DeleteBadFiles, ///< Yes/No: delete bad tile files and go on (offline run)
    RetryBadTile,   ///< Retry/Cancel: fetch a bad tile again (online run)
};

/// The one way the core talks to the user: messages, questions, progress, the error-text
/// window. The command line prints to standard error and answers questions at the terminal
/// or from options; the desktop dialogs show Qt windows. Implementations must not throw.
class UiPort {
public:
    UiPort() = default;
    UiPort(const UiPort &) = delete;
    UiPort &operator=(const UiPort &) = delete;
    virtual ~UiPort() = default;

    /// Shows a message with an OK button only. An empty title means the default title.
    virtual void ShowMessage(std::string_view text, Icon icon, std::string_view title) = 0;

    /// Asks a Yes/No question; returns true for Yes.
    virtual bool AskYesNo(Question question, std::string_view text, Icon icon,
                          std::string_view title) = 0;

    /// Asks a Retry/Cancel question; returns true for Retry.
    virtual bool AskRetryCancel(Question question, std::string_view text,
                                std::string_view title) = 0;

    /// Shows a report in the error-text window.
    virtual void ShowErrorText(std::string_view report) = 0;

    /// Sounds the system beep (the error report rings before its message box).
    virtual void Beep() = 0;

    /// Pauses between download batches: counts "seconds" down (0 means 30) showing how many
    /// tiles were processed, and returns when the count ends, the user goes on, or an abort is
    /// requested.
    virtual void CountDown(std::int32_t seconds, std::int64_t processed) = 0;

    /// Shows what the server sent for a tile that is not an image: its address, the first
    /// bytes of the answer and its whole size.
    virtual void ShowBadTile(std::string_view url, std::string_view start, std::int64_t size) = 0;

    /// Says once why a tile failed: its address and the cause. The run goes on; the command
    /// line writes the text to standard error, the dialog adds it to the run's log.
    virtual void ShowTileFailure(std::string_view text) = 0;

    /// Lets the user interface handle its pending events during a long step (the desktop
    /// dialog repaints and takes the Stop button here).
    virtual void ProcessPendingEvents() = 0;
    /// True once the user wants the whole run to end (Ctrl-C or a request to terminate at the
    /// command line): every long step then ends at its next item, and no later step starts.
    [[nodiscard]] virtual bool StopRequested() const { return false; }

    /// Sets the caption of the progress label; empty clears it.
    virtual void SetProgressLabel(std::string_view label) = 0;

    /// Moves the progress bar to value of maximum (maximum 0 hides it).
    virtual void SetProgress(std::int64_t value, std::int64_t maximum) = 0;
    /// The bytes the current pass has fetched so far, for a port that shows them beside the
    /// progress; called before SetProgress. Ports that do not show them ignore it.
    virtual void SetProgressBytes(std::int64_t /*bytes*/) {}

    /// Shows a message with the default title.
    void ShowMessage(std::string_view text, Icon icon = Icon::None) { ShowMessage(text, icon, {}); }
};

} // namespace tessaro
