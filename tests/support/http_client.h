#pragma once

#include <chrono>
#include <string>

namespace tessaro::test {

/// What one GET gave.
struct HttpResult {
    int curlCode = 0;             ///< CURLcode; 0 when the transfer completed
    long status = 0;              ///< HTTP status, 0 when no answer came
    std::string contentType;      ///< Content-Type of the answer
    std::string body;             ///< the bytes received
    long long contentLength = -1; ///< Content-Length announced, -1 when none
    long newConnections = 0;      ///< connections opened for this request (0 when one was reused)
    std::chrono::milliseconds elapsed{0};
};

/// A libcurl client for tests: one easy handle, so consecutive requests reuse the connection
/// as the downloader's do. Every request is bounded by a time-out.
class HttpClient {
public:
    explicit HttpClient(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    HttpClient(const HttpClient &) = delete;
    HttpClient &operator=(const HttpClient &) = delete;
    ~HttpClient();

    /// GETs url.
    HttpResult Get(const std::string &url);

private:
    void *m_curl; // CURL*, kept out of the header so tests need not include curl.h
    std::chrono::milliseconds m_timeout;
};

} // namespace tessaro::test
