#include "integration/qgis_project_file.h"

#include "common/error.h"
#include "integration/qgis_session.h"
#include "integration/qgis_tuning.h"

#include <qgslayertree.h>
#include <qgsmaplayer.h>
#include <qgsproject.h>

#include <QDomDocument>
#include <QDomElement>
#include <QTextStream>

#include <random>
#include <string>
#include <system_error>

namespace tessaro::integration {

namespace fs = std::filesystem;

struct QgisProjectFile::Impl {
    fs::path path;
    bool isNew = false;
    std::unique_ptr<QgsProject> project;

    ~Impl() { ReleaseLayers(*project); }
};

namespace {

QString Q(const fs::path &path) {
    return QString::fromStdString(path.string());
}

std::string CannotWrite(const fs::path &path, const std::string &reason) {
    return "Could not write the project file " + path.string() + ": " + reason;
}

// A name beside the project file that nothing uses, with the same extension, so that QGIS
// writes the same format (it zips when the name ends with .qgz).
fs::path TemporarySibling(const fs::path &path) {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = path.parent_path() /
                             ("." + path.stem().string() + ".tmp" +
                              std::to_string(random() % 1000000000) + path.extension().string());
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(candidate, ec))) {
            return candidate;
        }
    }
    throw FileError(CannotWrite(path, "no free temporary name in its folder"));
}

// QGIS keeps the XML of every layer as read, so that a layer it cannot open (a tile removed
// since, or any layer read without its data) is written back as it was. Its own collection
// looks every layer up in the whole document, which takes time quadratic in the number of
// layers (minutes for ten thousand); this one walks the document once.
void KeepLayersAsRead(QgsProject &project, const QDomDocument &document) {
    const QMap<QString, QgsMapLayer *> layers = project.mapLayers();
    const QDomElement projectLayers =
        document.documentElement().firstChildElement(QStringLiteral("projectlayers"));
    for (QDomElement element = projectLayers.firstChildElement(QStringLiteral("maplayer"));
         !element.isNull(); element = element.nextSiblingElement(QStringLiteral("maplayer"))) {
        QgsMapLayer *layer = layers.value(element.firstChildElement(QStringLiteral("id")).text());
        if (layer != nullptr) {
            QString xml;
            QTextStream stream(&xml);
            element.save(stream, 4);
            layer->setOriginalXmlProperties(xml);
        }
    }
}

} // namespace

QgisProjectFile QgisProjectFile::Open(const fs::path &path, LayerLoading loading) {
    if (!QgisSession::IsRunning()) {
        throw Error("A QGIS project cannot be opened before QGIS is started");
    }
    auto impl = std::make_unique<Impl>();
    impl->path = fs::absolute(path).lexically_normal();
    impl->project = std::make_unique<QgsProject>();
    const fs::path &file = impl->path;

    std::error_code ec;
    const auto status = fs::status(file, ec);
    if (fs::is_directory(status)) {
        throw FileError("The project file " + file.string() + " is a folder",
                        ErrorNumber::PathFileAccess);
    }
    if (fs::exists(status)) {
        const ScopedFastRasterOpening fastOpening;
        QgsProject &project = *impl->project;
        QgsProject::ReadFlags flags = QgsProject::ReadFlag::FlagDontStoreOriginalStyles;
        if (loading == LayerLoading::Deferred) {
            flags |= QgsProject::ReadFlag::FlagDontResolveLayers;
        }
        const QMetaObject::Connection keeping = QObject::connect(
            &project, &QgsProject::readProject,
            [&project](const QDomDocument &document) { KeepLayersAsRead(project, document); });
        const bool read = project.read(Q(file), flags);
        QObject::disconnect(keeping);
        if (!read) {
            throw FileError("Could not read the project file " + file.string() + ": " +
                                impl->project->error().toStdString(),
                            ErrorNumber::PathFileAccess);
        }
    } else {
        if (!fs::is_directory(file.parent_path(), ec)) {
            throw FileError("The folder of the project file " + file.string() + " does not exist",
                            ErrorNumber::PathNotFound);
        }
        impl->isNew = true;
        impl->project->setFileName(Q(file));
    }
    return QgisProjectFile(std::move(impl));
}

QgisProjectFile::QgisProjectFile(std::unique_ptr<Impl> impl) noexcept : m_impl(std::move(impl)) {}
QgisProjectFile::QgisProjectFile(QgisProjectFile &&) noexcept = default;
QgisProjectFile &QgisProjectFile::operator=(QgisProjectFile &&) noexcept = default;
QgisProjectFile::~QgisProjectFile() = default;

QgsProject &QgisProjectFile::Project() noexcept {
    return *m_impl->project;
}

const fs::path &QgisProjectFile::Path() const noexcept {
    return m_impl->path;
}

bool QgisProjectFile::IsNew() const noexcept {
    return m_impl->isNew;
}

void QgisProjectFile::Save() {
    const fs::path &file = m_impl->path;
    QgsProject &project = *m_impl->project;
    std::error_code ec;
    if (fs::is_directory(file, ec)) {
        throw FileError(CannotWrite(file, "a folder of that name is in its place"),
                        ErrorNumber::PathFileAccess);
    }
    if (!fs::is_directory(file.parent_path(), ec)) {
        throw FileError(CannotWrite(file, "its folder does not exist"), ErrorNumber::PathNotFound);
    }
    const fs::path temporary = TemporarySibling(file);
    // Whatever happens, the project keeps the name of its real file and no temporary file
    // (nor the backup QGIS makes of a file it overwrites) stays behind.
    struct Cleanup {
        QgsProject &project;
        const fs::path &file;
        const fs::path &temporary;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            fs::remove(fs::path(temporary.string() + "~"), ignored);
            project.setFileName(Q(file));
        }
    } cleanup{project, file, temporary};

    // Unless the user chose a drawing order of their own, the tree's list of layers in drawing
    // order is the tree's order and QGIS rebuilds it when it reads the file; written out, each
    // of its entries would be looked up in the whole tree on reading.
    QgsLayerTree &tree = *project.layerTreeRoot();
    const bool ownOrder = tree.hasCustomLayerOrder();
    const QList<QgsMapLayer *> order = ownOrder ? QList<QgsMapLayer *>() : tree.customLayerOrder();
    if (!ownOrder) {
        tree.setCustomLayerOrder(QList<QgsMapLayer *>());
    }
    const bool written = project.write(Q(temporary));
    if (!ownOrder) {
        tree.setCustomLayerOrder(order);
    }
    if (!written) {
        QString reason = project.error();
        if (reason.isEmpty()) {
            reason = QStringLiteral("QGIS gave no reason");
        }
        throw FileError(CannotWrite(file, reason.toStdString()), ErrorNumber::PathFileAccess);
    }
    fs::rename(temporary, file, ec);
    if (ec) {
        throw FileError(CannotWrite(file, ec.message()), ErrorNumber::PathFileAccess);
    }
}

bool QgisProjectFile::Save(UiPort &ui) {
    try {
        Save();
        return true;
    } catch (const std::exception &e) {
        ui.ShowMessage(e.what(), Icon::Critical);
    } catch (...) {
        ui.ShowMessage("Could not write the project file " + m_impl->path.string(), Icon::Critical);
    }
    return false;
}

} // namespace tessaro::integration
