#include "support/http_client.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <stdexcept>

namespace tessaro::test {

namespace {

std::size_t Collect(char *data, std::size_t size, std::size_t count, void *target) {
    static_cast<std::string *>(target)->append(data, size * count);
    return size * count;
}

void Check(std::initializer_list<CURLcode> codes) {
    for (const CURLcode code : codes) {
        if (code != CURLE_OK) {
            throw std::runtime_error(std::string("curl: ") + curl_easy_strerror(code));
        }
    }
}

} // namespace

HttpResult HttpClient::Get(const std::string &url) const {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    const std::unique_ptr<CURL, void (*)(CURL *)> handle(curl_easy_init(), curl_easy_cleanup);
    CURL *curl = handle.get();
    if (curl == nullptr) {
        throw std::runtime_error("curl_easy_init failed");
    }
    HttpResult result;
    Check({curl_easy_setopt(curl, CURLOPT_URL, url.c_str()),
           curl_easy_setopt(curl, CURLOPT_PROXY, ""), // never a proxy from the environment
           curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L),
           curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 20'000L),
           curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect),
           curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body)});
    const auto start = std::chrono::steady_clock::now();
    result.curlCode = curl_easy_perform(curl);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    char *type = nullptr;
    Check({curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status),
           curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type)});
    result.contentType = type != nullptr ? type : "";
    return result;
}

} // namespace tessaro::test
