#include "support/scripted_server.h"

#include <netinet/in.h>
#include <regex>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tessaro::test {

std::string ScriptedServer::Exchange::Header(const std::string &name) const {
    std::smatch match;
    const std::regex line("\r\n" + name + ": *([^\r]*)", std::regex::icase);
    return std::regex_search(head, match, line) ? match[1].str() : "";
}

std::string ScriptedServer::Exchange::Target() const {
    const auto first = head.find(' ');
    return head.substr(first + 1, head.find(' ', first + 1) - first - 1);
}

std::string ScriptedServer::Answer(int status, const std::string &type, const std::string &body) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

ScriptedServer::ScriptedServer(Handler handler) : m_handler(std::move(handler)) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto *generic = reinterpret_cast<sockaddr *>(&address); // how the socket API takes addresses
    if (::bind(m_listen, generic, length) != 0 || ::listen(m_listen, 64) != 0 ||
        ::getsockname(m_listen, generic, &length) != 0) {
        ::close(m_listen);
        throw std::runtime_error("cannot listen on loopback");
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] {
        // Accepts until the destructor shuts the listening socket down.
        for (int fd; (fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || !m_stop;) {
            if (fd >= 0) {
                m_workers.emplace_back([this, fd] { Serve(fd); });
            }
        }
    });
}

ScriptedServer::~ScriptedServer() {
    m_stop = true;
    ::shutdown(m_listen, SHUT_RDWR);
    m_thread.join();
    for (auto &worker : m_workers) {
        worker.join();
    }
    ::close(m_listen);
}

std::vector<std::string> ScriptedServer::Requests() {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

void ScriptedServer::Serve(int fd) {
    // The request head, taken as it is once it passes 64 KiB or the client is silent for 5 s.
    Exchange exchange;
    const timeval patience{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    char buffer[4096];
    ssize_t n = 0;
    while (exchange.head.find("\r\n\r\n") == std::string::npos && exchange.head.size() < 65536 &&
           (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        exchange.head.append(buffer, static_cast<std::size_t>(n));
    }
    {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(exchange.head);
    }
    exchange.send = [fd, this](const std::string &data) {
        return !m_stop && ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) ==
                              static_cast<ssize_t>(data.size());
    };
    m_handler(exchange);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

} // namespace tessaro::test
