#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaro {

/// Creates every missing folder along a path. Returns false when a folder could not be created.
[[nodiscard]] bool MakeDir(const std::filesystem::path &dirName) noexcept;

/// Returns true when a regular file (not a folder) exists at the path.
[[nodiscard]] bool FileExists(const std::filesystem::path &path) noexcept;

/// A folder held open for lookups of the names in it (O_PATH); Fd() is -1 when it could not
/// be opened.
class FolderHandle {
public:
    FolderHandle() = default;
    explicit FolderHandle(const std::filesystem::path &folder);
    FolderHandle(FolderHandle &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    FolderHandle &operator=(FolderHandle &&other) noexcept {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    ~FolderHandle();
    [[nodiscard]] int Fd() const noexcept { return m_fd; }

private:
    int m_fd = -1;
};

/// FileExists for a file of a folder held open (a descriptor from open with O_PATH or
/// O_RDONLY): one lookup of the name alone, not of every folder on the way.
[[nodiscard]] bool FileExistsAt(int folder, const char *name) noexcept;

/// Returns the part of a file name from its first "." to the end, dot included; empty when
/// the name has no dot.
[[nodiscard]] std::string GetExtension(std::string_view fileName);

/// Answers whether regular files of given names exist in a folder, for runs that ask about
/// many names in few folders. A folder is read once when it is first asked about, keeping only
/// a hash per name; a name whose hash is known is confirmed on disk, so answers are exact.
/// Folders with more than kMaxIndexed entries are asked name by name instead.
///
/// Memory: 8 bytes per entry of the current folder, at most kMaxIndexed entries.
class FolderIndex {
public:
    static constexpr std::size_t kMaxIndexed = 4'000'000;

    FolderIndex() = default;
    FolderIndex(const FolderIndex &) = delete;
    FolderIndex &operator=(const FolderIndex &) = delete;
    ~FolderIndex();

    /// True when folder/name is a regular file (or a link to one).
    [[nodiscard]] bool Exists(const std::filesystem::path &folder, std::string_view name);

private:
    void Open(const std::filesystem::path &folder);
    bool ExistsAt(std::string_view name) const;

    std::filesystem::path m_folder;
    int m_dirFd = -1;
    bool m_indexed = false;
    std::vector<std::uint64_t> m_hashes; // sorted
};

/// Returns the text of a folder path ending with the platform separator.
[[nodiscard]] std::string WithTrailingSeparator(std::string_view folder);

/// Why no file could be written at path, or empty when one could: a folder stands in its
/// place, its folder is missing, or the folder takes no new file (read-only, no permission,
/// full). The folder is tried with a file that leaves no trace.
[[nodiscard]] std::string WhyNotWritable(const std::filesystem::path &path);

/// The path of the running program, for the error report of procedures that name their module;
/// empty when the system does not tell it.
[[nodiscard]] std::string ProgramPath();

} // namespace tessaro
