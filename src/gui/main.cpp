// tessaro-gui: the main dialog on its own, without a GIS.

#include "gui/gui_shell.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>

#include <cstdio>

int main(int argc, char **argv) {
    // The options are read before the window system is asked for, so that --help and a
    // mistyped option work without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
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
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "tessaro-gui: %s\nTry 'tessaro-gui --help'.\n",
                     parser.errorText().toLocal8Bit().constData());
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        const QCoreApplication help(argc, argv); // the help text names the program through it
        QCoreApplication::setApplicationName(QStringLiteral("tessaro-gui"));
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs("tessaro-gui: no display to show the dialog on (DISPLAY is not set); run it "
                   "in a desktop session, under xvfb-run, or with QT_QPA_PLATFORM=offscreen.\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tessaro-gui"));

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
