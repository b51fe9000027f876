#include "integration/qgis_session.h"

#include "common/error.h"

#include <qgsapplication.h>
#include <qgsproviderregistry.h>

#include <QCoreApplication>
#include <QSettings>
#include <QString>

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <list>
#include <optional>
#include <string>
#include <system_error>

#ifndef TESSARO_QGIS_PREFIX
#define TESSARO_QGIS_PREFIX "/usr"
#endif

namespace tessaro::integration {

namespace fs = std::filesystem;

namespace {

// QGIS supports one initQgis/exitQgis cycle per process.
enum class SessionState { NeverStarted, Running, Ended };
std::atomic<SessionState> g_state{SessionState::NeverStarted};

fs::path MakeTemporaryFolder() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tessaro-qgis-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw FileError("Could not create a temporary folder for the QGIS profile in " +
                            fs::path(pattern).parent_path().string() + ": " +
                            std::generic_category().message(errno),
                        ErrorNumber::PathFileAccess);
    }
    return pattern;
}

QString PrefixPath() {
    const char *fromEnvironment = std::getenv("QGIS_PREFIX_PATH");
    return QString::fromLocal8Bit(fromEnvironment != nullptr && *fromEnvironment != '\0'
                                      ? fromEnvironment
                                      : TESSARO_QGIS_PREFIX);
}

// Sets an environment variable for the life of the session and restores it afterwards.
class SessionVariable {
public:
    SessionVariable(const char *name, const fs::path &value) : m_name(name) {
        if (const char *previous = std::getenv(name)) {
            m_previous = previous;
        }
        ::setenv(name, value.c_str(), 1);
    }
    SessionVariable(const SessionVariable &) = delete;
    SessionVariable &operator=(const SessionVariable &) = delete;
    ~SessionVariable() {
        if (m_previous) {
            ::setenv(m_name, m_previous->c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }

private:
    const char *m_name;
    std::optional<std::string> m_previous;
};

fs::path MakePrivateFolder(const fs::path &folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || ::chmod(folder.c_str(), S_IRWXU) != 0) {
        throw FileError("Could not create the folder " + folder.string() + " in the QGIS profile" +
                        (ec ? ": " + ec.message() : std::string()));
    }
    return folder;
}

} // namespace

struct QgisSession::Impl {
    fs::path profile;
    bool ownsProfile = false;
    std::list<SessionVariable> variables;

    // QApplication keeps references to argc and argv for its whole life. "-platform
    // offscreen" selects Qt's platform without a display, whatever QT_QPA_PLATFORM says.
    std::array<std::string, 3> args{"tessaro", "-platform", "offscreen"};
    std::array<char *, 4> argv{args[0].data(), args[1].data(), args[2].data(), nullptr};
    int argc = 3;
    std::unique_ptr<QgsApplication> app;

    void Release() noexcept {
        variables.clear();
        if (ownsProfile) {
            std::error_code ec;
            fs::remove_all(profile, ec);
        }
    }
};

QgisSession::QgisSession(const fs::path &profileFolder) : m_impl(std::make_unique<Impl>()) {
    SessionState expected = SessionState::NeverStarted;
    if (!g_state.compare_exchange_strong(expected, SessionState::Running)) {
        throw Error(expected == SessionState::Running
                        ? "QGIS is already running in this process"
                        : "QGIS cannot be started twice in one process");
    }
    try {
        if (QCoreApplication::instance() != nullptr) {
            throw Error("QGIS cannot start: this process already has a Qt application");
        }
        Impl &s = *m_impl;
        if (profileFolder.empty()) {
            s.profile = MakeTemporaryFolder();
            s.ownsProfile = true;
        } else {
            s.profile = fs::absolute(profileFolder);
            std::error_code ec;
            fs::create_directories(s.profile, ec);
            if (ec || !fs::is_directory(s.profile)) {
                throw FileError("Could not create the QGIS profile folder " + s.profile.string() +
                                (ec ? ": " + ec.message() : std::string()));
            }
        }
        // QGIS keeps its settings where the desktop does, relative to the profile:
        // <profile>/QGIS/QGIS3.ini. Without this, QSettings would write them into the user's
        // configuration folder under the name of this program. Settings that name their own
        // organization and application in the native format (Tessaro's) are not affected.
        QCoreApplication::setOrganizationName(QStringLiteral("QGIS"));
        QCoreApplication::setOrganizationDomain(QStringLiteral("qgis.org"));
        QCoreApplication::setApplicationName(QStringLiteral("QGIS3"));
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                           QString::fromStdString(s.profile.string()));
        // Qt's standard locations follow these variables: QGIS's network cache and any data
        // it keeps outside its profile land in the profile too. Qt wants a runtime folder
        // private to the user and complains when none is set.
        s.variables.emplace_back("XDG_CACHE_HOME", MakePrivateFolder(s.profile / "cache"));
        s.variables.emplace_back("XDG_DATA_HOME", MakePrivateFolder(s.profile / "data"));
        if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
            s.variables.emplace_back("XDG_RUNTIME_DIR", MakePrivateFolder(s.profile / "runtime"));
        }

        s.app = std::make_unique<QgsApplication>(s.argc, s.argv.data(), false,
                                                 QString::fromStdString(s.profile.string()));
        QgsApplication::setPrefixPath(PrefixPath(), true);
        QgsApplication::initQgis();
        if (!QgsProviderRegistry::instance()->providerList().contains(QStringLiteral("gdal"))) {
            throw Error("QGIS started without its GDAL raster provider (prefix " +
                        PrefixPath().toStdString() + ")");
        }
    } catch (...) {
        // Once a QgsApplication existed, QGIS cannot be started again in this process.
        const bool started = m_impl->app != nullptr;
        if (started) {
            QgsApplication::exitQgis();
            m_impl->app.reset();
        }
        m_impl->Release();
        g_state = started ? SessionState::Ended : SessionState::NeverStarted;
        throw;
    }
}

QgisSession::~QgisSession() {
    QgsApplication::exitQgis();
    m_impl->app.reset();
    m_impl->Release();
    g_state = SessionState::Ended;
}

bool QgisSession::IsRunning() noexcept {
    return g_state == SessionState::Running;
}

const fs::path &QgisSession::ProfileFolder() const noexcept {
    return m_impl->profile;
}

} // namespace tessaro::integration
