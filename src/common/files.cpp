#include "common/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaro {

namespace {

std::uint64_t NameHash(std::string_view name) noexcept {
    std::uint64_t h = 1469598103934665603ULL; // FNV-1a
    for (unsigned char c : name) {
        h = (h ^ c) * 1099511628211ULL;
    }
    return h;
}

} // namespace

FolderIndex::~FolderIndex() {
    if (m_dirFd >= 0) {
        ::close(m_dirFd);
    }
}

void FolderIndex::Open(const std::filesystem::path &folder) {
    if (m_dirFd >= 0) {
        ::close(m_dirFd);
    }
    m_folder = folder;
    m_hashes.clear();
    m_indexed = false;
    m_dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_dirFd < 0) {
        return;
    }
    const int listFd = ::dup(m_dirFd);
    DIR *dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (dir == nullptr) {
        if (listFd >= 0) {
            ::close(listFd);
        }
        return;
    }
    bool tooMany = false;
    while (const dirent *entry = ::readdir(dir)) {
        if (m_hashes.size() >= kMaxIndexed) {
            tooMany = true;
            break;
        }
        m_hashes.push_back(NameHash(entry->d_name));
    }
    ::closedir(dir);
    if (tooMany) {
        m_hashes.clear();
        m_hashes.shrink_to_fit();
        return;
    }
    std::sort(m_hashes.begin(), m_hashes.end());
    m_indexed = true;
}

bool FolderIndex::ExistsAt(std::string_view name) const {
    std::string zname(name);
    struct stat st {};
    return ::fstatat(m_dirFd, zname.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode);
}

bool FolderIndex::Exists(const std::filesystem::path &folder, std::string_view name) {
    if (m_dirFd < 0 || folder != m_folder) {
        Open(folder);
    }
    if (m_dirFd < 0) {
        return false;
    }
    if (m_indexed && !std::binary_search(m_hashes.begin(), m_hashes.end(), NameHash(name))) {
        return false;
    }
    return ExistsAt(name);
}

bool MakeDir(const std::filesystem::path &dirName) noexcept {
    std::error_code ec;
    std::filesystem::create_directories(dirName, ec);
    if (ec) {
        return false;
    }
    return std::filesystem::is_directory(dirName, ec);
}

bool FileExists(const std::filesystem::path &path) noexcept {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

FolderHandle::FolderHandle(const std::filesystem::path &folder)
    : m_fd(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}

FolderHandle::~FolderHandle() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool FileExistsAt(int folder, const char *name) noexcept {
    struct stat st {};
    return ::fstatat(folder, name, &st, 0) == 0 && S_ISREG(st.st_mode);
}

std::string GetExtension(std::string_view fileName) {
    const auto dot = fileName.find('.');
    return dot == std::string_view::npos ? std::string() : std::string(fileName.substr(dot));
}

std::string WithTrailingSeparator(std::string_view folder) {
    std::string text(folder);
    if (text.empty() || text.back() != std::filesystem::path::preferred_separator) {
        text += std::filesystem::path::preferred_separator;
    }
    return text;
}

std::string WhyNotWritable(const std::filesystem::path &path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return "a folder of that name is in its place";
    }
    const auto folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    if (!std::filesystem::is_directory(folder, ec)) {
        return "its folder does not exist";
    }
    int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
        // No unnamed files here: a named one, removed at once.
        std::string name = (folder / ".tessaro-probe-XXXXXX").string();
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0) {
            ::unlink(name.c_str());
        }
    }
    if (fd < 0) {
        return std::error_code(errno, std::generic_category()).message();
    }
    ::close(fd);
    return {};
}

std::string ProgramPath() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.string();
}

} // namespace tessaro
