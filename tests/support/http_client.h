#pragma once

#include <chrono>
#include <string>

namespace tessaro::test {

/// What one GET gave.
struct HttpResult {
    int curlCode = 0;        ///< CURLcode; 0 when the transfer completed
    long status = 0;         ///< HTTP status, 0 when no answer came
    std::string contentType; ///< Content-Type of the answer
    std::string body;        ///< the bytes received
    std::chrono::milliseconds elapsed{0};
};

/// A libcurl client for tests: every request on a connection of its own and bounded by 20 s.
class HttpClient {
public:
    /// GETs url.
    [[nodiscard]] HttpResult Get(const std::string &url) const;
};

} // namespace tessaro::test
