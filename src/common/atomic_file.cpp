#include "common/atomic_file.h"

#include "common/error.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <random>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>
#include <vector>

namespace tessaro {

namespace {

ErrorNumber NumberOfErrno(int errnum) {
    switch (errnum) {
    case ENOSPC:
    case EDQUOT:
        return ErrorNumber::DiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
        return ErrorNumber::PermissionDenied;
    case ENOENT:
    case ENOTDIR:
        return ErrorNumber::PathNotFound;
    default:
        return ErrorNumber::PathFileAccess;
    }
}

// Errors of an O_TMPFILE open that say nothing about whether the file system offers unnamed
// files: the folder is missing or refuses every new file.
bool RefusesAnyFile(int err) {
    return err == ENOENT || err == ENOTDIR || err == EACCES || err == EROFS || err == ENOSPC ||
           err == EDQUOT;
}

constexpr std::string_view kPartMark = ".part-";

std::string TemporaryName(const std::filesystem::path &target) {
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937_64 random(
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        static_cast<std::uint64_t>(::getpid()));
    return "." + target.filename().string() + std::string(kPartMark) + std::to_string(::getpid()) +
           "-" + std::to_string(counter++) + "-" + std::to_string(random() % 1000000);
}

// The process that wrote a temporary file of TemporaryName's form; 0 for any other name.
pid_t WriterOf(std::string_view name) {
    const auto mark = name.rfind(kPartMark);
    if (name.size() < 2 || name[0] != '.' || mark == std::string_view::npos || mark == 0) {
        return 0;
    }
    std::int64_t fields[3] = {};
    const char *p = name.data() + mark + kPartMark.size();
    const char *end = name.data() + name.size();
    for (std::size_t i = 0; i < 3; ++i) {
        const auto [next, ec] = std::from_chars(p, end, fields[i]);
        if (ec != std::errc() || next == p || (i < 2 ? next == end || *next != '-' : next != end)) {
            return 0;
        }
        p = next + 1;
    }
    return fields[0] > 0 && fields[0] <= std::numeric_limits<pid_t>::max()
               ? static_cast<pid_t>(fields[0])
               : 0;
}

bool IsGone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

std::size_t RemoveIn(const std::filesystem::path &folder, bool withSubfolders) {
    std::size_t removed = 0;
    std::vector<std::filesystem::path> subfolders;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code entryEc; // an entry that went meanwhile ends nothing but itself
        if (const pid_t pid = WriterOf(it->path().filename().string()); pid != 0) {
            if (it->is_regular_file(entryEc) && IsGone(pid) && ::unlink(it->path().c_str()) == 0) {
                ++removed;
            }
        } else if (withSubfolders && it->is_directory(entryEc) && !it->is_symlink(entryEc)) {
            subfolders.push_back(it->path());
        }
    }
    for (const auto &subfolder : subfolders) {
        removed += RemoveIn(subfolder, false);
    }
    return removed;
}

} // namespace

std::size_t detail::RemoveTemporariesOfGoneProcesses(const std::filesystem::path &folder) noexcept {
    try {
        return RemoveIn(folder, true);
    } catch (...) {
        return 0; // out of memory while listing: what is left stays for a later run
    }
}

std::size_t RemoveDeadTemporaries(const std::filesystem::path &folder) noexcept {
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        ::close(fd);
        return 0;
    }
    if (RefusesAnyFile(errno)) {
        return 0;
    }
    return detail::RemoveTemporariesOfGoneProcesses(folder);
}

std::string SystemErrorText(int errnum) {
    std::error_code ec(errnum, std::generic_category());
    return ec.message();
}

FdWriter::FdWriter(int fd, std::string name, std::size_t bufferSize)
    : m_fd(fd), m_name(std::move(name)), m_limit(bufferSize) {
    m_buffer.reserve(bufferSize + 4096);
}

void FdWriter::Write(std::string_view data) {
    m_buffer.append(data);
    MaybeFlush();
}

void FdWriter::Flush() {
    const char *p = m_buffer.data();
    std::size_t left = m_buffer.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, p, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int err = errno;
            m_buffer.clear();
            throw FileError("Cannot write to " + m_name + ": " + SystemErrorText(err) + ".",
                            NumberOfErrno(err));
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    m_buffer.clear();
}

AtomicFile::AtomicFile(std::filesystem::path target, Mode mode, Temporary temporary)
    : m_target(std::move(target)), m_mode(mode) {
    const auto folder =
        m_target.has_parent_path() ? m_target.parent_path() : std::filesystem::path(".");
    // An unnamed file costs one directory entry, made when it is linked into place.
    if (temporary == Temporary::Unnamed) {
        m_fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    } else {
        errno = EOPNOTSUPP;
    }
    if (m_fd >= 0) {
        m_writer = std::make_unique<FdWriter>(m_fd, m_target.string());
        return;
    }
    if (RefusesAnyFile(errno)) {
        const int err = errno;
        throw FileError("Cannot create " + m_target.string() + ": " + SystemErrorText(err) + ".",
                        NumberOfErrno(err));
    }
    // The file system has no unnamed files: a hidden temporary name instead.
    int lastErr = 0;
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
        m_temp = folder / TemporaryName(m_target);
        m_fd = ::open(m_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd < 0) {
            lastErr = errno;
            if (lastErr != EEXIST && lastErr != EINTR) {
                break;
            }
        }
    }
    if (m_fd < 0) {
        throw FileError("Cannot create " + m_target.string() + ": " + SystemErrorText(lastErr) +
                            ".",
                        NumberOfErrno(lastErr));
    }
    m_writer = std::make_unique<FdWriter>(m_fd, m_target.string());
}

AtomicFile::~AtomicFile() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    if (!m_committed && !m_temp.empty()) {
        ::unlink(m_temp.c_str());
    }
}

void AtomicFile::Commit() {
    m_writer->Flush();
    if (m_mode != Mode::Numbered) {
        Place(m_mode);
        return;
    }
    constexpr int kMaxNumber = 9999;
    const std::filesystem::path first = m_target;
    for (int number = 2;; ++number) {
        try {
            Place(Mode::CreateNew);
            return;
        } catch (const TargetExists &) {
            if (number > kMaxNumber) {
                throw;
            }
            m_target = first.parent_path() / (first.stem().string() + "_" + std::to_string(number) +
                                              first.extension().string());
        }
    }
}

void AtomicFile::Place(Mode mode) {
    if (m_temp.empty()) {
        // Link the unnamed file into place; a name can only be linked where none exists.
        const std::string self = "/proc/self/fd/" + std::to_string(m_fd);
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, m_target.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            m_committed = true;
        } else if (errno != EEXIST) {
            const int err = errno;
            throw FileError("Cannot create " + m_target.string() + ": " + SystemErrorText(err) +
                                ".",
                            NumberOfErrno(err));
        } else if (mode == Mode::CreateNew) {
            throw TargetExists(m_target.string() + " exists already.");
        } else {
            // Replacing: give the file a temporary name first, then rename it over the old one.
            for (int attempt = 0; attempt < 100 && !m_committed; ++attempt) {
                const auto temp = m_target.parent_path() / TemporaryName(m_target);
                if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) ==
                    0) {
                    m_temp = temp;
                    break;
                }
                if (errno != EEXIST) {
                    const int err = errno;
                    throw FileError("Cannot create " + m_target.string() + ": " +
                                        SystemErrorText(err) + ".",
                                    NumberOfErrno(err));
                }
            }
        }
        if (m_committed) {
            const int fd = m_fd;
            m_fd = -1;
            ::close(fd);
            return;
        }
    }
    if (m_fd >= 0) { // still open unless an earlier attempt found the name taken
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            const int err = errno;
            throw FileError("Cannot finish " + m_target.string() + ": " + SystemErrorText(err) +
                                ".",
                            NumberOfErrno(err));
        }
    }
    if (mode == Mode::CreateNew) {
        if (::renameat2(AT_FDCWD, m_temp.c_str(), AT_FDCWD, m_target.c_str(), RENAME_NOREPLACE) !=
            0) {
            const int err = errno;
            if (err == EEXIST) {
                throw TargetExists(m_target.string() + " exists already.");
            }
            throw FileError("Cannot move " + m_temp.string() + " to " + m_target.string() + ": " +
                                SystemErrorText(err) + ".",
                            NumberOfErrno(err));
        }
    } else if (::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        const int err = errno;
        throw FileError("Cannot move " + m_temp.string() + " to " + m_target.string() + ": " +
                            SystemErrorText(err) + ".",
                        NumberOfErrno(err));
    }
    m_committed = true;
}

namespace {

// Closes a descriptor on every way out.
class FdGuard {
public:
    explicit FdGuard(int fd) : m_fd(fd) {}
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;
    ~FdGuard() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    [[nodiscard]] int Get() const noexcept { return m_fd; }
    // Closes now, reporting what the system says of the file's last writes.
    void Close(const std::filesystem::path &path) {
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            const int err = errno;
            throw FileError("Cannot finish " + path.string() + ": " + SystemErrorText(err) + ".",
                            NumberOfErrno(err));
        }
    }

private:
    int m_fd;
};

[[noreturn]] void ThrowCannot(std::string_view what, const std::filesystem::path &path, int err) {
    throw FileError(std::string(what) + path.string() + ": " + SystemErrorText(err) + ".",
                    NumberOfErrno(err));
}

// Links an open unnamed file into a folder under a name: straight from its descriptor where
// the process may (AT_EMPTY_PATH), else through /proc. False with errno set when it cannot.
bool LinkUnnamed(int fd, int folder, const char *name) {
    static std::atomic<bool> fromDescriptor{true};
    if (fromDescriptor.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) {
            return true;
        }
        if (errno != ENOENT && errno != EPERM) {
            return false;
        }
    }
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, self, folder, name, AT_SYMLINK_FOLLOW) != 0) {
        return false;
    }
    fromDescriptor.store(false, std::memory_order_relaxed); // not allowed to this process
    return true;
}

} // namespace

FolderFiles::~FolderFiles() {
    CloseFolders();
}

void FolderFiles::CloseFolders() noexcept {
    for (const auto &[name, fd] : m_folders) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    m_folders.clear();
}

int FolderFiles::FolderOf(std::string_view folder) {
    for (const auto &[known, fd] : m_folders) {
        if (known == folder) {
            return fd;
        }
    }
    if (m_folders.size() >= kMaxFolders) {
        CloseFolders();
    }
    std::string name(folder);
    const int fd = ::open(name.empty() ? "." : name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        m_folders.emplace_back(std::move(name), fd);
    }
    return fd;
}

bool FolderFiles::Put(const std::filesystem::path &path, std::string_view content, bool replace,
                      bool lookAgain) {
    // The folder and the name as parts of the path's text, without making paths of them.
    const std::string &text = path.native();
    const auto slash = text.rfind('/');
    const std::string_view folderText =
        slash == std::string::npos ? std::string_view()
                                   : std::string_view(text).substr(0, slash == 0 ? 1 : slash);
    const char *name = text.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    const int folder = m_unnamedOffered && *name != '\0' ? FolderOf(folderText) : -1;
    const int fd = folder >= 0 ? ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666) : -1;
    if (fd < 0 && folder >= 0 && errno == ENOENT && lookAgain) {
        // The folder held open was removed (and perhaps made again): look it up afresh.
        CloseFolders();
        return Put(path, content, replace, false);
    }
    if (fd < 0 && folder >= 0 && RefusesAnyFile(errno)) {
        ThrowCannot("Cannot create ", path, errno);
    }
    if (fd < 0) {
        // No unnamed files here (or the folder cannot be held open): the general way, which
        // names what went wrong.
        if (folder >= 0) {
            m_unnamedOffered = false;
        }
        AtomicFile file(path, replace ? AtomicFile::Mode::Replace : AtomicFile::Mode::CreateNew);
        file.Write(content);
        try {
            file.Commit();
        } catch (const AtomicFile::TargetExists &) {
            return false;
        }
        return true;
    }
    FdGuard guard(fd);
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno != EINTR) {
            ThrowCannot("Cannot write to ", path, errno);
        }
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (LinkUnnamed(fd, folder, name)) {
        guard.Close(path);
        return true;
    }
    if (errno == ENOENT && lookAgain) {
        CloseFolders(); // removed while held, as above
        return Put(path, content, replace, false);
    }
    if (errno != EEXIST) {
        ThrowCannot("Cannot create ", path, errno);
    }
    if (!replace) {
        return false;
    }
    // Replacing: the file gets a temporary name first, then takes the old one's place.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = TemporaryName(path);
        if (LinkUnnamed(fd, folder, temp.c_str())) {
            guard.Close(path);
            if (::renameat(folder, temp.c_str(), folder, name) != 0) {
                const int err = errno;
                ::unlinkat(folder, temp.c_str(), 0);
                ThrowCannot("Cannot create ", path, err);
            }
            return true;
        }
        if (errno != EEXIST) {
            ThrowCannot("Cannot create ", path, errno);
        }
    }
    ThrowCannot("Cannot create ", path, EEXIST);
}

void WriteFileAtomically(const std::filesystem::path &path, std::string_view content) {
    AtomicFile file(path);
    file.Write(content);
    file.Commit();
}

bool WriteNewFileAtomically(const std::filesystem::path &path, std::string_view content) {
    AtomicFile file(path, AtomicFile::Mode::CreateNew);
    file.Write(content);
    try {
        file.Commit();
    } catch (const AtomicFile::TargetExists &) {
        return false;
    }
    return true;
}

} // namespace tessaro
