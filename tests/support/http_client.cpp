#include "support/http_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <stdexcept>

namespace tessaro::test {

namespace {

using Clock = std::chrono::steady_clock;

CURL *Handle(void *p) {
    return static_cast<CURL *>(p);
}

std::size_t Collect(char *data, std::size_t size, std::size_t count, void *target) {
    static_cast<std::string *>(target)->append(data, size * count);
    return size * count;
}

void Check(CURLcode code) {
    if (code != CURLE_OK) {
        throw std::runtime_error(std::string("curl: ") + curl_easy_strerror(code));
    }
}

struct SlistGuard {
    curl_slist *list = nullptr;
    SlistGuard() = default;
    SlistGuard(const SlistGuard &) = delete;
    SlistGuard &operator=(const SlistGuard &) = delete;
    ~SlistGuard() { curl_slist_free_all(list); }
};

} // namespace

HttpClient::HttpClient(std::chrono::milliseconds timeout) : m_curl(nullptr), m_timeout(timeout) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    m_curl = curl_easy_init();
    if (m_curl == nullptr) {
        throw std::runtime_error("curl_easy_init failed");
    }
}

HttpClient::~HttpClient() {
    curl_easy_cleanup(Handle(m_curl));
}

HttpResult HttpClient::Get(const std::string &url, const std::vector<std::string> &headers) {
    CURL *curl = Handle(m_curl);
    HttpResult result;
    SlistGuard list;
    for (const auto &h : headers) {
        curl_slist *grown = curl_slist_append(list.list, h.c_str());
        if (grown == nullptr) {
            throw std::runtime_error("curl_slist_append failed");
        }
        list.list = grown;
    }
    Check(curl_easy_setopt(curl, CURLOPT_URL, url.c_str()));
    Check(curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.list));
    Check(curl_easy_setopt(curl, CURLOPT_PROXY, "")); // never a proxy from the environment
    Check(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
    Check(curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(m_timeout.count())));
    Check(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect));
    Check(curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body));
    const auto start = Clock::now();
    result.curlCode = curl_easy_perform(curl);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    Check(curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status));
    char *type = nullptr;
    Check(curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type));
    result.contentType = type != nullptr ? type : "";
    curl_off_t length = -1;
    Check(curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length));
    result.contentLength = length;
    Check(curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &result.newConnections));
    Check(curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr));
    return result;
}

int ConnectLoopback(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The socket API takes every address type through sockaddr.
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("connect to the tile server failed");
    }
    return fd;
}

bool WaitForClose(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::array<char, 4096> buffer{};
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        const auto n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            return true;
        }
    }
}

std::string RawExchange(unsigned short port, const std::string &request, bool &closed,
                        std::chrono::milliseconds timeout, bool halfClose) {
    const int fd = ConnectLoopback(port);
    std::string_view rest = request;
    while (!rest.empty()) {
        const auto n = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            break; // the server may close early on garbage; read what it answered
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    if (halfClose) {
        ::shutdown(fd, SHUT_WR);
    }
    std::string received;
    closed = false;
    const auto deadline = Clock::now() + timeout;
    std::array<char, 16384> buffer{};
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        const auto n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n > 0) {
            received.append(buffer.data(), static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        closed = true;
        break;
    }
    ::close(fd);
    return received;
}

} // namespace tessaro::test
