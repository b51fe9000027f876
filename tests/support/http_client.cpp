#include "support/http_client.h"

#include <curl/curl.h>

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

HttpResult HttpClient::Get(const std::string &url) {
    CURL *curl = Handle(m_curl);
    HttpResult result;
    Check(curl_easy_setopt(curl, CURLOPT_URL, url.c_str()));
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
    return result;
}

} // namespace tessaro::test
