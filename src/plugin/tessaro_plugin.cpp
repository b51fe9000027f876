#include "plugin/tessaro_plugin.h"

#include "common/error.h"
#include "common/error_report.h"
#include "common/text.h"
#include "dialogs/frm_mosaic_raster.h"
#include "dialogs/frm_tessaro.h"
#include "dialogs/qt_ui_port.h"
#include "plugin/extent_tool.h"
#include "plugin/live_map_host.h"
#include "settings/settings_store.h"

#include <qgisinterface.h>
#include <qgscoordinatetransform.h>
#include <qgsexception.h>
#include <qgsmapcanvas.h>
#include <qgsmessagelog.h>
#include <qgsproject.h>

#include <QAction>
#include <QCheckBox>
#include <QIcon>
#include <QLineEdit>
#include <QTimer>

namespace tessaro::plugin {

namespace {

QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

const QString kMenu = QStringLiteral("&Orvelt");

} // namespace

std::array<double, 4> ToWgs84(const QgsRectangle &rectangle,
                              const QgsCoordinateReferenceSystem &crs,
                              const QgsCoordinateTransformContext &context) {
    if (!crs.isValid()) {
        throw Error("The map has no coordinate system to take the extent from");
    }
    const QgsCoordinateTransform transform(
        crs, QgsCoordinateReferenceSystem(QStringLiteral("EPSG:4326")), context);
    try {
        // QGIS orders geographic coordinates x = longitude, y = latitude.
        const QgsRectangle degrees = transform.transformBoundingBox(rectangle);
        return {degrees.yMinimum(), degrees.yMaximum(), degrees.xMinimum(), degrees.xMaximum()};
    } catch (const QgsCsException &e) {
        throw Error("The extent cannot be transformed from " + crs.authid().toStdString() +
                    " to EPSG:4326: " + e.what().toStdString());
    }
}

TessaroPlugin::TessaroPlugin(QgisInterface *iface)
    : QgisPlugin(Text(kPluginName), Text(kPluginDescription), Text(kPluginCategory),
                 QStringLiteral("2.0"), QgisPlugin::UI),
      m_iface(iface) {}

TessaroPlugin::~TessaroPlugin() {
    Release();
}

void TessaroPlugin::Trapped(std::string_view procedure, const std::function<void()> &body) {
    try {
        body();
    } catch (const RunStopped &) {
        // Stopped by the user, who needs no report.
    } catch (const std::exception &e) {
        Report(procedure, e.what(), &e);
    } catch (...) {
        Report(procedure, "Unknown error", nullptr);
    }
}

void TessaroPlugin::Report(std::string_view procedure, const char *what,
                           const std::exception *error) noexcept {
    try {
        UiPort &ui = Dialog().Ui();
        if (error != nullptr) {
            ReportException(ui, ProcedureText(procedure, {}, 0), *error, kMessageMode);
        } else {
            ReportUnknownException(ui, ProcedureText(procedure, {}, 0), kMessageMode);
        }
    } catch (...) {
        // Not even the dialog could be made to show the report in: QGIS's log keeps it.
        QgsMessageLog::logMessage(Text(procedure) + QString::fromUtf8(what), Text(kPluginName),
                                  Qgis::MessageLevel::Critical);
    }
}

void TessaroPlugin::initGui() {
    Trapped("initGui ", [this] {
        m_action = new QAction(QIcon(QStringLiteral(":/tessaro/tessaro.svg")), Text(kPluginName),
                               m_iface->mainWindow());
        m_action->setObjectName(QStringLiteral("Orvelt_Tessaro"));
        m_action->setToolTip(Text(kPluginDescription));
        m_action->setStatusTip(Text(kPluginDescription));
        m_action->setCheckable(true);
        QgsMapCanvas *canvas = m_iface->mapCanvas();
        m_tool =
            new ExtentTool(canvas, [this](std::string_view procedure, const std::exception &e) {
                Report(procedure, e.what(), &e);
            });
        m_tool->setAction(m_action); // QGIS unticks the action when another tool takes over
        connect(m_action, &QAction::triggered, this, [this](bool checked) {
            Trapped("ICommand_OnClick ", [&] {
                if (checked) {
                    m_iface->mapCanvas()->setMapTool(m_tool);
                } else if (m_iface->mapCanvas()->mapTool() == m_tool) {
                    m_iface->mapCanvas()->unsetMapTool(m_tool);
                }
            });
        });
        connect(m_tool, &ExtentTool::extentDrawn, this, &TessaroPlugin::ExtentDrawn);
        // No other tool takes over in the middle of a drag: the extent tool comes back at once.
        connect(canvas, &QgsMapCanvas::mapToolSet, this, [this](QgsMapTool *, QgsMapTool *oldTool) {
            if (m_tool != nullptr && oldTool == m_tool && m_tool->IsDragging()) {
                QTimer::singleShot(0, this, [this] {
                    if (m_tool != nullptr) {
                        m_iface->mapCanvas()->setMapTool(m_tool);
                    }
                });
            }
        });
        connect(canvas, &QgsMapCanvas::extentsChanged, this, &TessaroPlugin::CanvasExtentChanged);
        m_iface->addToolBarIcon(m_action);
        m_iface->addPluginToMenu(kMenu, m_action);
    });
}

dialogs::FrmTessaro &TessaroPlugin::Dialog() {
    if (m_dialog == nullptr) {
        // Made on first use and kept: its boxes hold what the user typed for as long as QGIS
        // runs. A child of the main window, but not kept above other windows.
        m_dialog = new dialogs::FrmTessaro(settings::SettingsStore::User(), m_iface->mainWindow());
        m_dialog->setWindowFlag(Qt::WindowStaysOnTopHint, false);
        m_host = std::make_unique<LiveMapHost>(*QgsProject::instance(), m_iface->mapCanvas(),
                                               m_runSettings, m_dialog->Ui());
        m_host->SetMosaicDialog(dialogs::MosaicDialogFor(*m_dialog));
        dialogs::FrmTessaro::RunHooks hooks;
        hooks.before = [this](const settings::Settings &state) { m_runSettings = state; };
        m_dialog->SetMapHost(m_host.get(), std::move(hooks));
        connect(m_host.get(), &LiveMapHost::selectionChanged, m_dialog.data(), [this] {
            Trapped("SelectionChanged ", [this] { m_dialog->MapSelectionChanged(); });
        });
    }
    return *m_dialog;
}

void TessaroPlugin::WriteExtent(const QgsRectangle &rectangle) {
    dialogs::FrmTessaro &dialog = Dialog();
    const QgsMapCanvas &canvas = *m_iface->mapCanvas();
    const std::array<double, 4> extent = ToWgs84(rectangle, canvas.mapSettings().destinationCrs(),
                                                 QgsProject::instance()->transformContext());
    const char *names[] = {"TxtLat1", "TxtLat2", "TxtLon1", "TxtLon2"};
    for (std::size_t i = 0; i < extent.size(); ++i) {
        auto *box = dialog.findChild<QLineEdit *>(QString::fromLatin1(names[i]));
        box->setText(dialogs::Q(FormatDouble(extent[i]))
                         .replace(QLatin1Char('.'), dialog.DecimalSeparator()));
    }
    dialog.ShowBlocksParam();
}

void TessaroPlugin::ExtentDrawn(const QgsRectangle &rectangle) {
    Trapped("ITool_OnMouseUp ", [&] {
        WriteExtent(rectangle);
        Dialog().show();
        Dialog().raise();
    });
}

void TessaroPlugin::CanvasExtentChanged() {
    // While "auto Extent" is ticked the boxes follow the map's view.
    if (m_dialog == nullptr ||
        !m_dialog->findChild<QCheckBox *>(QStringLiteral("chkAutoExtent"))->isChecked()) {
        return;
    }
    Trapped("MyTransformEvents ", [this] { WriteExtent(m_iface->mapCanvas()->extent()); });
}

void TessaroPlugin::unload() {
    Trapped("Class_Terminate ", [this] { Release(); });
}

void TessaroPlugin::Release() {
    if (m_tool != nullptr) {
        m_iface->mapCanvas()->unsetMapTool(m_tool);
        delete m_tool;
    }
    if (m_action != nullptr) {
        m_iface->removePluginMenu(kMenu, m_action);
        m_iface->removeToolBarIcon(m_action);
        delete m_action;
        m_action = nullptr;
    }
    delete m_dialog; // before the host it points at
    m_host.reset();
}

} // namespace tessaro::plugin
