#pragma once

#include <qgsmaptool.h>
#include <qgspointxy.h>
#include <qgsrectangle.h>

#include <exception>
#include <functional>
#include <memory>
#include <string_view>

class QgsRubberBand;

namespace tessaro::plugin {

/// The map tool that draws a request's extent: press a mouse button, drag, release. While the
/// mouse moves with a button down a rubber-band rectangle follows it; on release the rectangle
/// (in the canvas's coordinate system, corners ordered) goes out through extentDrawn. A press
/// and release without a move in between does nothing, nor does a rectangle without area.
///
/// States: Idle → Pressed (start point kept) → Dragging (the first move made the rubber
/// band) → Idle (release). The tool only reports the rectangle; what it means is the
/// plugin's.
class ExtentTool : public QgsMapTool {
    Q_OBJECT
public:
    enum class State { Idle, Pressed, Dragging };

    /// What the tool does with an error inside one of its handlers (the handler's name and
    /// the error): the handler then ends the drag and returns, so nothing reaches QGIS.
    using ErrorReport = std::function<void(std::string_view, const std::exception &)>;

    ExtentTool(QgsMapCanvas *canvas, ErrorReport report);
    ~ExtentTool() override;

    /// The drag state.
    [[nodiscard]] State DragState() const noexcept { return m_state; }
    /// True from the press until the release.
    [[nodiscard]] bool IsDragging() const noexcept { return m_state != State::Idle; }

    void canvasPressEvent(QgsMapMouseEvent *e) override;
    void canvasMoveEvent(QgsMapMouseEvent *e) override;
    void canvasReleaseEvent(QgsMapMouseEvent *e) override;
    /// Drops the rubber band and returns to Idle, unless a drag is in progress: that drag goes
    /// on (the plugin puts the tool back at once).
    void deactivate() override;

signals:
    /// A rectangle was drawn; it is in the canvas's coordinate system, never empty.
    void extentDrawn(const QgsRectangle &rectangle);

private:
    void EndDrag();
    // Moves the rubber band's free corner, making the band on the first move.
    void Track(const QgsPointXY &point);
    template <class Body> void Trapped(std::string_view procedure, Body &&body);

    ErrorReport m_report;
    State m_state = State::Idle;
    QgsPointXY m_startPoint;
    std::unique_ptr<QgsRubberBand> m_feedback;
};

} // namespace tessaro::plugin
