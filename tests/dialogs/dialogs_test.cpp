// The desktop dialogs on Qt's offscreen platform: the main dialog's handlers and texts, the
// error and count-down windows, the version editor and the reading of versions from image
// addresses, and a screenshot of every window (the browser's tests need a display:
// browser_test.cpp).
#include "dialogs/frm_browser.h"
#include "dialogs/frm_goo_version.h"
#include "dialogs/frm_tessaro.h"
#include "dialogs/up_down.h"
#include "settings/local_servers.h"
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

// The editor marks a found version red exactly while it is not empty and differs from the
// version in use; "записать" writes the found versions that are not empty into the main
// dialog's versions, turning their rows white.
TEST_F(DialogsTest, TheVersionEditorMarksAndWritesFoundVersions) {
    using Row = dialogs::FrmGooVersion::Row;
    settings::Settings main = dialog.ToSettings();
    main.Text(Key::MapVersion) = "w2.97&hl=ru";
    main.Text(Key::SatVersion) = "40";
    main.Text(Key::LandVersion) = "w2p.87&hl=ru";
    dialogs::FrmGooVersion editor(main, &dialog);
    editor.show();
    // The rows' marks ("r" red, "-" white) and versions in use, map, satellite, landscape.
    const auto marks = [&] {
        std::string m;
        for (const Row row : {Row::Map, Row::Sat, Row::Land}) {
            m += editor.Marked(row) ? 'r' : '-';
        }
        return m;
    };
    struct Step {
        Row row;
        bool found; // the found version's box, else the version in use
        const char *text;
        const char *marks;
    };
    const Step steps[] = {
        {Row::Map, true, "w2.97&hl=ru", "---"}, // the version in use
        {Row::Sat, true, "41", "-r-"},
        {Row::Sat, false, "41", "---"}, // the version in use takes it
        {Row::Sat, true, "42", "-r-"},
        {Row::Map, true, "w2.98&hl=ru", "rr-"},
        {Row::Land, true, "w2p.88&hl=ru", "rrr"},
        {Row::Land, true, "w2p.87&hl=ru", "rr-"}, // edited back: white again
        {Row::Land, true, "", "rr-"},             // empty: white, and not written
    };
    for (const Step &step : steps) {
        (step.found ? editor.Found(step.row) : editor.InUse(step.row)).setText(step.text);
        EXPECT_EQ(marks(), step.marks) << step.text;
    }
    Screenshot(editor, "frmGooVersion.png");
    EXPECT_EQ(editor.InUse(Row::Sat).text(), "41");
    editor.findChild<QPushButton *>("CmdWrite")->click();
    EXPECT_EQ(std::tuple(main.Text(Key::MapVersion), main.Text(Key::SatVersion),
                         main.Text(Key::LandVersion)),
              std::tuple("w2.98&hl=ru", "42", "w2p.87&hl=ru"));
    EXPECT_EQ(editor.InUse(Row::Map).text() + editor.InUse(Row::Land).text() + marks().c_str(),
              "w2.98&hl=ruw2p.87&hl=ru---");
    EXPECT_EQ(editor.windowTitle(), "версии");
}

// The first tile address of each kind on a configured mirror gives its version; its end
// marker missing gives none, and later addresses are not looked at.
TEST(ReadVersions, CutsTheFirstTileAddressOfEachKind) {
    const settings::Settings google = settings::Settings::FirstOpening();
    settings::Settings local = google;
    for (const auto &[key, value] : settings::ServerSettingsFor("http://127.0.0.1:8")) {
        local.Text(key) = value;
    }
    local.Text(settings::Settings::MapServer(3)).clear();
    struct Case {
        const settings::Settings &servers;
        QStringList images;
        std::vector<QString> versions; // map, satellite, landscape
    };
    const Case cases[] = {
        {google,
         {"http://mt0.google.com/vt/v=w2.96&x=1",          // the download path, not the page's
          "http://mt0.google.com.example.org/mt?v=w1&x=1", // another host
          "http://mt1.google.com/mt?n=404&v=w2.97&hl=ru&x=5&y=3&zoom=15",
          "http://khm2.google.com/kh?v=40&t=trtq", "http://mt2.google.com/mt?v=w2p.87&x=1"},
         {"w2.97&hl=ru", "40", ""}},
        {google, // https pages match mirrors written with http
         {"https://mt3.google.com/mt?v=w2p.87&hl=ru&x=1", "https://mt1.google.com/mt?v=w2.97&x=1"},
         {"", "", "w2p.87&hl=ru"}},
        {google,
         {"http://mt0.google.com/mt?v=w2.97", "http://mt1.google.com/mt?v=w2.98&x=1",
          "http://khm0.google.com/kh/v=40&x=1&y=2", "http://khm1.google.com/kh?v=41&t=t"},
         {"", "", ""}},
        {local, // an empty mirror box matches nothing
         {"http://127.0.0.2/mt?v=bad&x=1&t=1", "http://127.0.0.1:8/m2/mt?v=w2.98&hl=ru&x=1",
          "http://127.0.0.1:8/m3/kh?v=41&t=tq"},
         {"w2.98&hl=ru", "41", ""}},
        {google, {}, {"", "", ""}},
    };
    for (const Case &c : cases) {
        const auto found = dialogs::ReadVersions(c.images, c.servers);
        EXPECT_EQ((std::vector<QString>{found.map, found.sat, found.land}), c.versions)
            << c.images.join(' ').toStdString();
    }
    EXPECT_EQ(dialogs::HomeAddress(google), "https://maps.google.com/");
    EXPECT_EQ(dialogs::HomeAddress(local), "http://127.0.0.1:8/");
}
