#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace tessaro::test {

/// A fresh folder under the system's temporary folder, removed with everything in it (also
/// when a test made it read-only).
class TempDir {
public:
    TempDir() {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tessaro-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        }
        m_path = pattern;
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    ~TempDir() {
        std::error_code ec;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(m_path, ec);
    }

    [[nodiscard]] const std::filesystem::path &Path() const noexcept { return m_path; }
    [[nodiscard]] std::filesystem::path operator/(const std::string &name) const {
        return m_path / name;
    }

private:
    std::filesystem::path m_path;
};

} // namespace tessaro::test
