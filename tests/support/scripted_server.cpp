#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <cctype>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tessaro::test {

std::string ScriptedServer::Exchange::Header(const std::string &name) const {
    std::string lowerHead = head;
    std::string lowerName = name + ":";
    for (auto &c : lowerHead)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (auto &c : lowerName)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto pos = lowerHead.find("\r\n" + lowerName);
    if (pos == std::string::npos) {
        return {};
    }
    auto start = pos + 2 + lowerName.size();
    while (start < head.size() && head[start] == ' ')
        ++start;
    return head.substr(start, head.find("\r\n", start) - start);
}

std::string ScriptedServer::Exchange::Target() const {
    const auto first = head.find(' ');
    const auto second = head.find(' ', first + 1);
    return head.substr(first + 1, second - first - 1);
}

std::string ScriptedServer::Answer(int status, const std::string &type, const std::string &body) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

ScriptedServer::ScriptedServer(Handler handler) : m_handler(std::move(handler)) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(m_listen, 64) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    socklen_t len = sizeof addr;
    ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Serve(); });
}

ScriptedServer::~ScriptedServer() {
    m_stop = true;
    m_thread.join();
    for (auto &w : m_workers) {
        w.join();
    }
    ::close(m_listen);
}

std::vector<std::string> ScriptedServer::Requests() {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

void ScriptedServer::Serve() {
    while (!m_stop) {
        pollfd pfd{m_listen, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0) {
            continue;
        }
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        m_workers.emplace_back([this, fd] {
            std::string head;
            char buf[4096];
            // Bounded: a request head larger than 64 KiB or slower than 5 s is dropped.
            for (int rounds = 0; rounds < 100 && head.find("\r\n\r\n") == std::string::npos &&
                                 head.size() < 65536 && !m_stop;
                 ++rounds) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) {
                    continue;
                }
                const auto n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    break;
                }
                head.append(buf, static_cast<std::size_t>(n));
            }
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(head);
            }
            Exchange ex;
            ex.head = head;
            ex.send = [fd, this](const std::string &data) {
                if (m_stop)
                    return false;
                return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) ==
                       static_cast<ssize_t>(data.size());
            };
            m_handler(ex);
            ::shutdown(fd, SHUT_RDWR);
            ::close(fd);
        });
    }
}

} // namespace tessaro::test
