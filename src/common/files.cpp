#include "common/files.h"

namespace tessaro {

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

} // namespace tessaro
