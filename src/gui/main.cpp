// tessaro-gui: the main dialog on its own, without a GIS.

#include "gui/gui_shell.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tessaro-gui"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Shows the Tessaro dialog: a request, its estimate, and the load button. Without a GIS, "
        "the tiles go into a QGIS project file and the selected features come from a file."));
    parser.addHelpOption();
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("Use FILE as the settings store."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption project(
        QStringLiteral("project"),
        QStringLiteral("Add the tiles of every run to the QGIS project FILE (.qgs or .qgz), "
                       "saved after each run."),
        QStringLiteral("FILE"));
    const QCommandLineOption selection(
        QStringLiteral("selection"),
        QStringLiteral("The features of FILE (any vector dataset) are the selected features."),
        QStringLiteral("FILE"));
    const QCommandLineOption where(QStringLiteral("selection-where"),
                                   QStringLiteral("Only the features this OGR filter selects."),
                                   QStringLiteral("EXPR"));
    parser.addOptions({config, project, selection, where});
    parser.process(app);

    const auto path = [&](const QCommandLineOption &option) {
        return parser.isSet(option)
                   ? std::optional<std::filesystem::path>(parser.value(option).toStdString())
                   : std::nullopt;
    };
    tessaro::gui::GuiOptions options{path(config), path(project), path(selection),
                                     parser.value(where).toStdString()};
    try {
        tessaro::gui::GuiShell shell(options);
        QObject::connect(&shell.Dialog(), &QDialog::finished, &app, &QApplication::quit);
        shell.Dialog().show();
        return QApplication::exec();
    } catch (const std::exception &e) {
        QMessageBox::critical(nullptr, QStringLiteral("Tessaro"), QString::fromUtf8(e.what()));
        return 1;
    }
}
