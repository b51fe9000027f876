#include "dialogs/up_down.h"

#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace tessaro::dialogs {

UpDown::UpDown(QLineEdit &buddy, int minimum, int maximum, int value, QWidget *parent)
    : QWidget(parent), m_buddy(buddy), m_minimum(minimum), m_maximum(maximum), m_value(value) {
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (const auto &[arrow, step] : {std::pair{Qt::UpArrow, 1}, std::pair{Qt::DownArrow, -1}}) {
        auto *button = new QToolButton(this);
        button->setArrowType(arrow);
        button->setAutoRepeat(true);
        button->setFixedSize(18, 11);
        connect(button, &QToolButton::clicked, this, [this, s = step] { setValue(m_value + s); });
        layout->addWidget(button);
    }
}

void UpDown::setValue(int value) {
    const int clamped = std::clamp(value, m_minimum, m_maximum);
    m_buddy.setText(QString::number(clamped));
    if (clamped != m_value) {
        m_value = clamped;
        emit valueChanged(m_value);
    }
}

} // namespace tessaro::dialogs
