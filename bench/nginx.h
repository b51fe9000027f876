#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace tessaro::bench {

/// nginx serving a folder on a free loopback port, started by the test and stopped with it.
/// Requests for "/m<k>/<path>" are answered from "<folder>/<path>", so that the four mirror
/// prefixes of the program all reach the same files.
class NginxServer {
public:
    /// Returns true when an nginx binary is installed.
    static bool Available();

    /// Serves root. With oneFile set, every request is answered with that file of root instead
    /// (a server of identical tiles for benchmarks).
    explicit NginxServer(const std::filesystem::path &root, const std::string &oneFile = {});
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;
    ~NginxServer();

    [[nodiscard]] int Port() const noexcept { return m_port; }
    [[nodiscard]] std::string BaseUrl() const {
        return "http://127.0.0.1:" + std::to_string(m_port);
    }

private:
    std::filesystem::path m_work;
    int m_port = 0;
    pid_t m_pid = -1;
};

} // namespace tessaro::bench
