#include "dialogs/small_windows.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

namespace tessaro::dialogs {

ErrorWindow::ErrorWindow(QWidget *parent) : QDialog(parent), m_text(new QPlainTextEdit(this)) {
    setObjectName(QStringLiteral("frmErrorText"));
    setWindowTitle(QStringLiteral("Error report"));
    m_text->setObjectName(QStringLiteral("txtReport"));
    m_text->setReadOnly(true);
    m_text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    auto *close = new QPushButton(QStringLiteral("OK"), this);
    close->setObjectName(QStringLiteral("cmdOk"));
    connect(close, &QPushButton::clicked, this, &QDialog::hide);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_text);
    layout->addWidget(close, 0, Qt::AlignRight);
    resize(560, 300);
}

void ErrorWindow::SetReport(const QString &report) {
    m_report = report;
    m_text->setPlainText(report);
}

void ErrorWindow::ShowReport(bool visible) {
    setVisible(visible);
    if (visible) {
        raise();
        activateWindow();
    }
}

QString ErrorWindow::Report() const {
    return m_report;
}

FrmTimeOut::FrmTimeOut(QWidget *parent)
    : QDialog(parent), m_wasLoaded(new QLabel(this)), m_msg(new QLabel(this)),
      m_timer(new QTimer(this)) {
    setObjectName(QStringLiteral("frmTimeOut"));
    setWindowTitle(QStringLiteral("TimeOut"));
    m_wasLoaded->setObjectName(QStringLiteral("lblWasLoaded"));
    m_msg->setObjectName(QStringLiteral("lblMsg"));
    auto *caption = new QLabel(QStringLiteral("Остуди стволы"), this);
    caption->setObjectName(QStringLiteral("Label1"));
    QFont big = caption->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.4);
    caption->setFont(big);
    auto *picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("Picture1"));
    picture->setPixmap(style()->standardIcon(QStyle::SP_BrowserReload).pixmap(48, 48));
    auto *close = new QPushButton(QStringLiteral("Continue"), this);
    close->setObjectName(QStringLiteral("cmdClose"));
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    m_timer->setObjectName(QStringLiteral("Timer1"));
    connect(m_timer, &QTimer::timeout, this, &FrmTimeOut::Timer1_Timer);

    auto *texts = new QVBoxLayout;
    texts->addWidget(caption);
    texts->addWidget(m_wasLoaded);
    texts->addWidget(m_msg);
    auto *top = new QHBoxLayout;
    top->addWidget(picture, 0, Qt::AlignTop);
    top->addLayout(texts, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(close, 0, Qt::AlignRight);
}

int FrmTimeOut::exec() {
    if (lngSecondsTimeOut == 0) {
        lngSecondsTimeOut = 30;
    }
    m_wasLoaded->setText(QStringLiteral("обработано блоков ") + QString::number(cWasLoaded));
    m_left = lngSecondsTimeOut;
    m_timer->setInterval(1000);
    Timer1_Timer();
    if (m_left == 0) {
        return QDialog::Accepted; // the first tick ended the pause: nothing to show
    }
    m_timer->start();
    const int result = QDialog::exec();
    m_timer->stop();
    return result;
}

void FrmTimeOut::Timer1_Timer() {
    --m_left;
    m_msg->setText(QString::number(m_left) + QStringLiteral(" секунд осталось"));
    if (m_left == 0) {
        m_timer->stop();
        accept();
    }
}

QString FrmChDir(QWidget *parent, const QString &start) {
    const QString from = !start.isEmpty() && QDir(start).exists() ? start : QString();
    return QFileDialog::getExistingDirectory(parent, QStringLiteral("Folder"), from);
}

} // namespace tessaro::dialogs
