// The desktop dialogs on Qt's offscreen platform: the main dialog's handlers and texts, the
// error and count-down windows, and a screenshot of every window.
#include "dialogs/frm_tessaro.h"
#include "dialogs/up_down.h"
#include "support/qt_test.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QRadioButton>
#include <QTabWidget>

#include <chrono>

using namespace tessaro;
using dialogs::FrmTessaro;
using settings::Key;

namespace {

class DialogsTest : public test::QtTest {
protected:
    DialogsTest() { dialog.show(); }

    template <class T> T &Find(const char *name) { return QtTest::Find<T>(dialog, name); }
    QLineEdit &Box(const char *name) { return Find<QLineEdit>(name); }
    void Type(const char *name, const QString &text) { QtTest::Type(Box(name), text); }

    FrmTessaro dialog{settings::SettingsStore::AtFile(home / "store.ini")};
};

} // namespace

// The source switch, the level check, the separators and the estimate, as the user meets them.
TEST_F(DialogsTest, HandlersKeepTheRequestConsistent) {
    EXPECT_EQ(dialog.windowTitle(), "Tessaro v2.0");
    auto &service = Find<QComboBox>("cmbService");
    auto &mosaic = Find<QCheckBox>("chkMosaic");
    auto &map = Find<QRadioButton>("opTilesType_1");
    auto &land = Find<QRadioButton>("opTilesType_2");
    land.click();
    mosaic.setChecked(true);
    service.setCurrentIndex(2); // Shade
    EXPECT_TRUE(Find<QRadioButton>("opTilesType_0").isChecked());
    EXPECT_FALSE(map.isEnabled() || land.isEnabled() || mosaic.isEnabled() || mosaic.isChecked());
    service.setCurrentIndex(1); // Scan: satellite and map
    EXPECT_TRUE(map.isEnabled() && !land.isEnabled() && !mosaic.isEnabled());
    map.click();
    service.setCurrentIndex(0); // Goo keeps the kind and leaves the mosaic unticked
    EXPECT_TRUE(map.isChecked() && land.isEnabled() && mosaic.isEnabled() && !mosaic.isChecked());

    // Level 1 covers the world with one tile; the map kind counts 11.5 per tile.
    Type("txtLevel", "1");
    EXPECT_EQ(std::tuple(Box("TxtBlocksCount").text(), Box("TxtBlocksSize").text()),
              std::tuple(QString("1"), QString("11.5")));
    for (const char *bad : {"0", "23"}) {
        Type("txtLevel", bad);
        EXPECT_EQ(Find<dialogs::UpDown>("UpDownLevel").value(), 1) << bad;
    }
    Type("txtLevel", "22");
    EXPECT_EQ(Find<dialogs::UpDown>("UpDownLevel").value(), 22);
    EXPECT_EQ(messages, (std::vector<std::string>{"Level must be between 1 and 22",
                                                  "Level must be between 1 and 22"}));
    Type("txtLevel", "1");

    dialog.SetDecimalSeparator(',');
    Type("TxtLat1", "55.75");
    EXPECT_EQ(Box("TxtLat1").text(), "55,75");
    dialog.SetDecimalSeparator('.');
    Type("TxtLat1", "55,75");
    EXPECT_EQ(Box("TxtLat1").text(), "55.75");

    // Cancelling the folder chooser leaves the box as it was.
    const QString before = Box("txtSatRasterPath_0").text();
    dialog.findChildren<QPushButton *>("CmdRasterPath_0").first()->click();
    EXPECT_EQ(Box("txtSatRasterPath_0").text(), before);
    EXPECT_TRUE(Find<QLabel>("lblSatFreeSpace_0").text().startsWith("free: "));

    // Text that is no number: the level's report goes to the error-text window with the
    // program's path, the estimate's to a message box; the estimate boxes keep their texts.
    Type("txtLevel", "abc");
    auto *window = dialog.findChild<dialogs::ErrorWindow *>("frmErrorText");
    ASSERT_NE(window, nullptr);
    const QString report = window->Report();
    EXPECT_TRUE(report.startsWith("Record Call Stack Sequence - Bottom line is error line.\r\n\r\n"
                                  "\ttxtLevel_LostFocus /"))
        << report.toStdString();
    EXPECT_TRUE(report.contains("Error Number \r\n\t13\r\n")) << report.toStdString();
    Screenshot(*window, "frmErrorText.png");
    Type("TxtLon2", "east");
    EXPECT_EQ(Box("TxtBlocksCount").text(), "1");
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_TRUE(messages[2].starts_with("An error has occured in the application.   Record the "
                                        "call stack sequence\r\nand the description of the "
                                        "error.\r\n\r\nError Call Stack Sequence \r\n\t"
                                        "ShowBlocksParam  \r\n"))
        << messages[2];

    // Exit hides the window; shown again it holds what was typed.
    Find<QPushButton>("CmdCancel").click();
    EXPECT_FALSE(dialog.isVisible());
    dialog.show();
    EXPECT_EQ(Box("TxtLat1").text(), "55.75");
    // Every tab, for the reviewer's eye.
    auto &tabs = Find<QTabWidget>("SSTab1");
    for (int i = 0; i < tabs.count(); ++i) {
        tabs.setCurrentIndex(i);
        Screenshot(dialog, "frmTessaro-" + std::to_string(i) + ".png");
    }
}

// The count-down shows the blocks processed and the seconds left, one tick made at once.
TEST_F(DialogsTest, TheCountDownStartsOneTickIn) {
    answerer.stop();
    dialogs::FrmTimeOut pause(&dialog);
    pause.cWasLoaded = 3000;
    QTimer look;
    look.setSingleShot(true);
    QString seen;
    QObject::connect(&look, &QTimer::timeout, [&] {
        seen = pause.findChild<QLabel *>("lblWasLoaded")->text() + "|" +
               pause.findChild<QLabel *>("lblMsg")->text();
        Screenshot(pause, "frmTimeOut.png");
        pause.findChild<QPushButton *>("cmdClose")->click();
    });
    look.start(100);
    pause.exec(); // 0 means 30 seconds
    EXPECT_EQ(seen, "обработано блоков 3000|29 секунд осталось");
    pause.lngSecondsTimeOut = 1;
    const auto start = std::chrono::steady_clock::now();
    pause.exec();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}
