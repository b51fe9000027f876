#include "plugin/extent_tool.h"

#include <qgsgeometry.h>
#include <qgsmapcanvas.h>
#include <qgsmapmouseevent.h>
#include <qgsrubberband.h>

#include <QColor>

namespace tessaro::plugin {

ExtentTool::ExtentTool(QgsMapCanvas *canvas, ErrorReport report)
    : QgsMapTool(canvas), m_report(std::move(report)) {
    setCursor(Qt::CrossCursor);
}

ExtentTool::~ExtentTool() = default;

template <class Body> void ExtentTool::Trapped(std::string_view procedure, Body &&body) {
    try {
        body();
    } catch (const std::exception &e) {
        EndDrag();
        m_report(procedure, e);
    }
}

void ExtentTool::canvasPressEvent(QgsMapMouseEvent *e) {
    if (m_state != State::Idle) {
        return;
    }
    m_startPoint = e->mapPoint();
    m_state = State::Pressed;
}

void ExtentTool::canvasMoveEvent(QgsMapMouseEvent *e) {
    if (m_state == State::Idle) {
        return;
    }
    Trapped("ITool_OnMouseMove ", [&] { Track(e->mapPoint()); });
}

void ExtentTool::Track(const QgsPointXY &point) {
    if (m_state == State::Pressed) {
        m_feedback = std::make_unique<QgsRubberBand>(mCanvas, QgsWkbTypes::PolygonGeometry);
        m_feedback->setStrokeColor(QColor(255, 0, 0));
        m_feedback->setFillColor(QColor(255, 0, 0, 40));
        m_feedback->setWidth(2);
        m_state = State::Dragging;
    }
    m_feedback->setToGeometry(QgsGeometry::fromRect(QgsRectangle(m_startPoint, point)), nullptr);
}

void ExtentTool::canvasReleaseEvent(QgsMapMouseEvent *e) {
    if (m_state != State::Dragging) {
        EndDrag(); // pressed and released in place: nothing
        return;
    }
    // The rectangle normalises its corners, whatever the drag's direction.
    const QgsRectangle rectangle(m_startPoint, e->mapPoint());
    EndDrag();
    if (!rectangle.isEmpty()) {
        emit extentDrawn(rectangle);
    }
}

void ExtentTool::deactivate() {
    if (m_state == State::Idle) {
        EndDrag();
    }
    QgsMapTool::deactivate();
}

void ExtentTool::EndDrag() {
    m_feedback.reset();
    m_state = State::Idle;
}

} // namespace tessaro::plugin
