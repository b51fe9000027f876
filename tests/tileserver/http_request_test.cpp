#include "tileserver/http_request.h"

#include <gtest/gtest.h>

#include <string>

using namespace tessaro::tileserver;

namespace {

constexpr std::size_t kLimit = 1024;

HeadResult Parse(const std::string &text, std::size_t limit = kLimit) {
    return ParseRequestHead(text, limit);
}

TEST(RequestHead, PartsOfAHeadAskForMore) {
    const std::string head = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
    for (std::size_t n = 0; n < head.size(); ++n) {
        EXPECT_EQ(Parse(head.substr(0, n)).status, HeadStatus::Incomplete) << n;
    }
    EXPECT_EQ(Parse(head).status, HeadStatus::Complete);
}

// What a head gives: method, target (absolute ones cut to their path), body length, and the bytes
// it takes, with bare line feeds and leading blank lines accepted.
TEST(RequestHead, CompleteHeadsGiveTheirRequest) {
    struct Case {
        std::string text;
        const char *method;
        const char *target;
        std::size_t contentLength;
        std::size_t consumed;
    };
    const Case cases[] = {
        {"GET /kh/v=40&x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\nGET /next", "GET", "/kh/v=40&x=1", 0,
         46},
        {"\r\n\nGET /a HTTP/1.1\nHost: a\n\n", "GET", "/a", 0, 28},
        {"GET http://127.0.0.1:8080/m2/kh/v=1 HTTP/1.1\r\n\r\n", "GET", "/m2/kh/v=1", 0, 48},
        {"GET http://127.0.0.1:8080 HTTP/1.1\r\n\r\n", "GET", "/", 0, 38},
        {"POST /x HTTP/1.1\r\nContent-Length: 12\r\ncontent-length: 12\r\n\r\n", "POST", "/x", 12,
         60},
    };
    for (const auto &c : cases) {
        const auto r = Parse(c.text);
        ASSERT_EQ(r.status, HeadStatus::Complete) << c.text;
        EXPECT_EQ(r.request.method, c.method);
        EXPECT_EQ(r.request.target, c.target);
        EXPECT_EQ(r.request.contentLength, c.contentLength);
        EXPECT_EQ(r.consumed, c.consumed) << c.text;
    }
}

TEST(RequestHead, ConnectionPersistenceFollowsVersionAndHeader) {
    struct Case {
        const char *text;
        bool keepAlive;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", true},
        {"GET / HTTP/1.1\r\nConnection: close\r\n\r\n", false},
        {"GET / HTTP/1.1\r\nconnection:   CLOSE  \r\n\r\n", false},
        {"GET / HTTP/1.1\r\nConnection: keep-alive, Close\r\n\r\n", false},
        {"GET / HTTP/1.1\r\nConnection: Upgrade\r\n\r\n", true},
        {"GET / HTTP/1.0\r\n\r\n", false},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", true},
    };
    for (const auto &c : cases) {
        const auto r = Parse(c.text);
        ASSERT_EQ(r.status, HeadStatus::Complete) << c.text;
        EXPECT_EQ(r.request.keepAlive, c.keepAlive) << c.text;
    }
}

TEST(RequestHead, MalformedHeadsAreRefusedWithTheirStatus) {
    struct Case {
        std::string text;
        int status;
    };
    const Case cases[] = {
        {"hello\r\n\r\n", 400},
        {"GET /\r\n\r\n", 400},
        {"GET  / HTTP/1.1\r\n\r\n", 400},
        {"GET / HTTP/1.1 extra\r\n\r\n", 400},
        {"G(T / HTTP/1.1\r\n\r\n", 400},
        {"GET nopath HTTP/1.1\r\n\r\n", 400},
        {std::string("GET /a\x01 HTTP/1.1\r\n\r\n"), 400},
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
    for (const auto &c : cases) {
        const auto r = Parse(c.text);
        EXPECT_EQ(r.status, HeadStatus::Bad) << c.text;
        EXPECT_EQ(r.errorStatus, c.status) << c.text;
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
}

} // namespace
