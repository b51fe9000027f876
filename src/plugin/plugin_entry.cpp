// The functions QGIS looks up in a plugin library. The library is built with hidden visibility;
// these alone are exported. Nothing thrown may reach QGIS: classFactory catches everything.

#include "plugin/tessaro_plugin.h"

#include <qgisinterface.h>
#include <qgsmessagelog.h>

#include <QString>

#include <exception>

namespace {

QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

} // namespace

#define TESSARO_EXPORT extern "C" __attribute__((visibility("default")))

TESSARO_EXPORT QgisPlugin *classFactory(QgisInterface *iface) {
    try {
        return new tessaro::plugin::TessaroPlugin(iface);
    } catch (const std::exception &e) {
        QgsMessageLog::logMessage(QString::fromUtf8(e.what()), QStringLiteral("Tessaro"),
                                  Qgis::MessageLevel::Critical);
    } catch (...) {
        QgsMessageLog::logMessage(QStringLiteral("The plugin could not start"),
                                  QStringLiteral("Tessaro"), Qgis::MessageLevel::Critical);
    }
    return nullptr;
}

TESSARO_EXPORT const QString *name() {
    static const QString text = Text(tessaro::plugin::kPluginName);
    return &text;
}

TESSARO_EXPORT const QString *description() {
    static const QString text = Text(tessaro::plugin::kPluginDescription);
    return &text;
}

TESSARO_EXPORT const QString *category() {
    static const QString text = Text(tessaro::plugin::kPluginCategory);
    return &text;
}

TESSARO_EXPORT const QString *version() {
    static const QString text = QStringLiteral("2.0");
    return &text;
}

TESSARO_EXPORT const QString *icon() {
    static const QString text = QStringLiteral(":/tessaro/tessaro.svg");
    return &text;
}

TESSARO_EXPORT int type() {
    return QgisPlugin::UI;
}
