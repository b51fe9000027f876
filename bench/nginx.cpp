#include "nginx.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tessaro::bench {

namespace {

constexpr const char *kNginx = "/usr/sbin/nginx";

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    const int port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

} // namespace

bool NginxServer::Available() {
    return ::access(kNginx, X_OK) == 0;
}

NginxServer::NginxServer(const std::filesystem::path &root, const std::string &oneFile) {
    char pattern[] = "/tmp/tessaro-nginx-XXXXXX";
    m_work = ::mkdtemp(pattern);
    std::filesystem::create_directories(m_work / "logs");
    for (int attempt = 0; attempt < 5 && m_pid < 0; ++attempt) {
        m_port = FreePort();
        {
            std::ofstream conf(m_work / "nginx.conf");
            conf << (::geteuid() == 0 ? "user root;\n" : "") << "worker_processes 1;\n"
                 << "daemon off;\nmaster_process on;\n"
                 << "pid " << (m_work / "nginx.pid").string() << ";\n"
                 << "error_log " << (m_work / "logs" / "error.log").string() << " warn;\n"
                 << "events { worker_connections 1024; }\n"
                 << "http {\n  access_log off;\n  sendfile on;\n  tcp_nopush on;\n"
                 << "  keepalive_requests 1000000;\n  keepalive_timeout 60;\n"
                 << "  client_body_temp_path " << (m_work / "tmp").string() << ";\n"
                 << "  types { image/jpeg jpg; image/png png; }\n"
                 << "  server {\n    listen 127.0.0.1:" << m_port << ";\n"
                 << "    root " << root.string() << ";\n"
                 << (oneFile.empty() ? "    location ~ ^/m[0-9]+(/.*)$ { try_files $1 =404; }\n"
                                     : "    location / { try_files /" + oneFile + " =404; }\n")
                 << "  }\n}\n";
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            const std::string conf = (m_work / "nginx.conf").string();
            const std::string prefix = m_work.string() + "/";
            ::execl(kNginx, kNginx, "-p", prefix.c_str(), "-c", conf.c_str(), nullptr);
            ::_exit(127);
        }
        for (int i = 0; i < 100; ++i) {
            if (Accepts(m_port)) {
                m_pid = pid;
                break;
            }
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                break; // did not start (the port was taken meanwhile): try another
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (m_pid < 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    if (m_pid < 0) {
        throw std::runtime_error("nginx did not start; see " + (m_work / "logs").string());
    }
}

NginxServer::~NginxServer() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGQUIT);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(m_work, ec);
}

} // namespace tessaro::bench
