// tessaro-gui: the main dialog on its own, without a GIS.

#include "dialogs/frm_tessaro.h"
#include "settings/settings_store.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tessaro-gui"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Shows the Tessaro dialog: a request, its estimate, and the load button."));
    parser.addHelpOption();
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("Use FILE as the settings store."),
                                    QStringLiteral("FILE"));
    parser.addOption(config);
    parser.process(app);

    auto store =
        parser.isSet(config)
            ? tessaro::settings::SettingsStore::AtFile(parser.value(config).toUtf8().toStdString())
            : tessaro::settings::SettingsStore::User();
    tessaro::dialogs::FrmTessaro dialog(std::move(store));
    QObject::connect(&dialog, &QDialog::finished, &app, &QApplication::quit);
    dialog.show();
    return QApplication::exec();
}
