#pragma once

#include "common/ui_port.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tessaro::test {

/// A user-interface port that keeps what it was asked to show and answers questions from a
/// queue the test fills (an empty queue answers No / Cancel).
class RecordingUi : public UiPort {
public:
    struct Message {
        std::string text;
        Icon icon;
        std::string title;
    };
    struct Asked {
        Question question;
        std::string text;
        std::string title;
    };
    struct Pause {
        std::int32_t seconds;
        std::int64_t processed;
    };
    struct BadTile {
        std::string url;
        std::string start; ///< the first bytes of what the server sent
    };

    using UiPort::ShowMessage;
    void ShowMessage(std::string_view text, Icon icon, std::string_view title) override {
        messages.push_back({std::string(text), icon, std::string(title)});
    }
    bool AskYesNo(Question question, std::string_view text, Icon, std::string_view title) override {
        return Answer(question, text, title);
    }
    bool AskRetryCancel(Question question, std::string_view text, std::string_view title) override {
        return Answer(question, text, title);
    }
    void ShowErrorText(std::string_view report) override { errorTexts.emplace_back(report); }
    void Beep() override { ++beeps; }
    void SetProgressLabel(std::string_view label) override { labels.emplace_back(label); }
    void SetProgress(std::int64_t, std::int64_t maximum) override { lastMaximum = maximum; }
    void CountDown(std::int32_t seconds, std::int64_t processed) override {
        pauses.push_back({seconds, processed});
        if (onPause) {
            onPause(processed);
        }
    }
    void ShowBadTile(std::string_view url, std::string_view start, std::int64_t) override {
        badTiles.push_back({std::string(url), std::string(start)});
    }
    void ShowTileFailure(std::string_view text) override { tileFailures.emplace_back(text); }
    void ProcessPendingEvents() override {}

    std::vector<Message> messages;
    std::vector<Asked> questions;
    std::deque<bool> answers; ///< answers given in turn
    std::vector<std::string> errorTexts;
    std::vector<std::string> labels;
    std::int64_t lastMaximum = 0; ///< the maximum of the last progress shown
    std::vector<Pause> pauses;
    std::function<void(std::int64_t)> onPause; ///< runs inside each pause
    std::vector<BadTile> badTiles;
    std::vector<std::string> tileFailures;
    int beeps = 0;

private:
    bool Answer(Question question, std::string_view text, std::string_view title) {
        questions.push_back({question, std::string(text), std::string(title)});
        const bool answer = !answers.empty() && answers.front();
        if (!answers.empty()) {
            answers.pop_front();
        }
        return answer;
    }
};

} // namespace tessaro::test
