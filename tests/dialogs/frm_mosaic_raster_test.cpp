// The mosaic dialog on Qt's offscreen platform: its lists and start values, checks that keep it
// open, and mosaics of a run's palette tiles chosen through the save dialog, read back by GDAL.
#include "dialogs/frm_mosaic_raster.h"

#include "dialogs/qt_ui_port.h"
#include "download/world_file.h"
#include "support/files.h"
#include "support/qt_test.h"
#include "tiles/tile_files.h"
#include "tileserver/tile_code.h"
#include "tileserver/tile_image.h"

#include <QCheckBox>
#include <QComboBox>

#include <gdal_priv.h>

#include <functional>

using namespace tessaro;
using dialogs::FrmMosaicRaster;
using tiles::TilesType;
namespace fs = std::filesystem;

namespace {

class MosaicDialogTest : public test::QtTest {
protected:
    // The Google map tiles (palette PNG) of a run over central Moscow with their world files,
    // as a load leaves them.
    MosaicDialogTest() : ui(owner, nullptr, nullptr, nullptr) {
        list.ForEach([&](const tiles::TileRecord &r) {
            const fs::path tile = tiles::TilePath(levelFolder, TilesType::GoogleMap, r, 15);
            fs::create_directories(levelFolder);
            test::WriteFile(tile, tileserver::EncodeTile({TilesType::GoogleMap, r.col, r.row, 15}));
            test::WriteFile(tiles::WorldFilePath(tile, TilesType::GoogleMap),
                            download::WorldFileText(r, 0.0));
        });
    }

    // Shows the dialog modally, runs work in it once it is up, then closes it if still open.
    std::optional<dialogs::MosaicDialogResult> Show(const std::function<void(QWidget &)> &work) {
        QTimer::singleShot(0, [&] {
            QWidget *dialog = QApplication::activeModalWidget();
            work(*dialog);
            dialog->close();
        });
        return dialogs::ShowMosaicDialog(&owner, ui, levelFolder, list, TilesType::GoogleMap, 15);
    }

    test::TempDir dir;
    fs::path levelFolder = dir / "goo-map" / "15";
    tiles::TileList list{{TilesType::GoogleMap, 15, 55.750, 55.765, 37.600, 37.630}};
    QWidget owner;
    dialogs::QtUiPort ui;
};

// The code of the tile in the upper-left 256 × 256 pixels of a three-band raster.
std::optional<tileserver::TileCode> FirstTileOf(const std::string &raster) {
    GDALDatasetUniquePtr ds(GDALDataset::Open(raster.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    std::vector<std::uint8_t> rgb(256 * 256 * 3);
    const bool read = ds && ds->GetRasterCount() == 3 &&
                      ds->RasterIO(GF_Read, 0, 0, 256, 256, rgb.data(), 256, 256, GDT_Byte, 3,
                                   nullptr, 3, 768, 1, nullptr) == CE_None;
    return read ? tileserver::DecodeTileImage({rgb.data(), 256, 256, 0}) : std::nullopt;
}

} // namespace

// The form as it opens, then each check: its message, the dialog left open, nothing built.
TEST_F(MosaicDialogTest, OpensAsTheFormAndItsChecksKeepItOpen) {
    FrmMosaicRaster dialog(ui, levelFolder, list, TilesType::GoogleMap, 15);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle() + Find<QLineEdit>(dialog, "txtOutRaster").text(),
              "Мозаика растров");
    for (const auto &[name, caption] : {std::pair("chkCombine", "объединить с существующим"),
                                        std::pair("chkOutput", "добавить слой на карту")}) {
        EXPECT_TRUE(Find<QCheckBox>(dialog, name).text() == caption &&
                    !Find<QCheckBox>(dialog, name).isChecked())
            << name;
    }
    const char *lists[][3] = {
        {"cboMosaicType", "MT_FIRST", "MT_FIRST,MT_LAST,MT_MIN,MT_MAX,MT_MEAN,MT_BLEND"},
        {"cboColormapMode", "", "MM_REJECT,MM_FIRST,MM_LAST,MM_MATCH"},
        {"cboResampleType", "NearestNeighbor",
         "NearestNeighbor,BilinearInterpolation,CubicConvolution"},
        {"cboDatatype", "",
         "1 bit,2 bit,4 bit,unsigned 8 bit,signed 8 bit,unsigned 16 bit,signed 16 bit,"
         "unsigned 32 bit,signed 32 bit,float,double"},
        {"cboCompression", "", "jpeg,deflate"}};
    for (const auto &[name, start, items] : lists) {
        auto &box = Find<QComboBox>(dialog, name);
        QStringList texts{box.currentText()};
        for (int i = 0; i < box.count(); ++i) {
            texts << box.itemText(i);
        }
        EXPECT_EQ(texts.join(','), QString(start) + ',' + items);
    }
    Screenshot(dialog, "frmMosaicRaster.png");

    const struct {
        fs::path output;
        bool combine;
        const char *datatype;
        std::string message;
    } cases[] = {
        {"", false, "", "Не введено имя нового растра"},
        {dir / "new.tif", true, "", std::string(mosaic::kRasterMissingMessage)},
        // A typed text outside the list would be taken for code 0, the 1-bit type.
        {dir / "new.tif", false, "8 bit",
         "DataType: \"8 bit\" is not in the list; choose 1 bit, 2 bit, 4 bit, unsigned 8 bit, "
         "signed 8 bit, unsigned 16 bit, signed 16 bit, unsigned 32 bit, signed 32 bit, float or "
         "double, or leave the box empty."},
    };
    for (const auto &c : cases) {
        messages.clear();
        Find<QLineEdit>(dialog, "txtOutRaster").setText(QString::fromStdString(c.output.string()));
        Find<QCheckBox>(dialog, "chkCombine").setChecked(c.combine);
        Find<QComboBox>(dialog, "cboDatatype").setEditText(c.datatype);
        Find<QPushButton>(dialog, "cmdOk").click();
        EXPECT_EQ(messages, std::vector<std::string>{c.message}) << c.output;
        EXPECT_TRUE(dialog.isVisible() && !dialog.Result()) << c.output;
    }
    EXPECT_FALSE(fs::exists(dir / "new.tif"));
}

// A new mosaic through the save dialog, then the same tiles appended after one of them changed:
// the dialog's start operator MT_FIRST must not keep the old pixels when appending.
TEST_F(MosaicDialogTest, OkBuildsAndAppendsTheRunsTiles) {
    chosenFile = dir / "mosaic"; // the save dialog adds the extension of its format, .tif
    const auto built = Show([&](QWidget &dialog) {
        Find<QPushButton>(dialog, "cmdOut").click();
        Find<QCheckBox>(dialog, "chkOutput").setChecked(true);
        Find<QPushButton>(dialog, "cmdOk").click();
    });
    ASSERT_TRUE(built);
    EXPECT_EQ(std::tuple(built->mosaic.outcome, built->addToMap, built->mosaic.raster),
              std::tuple(mosaic::MosaicOutcome::Built, true, (dir / "mosaic.tif").string()));
    tiles::TileRecord first;
    list.Begin().Next(first);
    // Palette tiles come out as RGB, each in its place.
    EXPECT_EQ(FirstTileOf(built->mosaic.raster),
              (tileserver::TileCode{TilesType::GoogleMap, first.col, first.row, 15}));

    const fs::path tile = tiles::TilePath(levelFolder, TilesType::GoogleMap, first, 15);
    test::WriteFile(tile, tileserver::EncodeTile({TilesType::GoogleMap, 7, 7, 15}));
    const auto appended = Show([&](QWidget &dialog) {
        Find<QLineEdit>(dialog, "txtOutRaster")
            .setText(QString::fromStdString(built->mosaic.raster));
        Find<QCheckBox>(dialog, "chkCombine").setChecked(true);
        Find<QPushButton>(dialog, "cmdOk").click();
    });
    ASSERT_TRUE(appended);
    EXPECT_EQ(std::pair(appended->mosaic.outcome, appended->addToMap),
              std::pair(mosaic::MosaicOutcome::Appended, false));
    EXPECT_EQ(FirstTileOf(appended->mosaic.raster),
              (tileserver::TileCode{TilesType::GoogleMap, 7, 7, 15}));
    EXPECT_TRUE(messages.empty()) << messages.front();

    // Cancel builds nothing.
    EXPECT_FALSE(Show([](QWidget &dialog) { Find<QPushButton>(dialog, "cmdCancel").click(); }));
}

// The GeoTIFF's compression and cloud-optimised layout are offered while the output is a
// GeoTIFF, and reach the raster built; a compression outside the list keeps the dialog open.
TEST_F(MosaicDialogTest, AGeoTiffIsCompressedAndCloudOptimisedAsChosen) {
    const auto built = Show([&](QWidget &dialog) {
        auto &output = Find<QLineEdit>(dialog, "txtOutRaster");
        auto &geoTiff = Find<QWidget>(dialog, "FrameGeoTiff");
        for (const auto &[name, offered] : {std::pair("a.img", false), std::pair("a.vrt", false),
                                            std::pair("", false), std::pair("a.tif", true)}) {
            output.setText(QString::fromUtf8(name));
            EXPECT_EQ(geoTiff.isEnabled(), offered) << name;
        }
        output.setText(QString::fromStdString((dir / "cog.tif").string()));
        Find<QComboBox>(dialog, "cboCompression").setEditText("lzw");
        Find<QCheckBox>(dialog, "chkCog").setChecked(true);
        Screenshot(dialog, "frmMosaicRaster-geotiff.png");
        Find<QPushButton>(dialog, "cmdOk").click();
        EXPECT_EQ(messages.size(), 1u);
        EXPECT_TRUE(dialog.isVisible());
        Find<QComboBox>(dialog, "cboCompression").setEditText("deflate");
        Find<QPushButton>(dialog, "cmdOk").click();
    });
    ASSERT_TRUE(built);
    GDALDatasetUniquePtr ds(GDALDataset::Open(built->mosaic.raster.c_str(), GDAL_OF_RASTER));
    ASSERT_TRUE(ds);
    const auto item = [&](const char *key) {
        const char *value = ds->GetMetadataItem(key, "IMAGE_STRUCTURE");
        return std::string(value == nullptr ? "" : value);
    };
    EXPECT_EQ(item("COMPRESSION") + " " + item("LAYOUT"), "DEFLATE COG");
    tiles::TileRecord first;
    list.Begin().Next(first);
    EXPECT_EQ(FirstTileOf(built->mosaic.raster),
              (tileserver::TileCode{TilesType::GoogleMap, first.col, first.row, 15}));
}
