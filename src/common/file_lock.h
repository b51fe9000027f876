#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <utility>

namespace tessaro {

/// An exclusive advisory lock (flock) on a lock file, held from Acquire until the object is
/// destroyed or the process ends, however it ends. Every holder in this process or another
/// opens the file anew, so two holders in one process exclude each other too. The lock file
/// is created by the holder and removed when it lets go; one that a killed holder left is
/// taken over as it is.
class FileLock {
public:
    /// Takes the lock. When another holder has it, calls waiting once, then tries again every
    /// 50 ms, each time after asking stop, until the lock is free or stop answers true.
    /// @returns the held lock, or nothing when stopped.
    /// @throws FileError naming the lock file when it cannot be created or locked.
    [[nodiscard]] static std::optional<FileLock> Acquire(const std::filesystem::path &path,
                                                         const std::function<void()> &waiting,
                                                         const std::function<bool()> &stop);

    FileLock(FileLock &&other) noexcept;
    FileLock &operator=(FileLock &&other) noexcept;
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    ~FileLock();

private:
    FileLock(int fd, std::filesystem::path path) noexcept : m_fd(fd), m_path(std::move(path)) {}
    void Release() noexcept;

    int m_fd = -1;
    std::filesystem::path m_path; ///< the file to remove on release; empty when not held
};

} // namespace tessaro
