// tessaro-gui's shell: the main dialog with its map host, run against the built-in tile server.
#include "gui/gui_shell.h"
#include "settings/local_servers.h"
#include "support/files.h"
#include "support/process.h"
#include "support/qt_test.h"
#include "tileserver/tile_server.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTextEdit>

#include <chrono>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

using namespace tessaro;
using settings::Key;

namespace {

class GuiTest : public test::QtTest {
protected:
    GuiTest() {
        server.Start();
        dialog.show();
    }

    template <class T> T &Find(const char *name) { return QtTest::Find<T>(dialog, name); }
    QLineEdit &Box(const char *name) { return Find<QLineEdit>(name); }
    void Type(const char *name, const QString &text) { QtTest::Type(Box(name), text); }

    tileserver::TileServer server;
    gui::GuiShell shell{gui::GuiOptions{home / "store.ini", {}, {}, {}}};
    dialogs::FrmTessaro &dialog = shell.Dialog();
};

} // namespace

// A load from the dialog writes the files the command line writes for the same request and
// records its tiles in the index the dialog opened and their mosaic through the mosaic dialog; Stop
// ends a run during a transfer, the load button does not start a second run over it, and closing
// the window stops the run first.
TEST_F(GuiTest, TheLoadButtonRunsWithTheWindowLive) {
    const test::TempDir gui, cli;
    auto state = dialog.ToSettings();
    for (const auto &[key, value] : settings::ServerSettingsFor(server.BaseUrl())) {
        state.Text(key) = value;
    }
    state.Text(Key::SatRasterPath0) = gui.Path().string();
    state.Text(Key::OutPolygon) = (home / "index.gpkg").string();
    dialog.FromSettings(state);
    // The index the box names opens (created after the question), ticking "create Polygon".
    dialog.OpenPolygonFC();
    EXPECT_EQ(Box("txtOutPolygon").text().toStdString(), (home / "index.gpkg/blocks").string());
    EXPECT_TRUE(Find<QCheckBox>("chkCreatePolygon").isChecked());
    Type("txtLevel", "14");
    for (const auto &[box, value] :
         {std::pair{"TxtLat1", "55.74"}, std::pair{"TxtLat2", "55.76"},
          std::pair{"TxtLon1", "37.60"}, std::pair{"TxtLon2", "37.64"}}) {
        Type(box, value);
    }
    // "mosaic" shows the mosaic dialog once the tiles are in.
    Find<QCheckBox>("chkMosaic").setChecked(true);
    QTimer mosaicDialog;
    QObject::connect(&mosaicDialog, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal->objectName() == "frmMosaicRaster") {
            QtTest::Find<QLineEdit>(*modal, "txtOutRaster")
                .setText(QString::fromStdString((home / "mosaic.tif").string()));
            QtTest::Find<QPushButton>(*modal, "cmdOk").click();
        }
    });
    mosaicDialog.start(20);
    Find<QPushButton>("CmdLoad").click();
    mosaicDialog.stop();
    Find<QCheckBox>("chkMosaic").setChecked(false);
    ASSERT_TRUE(dialog.LastRun());
    GDALDatasetUniquePtr mosaic(GDALDataset::Open((home / "mosaic.tif").c_str(), GDAL_OF_RASTER));
    ASSERT_NE(mosaic, nullptr);
    EXPECT_EQ(mosaic->GetRasterXSize(), 512) << "the four tiles, two by two";
    mosaic.reset();
    EXPECT_EQ(dialog.LastRun()->outcome, load::RunOutcome::Completed) << messages.size();
    EXPECT_TRUE(Find<QTextEdit>("txtLog").toPlainText().startsWith("Loaded:"));
    Screenshot(dialog, "frmTessaro-loaded.png");

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
    const auto written = test::FolderContents(gui.Path());
    const auto tiles =
        std::ranges::count_if(written, [](const auto &f) { return f.first.ends_with(".jpg"); });
    EXPECT_GT(tiles, 3);
    // Compared whole, not printed: the files are images.
    EXPECT_TRUE(written == test::FolderContents(cli.Path()))
        << "the same tiles, world files and side files";
    GDALDatasetUniquePtr index(GDALDataset::Open((home / "index.gpkg").c_str(), GDAL_OF_VECTOR));
    ASSERT_NE(index, nullptr);
    EXPECT_EQ(index->GetLayerByName("blocks")->GetFeatureCount(), tiles) << "one record per tile";
    index.reset();

    // A slow server: Stop during a transfer ends the run, and a second press of the load
    // button while it goes starts nothing.
    std::filesystem::remove_all(gui.Path() / "14");
    server.SetFaults({tileserver::ParseFault("delay=200:all")});
    QTimer press;
    bool reentered = false;
    press.setSingleShot(true);
    QObject::connect(&press, &QTimer::timeout, [&] {
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

    // Closing the window during a run stops the run first, then closes.
    std::filesystem::remove_all(gui.Path() / "14");
    QTimer::singleShot(400, &dialog, [&] { dialog.close(); });
    Find<QPushButton>("CmdLoad").click();
    EXPECT_EQ(dialog.LastRun()->outcome, load::RunOutcome::Aborted);
    EXPECT_FALSE(dialog.isVisible());
}

// The features of --selection are the map's selected features: their extent goes into the
// extent boxes, in the dialog's decimal separator.
TEST_F(GuiTest, TheSelectionGivesItsExtent) {
    EXPECT_FALSE(Find<QPushButton>("cmdSelectedFeatures").isEnabled()) << "nothing selected";
    const auto file = home / "area.geojson";
    test::WriteFile(file, R"({"type": "Polygon", "coordinates": [[[37.6, 55.74], [37.64, 55.74],
        [37.64, 55.76], [37.6, 55.76], [37.6, 55.74]]]})");
    gui::GuiShell selected(gui::GuiOptions{home / "store.ini", {}, file, {}});
    auto &window = selected.Dialog();
    window.SetDecimalSeparator(',');
    QtTest::Type(QtTest::Find<QLineEdit>(window, "txtLevel"), "14");
    auto &button = QtTest::Find<QPushButton>(window, "cmdSelectedFeatures");
    ASSERT_TRUE(button.isEnabled());
    button.click();
    const auto state = window.ToSettings();
    EXPECT_EQ(state.lat1 + " " + state.lat2 + " " + state.lon1 + " " + state.lon2,
              "55,74 55,76 37,6 37,64");
    EXPECT_EQ(QtTest::Find<QLineEdit>(window, "TxtBlocksCount").text(), "4") << "as loaded above";
}

// The program answers --help and refuses a wrong option without a display, and says so when it
// has none to show the dialog on.
TEST(TessaroGui, StartsOnlyWithADisplay) {
    const std::tuple<const char *, int, const char *> cases[] = {
        {"--help", 0, "Usage: "}, {"--bogus", 2, "Unknown option 'bogus'"}, {"", 1, "no display"}};
    for (const auto &[option, code, text] : cases) {
        auto args = std::vector<std::string>{TESSARO_GUI};
        if (*option != '\0') {
            args.emplace_back(option);
        }
        const auto r = test::RunProcess(args, {}, {{"DISPLAY", ""}, {"QT_QPA_PLATFORM", ""}});
        EXPECT_EQ(r.exitCode, code) << option << r.err;
        EXPECT_NE((r.out + r.err).find(text), std::string::npos) << option << r.out << r.err;
    }
}
