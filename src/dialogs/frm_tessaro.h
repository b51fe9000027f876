#pragma once

#include "common/abort_flag.h"
#include "dialogs/qt_ui_port.h"
#include "load/load_run.h"
#include "load/map_host.h"
#include "settings/settings.h"
#include "settings/settings_store.h"

#include <QDialog>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTextEdit;
class QVBoxLayout;

namespace tessaro::dialogs {

class UpDown;

/// The program's one working window, "Tessaro v2.0": the source, kind, extent and level of a
/// request with its estimate, the tile folders, layer names, servers and versions of the four
/// sources, the proxy, and the load button whose run the window shows while it goes. Its
/// boxes are the settings model the core reads (settings::Settings); each control's object
/// name is its name in the settings and the run (TxtLat1, cmbService, txtSatServer_2, ...).
class FrmTessaro : public QDialog {
    Q_OBJECT
public:
    /// Opens the dialog as a freshly opened one (Form_Load): the first tabs, the source
    /// "Goo", the temporary folder in the tile-folder boxes, the locale's decimal separator.
    /// store is where "save settings" and "load settings" go; it must outlive the dialog.
    explicit FrmTessaro(settings::SettingsStore store, QWidget *parent = nullptr);
    ~FrmTessaro() override;

    /// The dialog's state as the core reads it.
    [[nodiscard]] settings::Settings ToSettings() const;
    /// Puts a state into the boxes (after "load settings", or a level a run lowered).
    void FromSettings(const settings::Settings &state);

    /// What the window's map host does around each run: before, with the dialog's state (a
    /// host that reads layer names and versions from it); after, with the result (a host that
    /// saves its map).
    struct RunHooks {
        std::function<void(const settings::Settings &)> before;
        std::function<void(const load::LoadRunResult &)> after;
    };
    /// The map a run adds its tiles to and takes its selection from. Without layers "no tiles
    /// on TOC" is ticked and fixed; without a selection "use Selection" is unticked and fixed.
    /// No host at all means neither, and no coordinate systems, index or mosaic.
    void SetMapHost(load::MapHost *host, RunHooks hooks = {}, bool layers = true,
                    bool selection = true);

    /// Recomputes the estimate boxes (TxtBlocksCount, TxtBlocksSize) from the request.
    void ShowBlocksParam();

    /// True while a load runs.
    [[nodiscard]] bool Running() const { return m_running; }
    /// The result of the last run.
    [[nodiscard]] const std::optional<load::LoadRunResult> &LastRun() const { return m_lastRun; }
    /// The port through which the runs talk to the user.
    [[nodiscard]] QtUiPort &Ui() { return *m_ui; }
    /// The decimal separator the extent boxes use (the locale's).
    [[nodiscard]] QChar DecimalSeparator() const { return m_decSeparator; }
    /// Sets the separator the extent boxes use, as the locale would.
    void SetDecimalSeparator(QChar separator);

    // The handlers of the dialog's controls.
    void cmbService_Change();
    void cmdSelectedFeatures_Click();
    /// The map's selection changed: "Get extent from selected features" is enabled only while
    /// something is selected.
    void MapSelectionChanged();
    void opTilesType_Click(int index);
    void txtLevel_LostFocus();
    void Coordinate_LostFocus(QLineEdit &box);
    void RasterPath_Change(QLineEdit &box, QLabel &freeSpace);
    void CmdRasterPath_Click(int index);
    void cmdOpenShp_Click();
    void chkCreatePolygon_Click();
    /// Opens the block index txtOutPolygon names, offering its creation; on success ticks
    /// "create Polygon".
    void OpenPolygonFC();
    void chkUseProxy_Click();
    void chkAutoExtent_Change();
    void CmdLoad_Click();
    void cmdAbort_Click();
    void cmdCancel_Click();
    /// Opens the version browser modally; the versions written there go into the version boxes.
    void CmdGetVersion_Click();
    /// Shows what a server sent for a bad tile in the version browser (dialogs::ShowBadTile);
    /// versions written there go into the version boxes.
    void ShowBadTile(std::string_view url, std::string_view start, std::int64_t size);
    void cmdSaveTorRgistry_Click();
    void CmdLoadFromRegistry_Click();
    /// Opens a web address with the desktop's handler; "Auto method failed." when none can.
    void RunURL(const QString &url);

protected:
    void closeEvent(QCloseEvent *event) override;
    void reject() override;

private:
    QWidget *ServiceTab();
    void RequestControls(QWidget &page, QVBoxLayout &layout);
    void EstimateControls(QWidget &page, QVBoxLayout &layout);
    void RunControls(QWidget &page, QVBoxLayout &layout);
    QWidget *MapSettingsTab();
    QWidget *InternetTab();
    QWidget *MoreSettingsTab();
    QWidget *AboutTab();
    QLineEdit *Box(settings::Key key, const QString &name);
    /// The box of a stored setting.
    [[nodiscard]] QLineEdit &BoxOf(settings::Key key) const {
        return *m_boxes[static_cast<std::size_t>(key)];
    }
    [[nodiscard]] int ProfileShown() const;
    // Shows a browser over the dialog's settings, then takes the versions written there.
    void WithVersionBrowser(const std::function<void(settings::Settings &)> &show);

    settings::SettingsStore m_store;
    std::unique_ptr<QtUiPort> m_ui;
    load::MapHost *m_host = nullptr;
    RunHooks m_hooks;
    AbortFlag m_bAbort;
    bool m_running = false;
    bool m_closeAfterRun = false;
    std::optional<load::LoadRunResult> m_lastRun;
    QChar m_decSeparator = QLatin1Char('.');
    QChar m_notDecSeparator = QLatin1Char(',');

    // Controls the handlers use; the settings boxes are found through m_boxes.
    std::array<QLineEdit *, settings::kKeyCount> m_boxes{};
    QTabWidget *m_SSTab1 = nullptr;
    QTabWidget *m_SSTabMap = nullptr;
    QComboBox *m_cmbService = nullptr;
    std::array<QRadioButton *, 3> m_opTilesType{};
    QLineEdit *m_TxtLat1 = nullptr;
    QLineEdit *m_TxtLat2 = nullptr;
    QLineEdit *m_TxtLon1 = nullptr;
    QLineEdit *m_TxtLon2 = nullptr;
    QCheckBox *m_chkAutoExtent = nullptr;
    QPushButton *m_cmdSelectedFeatures = nullptr;
    QCheckBox *m_chkUseSelection = nullptr;
    UpDown *m_UpDownLevel = nullptr;
    UpDown *m_UpDownTime = nullptr;
    UpDown *m_UpDownTiles = nullptr;
    QLineEdit *m_TxtBlocksCount = nullptr;
    QLineEdit *m_TxtBlocksSize = nullptr;
    QCheckBox *m_chkOffLine = nullptr;
    QTextEdit *m_txtLog = nullptr;
    QCheckBox *m_chkCloseWhenDone = nullptr;
    QCheckBox *m_chkMosaic = nullptr;
    QCheckBox *m_chkCreatePolygon = nullptr;
    QCheckBox *m_chkSkipAddToMap = nullptr;
    QPushButton *m_CmdLoad = nullptr;
    QPushButton *m_cmdAbort = nullptr;
    QProgressBar *m_ProgressBar1 = nullptr;
    QLabel *m_LblProgress = nullptr;
    QCheckBox *m_chkUseProxy = nullptr;
    QLineEdit *m_txtUserName = nullptr;
    QLineEdit *m_txtPassword = nullptr;
    QCheckBox *m_chkSkipLog = nullptr;
    QCheckBox *m_chkMakeIon = nullptr;
    QCheckBox *m_chkOnlyCalculate = nullptr;
};

} // namespace tessaro::dialogs
