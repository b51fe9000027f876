"""Run by QGIS at start (qgis --code): drives the Tessaro plugin as a user would and exits
with the number of failed checks. TESSARO_TEST_OUT names the folder for the screenshot."""
import os
import re

from qgis.core import (QgsCoordinateReferenceSystem, QgsCoordinateTransform, QgsFeature,
                       QgsGeometry, QgsLayerTreeGroup, QgsLayerTreeLayer, QgsPointXY,
                       QgsProject, QgsRectangle, QgsVectorLayer)
from qgis.PyQt.QtCore import QPoint, Qt, QTimer
from qgis.PyQt.QtTest import QTest
from qgis.PyQt.QtWidgets import (QAction, QApplication, QCheckBox, QDialog, QLineEdit,
                                 QMessageBox, QPushButton, QTextEdit)
from qgis.utils import iface

failures = []
WGS84 = QgsCoordinateReferenceSystem("EPSG:4326")


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)


def finish():
    QgsProject.instance().setDirty(False)
    print(f"{len(failures)} failed, " + ("all checks passed" if not failures else
                                         "; ".join(failures)), flush=True)
    code = min(len(failures), 100)
    QTimer.singleShot(10000, lambda: os._exit(code))
    QApplication.instance().exit(code)


def close_message_boxes():
    # A message box nobody expects would wait for ever: it fails the run instead.
    for widget in QApplication.topLevelWidgets():
        if isinstance(widget, QMessageBox) and widget.isVisible():
            check(False, "no message box: " + widget.text())
            widget.done(QMessageBox.Ok)


def dialog():
    for widget in QApplication.topLevelWidgets():
        if widget.objectName() == "frmTessaro":
            return widget
    return None


def box_degrees(dlg):
    return [float(dlg.findChild(QLineEdit, name).text().replace(",", "."))
            for name in ("TxtLat1", "TxtLat2", "TxtLon1", "TxtLon2")]


def near(values, expected, tolerance=1e-9):
    return all(abs(a - b) <= tolerance for a, b in zip(values, expected))


def to_map(canvas, pixel):
    return canvas.getCoordinateTransform().toMapCoordinates(pixel)


def setup_project():
    project = QgsProject.instance()
    iface.newProject(False)  # the canvas shows (an empty start shows the welcome page)
    iface.mainWindow().setGeometry(0, 0, 1290, 1040)  # no window manager to maximise it
    # A selectable polygon, in degrees while the map is in metres (the map takes the system
    # of its first layer once the events are through, so it is set after them).
    layer = QgsVectorLayer("Polygon?crs=EPSG:4326", "places", "memory")
    feature = QgsFeature()
    feature.setGeometry(QgsGeometry.fromRect(QgsRectangle(37.61, 55.745, 37.62, 55.75)))
    layer.dataProvider().addFeatures([feature])
    project.addMapLayer(layer)
    for _ in range(10):
        QApplication.processEvents()
    project.setCrs(QgsCoordinateReferenceSystem("EPSG:3857"))
    area = QgsCoordinateTransform(WGS84, project.crs(), project).transformBoundingBox(
        QgsRectangle(37.59, 55.735, 37.65, 55.765))
    canvas = iface.mapCanvas()
    for _ in range(10):
        QApplication.processEvents()
    canvas.setExtent(area)
    canvas.refresh()
    canvas.waitWhileRendering()
    QApplication.processEvents()
    return layer


def test_action(canvas):
    action = iface.mainWindow().findChild(QAction, "Orvelt_Tessaro")
    check(action is not None, "the plugin's action exists")
    if action is None:
        return None
    check(action.text() == "Tessaro", "action text Tessaro: " + action.text())
    # QGIS shows the tooltips of its toolbars in bold.
    tooltip = re.sub("<[^>]*>", "", action.toolTip())
    check(tooltip == "load goo images", "tooltip: " + action.toolTip())
    check(action.statusTip() == "load goo images", "status text: " + action.statusTip())
    check(action.isCheckable() and not action.icon().isNull(), "checkable, with an icon")
    action.trigger()
    tool = canvas.mapTool()
    check(tool is not None and action.isChecked(), "the action arms the map tool")
    return tool


def test_click_and_drag(canvas, tool):
    crs = canvas.mapSettings().destinationCrs().authid()
    check(crs == "EPSG:3857" and QgsProject.instance().crs().authid() == crs,
          "the map is projected: " + crs)
    viewport = canvas.viewport()
    size = viewport.size()
    centre = QPoint(size.width() // 2, size.height() // 2)
    QTest.mouseClick(viewport, Qt.LeftButton, Qt.NoModifier, centre)
    QApplication.processEvents()
    check(dialog() is None or not dialog().isVisible(), "a click without a drag opens nothing")

    # From the lower right to the upper left: the boxes still get lat1 < lat2, lon1 < lon2.
    start = QPoint(size.width() * 7 // 10, size.height() * 7 // 10)
    end = QPoint(size.width() * 3 // 10, size.height() * 3 // 10)
    drawn = QgsRectangle(to_map(canvas, start), to_map(canvas, end))
    QTest.mousePress(viewport, Qt.LeftButton, Qt.NoModifier, start)
    QTest.mouseMove(viewport, QPoint(start.x() - 20, start.y() - 20))
    QTest.mouseMove(viewport, end)
    iface.actionPan().trigger()  # another tool may not take over during the drag
    QApplication.processEvents()
    check(canvas.mapTool() is tool, "the tool stays while a drag is in progress")
    QTest.mouseRelease(viewport, Qt.LeftButton, Qt.NoModifier, end)
    QApplication.processEvents()

    dlg = dialog()
    check(dlg is not None and dlg.isVisible(), "the drag shows the dialog")
    if dlg is None:
        return None
    check(not dlg.isModal(), "the dialog is modeless")
    check(not (dlg.windowFlags() & Qt.WindowStaysOnTopHint), "the dialog is not topmost")
    project = QgsProject.instance()
    expected = QgsCoordinateTransform(project.crs(), WGS84, project).transformBoundingBox(drawn)
    degrees = box_degrees(dlg)
    want = [expected.yMinimum(), expected.yMaximum(), expected.xMinimum(), expected.xMaximum()]
    check(near(degrees, want), f"the boxes hold the drawn degrees: {degrees} against {want}")
    check(55.7 < degrees[0] < degrees[1] < 55.8 and 37.5 < degrees[2] < degrees[3] < 37.7,
          "degrees, not metres, in order")
    count = dlg.findChild(QLineEdit, "TxtBlocksCount").text()
    check(count.isdigit() and int(count) > 0, "the estimate is refreshed: " + count)

    auto = dlg.findChild(QCheckBox, "chkAutoExtent")
    auto.click()
    canvas.zoomByFactor(0.5)
    view = QgsCoordinateTransform(project.crs(), WGS84, project).transformBoundingBox(
        canvas.extent())
    check(near(box_degrees(dlg), [view.yMinimum(), view.yMaximum(), view.xMinimum(),
                                  view.xMaximum()]), "with auto Extent the boxes follow the view")
    auto.click()
    canvas.zoomByFactor(2)
    check(near(box_degrees(dlg), [view.yMinimum(), view.yMaximum(), view.xMinimum(),
                                  view.xMaximum()]), "without it they stay")
    # The drawn extent goes back into the boxes for the load.
    for name, value in zip(("TxtLat1", "TxtLat2", "TxtLon1", "TxtLon2"), degrees):
        dlg.findChild(QLineEdit, name).setText(repr(value))
    return dlg


def group_names(group):
    return [child.name() for child in group.children() if isinstance(child, QgsLayerTreeGroup)]


def load(dlg, level):
    box = dlg.findChild(QLineEdit, "txtLevel")
    box.setText(str(level))
    box.editingFinished.emit()  # as leaving the box does
    dlg.findChild(QPushButton, "CmdLoad").click()  # returns when the run has ended
    text = dlg.findChild(QTextEdit, "txtLog").toPlainText()
    added = re.search(r"Added: (\d+)", text)
    return int(added.group(1)) if added else -1


def test_load(canvas, dlg):
    dlg.findChild(QPushButton, "CmdLoadFromRegistry").click()  # the built-in server's settings
    check(not dlg.findChild(QCheckBox, "chkSkipAddToMap").isChecked(), "tiles go to the map")
    added = load(dlg, 15)
    check(added > 0, f"the load added {added} layers")
    root = QgsProject.instance().layerTreeRoot()
    top = root.children()[0]
    check(isinstance(top, QgsLayerTreeGroup) and top.name() == "GSatellite",
          "the root group GSatellite stands on top: " + top.name())
    if not isinstance(top, QgsLayerTreeGroup):
        return
    level = top.findGroup("Level_15")
    layers = [c for c in level.children() if isinstance(c, QgsLayerTreeLayer)] if level else []
    check(len(layers) == added, f"Level_15 holds the {added} tile layers: {len(layers)}")
    check(all(node.layer().isValid() and node.layer().name().endswith(".jpg") and
              node.layer().crs().authid() == "ESRI:53004" for node in layers),
          "every tile layer is valid, named by its file, in sphere Mercator")
    view = iface.layerTreeView()
    check(view.isExpanded(view.node2index(top)), "the root group is open in the layer panel")
    check(load(dlg, 15) == 0, "a second load of the same tiles adds none")
    check(load(dlg, 14) > 0 and group_names(top) == ["Level_15", "Level_14"],
          "a coarser level goes below: " + str(group_names(top)))
    # The picture for the README: both levels in view, the groups open, the dialog beside.
    settings = canvas.mapSettings()
    extent = QgsRectangle()
    for node in top.findLayers():
        extent.combineExtentWith(settings.layerExtentToOutputExtent(node.layer(),
                                                                    node.layer().extent()))
    canvas.setExtent(extent.buffered(extent.width() / 20))
    canvas.refresh()
    canvas.waitWhileRendering()
    for group in top.findGroups():
        group.setExpanded(group.name() == "Level_15")
    screen = QApplication.primaryScreen().geometry()
    dlg.move(screen.width() - dlg.width(), 0)
    for _ in range(20):
        QApplication.processEvents()
    out = os.environ.get("TESSARO_TEST_OUT", ".")
    QApplication.primaryScreen().grabWindow(0).save(os.path.join(out, "qgis-plugin.png"))


def test_selection(dlg, places):
    drawn = box_degrees(dlg)
    button = dlg.findChild(QPushButton, "cmdSelectedFeatures")
    check(not button.isEnabled(), "nothing selected: the button is disabled")
    places.selectAll()
    QApplication.processEvents()
    check(button.isEnabled(), "a selection enables the button")
    button.click()
    degrees = box_degrees(dlg)
    check(near(degrees, [55.745, 55.75, 37.61, 37.62]),
          f"the button writes the selection's extent: {degrees}")
    # "use Selection" keeps the tiles that meet the polygon, out of a wider extent.
    for name, value in zip(("TxtLat1", "TxtLat2", "TxtLon1", "TxtLon2"), drawn):
        dlg.findChild(QLineEdit, name).setText(repr(value))
    use = dlg.findChild(QCheckBox, "chkUseSelection")
    use.setChecked(True)
    added = load(dlg, 17)
    wanted = int(dlg.findChild(QLineEdit, "TxtBlocksCount").text())
    check(0 < added < wanted, f"use Selection loads {added} of the {wanted} tiles")
    use.setChecked(False)
    places.removeSelection()
    QApplication.processEvents()
    check(not button.isEnabled(), "a cleared selection disables the button")
    iface.newProject(False)
    QApplication.processEvents()
    check(not button.isEnabled(), "a new project leaves nothing selected")


def run():
    watchdog = QTimer()
    watchdog.timeout.connect(close_message_boxes)
    watchdog.start(500)
    try:
        places = setup_project()
        canvas = iface.mapCanvas()
        tool = test_action(canvas)
        dlg = test_click_and_drag(canvas, tool) if tool else None
        if dlg:
            test_load(canvas, dlg)
            test_selection(dlg, places)
    except Exception as error:  # a broken step fails the run instead of hanging it
        check(False, "the driver ran through: " + repr(error))
    finish()


QTimer.singleShot(120000, lambda: os._exit(99))  # QGIS that hangs fails too
QTimer.singleShot(500, run)
