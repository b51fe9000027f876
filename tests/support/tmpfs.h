#pragma once

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/mount.h>

namespace tessaro::test {

/// A small tmpfs mounted for one test (as root only): a disk that fills up, or a folder that
/// turns read-only under a running program. Unmounted when the test ends.
class ScopedTmpfs {
public:
    /// Mounts a tmpfs of the given size ("128k", "4m") at where, creating the folder.
    ScopedTmpfs(const std::filesystem::path &where, const std::string &size) : m_where(where) {
        std::filesystem::create_directories(where);
        m_mounted = ::mount("tmpfs", where.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
        m_error = m_mounted ? "" : std::strerror(errno);
    }
    ScopedTmpfs(const ScopedTmpfs &) = delete;
    ScopedTmpfs &operator=(const ScopedTmpfs &) = delete;
    ~ScopedTmpfs() {
        if (m_mounted) {
            ::umount2(m_where.c_str(), MNT_DETACH);
        }
    }

    /// True when the tmpfs is mounted; otherwise Error() says why (tests then skip).
    [[nodiscard]] bool Mounted() const noexcept { return m_mounted; }
    [[nodiscard]] const std::string &Error() const noexcept { return m_error; }

    /// Turns the mounted folder read-only; false when that failed.
    bool MakeReadOnly() {
        return ::mount("tmpfs", m_where.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    std::filesystem::path m_where;
    bool m_mounted = false;
    std::string m_error;
};

} // namespace tessaro::test
