// The desktop dialogs on Qt's offscreen platform: the main dialog's handlers and texts, a load
// from the dialog against the built-in tile server with Stop and the re-entry guard, the
// count-down window, and a screenshot of every window.
#include "dialogs/frm_tessaro.h"
#include "dialogs/up_down.h"
#include "settings/local_servers.h"
#include "support/files.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "tileserver/tile_server.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

using namespace tessaro;
using dialogs::FrmTessaro;
using settings::Key;

namespace {

class DialogsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (QApplication::instance() == nullptr) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            static int argc = 1;
            static char name[] = "dialogs_test";
            static char *argv[] = {name, nullptr};
            static QApplication app(argc, argv);
        }
    }

    DialogsTest() : dialog(settings::SettingsStore::AtFile(home / "store.ini")) {
        // Every modal window that opens is read and closed: message boxes with their first
        // button, folder choosers cancelled, count-downs continued.
        connect(answerer, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                messages.push_back(box->text().toStdString());
                box->buttons().first()->click();
            } else if (auto *chooser = qobject_cast<QFileDialog *>(modal)) {
                chooser->reject();
            } else if (modal != nullptr && modal->objectName() == "frmTimeOut") {
                modal->findChild<QPushButton *>("cmdClose")->click();
            }
        });
        answerer.start(20);
        dialog.show();
    }

    void connect(QTimer &timer, const std::function<void()> &work) {
        QObject::connect(&timer, &QTimer::timeout, work);
    }
    template <class T> T &Find(const char *name) {
        auto *widget = dialog.findChild<T *>(QString::fromUtf8(name));
        EXPECT_NE(widget, nullptr) << name;
        return *widget;
    }
    QLineEdit &Box(const char *name) { return Find<QLineEdit>(name); }
    // Types text into a box and leaves it.
    void Type(const char *name, const QString &text) {
        Box(name).setText(text);
        emit Box(name).editingFinished();
    }
    // Writes a screenshot of a window for the eye of the reviewer.
    static void Screenshot(QWidget &window, const std::string &file) {
        std::filesystem::create_directories(SCREENSHOT_DIR);
        window.grab().save(QString::fromStdString(std::string(SCREENSHOT_DIR) + "/" + file));
    }

    test::TempDir home;
    QTimer answerer;
    std::vector<std::string> messages;
    FrmTessaro dialog;
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

    // Exit hides the window; shown again it holds what was typed.
    Find<QPushButton>("CmdCancel").click();
    EXPECT_FALSE(dialog.isVisible());
    dialog.show();
    EXPECT_EQ(Box("TxtLat1").text(), "55.75");
}

// A load from the dialog writes the files the command line writes for the same request; Stop
// ends a run during a transfer, and the load button does not start a second run over it.
TEST_F(DialogsTest, TheLoadButtonRunsWithTheWindowLive) {
    tileserver::TileServer server;
    server.Start();
    const test::TempDir gui, cli;
    auto state = dialog.ToSettings();
    for (const auto &[key, value] : settings::ServerSettingsFor(server.BaseUrl())) {
        state.Text(key) = value;
    }
    state.Text(Key::SatRasterPath0) = gui.Path().string();
    dialog.FromSettings(state);
    Type("txtLevel", "14");
    const char *extent[] = {"55.74", "55.76", "37.60", "37.64"};
    for (int i = 0; i < 4; ++i) {
        Type(i < 2 ? (i == 0 ? "TxtLat1" : "TxtLat2") : (i == 2 ? "TxtLon1" : "TxtLon2"),
             extent[i]);
    }
    Find<QPushButton>("CmdLoad").click();
    ASSERT_TRUE(dialog.LastRun());
    EXPECT_EQ(dialog.LastRun()->outcome, load::RunOutcome::Completed) << messages.size();
    EXPECT_TRUE(Find<QTextEdit>("txtLog").toPlainText().startsWith("Loaded:"));

    std::vector<std::string> args = {TESSARO_BINARY,
                                     "load",
                                     "--level=14",
                                     "--extent=55.74,55.76,37.60,37.64",
                                     "--dir=" + cli.Path().string(),
                                     "--config=" + (home / "cli.ini").string()};
    for (const auto &[key, value] : settings::ServerSettingsFor(server.BaseUrl())) {
        args.push_back("--set=" + std::string(settings::InfoOf(key).savedName) + "=" + value);
    }
    const auto r = test::RunProcess(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // The names of the files in a folder, and whether each is byte for byte the same in other.
    const auto files = [](const std::filesystem::path &folder, const std::filesystem::path &other) {
        std::map<std::string, bool> found;
        for (const auto &e : std::filesystem::recursive_directory_iterator(folder)) {
            if (e.is_regular_file() && e.path().extension() != ".xml") {
                const auto name = std::filesystem::relative(e.path(), folder);
                found[name.string()] = test::ReadFile(e.path()) == test::ReadFile(other / name);
            }
        }
        return found;
    };
    const auto written = files(gui.Path(), cli.Path());
    const auto tiles =
        std::ranges::count_if(written, [](const auto &f) { return f.first.ends_with(".jpg"); });
    EXPECT_GT(tiles, 3);
    EXPECT_EQ(written, files(cli.Path(), gui.Path())) << "the same tiles and world files";
    EXPECT_TRUE(std::ranges::all_of(written, [](const auto &f) { return f.second; }));

    // A slow server: Stop during a transfer ends the run, and a second press of the load
    // button while it goes starts nothing.
    std::filesystem::remove_all(gui.Path() / "14");
    server.SetFaults({tileserver::ParseFault("delay=200:all")});
    QTimer press;
    bool reentered = false;
    press.setSingleShot(true);
    connect(press, [&] {
        const auto start = std::chrono::steady_clock::now();
        dialog.CmdLoad_Click();
        reentered = !dialog.Running() ||
                    std::chrono::steady_clock::now() - start > std::chrono::milliseconds(100);
        Find<QPushButton>("cmdAbort").click();
    });
    press.start(500);
    const auto requestsBefore = server.Stats().tiles;
    Find<QPushButton>("CmdLoad").click();
    EXPECT_FALSE(reentered);
    EXPECT_EQ(dialog.LastRun()->outcome, load::RunOutcome::Aborted);
    EXPECT_LT(server.Stats().tiles - requestsBefore, static_cast<std::size_t>(tiles));
    Screenshot(dialog, "frmTessaro.png");
}

// The count-down shows the blocks processed and the seconds left, one tick made at once.
TEST_F(DialogsTest, TheCountDownStartsOneTickIn) {
    answerer.stop();
    dialogs::FrmTimeOut pause(&dialog);
    pause.cWasLoaded = 3000;
    QTimer look;
    look.setSingleShot(true);
    QString seen;
    connect(look, [&] {
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
