#pragma once

#include <filesystem>
#include <fstream>
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

} // namespace tessaro::test
