#pragma once

#include "dialogs/ui_port.h"

#include <string>
#include <vector>

namespace tessaro::test {

/// A user-interface port that keeps what it was asked to show, for tests to read back.
class RecordingUi : public dialogs::UiPort {
public:
    struct Message {
        std::string text;
        dialogs::Icon icon;
        std::string title;
    };

    using dialogs::UiPort::ShowMessage;
    void ShowMessage(std::string_view text, dialogs::Icon icon, std::string_view title) override {
        messages.push_back({std::string(text), icon, std::string(title)});
    }
    void ShowErrorText(std::string_view report) override { errorTexts.emplace_back(report); }
    void Beep() override { ++beeps; }

    std::vector<Message> messages;
    std::vector<std::string> errorTexts;
    int beeps = 0;
};

} // namespace tessaro::test
