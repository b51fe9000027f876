#pragma once

#include "dialogs/ui_port.h"

#include <cstdio>

namespace tessaro::cli {

/// The user-interface port of the command line: messages and reports go to standard error
/// with their exact texts, each ended by a line break; a title, when there is one, goes on
/// the line before the text.
class TerminalUi : public dialogs::UiPort {
public:
    explicit TerminalUi(std::FILE *err = stderr) : m_err(err) {}

    using dialogs::UiPort::ShowMessage;
    void ShowMessage(std::string_view text, dialogs::Icon icon, std::string_view title) override;
    void ShowErrorText(std::string_view report) override;
    void Beep() override;

private:
    std::FILE *m_err;
};

} // namespace tessaro::cli
