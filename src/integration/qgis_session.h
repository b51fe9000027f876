#pragma once

#include <filesystem>
#include <memory>

namespace tessaro::integration {

/// QGIS running headless in this process: a QgsApplication without GUI on Qt's offscreen
/// platform, with its providers loaded. Everything that touches QGIS objects (QgisProjectFile,
/// the tile-layer functions) needs a running session.
///
/// QGIS can be started once per process: create the session when it is first needed (in the
/// command that writes a project, or once for a test program), keep it while QGIS objects are
/// used, and destroy every project and layer before the session ends. A second session in the
/// same process, or a Qt application created by someone else, is refused.
///
/// QGIS keeps its settings, databases and caches in a profile folder of the session's own: a
/// private temporary folder by default (removed when the session ends), so that nothing is
/// read from or written into the user's QGIS profile or home folder. To that end the session
/// gives the process QGIS's organization and application names ("QGIS", "QGIS3") and makes
/// QSettings default to the INI format under the profile (QGIS's settings are then
/// <profile>/QGIS/QGIS3.ini); QSettings objects that name their own organization and
/// application, as Tessaro's settings store does, are not affected. While the session runs,
/// XDG_CACHE_HOME and XDG_DATA_HOME (and XDG_RUNTIME_DIR when it is not set) point at private
/// folders inside the profile; their previous values come back at its end.
class QgisSession {
public:
    /// Starts QGIS. profileFolder is created when missing; an empty path makes a private
    /// temporary folder that the session removes at its end. The QGIS installation is found
    /// through QGIS_PREFIX_PATH when set, else where the build found QGIS.
    /// @pre called on the thread that will use QGIS (normally the main thread)
    /// @throws tessaro::Error when QGIS was already started in this process, a Qt application
    /// exists, the profile folder cannot be made, or QGIS lacks its GDAL provider.
    explicit QgisSession(const std::filesystem::path &profileFolder = {});

    /// Shuts QGIS down (exitQgis) and removes a temporary profile folder.
    /// @pre every QgisProjectFile and every QGIS layer or project made during the session is
    /// destroyed already (QGIS crashes at exit otherwise).
    ~QgisSession();

    QgisSession(const QgisSession &) = delete;
    QgisSession &operator=(const QgisSession &) = delete;

    /// True between the construction and the destruction of a session.
    [[nodiscard]] static bool IsRunning() noexcept;

    /// The folder QGIS keeps its profile in for this session.
    [[nodiscard]] const std::filesystem::path &ProfileFolder() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace tessaro::integration
