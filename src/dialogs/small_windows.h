#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace tessaro::dialogs {

/// The error-text window: shows the report of an unexpected error (display mode 4) in a text
/// box the user can copy from. One window serves every report of the program's life.
class ErrorWindow : public QDialog {
    Q_OBJECT
public:
    explicit ErrorWindow(QWidget *parent = nullptr);
    /// Takes the report to show.
    void SetReport(const QString &report);
    /// Shows the window with the report, raised above the others, when visible is true.
    void ShowReport(bool visible);
    /// The report as it was given (the text box shows its line ends as its own).
    [[nodiscard]] QString Report() const;

private:
    QPlainTextEdit *m_text;
    QString m_report;
};

/// The pause between download batches: shows the blocks processed, counts the seconds down
/// and closes itself at zero, or when "Continue" is pressed. A pause of 0 means 30 seconds; one
/// tick is made at once, so a pause of N shows N-1 first and closes N-1 seconds after opening
/// (a pause of 1 returns at once; a negative one ends only by "Continue").
class FrmTimeOut : public QDialog {
    Q_OBJECT
public:
    explicit FrmTimeOut(QWidget *parent = nullptr);

    std::int32_t lngSecondsTimeOut = 0; ///< the pause in seconds, set before showing
    std::int64_t cWasLoaded = 0;        ///< the blocks processed so far, set before showing

    /// Shows the window modally until the count ends or "Continue" is pressed.
    int exec() override;

private:
    void Timer1_Timer();

    QLabel *m_wasLoaded;
    QLabel *m_msg;
    QTimer *m_timer;
    std::int32_t m_left = 0;
};

/// The directory chooser of the directory buttons: the platform's folder dialog, started at
/// start when that folder exists. Returns the chosen folder, or an empty text when the user
/// cancelled or closed the dialog.
[[nodiscard]] QString FrmChDir(QWidget *parent, const QString &start);

} // namespace tessaro::dialogs
