#include "cli/terminal_ui.h"

#include "common/count_down.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace tessaro::cli {

namespace {

void Put(std::FILE *f, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), f);
}

// A byte count in decimal units with one decimal: "830 B", "5.3 MB".
std::string BytesText(std::int64_t bytes) {
    constexpr std::array<const char *, 5> kUnits{"B", "kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1000 && unit + 1 < kUnits.size()) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
    return text;
}

// A duration rounded to what a reader needs: "8 s", "3 min 20 s", "2 h 05 min".
std::string DurationText(double seconds) {
    const auto s = static_cast<std::int64_t>(seconds + 0.5);
    char text[48];
    if (s < 60) {
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(s));
    } else if (s < 3600) {
        std::snprintf(text, sizeof text, "%lld min %02lld s", static_cast<long long>(s / 60),
                      static_cast<long long>(s % 60));
    } else {
        std::snprintf(text, sizeof text, "%lld h %02lld min", static_cast<long long>(s / 3600),
                      static_cast<long long>(s % 3600 / 60));
    }
    return text;
}

} // namespace

std::string ProgressLine(std::string_view label, std::int64_t value, std::int64_t maximum,
                         std::chrono::duration<double> elapsed, std::int64_t bytes) {
    std::string line(label);
    line += (line.empty() ? "" : " ") + std::to_string(value) + "/" + std::to_string(maximum);
    line += " (" + std::to_string(maximum > 0 ? value * 100 / maximum : 0) + " %)";
    // A rate from less than half a second of work says nothing yet.
    if (value <= 0 || elapsed.count() < 0.5) {
        return line;
    }
    const double rate = static_cast<double>(value) / elapsed.count();
    char text[32];
    std::snprintf(text, sizeof text, rate < 10 ? "%.1f" : "%.0f", rate);
    line += std::string(", ") + text + " tiles/s";
    if (bytes > 0) {
        line += ", " + BytesText(bytes);
    }
    if (value < maximum) {
        line += ", " + DurationText(static_cast<double>(maximum - value) / rate) + " left";
    }
    return line;
}

TerminalUi::TerminalUi(std::FILE *err, std::FILE *in, const AbortFlag *abort, Clock clock)
    : m_err(err), m_in(in), m_errIsTerminal(::isatty(::fileno(err)) != 0),
      m_inIsTerminal(in != nullptr && ::isatty(::fileno(in)) != 0), m_abort(abort),
      m_clock(clock ? std::move(clock) : Clock(&std::chrono::steady_clock::now)),
      m_passStart(m_clock()), m_lastShown(m_passStart) {}

void TerminalUi::SetAnswerWithoutAsking(Question question, bool answer) {
    m_answers[question] = answer;
    m_forced[question] = answer;
}

void TerminalUi::ClearProgressLine() {
    if (m_progressShown) {
        Put(m_err, "\r\033[K");
        m_progressShown = false;
    }
}

void TerminalUi::ShowMessage(std::string_view text, Icon /*icon*/, std::string_view title) {
    ClearProgressLine();
    if (!title.empty()) {
        Put(m_err, title);
        Put(m_err, "\n");
    }
    Put(m_err, text);
    Put(m_err, "\n");
    std::fflush(m_err);
}

bool TerminalUi::Ask(Question question, std::string_view text, std::string_view title,
                     std::string_view choices, char yes, char no) {
    ShowMessage(text, Icon::Question, title);
    if (const auto forced = m_forced.find(question); forced != m_forced.end()) {
        // Answered in advance: say which answer was taken, so the output reads as a dialog.
        Put(m_err, forced->second ? "(yes)\n" : "(no)\n");
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
            const char answer =
                static_cast<char>(std::tolower(static_cast<unsigned char>(line[first])));
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

bool TerminalUi::AskYesNo(Question question, std::string_view text, Icon, std::string_view title) {
    return Ask(question, text, title, "[y]es / [n]o? ", 'y', 'n');
}

bool TerminalUi::AskRetryCancel(Question question, std::string_view text, std::string_view title) {
    const bool retry = Ask(question, text, title, "[r]etry / [c]ancel? ", 'r', 'c');
    if (!retry || m_inIsTerminal) {
        return retry;
    }
    // Unattended: the same question again and again means the same tile keeps failing.
    if (text == m_lastRetryText) {
        ++m_retriesOfText;
    } else {
        m_lastRetryText = text;
        m_retriesOfText = 1;
    }
    if (m_retriesOfText > kMaxUnattendedRetries) {
        ShowMessage("Giving up after " + std::to_string(kMaxUnattendedRetries) +
                    " retries of the same tile: cancel.");
        return false;
    }
    return true;
}

void TerminalUi::CountDown(std::int32_t seconds, std::int64_t processed) {
    CountDownClock clock(seconds);
    ClearProgressLine();
    std::string head = "обработано блоков " + std::to_string(processed);
    Put(m_err, head);
    Put(m_err, "\n");
    auto show = [&](std::int32_t left) {
        const std::string line = std::to_string(left) + " секунд осталось";
        if (m_errIsTerminal) {
            Put(m_err, "\r\033[K");
            Put(m_err, line);
        } else {
            Put(m_err, line);
            Put(m_err, "\n");
        }
        std::fflush(m_err);
    };
    show(clock.Left());
    if (!clock.Done() && !m_inIsTerminal && clock.Endless()) {
        // Only "Continue" would end this pause, and without a terminal nobody can press it.
        Put(m_err, "\n");
        return;
    }
    // Ticks once a second; Enter on a terminal is "Continue", the abort flag ends it too.
    auto nextTick = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!clock.Done()) {
        if (m_abort != nullptr && m_abort->IsSet()) {
            break;
        }
        const auto wait = std::min<std::chrono::milliseconds>(
            std::chrono::milliseconds(100), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                nextTick - std::chrono::steady_clock::now()));
        if (m_inIsTerminal) {
            pollfd pfd{::fileno(m_in), POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(std::max<std::int64_t>(0, wait.count()))) > 0) {
                std::string discard;
                int c = 0;
                while ((c = std::fgetc(m_in)) != EOF && c != '\n') {
                    discard += static_cast<char>(c);
                }
                break;
            }
        } else if (wait.count() > 0) {
            std::this_thread::sleep_for(wait);
        }
        if (std::chrono::steady_clock::now() >= nextTick) {
            clock.Tick();
            nextTick += std::chrono::seconds(1);
            show(clock.Left());
        }
    }
    if (m_errIsTerminal) {
        Put(m_err, "\n");
        std::fflush(m_err);
    }
}

void TerminalUi::ShowBadTile(std::string_view url, std::string_view start, std::int64_t size) {
    ClearProgressLine();
    std::string text = "The server did not send an image for " + std::string(url) + "\n";
    std::string shown(start.substr(0, 300));
    for (char &c : shown) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 32 && c != '\n') || u == 127) {
            c = '.';
        }
    }
    text += "It sent " + std::to_string(size) + " bytes, beginning:\n" + shown + "\n";
    Put(m_err, text);
    std::fflush(m_err);
}

void TerminalUi::ShowTileFailure(std::string_view text) {
    ClearProgressLine();
    Put(m_err, std::string(text) + "\n");
    std::fflush(m_err);
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
    m_passStart = m_lastShown = m_clock();
    m_lastValue = 0;
    m_bytes = 0;
    if (m_label.empty()) {
        ClearProgressLine();
        std::fflush(m_err);
    }
}

void TerminalUi::SetProgress(std::int64_t value, std::int64_t maximum) {
    if (m_quiet) {
        return;
    }
    if (maximum <= 0) {
        ClearProgressLine();
        std::fflush(m_err);
        return;
    }
    const auto now = m_clock();
    if (value == 0 || value < m_lastValue) {
        m_passStart = m_lastShown = now; // a pass starts, or the next pass of the same operation
    }
    m_lastValue = value;
    if (m_errIsTerminal) {
        // Redrawn at most ten times a second, and at the end of the pass.
        if (m_progressShown && value < maximum &&
            now - m_lastShown < std::chrono::milliseconds(100)) {
            return;
        }
        Put(m_err, "\r\033[K" + ProgressLine(m_label, value, maximum, now - m_passStart, m_bytes));
        m_progressShown = true;
    } else {
        if (now - m_lastShown < kProgressEvery) {
            return;
        }
        Put(m_err, ProgressLine(m_label, value, maximum, now - m_passStart, m_bytes) + "\n");
    }
    m_lastShown = now;
    std::fflush(m_err);
}

} // namespace tessaro::cli
