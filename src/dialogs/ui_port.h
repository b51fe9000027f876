#pragma once

#include <string_view>

namespace tessaro::dialogs {

/// Icon of a message box.
enum class Icon { None, Critical, Question, Exclamation, Information };

/// The one way the core talks to the user: messages, questions, the error-text window.
/// The command line prints to standard error and answers questions at the terminal or from
/// options; the desktop dialogs show Qt message boxes. Implementations must not throw.
class UiPort {
public:
    UiPort() = default;
    UiPort(const UiPort &) = delete;
    UiPort &operator=(const UiPort &) = delete;
    virtual ~UiPort() = default;

    /// Shows a message with an OK button only. An empty title means the default title.
    virtual void ShowMessage(std::string_view text, Icon icon, std::string_view title) = 0;

    /// Shows a report in the error-text window.
    virtual void ShowErrorText(std::string_view report) = 0;

    /// Sounds the system beep (the error report rings before its message box).
    virtual void Beep() = 0;

    /// Shows a message with the default title.
    void ShowMessage(std::string_view text, Icon icon = Icon::None) { ShowMessage(text, icon, {}); }
};

} // namespace tessaro::dialogs
