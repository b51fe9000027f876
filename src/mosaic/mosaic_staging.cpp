#include "mosaic/mosaic_staging.h"

#include "common/error.h"
#include "mapout/spatial_reference.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace tessaro::mosaic::detail {

namespace fs = std::filesystem;

namespace {

ErrorNumber NumberOf(const std::error_code &ec) {
    return ec == std::errc::no_space_on_device ? ErrorNumber::DiskFull
                                               : ErrorNumber::PathFileAccess;
}

// The random part mkdtemp puts at the end of a working folder's name.
constexpr std::string_view kRandomPart = "XXXXXX";
// Bytes of the output's name a working folder's name keeps, leaving room in a file name of
// 255 bytes for the rest of it.
constexpr std::size_t kNameRoom = 200;

// How the working folders of one output begin: ".tessaro-mosaic-", the output's file name (its
// start, when it is long) and a dash; mkdtemp's six characters follow.
std::string WorkingPrefix(const fs::path &target) {
    std::string name = target.filename().string();
    name.resize(std::min(name.size(), kNameRoom));
    return ".tessaro-mosaic-" + name + "-";
}

// Takes the advisory lock of a folder without waiting. Where the file system has no such locks
// a run works unlocked, and no folder is removed there: one of a run going on cannot be told
// from one left over.
enum class Lock { Taken, HeldElsewhere, Unsupported };
Lock TryLock(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return Lock::Taken;
    }
    return errno == EWOULDBLOCK ? Lock::HeldElsewhere : Lock::Unsupported;
}

bool SameFile(int fd, const fs::path &path) {
    struct stat held {};
    struct stat named {};
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Removes the working folders of the output in folder whose run is gone: a run holds the lock
// of its working folder for as long as it lives, so a folder whose lock can be taken was left
// by a run that was killed.
void RemoveLeftovers(const fs::path &folder, const std::string &prefix) noexcept {
    try {
        std::vector<fs::path> found;
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.size() == prefix.size() + kRandomPart.size() && name.starts_with(prefix)) {
                found.push_back(it->path());
            }
        }
        for (const fs::path &leftover : found) {
            const int fd =
                ::open(leftover.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            if (TryLock(fd) == Lock::Taken && SameFile(fd, leftover)) {
                fs::remove_all(leftover, ec);
            }
            ::close(fd);
        }
    } catch (...) {
        // Out of memory while listing: the left-overs wait for a later run.
    }
}

} // namespace

Staging::Staging(const MosaicTarget &target) : m_target(target.File()) {
    const fs::path folder = m_target.parent_path().empty() ? fs::path(".") : m_target.parent_path();
    const std::string prefix = WorkingPrefix(m_target);
    RemoveLeftovers(folder, prefix);
    // Another run on this output may be removing left-overs meanwhile: it may take a new folder
    // for one before this run holds its lock, and then this run makes another.
    for (int attempt = 0; m_folder.empty(); ++attempt) {
        std::string pattern = (folder / (prefix + std::string(kRandomPart))).string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            const std::error_code ec(errno, std::generic_category());
            throw FileError("No working folder can be made in " + mapout::FolderText(folder) +
                                ": " + ec.message(),
                            NumberOf(ec));
        }
        const int fd = ::open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno != ENOENT) {
            const std::error_code ec(errno, std::generic_category());
            ::rmdir(pattern.c_str());
            throw FileError("The working folder " + pattern + " cannot be opened: " + ec.message());
        }
        if (fd >= 0 && TryLock(fd) != Lock::HeldElsewhere && SameFile(fd, pattern)) {
            m_folder = pattern;
            m_lock = fd;
        } else if (fd >= 0) {
            ::close(fd);
        }
        if (m_folder.empty() && attempt == 100) {
            throw FileError("No working folder can be kept in " + mapout::FolderText(folder));
        }
    }
    std::error_code ec;
    if (target.InDatabase() && fs::exists(m_target, ec)) {
        fs::copy_file(m_target, File(), ec);
        if (ec) {
            Remove();
            throw FileError("The database " + m_target.string() +
                                " cannot be copied to build the mosaic in: " + ec.message(),
                            NumberOf(ec));
        }
    }
}

Staging::~Staging() {
    Remove();
}

void Staging::Commit(bool replacing, const std::vector<fs::path> &oldFiles) {
    std::error_code ec;
    if (!replacing && fs::exists(m_target, ec)) {
        throw FileError("The output " + m_target.string() +
                        " appeared while the mosaic was built; it was left as it is");
    }
    std::vector<fs::path> built;
    for (const auto &entry : fs::directory_iterator(m_folder)) {
        built.push_back(entry.path());
    }
    std::stable_partition(built.begin(), built.end(),
                          [&](const fs::path &p) { return p.filename() != m_target.filename(); });
    std::vector<fs::path> placed;
    for (const fs::path &file : built) {
        const fs::path destination = m_target.parent_path() / file.filename();
        fs::rename(file, destination, ec);
        if (ec) {
            throw FileError("The mosaic cannot be moved to " + destination.string() + ": " +
                            ec.message());
        }
        placed.push_back(fs::absolute(destination, ec).lexically_normal());
    }
    for (const fs::path &old : oldFiles) {
        const fs::path normal = fs::absolute(old, ec).lexically_normal();
        if (std::find(placed.begin(), placed.end(), normal) == placed.end()) {
            fs::remove(old, ec);
        }
    }
}

void Staging::Remove() noexcept {
    if (!m_folder.empty()) {
        std::error_code ec;
        fs::remove_all(m_folder, ec);
        m_folder.clear();
    }
    if (m_lock >= 0) {
        ::close(m_lock); // after the folder is gone: no other run may take it meanwhile
        m_lock = -1;
    }
}

std::vector<fs::path> LeftoverSideFiles(const fs::path &file) {
    std::vector<fs::path> candidates;
    for (const char *suffix : {".aux.xml", ".ovr", "w"}) {
        fs::path p = file;
        p += suffix;
        candidates.push_back(p);
    }
    for (const char *extension : {".aux", ".rrd", ".tfw", ".wld"}) {
        fs::path p = file;
        p.replace_extension(extension);
        candidates.push_back(p);
    }
    std::vector<fs::path> present;
    std::error_code ec;
    for (const fs::path &p : candidates) {
        if (fs::is_regular_file(p, ec)) {
            present.push_back(p);
        }
    }
    return present;
}

} // namespace tessaro::mosaic::detail
