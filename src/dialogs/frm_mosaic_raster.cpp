#include "dialogs/frm_mosaic_raster.h"

#include "dialogs/frm_tessaro.h"

#include "common/error_report.h"
#include "dialogs/qt_ui_port.h"
#include "mosaic/mosaic_codes.h"
#include "mosaic/raster_format.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <array>
#include <string>
#include <utility>

namespace tessaro::dialogs {

namespace {

constexpr std::string_view kProcedure = "cmdOk_Click Mocaic raster ";
constexpr std::string_view kSelectFailedMessage = "Failed to select output raster dataset";

// The formats the save dialog offers, each with the extension it gives a name typed without
// one. A GeoPackage stands where a geodatabase would; GRID, which GDAL cannot write, is left
// out; a virtual mosaic (GDAL's VRT) is a list of the tiles that GIS programs read as one raster.
constexpr std::array<std::pair<const char *, const char *>, 4> kSaveFormats{{
    {"TIFF (*.tif)", "tif"},
    {"IMAGINE Image (*.img)", "img"},
    {"GeoPackage (*.gpkg)", "gpkg"},
    {"Virtual mosaic (*.vrt)", "vrt"},
}};

QCheckBox *Check(QWidget *parent, const char *name, const char *caption) {
    auto *box = new QCheckBox(QString::fromUtf8(caption), parent);
    box->setObjectName(QString::fromUtf8(name));
    return box;
}

QPushButton *Button(QWidget *parent, const char *name, const QString &caption) {
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromUtf8(name));
    return button;
}

// A list the user picks from or types into, starting with start (empty: no text).
template <std::size_t N>
QComboBox *List(QWidget *parent, const char *name, const std::array<std::string_view, N> &texts,
                int start) {
    auto *box = new QComboBox(parent);
    box->setObjectName(QString::fromUtf8(name));
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    for (const std::string_view text : texts) {
        box->addItem(Q(text));
    }
    box->setCurrentIndex(start);
    return box;
}

// Reads a list's text into value: an empty box leaves value unset. A text that is not in the
// list would be taken for code 0 and silently pick a real choice (1 bit for the pixel type),
// so it is refused with a message naming the texts the list takes.
template <class E, std::size_t N>
bool ReadList(const QComboBox &box, std::string_view caption,
              std::optional<E> (*parse)(std::string_view) noexcept,
              const std::array<std::string_view, N> &texts, std::optional<E> &value, UiPort &ui) {
    const std::string text = S(box.currentText().trimmed());
    if (text.empty()) {
        return true;
    }
    value = parse(text);
    if (value) {
        return true;
    }
    std::string message = std::string(caption) + ": \"" + text + "\" is not in the list; choose ";
    for (std::size_t i = 0; i < N; ++i) {
        message += i == 0 ? "" : (i + 1 == N ? " or " : ", ");
        message += texts[i];
    }
    ui.ShowMessage(message + ", or leave the box empty.", Icon::Exclamation);
    return false;
}

// The hourglass while a mosaic is built.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

} // namespace

FrmMosaicRaster::FrmMosaicRaster(UiPort &ui, std::filesystem::path levelFolder,
                                 const tiles::TileList &list, tiles::TilesType type, int level,
                                 QWidget *parent)
    : QDialog(parent), m_ui(ui), m_levelFolder(std::move(levelFolder)), m_list(list), m_type(type),
      m_level(level) {
    setObjectName(QStringLiteral("frmMosaicRaster"));
    setWindowTitle(QStringLiteral("Мозаика растров"));

    m_txtOutRaster = new QLineEdit(this);
    m_txtOutRaster->setObjectName(QStringLiteral("txtOutRaster"));
    m_txtOutRaster->setMinimumWidth(360);
    m_cmdOut = Button(this, "cmdOut", {});
    m_cmdOut->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    m_cmdOut->setToolTip(QStringLiteral("Specify an Output Raster Dataset"));
    connect(m_cmdOut, &QPushButton::clicked, this, [this] { cmdOut_Click(); });
    auto *output = new QHBoxLayout;
    output->addWidget(m_txtOutRaster, 1);
    output->addWidget(m_cmdOut);
    m_chkCombine = Check(this, "chkCombine", "объединить с существующим");

    auto *frame = new QGroupBox(QStringLiteral("параметры функции"), this);
    frame->setObjectName(QStringLiteral("Frame1"));
    m_cboMosaicType = List(frame, "cboMosaicType", mosaic::kMosaicOperatorTexts, 0);
    m_cboColormapMode = List(frame, "cboColormapMode", mosaic::kColormapModeTexts, -1);
    m_cboResampleType = List(frame, "cboResampleType", mosaic::kResamplingTexts, 0);
    m_cboDatatype = List(frame, "cboDatatype", mosaic::kPixelTypeTexts, -1);
    auto *lists = new QGridLayout(frame);
    const std::pair<const char *, QComboBox *> rows[] = {{"Mosaic Type", m_cboMosaicType},
                                                         {"Colormap mode", m_cboColormapMode},
                                                         {"Resample:", m_cboResampleType},
                                                         {"DataType:", m_cboDatatype}};
    for (int i = 0; i < 4; ++i) {
        lists->addWidget(new QLabel(QString::fromUtf8(rows[i].first), frame), i, 0);
        lists->addWidget(rows[i].second, i, 1);
    }
    lists->setColumnStretch(1, 1);

    // A GeoTIFF's own choices: its compression (empty: that of the tiles, JPEG for JPEG tiles,
    // DEFLATE for the others) and the cloud-optimised layout.
    auto *geoTiff = new QGroupBox(QStringLiteral("GeoTIFF"), this);
    geoTiff->setObjectName(QStringLiteral("FrameGeoTiff"));
    m_frameGeoTiff = geoTiff;
    m_cboCompression = List(geoTiff, "cboCompression", mosaic::kCompressionTexts, -1);
    m_cboCompression->setToolTip(
        QStringLiteral("Empty: JPEG for JPEG tiles, DEFLATE for PNG tiles"));
    m_chkCog = Check(geoTiff, "chkCog", "cloud-optimised GeoTIFF (COG)");
    auto *geoTiffRows = new QGridLayout(geoTiff);
    geoTiffRows->addWidget(new QLabel(QStringLiteral("Compression:"), geoTiff), 0, 0);
    geoTiffRows->addWidget(m_cboCompression, 0, 1);
    geoTiffRows->addWidget(m_chkCog, 1, 0, 1, 2);
    geoTiffRows->setColumnStretch(1, 1);
    connect(m_txtOutRaster, &QLineEdit::textChanged, this, [this] { OfferGeoTiffChoices(); });
    OfferGeoTiffChoices();

    m_chkOutput = Check(this, "chkOutput", "добавить слой на карту");
    m_cmdOk = Button(this, "cmdOk", QStringLiteral("Ok"));
    m_cmdOk->setDefault(true);
    connect(m_cmdOk, &QPushButton::clicked, this, [this] { cmdOk_Click(); });
    m_cmdCancel = Button(this, "cmdCancel", QStringLiteral("Cancel"));
    connect(m_cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_cmdOk);
    buttons->addWidget(m_cmdCancel);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Новый растр:"), this));
    layout->addLayout(output);
    layout->addWidget(
        new QLabel(QStringLiteral("расширения TIF или IMG ; без расширения - GRID"), this));
    layout->addWidget(m_chkCombine);
    layout->addWidget(frame);
    layout->addWidget(geoTiff);
    layout->addWidget(m_chkOutput);
    layout->addLayout(buttons);
}

void FrmMosaicRaster::cmdOut_Click() {
    try {
        QFileDialog chooser(this, QStringLiteral("Specify an Output Raster Dataset"));
        chooser.setAcceptMode(QFileDialog::AcceptSave);
        // Appending picks a raster that exists: the dialog must not ask to overwrite it.
        chooser.setOption(QFileDialog::DontConfirmOverwrite);
        QStringList filters;
        for (const auto &[filter, suffix] : kSaveFormats) {
            filters << QString::fromUtf8(filter);
        }
        chooser.setNameFilters(filters);
        chooser.setDefaultSuffix(QString::fromUtf8(kSaveFormats[0].second));
        connect(&chooser, &QFileDialog::filterSelected, &chooser, [&chooser](const QString &f) {
            for (const auto &[filter, suffix] : kSaveFormats) {
                if (f == QString::fromUtf8(filter)) {
                    chooser.setDefaultSuffix(QString::fromUtf8(suffix));
                }
            }
        });
        // Start where the box points, else beside the run's level folder.
        const QString shown = m_txtOutRaster->text().trimmed();
        const QFileInfo current(shown);
        if (!shown.isEmpty() && current.absoluteDir().exists()) {
            chooser.setDirectory(current.absoluteDir());
            chooser.selectFile(current.fileName());
        } else {
            chooser.setDirectory(
                QString::fromStdString((m_levelFolder / "..").lexically_normal().string()));
        }
        if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) {
            return;
        }
        const QString chosen = QDir::toNativeSeparators(chooser.selectedFiles().first());
        m_txtOutRaster->setText(chosen);
        if (mosaic::ResolveMosaicTarget(S(chosen)).format == mosaic::RasterFormat::Invalid) {
            m_ui.ShowMessage(mosaic::kInvalidFormatMessage);
        }
    } catch (const std::exception &) {
        m_ui.ShowMessage(kSelectFailedMessage);
    }
}

void FrmMosaicRaster::OfferGeoTiffChoices() {
    const auto target = mosaic::ResolveMosaicTarget(S(m_txtOutRaster->text().trimmed()));
    m_frameGeoTiff->setEnabled(target.format == mosaic::RasterFormat::GeoTiff);
}

std::optional<mosaic::MosaicOptions> FrmMosaicRaster::ReadLists(const mosaic::MosaicOptions &base) {
    mosaic::MosaicOptions options = base;
    std::optional<mosaic::Resampling> resampling;
    const bool read = ReadList(*m_cboMosaicType, "Mosaic Type", &mosaic::ParseMosaicOperator,
                               mosaic::kMosaicOperatorTexts, options.mosaicOperator, m_ui) &&
                      ReadList(*m_cboColormapMode, "Colormap mode", &mosaic::ParseColormapMode,
                               mosaic::kColormapModeTexts, options.colormapMode, m_ui) &&
                      ReadList(*m_cboResampleType, "Resample", &mosaic::ParseResampling,
                               mosaic::kResamplingTexts, resampling, m_ui) &&
                      ReadList(*m_cboDatatype, "DataType", &mosaic::ParsePixelType,
                               mosaic::kPixelTypeTexts, options.pixelType, m_ui) &&
                      (!m_frameGeoTiff->isEnabled() ||
                       ReadList(*m_cboCompression, "Compression", &mosaic::ParseCompression,
                                mosaic::kCompressionTexts, options.compression, m_ui));
    if (!read) {
        return std::nullopt;
    }
    options.resampling = resampling.value_or(mosaic::Resampling::NearestNeighbor);
    if (options.combine) {
        // Appending loads the tiles into the raster as they are: they replace its pixels where
        // they lie and take its pixel type. The operator list starts at MT_FIRST, which would
        // keep the old pixels and drop every tile loaded again over them.
        options.mosaicOperator.reset();
        options.colormapMode.reset();
        options.pixelType.reset();
    }
    return options;
}

void FrmMosaicRaster::cmdOk_Click() {
    if (m_building) {
        return;
    }
    m_building = true;
    m_cmdOk->setEnabled(false);
    m_cmdCancel->setEnabled(false);
    const auto result = RunTrapped(m_ui, kProcedure, [&]() -> std::optional<mosaic::MosaicResult> {
        mosaic::MosaicOptions options;
        options.output = S(m_txtOutRaster->text().trimmed());
        options.combine = m_chkCombine->isChecked();
        // Asked for only of a GeoTIFF, whose boxes are the only ones they are offered in.
        options.cog = m_frameGeoTiff->isEnabled() && m_chkCog->isChecked();
        // The output's checks come first, then the lists'; each leaves the dialog open.
        if (!mosaic::CheckMosaicTarget(options, m_ui)) {
            return std::nullopt;
        }
        const auto withLists = ReadLists(options);
        if (!withLists) {
            return std::nullopt;
        }
        const WaitCursor wait;
        return mosaic::BuildMosaic(m_levelFolder, m_list, m_type, m_level, *withLists, m_ui);
    });
    m_building = false;
    m_cmdOk->setEnabled(true);
    m_cmdCancel->setEnabled(true);
    if (!result || !*result || (*result)->outcome == mosaic::MosaicOutcome::Refused) {
        return;
    }
    m_result = MosaicDialogResult{**result, m_chkOutput->isChecked()};
    accept();
}

void FrmMosaicRaster::cmdCancel_Click() {
    QDialog::reject();
}

void FrmMosaicRaster::reject() {
    // Escape and the window's close button; a build in hand runs to its end first.
    if (!m_building) {
        cmdCancel_Click();
    }
}

std::optional<MosaicDialogResult> ShowMosaicDialog(QWidget *owner, UiPort &ui,
                                                   const std::filesystem::path &levelFolder,
                                                   const tiles::TileList &list,
                                                   tiles::TilesType type, int level) {
    FrmMosaicRaster dialog(ui, levelFolder, list, type, level, owner);
    dialog.exec();
    return dialog.Result();
}

mosaic::MosaicDialog MosaicDialogFor(FrmTessaro &main) {
    return [&main](const std::filesystem::path &levelFolder, const tiles::TileList &list,
                   tiles::TilesType type, int level) {
        return ShowMosaicDialog(&main, main.Ui(), levelFolder, list, type, level);
    };
}

} // namespace tessaro::dialogs
