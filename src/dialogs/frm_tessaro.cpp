#include "dialogs/frm_tessaro.h"

#include "common/error_report.h"
#include "common/files.h"
#include "common/text.h"
#include "dialogs/frm_browser.h"
#include "dialogs/small_windows.h"
#include "dialogs/up_down.h"
#include "load/block_estimate.h"
#include "load/dialog_request.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTabWidget>
#include <QTextEdit>
#include <QUrl>
#include <QVBoxLayout>

#include <filesystem>

namespace tessaro::dialogs {

using settings::Key;
using settings::Settings;

namespace {

constexpr const char *kSources[] = {"Goo", "Scan", "Shade", "Yand"};
constexpr const char *kKinds[] = {"Satellite", "Map", "Landscape"};
constexpr const char *kMakerUrl = "https://orvelt.org/";
constexpr const char *kHelpUrl = "https://gis.stackexchange.com/";

// The control's name of a stored box: its stored name with the capital the control has
// ("txtmapServer_0" is the box txtMapServer_0).
QString ControlName(Key key) {
    QString name = Q(settings::InfoOf(key).savedName);
    if (name.startsWith(QStringLiteral("txt")) && name.size() > 3 && name[3].isLower() &&
        !name.startsWith(QStringLiteral("txtl"))) {
        name[3] = name[3].toUpper();
    }
    return name;
}

QCheckBox *Check(QWidget *parent, const char *name, const char *caption, bool ticked = false) {
    auto *box = new QCheckBox(QString::fromUtf8(caption), parent);
    box->setObjectName(QString::fromUtf8(name));
    box->setChecked(ticked);
    return box;
}

QPushButton *Button(QWidget *parent, const QString &name, const char *caption) {
    auto *button = new QPushButton(QString::fromUtf8(caption), parent);
    button->setObjectName(name);
    return button;
}

QLineEdit *Line(QWidget *parent, const char *name, const char *text = "") {
    auto *box = new QLineEdit(QString::fromUtf8(text), parent);
    box->setObjectName(QString::fromUtf8(name));
    return box;
}

QLabel *Label(QWidget *parent, const char *caption, const char *name = nullptr) {
    auto *label = new QLabel(QString::fromUtf8(caption), parent);
    if (name != nullptr) {
        label->setObjectName(QString::fromUtf8(name));
    }
    return label;
}

// The error trap of the handlers whose reports go to the error-text window with the
// program's path: runs body, and reports what it throws under the procedure's name.
template <class Body> void TrappedInWindow(UiPort &ui, std::string_view procedure, Body &&body) {
    try {
        body();
    } catch (const RunStopped &) {
        // Stopped by the user, who needs no report.
    } catch (const std::exception &e) {
        ReportException(ui, ProcedureText(procedure, ProgramPath(), 0), e, kWindowMode);
    }
}

} // namespace

FrmTessaro::FrmTessaro(settings::SettingsStore store, QWidget *parent)
    : QDialog(parent), m_store(std::move(store)) {
    setObjectName(QStringLiteral("frmTessaro"));
    setWindowTitle(QStringLiteral("Tessaro v2.0"));
    m_SSTab1 = new QTabWidget(this);
    m_SSTab1->setObjectName(QStringLiteral("SSTab1"));
    m_SSTab1->addTab(ServiceTab(), QStringLiteral("Service"));
    m_SSTab1->addTab(MapSettingsTab(), QStringLiteral("Map settings"));
    m_SSTab1->addTab(InternetTab(), QStringLiteral("I.Settings"));
    m_SSTab1->addTab(MoreSettingsTab(), QStringLiteral("More Settings"));
    m_SSTab1->addTab(AboutTab(), QStringLiteral("About"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_SSTab1);
    m_ui = std::make_unique<QtUiPort>(*this, m_ProgressBar1, m_LblProgress, m_txtLog);

    // Opening: the locale's decimal separator, the first tabs, the source "Goo", and the
    // boxes as a freshly opened dialog holds them (the temporary folder in the folder boxes).
    TrappedInWindow(*m_ui, "Form_Load ", [this] {
        SetDecimalSeparator(QLocale::system().decimalPoint());
        m_SSTab1->setCurrentIndex(0);
        m_SSTabMap->setCurrentIndex(0);
        FromSettings(Settings::FirstOpening());
        SetMapHost(nullptr);
        m_cmbService->setCurrentIndex(0);
        cmbService_Change();
    });
}

FrmTessaro::~FrmTessaro() = default;

QLineEdit *FrmTessaro::Box(Key key, const QString &name) {
    auto *box = new QLineEdit;
    box->setObjectName(name.isEmpty() ? ControlName(key) : name);
    m_boxes[static_cast<std::size_t>(key)] = box;
    return box;
}

QWidget *FrmTessaro::ServiceTab() {
    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    RequestControls(*page, *layout);
    EstimateControls(*page, *layout);
    RunControls(*page, *layout);
    return page;
}

// The source, the kind, the extent and the selection.
void FrmTessaro::RequestControls(QWidget &page, QVBoxLayout &layout) {
    m_cmbService = new QComboBox(&page);
    m_cmbService->setObjectName(QStringLiteral("cmbService"));
    for (const char *source : kSources) {
        m_cmbService->addItem(QString::fromUtf8(source));
    }
    connect(m_cmbService, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this] { cmbService_Change(); });
    auto *source = new QHBoxLayout;
    source->addWidget(m_cmbService);
    for (int i = 0; i < 3; ++i) {
        auto *option = new QRadioButton(QString::fromUtf8(kKinds[i]), &page);
        option->setObjectName(QStringLiteral("opTilesType_") + QString::number(i));
        option->setChecked(i == 0);
        connect(option, &QRadioButton::clicked, this, [this, i] { opTilesType_Click(i); });
        m_opTilesType[static_cast<std::size_t>(i)] = option;
        source->addWidget(option);
    }
    layout.addLayout(source);

    m_TxtLat1 = Line(&page, "TxtLat1", "37.8");
    m_TxtLat2 = Line(&page, "TxtLat2", "38.2");
    m_TxtLon1 = Line(&page, "TxtLon1", "55.2");
    m_TxtLon2 = Line(&page, "TxtLon2", "55.8");
    auto *extent = new QGridLayout;
    const std::pair<const char *, QLineEdit *> coordinates[] = {
        {"lat1", m_TxtLat1}, {"lat2", m_TxtLat2}, {"lon1", m_TxtLon1}, {"lon2", m_TxtLon2}};
    for (int i = 0; i < 4; ++i) {
        const auto &[caption, box] = coordinates[i];
        extent->addWidget(Label(&page, caption), i / 2, (i % 2) * 2);
        extent->addWidget(box, i / 2, (i % 2) * 2 + 1);
        connect(box, &QLineEdit::editingFinished, this,
                [this, b = box] { Coordinate_LostFocus(*b); });
    }
    layout.addLayout(extent);

    m_chkAutoExtent = Check(&page, "chkAutoExtent", "auto Extent");
    connect(m_chkAutoExtent, &QCheckBox::toggled, this, [this] { chkAutoExtent_Change(); });
    m_cmdSelectedFeatures =
        Button(&page, QStringLiteral("cmdSelectedFeatures"), "Get extent from selected features");
    m_cmdSelectedFeatures->setEnabled(false);
    connect(m_cmdSelectedFeatures, &QPushButton::clicked, this,
            [this] { cmdSelectedFeatures_Click(); });
    m_chkUseSelection = Check(&page, "chkUseSelection", "use Selection");
    m_chkUseSelection->setToolTip(QStringLiteral("load tiles intersected with selected features"));
    auto *selection = new QHBoxLayout;
    selection->addWidget(m_chkAutoExtent);
    selection->addWidget(m_cmdSelectedFeatures);
    selection->addWidget(m_chkUseSelection);
    layout.addLayout(selection);
}

// The level with its up-down, and the estimate of tiles and size.
void FrmTessaro::EstimateControls(QWidget &page, QVBoxLayout &layout) {
    auto *level = Box(Key::Level, QStringLiteral("txtLevel"));
    level->setParent(&page);
    m_UpDownLevel = new UpDown(*level, settings::kLevelMin, settings::kLevelMax, 15, &page);
    m_UpDownLevel->setObjectName(QStringLiteral("UpDownLevel"));
    connect(level, &QLineEdit::editingFinished, this, [this] { txtLevel_LostFocus(); });
    connect(m_UpDownLevel, &UpDown::valueChanged, this, [this] { ShowBlocksParam(); });
    m_TxtBlocksCount = Line(&page, "TxtBlocksCount", "0");
    m_TxtBlocksSize = Line(&page, "TxtBlocksSize", "0");
    auto *row = new QHBoxLayout;
    row->addWidget(Label(&page, "Level"));
    row->addWidget(level, 1);
    row->addWidget(m_UpDownLevel);
    row->addWidget(Label(&page, "tiles"));
    row->addWidget(m_TxtBlocksCount, 1);
    row->addWidget(Label(&page, "size"));
    row->addWidget(m_TxtBlocksSize, 1);
    layout.addLayout(row);
}

// The run's options, its log, its progress and the buttons.
void FrmTessaro::RunControls(QWidget &page, QVBoxLayout &layout) {
    m_chkOffLine = Check(&page, "chkOffLine", "work offline");
    m_chkCloseWhenDone = Check(&page, "chkCloseWhenDone", "close window");
    m_chkMosaic = Check(&page, "chkMosaic", "mosaic");
    m_chkCreatePolygon = Check(&page, "chkCreatePolygon", "create Polygon");
    connect(m_chkCreatePolygon, &QCheckBox::clicked, this, [this] { chkCreatePolygon_Click(); });
    m_chkSkipAddToMap = Check(&page, "chkSkipAddToMap", "no tiles on TOC");
    auto *options = new QGridLayout;
    QCheckBox *boxes[] = {m_chkOffLine, m_chkCloseWhenDone, m_chkMosaic, m_chkCreatePolygon,
                          m_chkSkipAddToMap};
    for (int i = 0; i < 5; ++i) {
        options->addWidget(boxes[i], i / 2, i % 2);
    }
    layout.addLayout(options);

    m_txtLog = new QTextEdit(&page);
    m_txtLog->setObjectName(QStringLiteral("txtLog"));
    m_txtLog->setReadOnly(true);
    layout.addWidget(m_txtLog, 1);
    m_LblProgress = Label(&page, "", "LblProgress");
    layout.addWidget(m_LblProgress);
    m_ProgressBar1 = new QProgressBar(&page);
    m_ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    m_ProgressBar1->setValue(0);
    m_ProgressBar1->setTextVisible(false);
    layout.addWidget(m_ProgressBar1);

    m_cmdAbort = Button(&page, QStringLiteral("cmdAbort"), "Stop");
    m_cmdAbort->setVisible(false);
    connect(m_cmdAbort, &QPushButton::clicked, this, [this] { cmdAbort_Click(); });
    m_CmdLoad = Button(&page, QStringLiteral("CmdLoad"), "OK");
    m_CmdLoad->setDefault(true);
    connect(m_CmdLoad, &QPushButton::clicked, this, [this] { CmdLoad_Click(); });
    auto *exit = Button(&page, QStringLiteral("CmdCancel"), "Exit");
    connect(exit, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_cmdAbort);
    buttons->addStretch(1);
    buttons->addWidget(m_CmdLoad);
    buttons->addWidget(exit);
    layout.addLayout(buttons);
}

QWidget *FrmTessaro::MapSettingsTab() {
    auto *page = new QWidget;
    m_SSTabMap = new QTabWidget(page);
    m_SSTabMap->setObjectName(QStringLiteral("SSTabMap"));
    for (int profile = 0; profile < 4; ++profile) {
        auto *tab = new QWidget;
        auto *form = new QGridLayout(tab);
        int row = 0;
        // A folder box with its "..." button and its free-space label.
        const auto folder = [&](Key key, const char *caption, int button, const char *label) {
            auto *box = Box(key, {});
            auto *choose =
                Button(tab, QStringLiteral("CmdRasterPath_") + QString::number(button), "...");
            auto *freeSpace = Label(tab, "free:");
            freeSpace->setObjectName(QString::fromUtf8(label) + QStringLiteral("_") +
                                     QString::number(profile));
            connect(box, &QLineEdit::textChanged, this,
                    [this, box, freeSpace] { RasterPath_Change(*box, *freeSpace); });
            connect(choose, &QPushButton::clicked, this,
                    [this, button] { CmdRasterPath_Click(button); });
            form->addWidget(Label(tab, caption), row, 0);
            form->addWidget(box, row, 1);
            form->addWidget(choose, row, 2);
            form->addWidget(freeSpace, row, 3);
            ++row;
        };
        const auto text = [&](Key key, const char *caption) {
            form->addWidget(Label(tab, caption), row, 0);
            form->addWidget(Box(key, {}), row, 1, 1, 3);
            ++row;
        };
        folder(Settings::SatRasterPath(profile), profile == 2 ? "Relief tiles" : "Satellite tiles",
               0, "lblSatFreeSpace");
        folder(Settings::MapRasterPath(profile), "Map tiles", 1, "lblMapFreeSpace");
        if (profile == 0) {
            folder(Key::LandRasterPath0, "Landscape tiles", 2, "lblLandFreeSpace");
        }
        text(Settings::SatLayerName(profile), "Satellite layer");
        text(Settings::MapLayerName(profile), "Map layer");
        if (profile == 0) {
            text(Key::LandLayerName0, "Landscape layer");
        }
        text(Settings::LevelLayerPrefix(profile), "Level prefix");
        form->setRowStretch(row, 1);
        m_SSTabMap->addTab(tab, QString::fromUtf8(kSources[profile]));
    }
    auto *polygon = Box(Key::OutPolygon, {});
    auto *openShp = Button(page, QStringLiteral("cmdOpenShp"), "...");
    connect(openShp, &QPushButton::clicked, this, [this] { cmdOpenShp_Click(); });
    auto *save = Button(page, QStringLiteral("cmdSaveTorRgistry"), "save settings");
    connect(save, &QPushButton::clicked, this, [this] { cmdSaveTorRgistry_Click(); });
    auto *loadStored = Button(page, QStringLiteral("CmdLoadFromRegistry"), "load settings");
    connect(loadStored, &QPushButton::clicked, this, [this] { CmdLoadFromRegistry_Click(); });

    auto *layout = new QVBoxLayout(page);
    layout->addWidget(m_SSTabMap, 1);
    auto *index = new QHBoxLayout;
    index->addWidget(Label(page, "Polygon FeatureClass"));
    index->addWidget(polygon, 1);
    index->addWidget(openShp);
    layout->addLayout(index);
    auto *store = new QHBoxLayout;
    store->addStretch(1);
    store->addWidget(save);
    store->addWidget(loadStored);
    layout->addLayout(store);
    return page;
}

QWidget *FrmTessaro::InternetTab() {
    auto *page = new QWidget;
    auto *sources = new QTabWidget(page);
    sources->setObjectName(QStringLiteral("SSTabInet"));
    const auto tab = [&](const char *title, auto fill) {
        auto *widget = new QWidget;
        auto *form = new QFormLayout(widget);
        fill(*widget, *form);
        sources->addTab(widget, QString::fromUtf8(title));
    };
    // The four mirror boxes of a kind, then its version box.
    const auto mirrors = [this](QFormLayout &form, const char *kind, Key (*server)(int) noexcept,
                                Key version) {
        for (int i = 0; i < 4; ++i) {
            form.addRow(QString::fromUtf8(kind) + QLatin1Char(' ') + QString::number(i),
                        Box(server(i), {}));
        }
        form.addRow(QString::fromUtf8(kind) + QStringLiteral(" version"), Box(version, {}));
    };
    tab("Goo", [&](QWidget &widget, QFormLayout &form) {
        mirrors(form, "Satellite", &Settings::SatServer, Key::SatVersion);
        mirrors(form, "Map", &Settings::MapServer, Key::MapVersion);
        form.addRow(QStringLiteral("Landscape version"), Box(Key::LandVersion, {}));
        auto *versions = Button(&widget, QStringLiteral("CmdGetVersion"), "Get Versions");
        connect(versions, &QPushButton::clicked, this, [this] { CmdGetVersion_Click(); });
        form.addRow(QString(), versions);
        auto *timeOut = Box(Key::TimeOut, QStringLiteral("txtTimeOut"));
        m_UpDownTime = new UpDown(*timeOut, settings::kTimeMin, settings::kTimeMax, 60, &widget);
        m_UpDownTime->setObjectName(QStringLiteral("UpDownTime"));
        auto *timeRow = new QHBoxLayout;
        timeRow->addWidget(timeOut);
        timeRow->addWidget(m_UpDownTime);
        timeRow->addWidget(Label(&widget, "sec."));
        form.addRow(QStringLiteral("TimeOut "), timeRow);
        auto *tiles = Box(Key::TilesAtOnce, QStringLiteral("txtTilesAtOnce"));
        m_UpDownTiles = new UpDown(*tiles, settings::kTilesMin, settings::kTilesMax, 3000, &widget);
        m_UpDownTiles->setObjectName(QStringLiteral("UpDownTiles"));
        auto *tilesRow = new QHBoxLayout;
        tilesRow->addWidget(tiles);
        tilesRow->addWidget(m_UpDownTiles);
        form.addRow(QStringLiteral("Tiles at once"), tilesRow);
    });
    tab("Scan", [&](QWidget &, QFormLayout &form) {
        form.addRow(QStringLiteral("Satellite"), Box(Key::SatServerScan, {}));
        form.addRow(QStringLiteral("Map"), Box(Key::MapServerScan, {}));
    });
    tab("Shade", [&](QWidget &, QFormLayout &form) {
        form.addRow(QStringLiteral("Relief"), Box(Key::SatServerShade, {}));
    });
    tab("Yand", [&](QWidget &, QFormLayout &form) {
        mirrors(form, "Satellite", &Settings::SatServerYand, Key::SatVersionYand);
        mirrors(form, "Map", &Settings::MapServerYand, Key::MapVersionYand);
    });
    m_chkUseProxy = Check(page, "chkUseProxy", "UseProxy");
    connect(m_chkUseProxy, &QCheckBox::clicked, this, [this] { chkUseProxy_Click(); });
    m_txtUserName = Line(page, "txtUserName");
    m_txtPassword = Line(page, "txtPassword");
    auto *proxy = new QHBoxLayout;
    proxy->addWidget(m_chkUseProxy);
    proxy->addWidget(Label(page, "User Name"));
    proxy->addWidget(m_txtUserName);
    proxy->addWidget(Label(page, "Pass"));
    proxy->addWidget(m_txtPassword);
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(sources, 1);
    layout->addLayout(proxy);
    return page;
}

QWidget *FrmTessaro::MoreSettingsTab() {
    auto *page = new QWidget;
    m_chkSkipLog = Check(page, "chkSkipLog", "skip Log", true);
    m_chkMakeIon = Check(page, "chkMakeIon", "make *.Ion");
    m_chkOnlyCalculate = Check(page, "chkOnlyCalculate", "calculate only");
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(m_chkSkipLog);
    layout->addWidget(m_chkMakeIon);
    layout->addWidget(m_chkOnlyCalculate);
    layout->addStretch(1);
    return page;
}

QWidget *FrmTessaro::AboutTab() {
    auto *page = new QWidget;
    auto *layout = new QGridLayout(page);
    const auto link = [&](int row, const char *label, const char *image, const char *caption,
                          QStyle::StandardPixmap icon, const char *url) {
        auto *picture = new QPushButton(page);
        picture->setObjectName(QString::fromUtf8(image));
        picture->setFlat(true);
        picture->setIcon(style()->standardIcon(icon));
        picture->setIconSize(QSize(32, 32));
        auto *text = Button(page, QString::fromUtf8(label), caption);
        text->setFlat(true);
        connect(picture, &QPushButton::clicked, this,
                [this, url] { RunURL(QString::fromUtf8(url)); });
        connect(text, &QPushButton::clicked, this, [this, url] { RunURL(QString::fromUtf8(url)); });
        layout->addWidget(picture, row, 0, Qt::AlignLeft);
        layout->addWidget(text, row, 1, Qt::AlignLeft);
    };
    link(0, "LblOrvelt", "ImgOrvelt", "Orvelt", QStyle::SP_ComputerIcon, kMakerUrl);
    link(1, "LblHathel", "ImgHathel", "GIS questions and answers", QStyle::SP_DialogHelpButton,
         kHelpUrl);
    auto *thanks = Label(page,
                         "Tessaro loads web-map tiles as georeferenced files.\n"
                         "Thanks to the makers of GDAL, PROJ, QGIS, libcurl and Qt.",
                         "Label23");
    layout->addWidget(thanks, 2, 0, 1, 2);
    layout->setRowStretch(3, 1);
    layout->setColumnStretch(1, 1);
    return page;
}

Settings FrmTessaro::ToSettings() const {
    Settings state;
    for (std::size_t i = 0; i < settings::kKeyCount; ++i) {
        state.texts[i] = S(m_boxes[i]->text());
    }
    state.upDownLevel = m_UpDownLevel->value();
    state.upDownTime = m_UpDownTime->value();
    state.upDownTiles = m_UpDownTiles->value();
    state.source = static_cast<tiles::Source>(std::max(0, m_cmbService->currentIndex()));
    for (std::size_t i = 0; i < m_opTilesType.size(); ++i) {
        if (m_opTilesType[i]->isChecked()) {
            state.kind = static_cast<tiles::Kind>(i);
        }
    }
    state.lat1 = S(m_TxtLat1->text());
    state.lat2 = S(m_TxtLat2->text());
    state.lon1 = S(m_TxtLon1->text());
    state.lon2 = S(m_TxtLon2->text());
    state.decimalSeparator = static_cast<char>(m_decSeparator.toLatin1());
    state.skipLog = m_chkSkipLog->isChecked();
    state.makeIon = m_chkMakeIon->isChecked();
    state.onlyCalculate = m_chkOnlyCalculate->isChecked();
    state.useSelection = m_chkUseSelection->isChecked();
    state.offline = m_chkOffLine->isChecked();
    state.closeWhenDone = m_chkCloseWhenDone->isChecked();
    state.mosaic = m_chkMosaic->isChecked();
    state.createPolygon = m_chkCreatePolygon->isChecked();
    state.skipAddToMap = m_chkSkipAddToMap->isChecked();
    state.useProxy = m_chkUseProxy->isChecked();
    state.userName = S(m_txtUserName->text());
    state.password = S(m_txtPassword->text());
    return state;
}

void FrmTessaro::FromSettings(const Settings &state) {
    for (std::size_t i = 0; i < settings::kKeyCount; ++i) {
        m_boxes[i]->setText(Q(state.texts[i]));
    }
    // The up-downs keep their own values: the boxes above hold what was stored.
    const QSignalBlocker quiet(m_UpDownLevel);
    m_UpDownLevel->setValue(state.upDownLevel);
    BoxOf(Key::Level).setText(Q(state.Text(Key::Level)));
    m_UpDownTime->setValue(state.upDownTime);
    BoxOf(Key::TimeOut).setText(Q(state.Text(Key::TimeOut)));
    m_UpDownTiles->setValue(state.upDownTiles);
    BoxOf(Key::TilesAtOnce).setText(Q(state.Text(Key::TilesAtOnce)));
}

void FrmTessaro::SetMapHost(load::MapHost *host, RunHooks hooks, bool layers, bool selection) {
    m_host = host;
    m_hooks = std::move(hooks);
    const bool withLayers = host != nullptr && layers;
    const bool withSelection = host != nullptr && selection;
    // A map coming where there was none frees "no tiles on TOC" at its start value, unticked.
    if (withLayers && !m_chkSkipAddToMap->isEnabled()) {
        m_chkSkipAddToMap->setChecked(false);
    }
    m_chkSkipAddToMap->setEnabled(withLayers);
    m_chkUseSelection->setEnabled(withSelection);
    if (!withLayers) {
        m_chkSkipAddToMap->setChecked(true);
    }
    if (!withSelection) {
        m_chkUseSelection->setChecked(false);
    }
    m_chkCreatePolygon->setEnabled(host != nullptr);
    findChild<QPushButton *>(QStringLiteral("cmdOpenShp"))->setEnabled(host != nullptr);
    if (host == nullptr) {
        m_chkCreatePolygon->setChecked(false);
    } else if (!BoxOf(Key::OutPolygon).text().trimmed().isEmpty()) {
        OpenPolygonFC(); // the index the dialog was opened with
    }
    MapSelectionChanged();
}

void FrmTessaro::OpenPolygonFC() {
    QLineEdit &box = BoxOf(Key::OutPolygon);
    (void)RunTrapped(*m_ui, "OpenPolygonFC ", [&] {
        std::filesystem::path path = S(box.text().trimmed());
        const bool opened = m_host->OpenPolygonIndex(path, false);
        box.setText(Q(path.string()));
        box.setToolTip(box.text());
        if (opened) {
            m_chkCreatePolygon->setChecked(true);
        }
    });
}

void FrmTessaro::cmdOpenShp_Click() {
    if (m_host == nullptr) {
        return;
    }
    QLineEdit &box = BoxOf(Key::OutPolygon);
    try {
        const QString chosen = QFileDialog::getSaveFileName(
            this, QStringLiteral("Specify an Output Feature Class"), box.text().trimmed(),
            QStringLiteral("Shapefiles (*.shp);;GeoPackages (*.gpkg);;All files (*)"), nullptr,
            QFileDialog::DontConfirmOverwrite);
        if (chosen.isEmpty()) {
            return;
        }
        std::filesystem::path path = S(chosen);
        if (m_host->OpenPolygonIndex(path, true)) {
            box.setText(Q(path.string()));
            box.setToolTip(box.text());
        }
    } catch (const std::exception &) {
        m_ui->ShowMessage("Failed to select output feature dataset");
    }
}

void FrmTessaro::chkCreatePolygon_Click() {
    if (m_chkCreatePolygon->isChecked() && m_host != nullptr && !m_host->HasPolygonIndex()) {
        cmdOpenShp_Click();
        if (!m_host->HasPolygonIndex()) {
            m_chkCreatePolygon->setChecked(false);
        }
    }
}

void FrmTessaro::MapSelectionChanged() {
    m_cmdSelectedFeatures->setEnabled(m_host != nullptr && m_host->SelectionCount() != 0);
}

void FrmTessaro::cmdSelectedFeatures_Click() {
    if (m_host == nullptr || m_host->SelectionCount() == 0) {
        return;
    }
    (void)RunTrapped(*m_ui, "cmdSelectedFeatures ", [this] {
        const auto extent = m_host->SelectionExtent();
        if (!extent) {
            return;
        }
        QLineEdit *boxes[] = {m_TxtLat1, m_TxtLat2, m_TxtLon1, m_TxtLon2};
        for (std::size_t i = 0; i < 4; ++i) {
            boxes[i]->setText(
                Q(FormatDouble((*extent)[i])).replace(QLatin1Char('.'), m_decSeparator));
        }
        ShowBlocksParam();
    });
}

void FrmTessaro::SetDecimalSeparator(QChar separator) {
    m_decSeparator = separator;
    m_notDecSeparator = separator == QLatin1Char('.') ? QLatin1Char(',') : QLatin1Char('.');
}

int FrmTessaro::ProfileShown() const {
    return m_SSTabMap->currentIndex();
}

void FrmTessaro::ShowBlocksParam() {
    (void)RunTrapped(*m_ui, "ShowBlocksParam ", [this] {
        const Settings state = ToSettings();
        const auto [lat1, lat2, lon1, lon2] = load::ReadExtentBoxes(state);
        const auto estimate = load::ShowBlocksParam(
            state.source, state.kind, lat1, lat2, lon1, lon2,
            load::ReadLevelBox(state.Text(Key::Level)), *m_ui, state.decimalSeparator);
        m_TxtBlocksCount->setText(Q(estimate.countText));
        m_TxtBlocksSize->setText(Q(estimate.sizeText));
    });
}

void FrmTessaro::cmbService_Change() {
    const int index = m_cmbService->currentIndex();
    if (index >= 0 && index <= 3) {
        // Which kinds each source has, and whether its tiles can be mosaicked.
        constexpr bool kKindEnabled[4][3] = {
            {true, true, true}, {true, true, false}, {true, false, false}, {true, true, false}};
        if (index != 0) {
            m_opTilesType[0]->setChecked(true);
        }
        for (std::size_t kind = 0; kind < 3; ++kind) {
            m_opTilesType[kind]->setEnabled(kKindEnabled[index][kind]);
        }
        const bool mosaic = index == 0 || index == 3;
        if (!mosaic) {
            m_chkMosaic->setChecked(false);
        }
        m_chkMosaic->setEnabled(mosaic);
    }
    ShowBlocksParam();
}

void FrmTessaro::opTilesType_Click(int /*index*/) {
    ShowBlocksParam();
}

void FrmTessaro::txtLevel_LostFocus() {
    QLineEdit &box = BoxOf(Key::Level);
    TrappedInWindow(*m_ui, "txtLevel_LostFocus ", [&] {
        const int level = load::ReadLevelBox(S(box.text()));
        if (level < settings::kLevelMin || level > settings::kLevelMax) {
            m_ui->ShowMessage("Level must be between 1 and 22", Icon::Exclamation);
            box.setFocus();
            return;
        }
        m_UpDownLevel->setValue(level);
        ShowBlocksParam();
    });
}

void FrmTessaro::Coordinate_LostFocus(QLineEdit &box) {
    QString text = box.text();
    text.replace(m_notDecSeparator, m_decSeparator);
    box.setText(text);
    ShowBlocksParam();
}

void FrmTessaro::RasterPath_Change(QLineEdit &box, QLabel &freeSpace) {
    const std::filesystem::path folder(S(box.text().trimmed()));
    std::error_code ec;
    const char group = static_cast<char>(QLocale::system().groupSeparator().toLatin1());
    freeSpace.setText(QStringLiteral("free: ") +
                      (!folder.empty() && std::filesystem::is_directory(folder, ec)
                           ? Q(load::FreeSpaceText(folder, group != 0 ? group : ','))
                           : QStringLiteral("0 Kb")));
}

void FrmTessaro::CmdRasterPath_Click(int index) {
    const int profile = ProfileShown();
    const Key key = index == 0   ? Settings::SatRasterPath(profile)
                    : index == 1 ? Settings::MapRasterPath(profile)
                                 : Key::LandRasterPath0;
    QLineEdit &box = BoxOf(key);
    const QString chosen = FrmChDir(this, box.text().trimmed());
    if (!chosen.isEmpty()) {
        box.setText(chosen);
    }
}

void FrmTessaro::chkUseProxy_Click() {
    const bool on = m_chkUseProxy->isChecked();
    m_txtUserName->setEnabled(on);
    m_txtPassword->setEnabled(on);
}

void FrmTessaro::chkAutoExtent_Change() {
    // Above every window while ticked; the window keeps its place and size.
    const bool wasVisible = isVisible();
    setWindowFlag(Qt::WindowStaysOnTopHint, m_chkAutoExtent->isChecked());
    if (wasVisible) {
        show();
    }
}

void FrmTessaro::CmdLoad_Click() {
    // One run at a time: the window stays live during a run, and its load button with it.
    if (m_running) {
        return;
    }
    m_running = true;
    m_CmdLoad->setEnabled(false);
    m_cmdAbort->setVisible(true);
    m_bAbort.Clear();
    m_txtLog->clear();
    Settings state = ToSettings();
    if (m_hooks.before) {
        m_hooks.before(state);
    }
    load::LoadRunContext run{state, *m_ui};
    run.host = m_host;
    run.abort = &m_bAbort;
    m_lastRun = load::CmdLoad_Click(run);
    // A level the run lowered is lowered in the window too.
    {
        const QSignalBlocker quiet(m_UpDownLevel);
        m_UpDownLevel->setValue(state.upDownLevel);
    }
    if (!m_lastRun->txtLog.empty()) {
        m_txtLog->append(
            Q(m_lastRun->txtLog).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    }
    if (m_hooks.after) {
        m_hooks.after(*m_lastRun);
    }
    m_cmdAbort->setVisible(false);
    m_CmdLoad->setEnabled(true);
    m_running = false;
    m_ui->SetProgress(0, 0);
    if (m_closeAfterRun) {
        m_closeAfterRun = false;
        m_ui->RequestStop(false);
        close();
        return;
    }
    if (state.closeWhenDone && !state.onlyCalculate && !m_lastRun->txtLog.empty()) {
        hide();
    }
}

void FrmTessaro::cmdAbort_Click() {
    m_bAbort.Set();
}

void FrmTessaro::cmdCancel_Click() {
    if (m_running) {
        return;
    }
    hide();
    emit finished(2);
}

void FrmTessaro::WithVersionBrowser(const std::function<void(Settings &)> &show) {
    Settings state = ToSettings();
    show(state);
    for (const Key key : {Key::MapVersion, Key::SatVersion, Key::LandVersion}) {
        BoxOf(key).setText(Q(state.Text(key)));
    }
}

void FrmTessaro::CmdGetVersion_Click() {
    WithVersionBrowser([this](Settings &state) {
        FrmBrowser browser(state, this);
        browser.exec();
    });
}

void FrmTessaro::ShowBadTile(std::string_view url, std::string_view start, std::int64_t size) {
    WithVersionBrowser(
        [&](Settings &state) { dialogs::ShowBadTile(this, state, url, start, size); });
}

void FrmTessaro::reject() {
    cmdCancel_Click();
}

void FrmTessaro::closeEvent(QCloseEvent *event) {
    if (m_running) {
        // The run ends first, at its next tile; the window closes when it has.
        m_closeAfterRun = true;
        m_ui->RequestStop(true);
        m_bAbort.Set();
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void FrmTessaro::cmdSaveTorRgistry_Click() {
    TrappedInWindow(*m_ui, "cmdSaveTorRgistry_Click ", [this] { m_store.Save(ToSettings()); });
}

void FrmTessaro::CmdLoadFromRegistry_Click() {
    Settings state = ToSettings();
    if (m_store.LoadFromRegistry(state, *m_ui, false) !=
        settings::SettingsStore::LoadResult::Broken) {
        FromSettings(state);
    }
}

void FrmTessaro::RunURL(const QString &url) {
    if (!QDesktopServices::openUrl(QUrl(url))) {
        m_ui->ShowMessage("Auto method failed.");
    }
}

} // namespace tessaro::dialogs
