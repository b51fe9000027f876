#pragma once

#include "common/ui_port.h"

#include <string>

namespace tessaro::bench {

/// A user interface that shows nothing and keeps the last message, for a benchmark to name
/// what went wrong. Every yes-or-no question gets the same answer; Retry/Cancel gets Cancel.
class SilentUi : public UiPort {
public:
    explicit SilentUi(bool answerYes = false) : m_answerYes(answerYes) {}

    using UiPort::ShowMessage;
    void ShowMessage(std::string_view text, Icon, std::string_view) override {
        m_lastMessage = text;
    }
    bool AskYesNo(Question, std::string_view, Icon, std::string_view) override {
        return m_answerYes;
    }
    bool AskRetryCancel(Question, std::string_view, std::string_view) override { return false; }
    void ShowErrorText(std::string_view report) override { m_lastMessage = report; }
    void Beep() override {}
    void SetProgressLabel(std::string_view) override {}
    void SetProgress(std::int64_t, std::int64_t) override {}
    void CountDown(std::int32_t, std::int64_t) override {}
    void ShowBadTile(std::string_view, std::string_view, std::int64_t) override {}
    void ShowTileFailure(std::string_view text) override { m_lastMessage = text; }
    void ProcessPendingEvents() override {}
    [[nodiscard]] const std::string &LastMessage() const { return m_lastMessage; }

private:
    bool m_answerYes;
    std::string m_lastMessage;
};

} // namespace tessaro::bench
