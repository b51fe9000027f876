#include "dialogs/qt_ui_port.h"

#include "dialogs/frm_tessaro.h"
#include "dialogs/small_windows.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QTextEdit>

#include <algorithm>

namespace tessaro::dialogs {

namespace {

QMessageBox::Icon BoxIcon(Icon icon) {
    switch (icon) {
    case Icon::Critical:
        return QMessageBox::Critical;
    case Icon::Question:
        return QMessageBox::Question;
    case Icon::Exclamation:
        return QMessageBox::Warning;
    case Icon::Information:
        return QMessageBox::Information;
    case Icon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

// The boxes carry the program's name when the caller gives no title.
QString TitleOf(std::string_view title) {
    return title.empty() ? QStringLiteral("Tessaro") : Q(title);
}

} // namespace

QtUiPort::QtUiPort(QWidget &owner, QProgressBar *bar, QLabel *label, QTextEdit *log)
    : m_owner(owner), m_bar(bar), m_label(label), m_log(log) {
    m_sinceEvents.start();
}

QtUiPort::~QtUiPort() {
    delete m_errors;
}

void QtUiPort::ShowMessage(std::string_view text, Icon icon, std::string_view title) {
    QMessageBox box(BoxIcon(icon), TitleOf(title), Q(text), QMessageBox::Ok, &m_owner);
    box.setObjectName(QStringLiteral("MsgBox"));
    box.exec();
}

bool QtUiPort::AskYesNo(Question, std::string_view text, Icon icon, std::string_view title) {
    QMessageBox box(BoxIcon(icon), TitleOf(title), Q(text), QMessageBox::Yes | QMessageBox::No,
                    &m_owner);
    box.setObjectName(QStringLiteral("MsgBox"));
    return box.exec() == QMessageBox::Yes;
}

bool QtUiPort::AskRetryCancel(Question, std::string_view text, std::string_view title) {
    QMessageBox box(QMessageBox::Question, TitleOf(title), Q(text),
                    QMessageBox::Retry | QMessageBox::Cancel, &m_owner);
    box.setObjectName(QStringLiteral("MsgBox"));
    return box.exec() == QMessageBox::Retry;
}

void QtUiPort::ShowErrorText(std::string_view report) {
    if (m_errors == nullptr) {
        m_errors = new ErrorWindow(&m_owner);
    }
    m_errors->SetReport(Q(report));
    m_errors->ShowReport(true);
}

void QtUiPort::Beep() {
    QApplication::beep();
}

void QtUiPort::CountDown(std::int32_t seconds, std::int64_t processed) {
    FrmTimeOut pause(&m_owner);
    pause.lngSecondsTimeOut = seconds;
    pause.cWasLoaded = processed;
    pause.exec();
}

void QtUiPort::ShowBadTile(std::string_view url, std::string_view start, std::int64_t size) {
    // The main dialog shows it in its browser; any other owner in a message box.
    if (auto *main = qobject_cast<FrmTessaro *>(&m_owner)) {
        main->ShowBadTile(url, start, size);
        return;
    }
    QString shown = Q(start.substr(0, 300));
    for (QChar &c : shown) {
        if ((c.unicode() < 32 && c != QLatin1Char('\n')) || c.unicode() == 127) {
            c = QLatin1Char('.');
        }
    }
    ShowMessage(S(QStringLiteral("The server did not send an image for ") + Q(url) +
                  QStringLiteral("\nIt sent ") + QString::number(size) +
                  QStringLiteral(" bytes, beginning:\n") + shown),
                Icon::Exclamation, {});
}

void QtUiPort::ShowTileFailure(std::string_view text) {
    if (m_log != nullptr) {
        m_log->append(Q(text));
    }
    ProcessPendingEvents();
}

void QtUiPort::ProcessPendingEvents() {
    if (m_sinceEvents.elapsed() >= 30) {
        QApplication::processEvents();
        m_sinceEvents.restart();
    }
}

void QtUiPort::SetProgressLabel(std::string_view label) {
    if (m_label != nullptr) {
        m_label->setText(Q(label));
    }
}

void QtUiPort::SetProgress(std::int64_t value, std::int64_t maximum) {
    if (m_bar != nullptr) {
        // The bar counts in int: large passes are shown in thousandths.
        // An empty bar between passes (a maximum of 0 would make Qt's busy indicator).
        const bool scaled = maximum > 1'000'000;
        m_bar->setMaximum(static_cast<int>(scaled ? 1000 : std::max<std::int64_t>(maximum, 1)));
        m_bar->setValue(static_cast<int>(scaled ? value * 1000 / maximum : value));
    }
    ProcessPendingEvents();
}

} // namespace tessaro::dialogs
