#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace tessaro::test {

/// Sets an environment variable (or removes it, given nothing) for the life of the guard and
/// restores it afterwards.
class EnvGuard {
public:
    EnvGuard(std::string name, const std::optional<std::string> &value) : m_name(std::move(name)) {
        if (const char *old = std::getenv(m_name.c_str())) {
            m_old = old;
        }
        Set(value);
    }
    EnvGuard(const EnvGuard &) = delete;
    EnvGuard &operator=(const EnvGuard &) = delete;
    ~EnvGuard() { Set(m_old); }

private:
    void Set(const std::optional<std::string> &value) {
        value ? ::setenv(m_name.c_str(), value->c_str(), 1) : ::unsetenv(m_name.c_str());
    }
    std::string m_name;
    std::optional<std::string> m_old;
};

} // namespace tessaro::test
