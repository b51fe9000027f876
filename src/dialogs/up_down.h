#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

namespace tessaro::dialogs {

/// An up-down control beside a text box (its buddy): the arrows step a value within a range and
/// write it into the buddy. The buddy's text is not read back: the dialog's own handlers decide
/// when a typed text becomes the value.
class UpDown : public QWidget {
    Q_OBJECT
public:
    UpDown(QLineEdit &buddy, int minimum, int maximum, int value, QWidget *parent = nullptr);

    [[nodiscard]] int value() const { return m_value; }
    /// Sets the value, clamped to the range, and writes it into the buddy.
    void setValue(int value);
    [[nodiscard]] int minimum() const { return m_minimum; }
    [[nodiscard]] int maximum() const { return m_maximum; }

signals:
    /// The value changed (by the arrows or setValue).
    void valueChanged(int value);

private:
    QLineEdit &m_buddy;
    int m_minimum;
    int m_maximum;
    int m_value;
};

} // namespace tessaro::dialogs
