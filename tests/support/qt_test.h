#pragma once

// What the tests of windows share: a QApplication (on Qt's offscreen platform unless a test
// needs a display), a home folder,
// an answerer that reads and closes every modal window that opens, and screenshots for the
// reviewer's eye.
#include "support/temp_dir.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tessaro::test {

class QtTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StartApplication("offscreen"); }
    static void StartApplication(const char *platform) {
        qputenv("QT_QPA_PLATFORM", platform);
        static int argc = 1;
        static char name[] = "qt_test";
        static char *argv[] = {name, nullptr};
        // Never destroyed: at exit Qt WebEngine's clean-up would run after Qt's own statics.
        static auto *app = new QApplication(argc, argv);
        (void)app;
    }

    QtTest() {
        // Message boxes are read and closed with their first button, file choosers given
        // chosenFile (cancelled while it is empty), count-downs continued.
        QObject::connect(&answerer, &QTimer::timeout, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                messages.push_back(box->text().toStdString());
                box->buttons().first()->click();
            } else if (auto *chooser = qobject_cast<QFileDialog *>(modal)) {
                if (chosenFile.empty()) {
                    chooser->reject();
                    return;
                }
                // Typed into the name box: selectFile leaves the box alone once it has focus.
                chooser->findChild<QLineEdit *>("fileNameEdit")
                    ->setText(QString::fromStdString(chosenFile.string()));
                static_cast<QDialog *>(chooser)->accept(); // QFileDialog hides it
            } else if (modal != nullptr && modal->objectName() == "frmTimeOut") {
                modal->findChild<QPushButton *>("cmdClose")->click();
            }
        });
        answerer.start(20);
    }

    // A control of the window under test by its object name.
    template <class T> static T &Find(QWidget &window, const char *name) {
        auto *widget = window.findChild<T *>(QString::fromUtf8(name));
        EXPECT_NE(widget, nullptr) << name;
        return *widget;
    }
    // Types text into a box and leaves it.
    static void Type(QLineEdit &box, const QString &text) {
        box.setText(text);
        emit box.editingFinished();
    }
    // Writes a screenshot of a window into build/tests/screenshots.
    static void Screenshot(QWidget &window, const std::string &file) {
        std::filesystem::create_directories(SCREENSHOT_DIR);
        window.grab().save(QString::fromStdString(std::string(SCREENSHOT_DIR) + "/" + file));
    }

    TempDir home;
    QTimer answerer;
    std::vector<std::string> messages; ///< the texts of the message boxes, in turn
    std::filesystem::path chosenFile;  ///< what file choosers are given
};

} // namespace tessaro::test
