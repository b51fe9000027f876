#pragma once

#include "common/ui_port.h"
#include "dialogs/small_windows.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QString>

#include <string_view>

class QLabel;
class QProgressBar;
class QTextEdit;
class QWidget;

namespace tessaro::dialogs {

/// Converts between the core's UTF-8 texts and Qt's strings.
[[nodiscard]] inline QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}
[[nodiscard]] inline std::string S(const QString &text) {
    return text.toUtf8().toStdString();
}

/// The user-interface port of the desktop: message boxes and questions owned by a window, the
/// error-text window, the count-down window, the window's progress bar and label, and a box
/// that collects what the run has to say. Events are processed while a run works, at most
/// every 30 ms, so the window stays live (its Stop button among them).
class QtUiPort : public UiPort {
public:
    /// The boxes belong to owner; bar, label and log may be null.
    QtUiPort(QWidget &owner, QProgressBar *bar, QLabel *label, QTextEdit *log);
    ~QtUiPort() override;

    /// Makes StopRequested true: the window is closing and the run in hand must end.
    void RequestStop(bool stop) { m_stop = stop; }

    using UiPort::ShowMessage;
    void ShowMessage(std::string_view text, Icon icon, std::string_view title) override;
    bool AskYesNo(Question question, std::string_view text, Icon icon,
                  std::string_view title) override;
    bool AskRetryCancel(Question question, std::string_view text, std::string_view title) override;
    void ShowErrorText(std::string_view report) override;
    void Beep() override;
    void CountDown(std::int32_t seconds, std::int64_t processed) override;
    void ShowBadTile(std::string_view url, std::string_view start, std::int64_t size) override;
    void ShowTileFailure(std::string_view text) override;
    void ProcessPendingEvents() override;
    void SetProgressLabel(std::string_view label) override;
    void SetProgress(std::int64_t value, std::int64_t maximum) override;
    [[nodiscard]] bool StopRequested() const override { return m_stop; }

    /// The error-text window, once a report has been shown in it.
    [[nodiscard]] ErrorWindow *ErrorTextWindow() const { return m_errors; }

private:
    QWidget &m_owner;
    QPointer<QProgressBar> m_bar;
    QPointer<QLabel> m_label;
    QPointer<QTextEdit> m_log;
    QPointer<ErrorWindow> m_errors; // made by the first report, then reused
    QElapsedTimer m_sinceEvents;
    bool m_stop = false;
};

} // namespace tessaro::dialogs
