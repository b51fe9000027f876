#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace tessaro::test {

inline std::string ReadFile(const std::filesystem::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::filesystem::path &p, const std::string &content) {
    std::ofstream out(p, std::ios::binary);
    out << content;
}

/// Every file and folder below a folder by its relative path, with a file's bytes ("/" for a
/// folder): a snapshot to compare before and after.
inline std::map<std::string, std::string> FolderContents(const std::filesystem::path &folder) {
    std::map<std::string, std::string> contents;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(folder)) {
        contents[std::filesystem::relative(entry.path(), folder).string()] =
            entry.is_regular_file() ? ReadFile(entry.path()) : "/";
    }
    return contents;
}

} // namespace tessaro::test
