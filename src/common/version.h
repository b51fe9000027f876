#pragma once

#include <string_view>

namespace tessaro {

/// The program's version, as `tessaro --version` and the User-Agent of its requests name it.
inline constexpr std::string_view kVersion = "0.1.0";

} // namespace tessaro
