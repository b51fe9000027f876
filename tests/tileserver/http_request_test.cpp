#include "tileserver/http_request.h"

#include <gtest/gtest.h>

#include <string>

using namespace tessaro::tileserver;

namespace {

constexpr std::size_t kLimit = 1024;

HeadResult Parse(const std::string &text) {
    return ParseRequestHead(text, kLimit);
}

// What a head gives: method, target (absolute ones cut to their path), body length, whether the
// connection stays open, and the bytes it takes; bare line feeds and leading blank lines pass.
TEST(RequestHead, CompleteHeadsGiveTheirRequest) {
    struct Case {
        std::string text;
        const char *method;
        const char *target;
        std::size_t contentLength;
        bool keepAlive;
        std::size_t consumed;
    };
    const Case cases[] = {
        {"GET /kh/v=40&x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\nGET /next", "GET", "/kh/v=40&x=1", 0,
         true, 46},
        {"\r\n\nGET /a HTTP/1.1\nHost: a\n\n", "GET", "/a", 0, true, 28},
        {"GET http://127.0.0.1:8080/m2/kh/v=1 HTTP/1.1\r\n\r\n", "GET", "/m2/kh/v=1", 0, true, 48},
        {"GET http://127.0.0.1:8080 HTTP/1.1\r\n\r\n", "GET", "/", 0, true, 38},
        {"POST /x HTTP/1.1\r\nContent-Length: 12\r\ncontent-length: 12\r\n\r\n", "POST", "/x", 12,
         true, 60},
        {"GET / HTTP/1.1\r\nconnection:   CLOSE  \r\n\r\n", "GET", "/", 0, false, 41},
        {"GET / HTTP/1.1\r\nConnection: keep-alive, Close\r\n\r\n", "GET", "/", 0, false, 49},
        {"GET / HTTP/1.1\r\nConnection: Upgrade\r\n\r\n", "GET", "/", 0, true, 39},
        {"GET / HTTP/1.0\r\n\r\n", "GET", "/", 0, false, 18},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", "GET", "/", 0, true, 42},
        {"GET / HTTP/1.0\r\nConnection: keep-alive, close\r\n\r\n", "GET", "/", 0, false, 49},
    };
    for (const auto &c : cases) {
        const auto r = Parse(c.text);
        ASSERT_EQ(r.status, HeadStatus::Complete) << c.text;
        EXPECT_EQ(r.request.method, c.method);
        EXPECT_EQ(r.request.target, c.target);
        EXPECT_EQ(r.request.contentLength, c.contentLength);
        EXPECT_EQ(r.request.keepAlive, c.keepAlive) << c.text;
        EXPECT_EQ(r.consumed, c.consumed) << c.text;
        for (std::size_t n = 0; n < r.consumed; ++n) {
            ASSERT_EQ(Parse(c.text.substr(0, n)).status, HeadStatus::Incomplete) << n << c.text;
        }
    }
}

TEST(RequestHead, MalformedHeadsAreRefusedWithTheirStatus) {
    const std::pair<std::string, int> cases[] = {
        {"hello\r\n\r\n", 400},
        {"GET /\r\n\r\n", 400},
        {"GET  / HTTP/1.1\r\n\r\n", 400},
        {"GET / HTTP/1.1 extra\r\n\r\n", 400},
        {"G(T / HTTP/1.1\r\n\r\n", 400},
        {"GET nopath HTTP/1.1\r\n\r\n", 400},
        {"GET /a\x01 HTTP/1.1\r\n\r\n", 400},
        {std::string("GET /a HTTP/1.1\r\nX: a\0b\r\n\r\n", 27), 400},
        {"GET / HTTP/1.1\r\nno colon here\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nX: a\r\n folded\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\n: empty name\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nContent-Length: 5x\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
        {"GET / HTTP/2.0\r\n\r\n", 505},
        {"GET / FTP/1.0\r\n\r\n", 400},
        {"\x16\x03\x01\x02\x05\x01\x07\x01\xfc\x03\x03\n\n", 400},
    };
    for (const auto &[text, status] : cases) {
        const auto r = Parse(text);
        EXPECT_EQ(r.status, HeadStatus::Bad) << text;
        EXPECT_EQ(r.errorStatus, status) << text;
    }
}

TEST(RequestHead, HeadsBeyondTheLimitAreTooLarge) {
    const std::string big = "GET / HTTP/1.1\r\nX: " + std::string(kLimit, 'a');
    EXPECT_EQ(Parse(big).errorStatus, 431);                       // no end in sight
    EXPECT_EQ(Parse(big + "\r\n\r\n").errorStatus, 431);          // complete but too long
    EXPECT_EQ(Parse(std::string(kLimit, '\n')).errorStatus, 431); // endless blank lines
    EXPECT_EQ(Parse(std::string(kLimit - 1, 'x')).status, HeadStatus::Incomplete);
    const std::string fits = "GET / HTTP/1.1\r\nX: " + std::string(kLimit - 23, 'a') + "\r\n\r\n";
    ASSERT_EQ(fits.size(), kLimit);
    EXPECT_EQ(Parse(fits).status, HeadStatus::Complete);
    EXPECT_EQ(Parse("GET / HTTP/1.1\r\nX: a" + fits.substr(19)).errorStatus, 431); // one more
}

} // namespace
