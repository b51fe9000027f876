#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tessaro {

/// Creates every missing folder along a path. Returns false when a folder could not be created.
[[nodiscard]] bool MakeDir(const std::filesystem::path &dirName) noexcept;

/// Returns true when a regular file (not a folder) exists at the path.
[[nodiscard]] bool FileExists(const std::filesystem::path &path) noexcept;

/// Returns the part of a file name from its first "." to the end, dot included; empty when
/// the name has no dot.
[[nodiscard]] std::string GetExtension(std::string_view fileName);

/// Returns the text of a folder path ending with the platform separator.
[[nodiscard]] std::string WithTrailingSeparator(std::string_view folder);

} // namespace tessaro
