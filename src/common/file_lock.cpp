#include "common/file_lock.h"

#include "common/atomic_file.h"
#include "common/error.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace tessaro {

namespace {

int OpenLockFile(const std::filesystem::path &path) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        throw FileError("The lock file " + path.string() +
                        " cannot be created: " + SystemErrorText(errno) + ".");
    }
    return fd;
}

// True when the path still names the file the descriptor is open on: a holder removes the
// file before it lets go, and a waiter that then gets the lock of the removed file has to
// start again with the file under the name.
bool StillNamed(int fd, const std::filesystem::path &path) {
    struct stat open {};
    struct stat named {};
    return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

} // namespace

std::optional<FileLock> FileLock::Acquire(const std::filesystem::path &path,
                                          const std::function<void()> &waiting,
                                          const std::function<bool()> &stop) {
    bool told = false;
    for (;;) {
        FileLock lock(OpenLockFile(path), {}); // removes nothing until it holds the lock
        // A blocking flock would sleep through a Ctrl-C (the signal handler lets calls
        // restart), so the lock is tried without blocking, with a stop question between tries.
        while (::flock(lock.m_fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            if (err == EINTR) {
                continue;
            }
            if (err != EWOULDBLOCK) {
                throw FileError("The lock file " + path.string() +
                                " cannot be locked: " + SystemErrorText(err) + ".");
            }
            if (!told) {
                told = true;
                waiting();
            }
            if (stop()) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (StillNamed(lock.m_fd, path)) {
            lock.m_path = path;
            return lock;
        }
    }
}

FileLock::FileLock(FileLock &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_path(std::move(other.m_path)) {
    other.m_path.clear();
}

FileLock &FileLock::operator=(FileLock &&other) noexcept {
    if (this != &other) {
        Release();
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
        other.m_path.clear();
    }
    return *this;
}

FileLock::~FileLock() {
    Release();
}

void FileLock::Release() noexcept {
    if (m_fd < 0) {
        return;
    }
    // Removed while still held, so that no one locks it after this holder and before the
    // name is gone; closing the last descriptor of the open file releases the lock.
    if (!m_path.empty()) {
        ::unlink(m_path.c_str());
    }
    ::close(m_fd);
    m_fd = -1;
}

} // namespace tessaro
