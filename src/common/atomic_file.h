#pragma once

#include "common/error.h"

#include <cassert>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaro {

/// Buffered writing to a file descriptor, with every short write and error handled.
class FdWriter {
public:
    /// Writes to fd, which the writer does not own. name is used in error messages.
    FdWriter(int fd, std::string name, std::size_t bufferSize = 1 << 16);
    FdWriter(const FdWriter &) = delete;
    FdWriter &operator=(const FdWriter &) = delete;
    ~FdWriter() = default;

    /// Appends data, flushing the buffer when it is full.
    /// @throws tessaro::FileError when the system refuses the data (a full disk gives DiskFull).
    void Write(std::string_view data);
    /// Returns the buffer to append to directly; call MaybeFlush after appending.
    std::string &Buffer() noexcept { return m_buffer; }
    /// Flushes when the buffer has grown past its size.
    void MaybeFlush() {
        if (m_buffer.size() >= m_limit) {
            Flush();
        }
    }
    /// Writes out everything buffered. @throws tessaro::FileError
    void Flush();

private:
    int m_fd;
    std::string m_name;
    std::size_t m_limit;
    std::string m_buffer;
};

/// A file that appears only complete: written under a unique temporary name in the target's
/// folder and renamed over the target by Commit. Destroyed without Commit, it removes the
/// temporary file and leaves any earlier target untouched.
class AtomicFile {
public:
    /// What Commit does when the target exists by then.
    enum class Mode {
        Replace,   ///< the new file takes the place of the old one
        CreateNew, ///< Commit fails with TargetExists and the old file stays
        Numbered,  ///< Commit takes the first name not taken of name.ext, name_2.ext, ...
    };

    /// What the temporary file is.
    enum class Temporary {
        Unnamed, ///< an unnamed file where the file system offers them (one directory entry in all)
        Named,   ///< a uniquely named hidden file, for writers that need a path to write to
    };

    /// Creates the temporary file beside target (a named one where unnamed files are not
    /// offered). @throws tessaro::FileError when the folder does not exist or refuses the file.
    explicit AtomicFile(std::filesystem::path target, Mode mode = Mode::Replace,
                        Temporary temporary = Temporary::Unnamed);
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;
    ~AtomicFile();

    /// Appends data. @throws tessaro::FileError
    void Write(std::string_view data) { m_writer->Write(data); }
    /// The writer, for callers that append to its buffer directly.
    FdWriter &Writer() noexcept { return *m_writer; }
    /// Names another target in the same folder, before Commit: a file whose type shows only
    /// once it is written (a tile whose extension follows the image the server sent).
    /// @pre target lies in the folder of the first target
    void Retarget(std::filesystem::path target) {
        assert(target.parent_path() == m_target.parent_path());
        m_target = std::move(target);
    }

    /// Flushes, closes and puts the file into place. @throws TargetExists (CreateNew mode) or
    /// tessaro::FileError
    void Commit();

    /// Thrown by Commit in CreateNew mode when the target exists.
    class TargetExists : public FileError {
    public:
        using FileError::FileError;
    };

    /// The file's name; after a Commit in Numbered mode, the name it got.
    [[nodiscard]] const std::filesystem::path &Target() const noexcept { return m_target; }
    /// The temporary file's path; empty for an unnamed one.
    [[nodiscard]] const std::filesystem::path &TemporaryPath() const noexcept { return m_temp; }

private:
    // Puts the written file in place under m_target as mode says (Replace or CreateNew).
    void Place(Mode mode);

    std::filesystem::path m_target;
    std::filesystem::path m_temp; // empty for an unnamed file
    Mode m_mode;
    int m_fd = -1;
    std::unique_ptr<FdWriter> m_writer;
    bool m_committed = false;
};

/// Puts small files whole into folders from memory with few system calls: each file is written
/// to an unnamed file of its folder and linked in under its name through a descriptor of the
/// folder kept open, so that a name appears only with its whole content (four calls a file).
/// Where the file system has no unnamed files, AtomicFile's hidden temporary names serve
/// instead. One object per thread.
class FolderFiles {
public:
    FolderFiles() = default;
    FolderFiles(const FolderFiles &) = delete;
    FolderFiles &operator=(const FolderFiles &) = delete;
    ~FolderFiles();

    /// Writes a file unless one of that name exists (checked atomically when it is put in
    /// place); returns false when one did. @throws tessaro::FileError
    bool WriteNew(const std::filesystem::path &path, std::string_view content) {
        return Put(path, content, false);
    }
    /// Writes a file, replacing one of that name. @throws tessaro::FileError
    void Write(const std::filesystem::path &path, std::string_view content) {
        Put(path, content, true);
    }

private:
    // lookAgain: a folder held open that was removed meanwhile is looked up once more.
    bool Put(const std::filesystem::path &path, std::string_view content, bool replace,
             bool lookAgain = true);
    // A descriptor of the folder, kept for the files to come; -1 when it cannot be opened.
    int FolderOf(std::string_view folder);
    void CloseFolders() noexcept;

    static constexpr std::size_t kMaxFolders = 64; // a template source writes one per column
    std::vector<std::pair<std::string, int>> m_folders;
    bool m_unnamedOffered = true;
};

/// Writes content to path through an AtomicFile. @throws tessaro::FileError
void WriteFileAtomically(const std::filesystem::path &path, std::string_view content);

/// Writes content to path through an AtomicFile unless a file of that name exists (checked
/// atomically at the end). Returns true when it wrote the file. @throws tessaro::FileError
bool WriteNewFileAtomically(const std::filesystem::path &path, std::string_view content);

/// Removes the hidden temporary files that AtomicFile left in a folder, and in the folders
/// directly inside it, for processes that are gone: ".name.part-PID-N-R" files of a run that
/// was killed while writing on a file system without unnamed temporary files. The files of
/// processes still running stay. Where the file system offers unnamed temporary files, which a
/// killed run does not leave behind, nothing is looked at. Failures are ignored: what cannot
/// be removed stays. Returns the number of files removed.
///
/// Complexity: one probe where unnamed files are offered; otherwise one listing of the folder
/// and of each folder in it.
std::size_t RemoveDeadTemporaries(const std::filesystem::path &folder) noexcept;

namespace detail {
/// RemoveDeadTemporaries without the probe: looks in the folder whatever its file system.
std::size_t RemoveTemporariesOfGoneProcesses(const std::filesystem::path &folder) noexcept;
} // namespace detail

/// Returns the system's text for an errno value ("No space left on device").
[[nodiscard]] std::string SystemErrorText(int errnum);

} // namespace tessaro
