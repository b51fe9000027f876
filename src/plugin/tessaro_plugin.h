#pragma once

#include "settings/settings.h"

#include <qgisplugin.h>
#include <qgscoordinatereferencesystem.h>
#include <qgscoordinatetransformcontext.h>
#include <qgsrectangle.h>

#include <QObject>
#include <QPointer>

#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <string_view>

class QAction;
class QgisInterface;

namespace tessaro::dialogs {
class FrmTessaro;
}

namespace tessaro::plugin {

class ExtentTool;
class LiveMapHost;

/// The plugin's name, description, category and version as QGIS lists them.
inline constexpr std::string_view kPluginName = "Tessaro";
inline constexpr std::string_view kPluginDescription = "load goo images";
inline constexpr std::string_view kPluginCategory = "Orvelt";

/// Returns the WGS 84 extent (south, north, west, east: the extent boxes' order) of a rectangle
/// in crs, following its edges.
/// @throws tessaro::Error when PROJ cannot transform it or crs is not valid.
[[nodiscard]] std::array<double, 4> ToWgs84(const QgsRectangle &rectangle,
                                            const QgsCoordinateReferenceSystem &crs,
                                            const QgsCoordinateTransformContext &context);

/// Tessaro inside QGIS: the action "Tessaro" (tooltip and status text "load goo images") on
/// the plugin toolbar and in the menu "Orvelt" arms the extent tool; a rectangle drawn with it
/// goes into the main dialog's extent boxes in degrees, the estimate refreshes and the dialog
/// shows, modeless. The dialog is made on first use and then kept, hidden and shown again,
/// so its boxes keep what was typed; its runs add tiles to the open project (LiveMapHost).
/// While its "auto Extent" is ticked, its extent boxes follow the view of the map.
///
/// Every entry point QGIS calls traps its errors and reports them through the error report
/// under its own name: nothing is thrown into QGIS.
class TessaroPlugin : public QObject, public QgisPlugin {
    Q_OBJECT
public:
    explicit TessaroPlugin(QgisInterface *iface);
    ~TessaroPlugin() override;

    void initGui() override;
    void unload() override;

    /// Puts a rectangle of the canvas into the dialog and shows it, as a finished drag does.
    void ExtentDrawn(const QgsRectangle &rectangle);

    /// While the dialog's "auto Extent" is ticked, puts the canvas's extent into its boxes.
    void CanvasExtentChanged();

private:
    dialogs::FrmTessaro &Dialog();
    // Writes a rectangle of the canvas into the extent boxes in degrees; refreshes the estimate.
    void WriteExtent(const QgsRectangle &rectangle);
    // Runs body under the error report as procedure, with the dialog's port.
    void Trapped(std::string_view procedure, const std::function<void()> &body);
    // Shows an error's report, in QGIS's log when the dialog cannot be had.
    void Report(std::string_view procedure, const char *what, const std::exception *error) noexcept;
    void Release();

    QgisInterface *m_iface;
    QAction *m_action = nullptr;
    QPointer<ExtentTool> m_tool;
    settings::Settings m_runSettings; // the dialog's state at the start of the run in hand
    // The dialog goes before the host it points at.
    std::unique_ptr<LiveMapHost> m_host;
    QPointer<dialogs::FrmTessaro> m_dialog;
};

} // namespace tessaro::plugin
