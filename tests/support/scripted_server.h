#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessaro::test {

/// A loopback HTTP server whose answers a test writes byte by byte, to play servers and proxies
/// that misbehave in ways a real server will not: answers in pieces, stalls, wrong lengths,
/// dropped connections, proxy authentication. One request per connection, each connection
/// answered by a thread of its own.
class ScriptedServer {
public:
    /// What the handler gets: the request head (request line and headers) and a way to write.
    struct Exchange {
        std::string head;
        std::function<bool(const std::string &)> send; ///< false once the client is gone
        /// Value of a request header (case-insensitive name), or empty.
        [[nodiscard]] std::string Header(const std::string &name) const;
        /// The request target of the request line.
        [[nodiscard]] std::string Target() const;
    };
    using Handler = std::function<void(Exchange &)>;

    explicit ScriptedServer(Handler handler);
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;
    ~ScriptedServer();

    [[nodiscard]] std::string Url(const std::string &path = "/") const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    /// Request heads seen so far.
    [[nodiscard]] std::vector<std::string> Requests();

    /// An answer with a status, a content type and a body.
    static std::string Answer(int status, const std::string &type, const std::string &body);

private:
    void Serve(int fd);

    Handler m_handler;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread; ///< accepts connections
    std::mutex m_mutex;   ///< guards m_requests
    std::vector<std::string> m_requests;
    std::vector<std::thread> m_workers;
};

} // namespace tessaro::test
