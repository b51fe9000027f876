#pragma once

#include "common/ui_port.h"

#include <filesystem>
#include <memory>

class QgsProject;

namespace tessaro::integration {

/// A QGIS project bound to its file (.qgs, or .qgz for the zipped form): read when the file
/// exists, otherwise empty until the first save writes it. The map the load run adds its tile
/// layers to when it runs without the desktop.
///
/// Destroying the object releases the project's layers in one step: QGIS would otherwise
/// take time quadratic in the number of layers to tear down a project of many thousand tiles.
///
/// @pre a QgisSession is running for the whole life of the object.
class QgisProjectFile {
public:
    /// How layers of an existing project are read.
    enum class LayerLoading {
        /// Every layer opens its data source, as the desktop does: layers are valid and know
        /// their coordinate system and extent. Costs about as much per layer as adding it.
        Full,
        /// Layers keep what the file says about them without opening their data; they are
        /// written back unchanged. Much faster for projects of many layers that are only
        /// extended and saved again.
        Deferred,
    };

    /// Opens the project at path: reads it when the file exists, otherwise starts an empty
    /// project that Save writes there. Tile paths are stored relative to the project's folder.
    /// @throws tessaro::FileError when path is a folder, the folder of a new project does not
    /// exist, or QGIS cannot read the file (the message names the file and QGIS's reason).
    /// @throws tessaro::Error when no QgisSession is running.
    [[nodiscard]] static QgisProjectFile Open(const std::filesystem::path &path,
                                              LayerLoading loading = LayerLoading::Full);

    QgisProjectFile(QgisProjectFile &&) noexcept;
    QgisProjectFile &operator=(QgisProjectFile &&) noexcept;
    ~QgisProjectFile();

    /// The project, valid while this object lives.
    [[nodiscard]] QgsProject &Project() noexcept;

    /// The project file, absolute.
    [[nodiscard]] const std::filesystem::path &Path() const noexcept;

    /// True when the file did not exist when the project was opened.
    [[nodiscard]] bool IsNew() const noexcept;

    /// Writes the project to its file whole: QGIS writes a temporary file beside it, which
    /// then replaces the file. Nothing else is touched: the tiles and their side files stay
    /// as they are whether or not the save succeeds.
    /// @throws tessaro::FileError "Could not write the project file <path>: <reason>" when
    /// the file cannot be written (no such folder, no permission, a folder in its place).
    void Save();

    /// Writes the project like Save(); on a failure shows its message with the critical icon
    /// and returns false.
    bool Save(UiPort &ui);

private:
    struct Impl;
    explicit QgisProjectFile(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> m_impl;
};

} // namespace tessaro::integration
