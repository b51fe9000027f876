#include "tileserver/tile_server.h"

#include "common/error.h"
#include "support/http_client.h"
#include "support/image_decode.h"
#include "tileserver/tile_code.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

using tessaro::test::ConnectLoopback;
using tessaro::test::DecodedImage;
using tessaro::test::DecodeImage;
using tessaro::test::HttpClient;
using tessaro::test::HttpResult;
using tessaro::test::RawExchange;
using tessaro::test::WaitForClose;
using tessaro::tiles::TilesType;
using namespace tessaro::tileserver;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// A tile that every fault test asks for, and its address.
constexpr const char *kTileTarget = "/m0/kh/v=40&x=3&y=2&zoom=15&s=Gal";
const TileCode kTile{TilesType::GoogleSat, 3, 2, 15};

std::string GoogleTarget(int mirror, int x, int y) {
    return "/m" + std::to_string(mirror) + "/kh/v=40&x=" + std::to_string(x) +
           "&y=" + std::to_string(y) + "&zoom=10&s=G";
}

// Decodes the body and checks it is the expected tile in the expected format.
void ExpectTile(const HttpResult &r, const TileCode &expected) {
    ASSERT_EQ(r.curlCode, CURLE_OK);
    ASSERT_EQ(r.status, 200);
    const DecodedImage image = DecodeImage(r.body);
    ASSERT_EQ(image.width, kTileSize);
    ASSERT_EQ(image.height, kTileSize);
    const auto decoded = DecodeTileImage({image.rgb.data(), image.width, image.height, 0});
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, expected);
}

// Waits until data can be read from fd; false when the time-out passes first.
bool DataArrives(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

// Waits, bounded, until the condition holds.
template <typename Condition> bool WaitUntil(Condition condition) {
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

std::size_t CountEntries(const char *folder) {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                  std::filesystem::directory_iterator{}));
}

class TileServerTest : public ::testing::Test {
protected:
    void SetUp() override { server.Start(); }

    [[nodiscard]] std::string Url(const std::string &target) const {
        return server.BaseUrl() + target;
    }

    TileServer server;
    HttpClient client;
};

TEST_F(TileServerTest, ListensOnLoopbackAtThePortItReports) {
    EXPECT_NE(server.Port(), 0);
    EXPECT_EQ(server.BaseUrl(), "http://127.0.0.1:" + std::to_string(server.Port()));
    ExpectTile(client.Get(Url(kTileTarget)), kTile);
}

TEST_F(TileServerTest, EveryAddressFormAnswersItsTileInItsFormat) {
    struct Form {
        const char *target;
        TileCode tile;
        bool png;
    };
    const Form forms[] = {
        {"/m0/kh/v=40&x=3&y=2&zoom=15&s=Gal", {TilesType::GoogleSat, 3, 2, 15}, false},
        {"/m1/vt/v=w2.97&hl=ru&x=1&y=0&zoom=16&s=Gal", {TilesType::GoogleMap, 1, 0, 16}, true},
        {"/m2/mt/v=w2p.87&hl=ru&x=1&y=4&zoom=14&s=Galileo",
         {TilesType::GoogleLand, 1, 4, 14},
         false},
        {"/v=18&x=3&y=2&zoom=15&s=Gal", {TilesType::GoogleSat, 3, 2, 15}, false},
        {"/printtilesrescaled/?t=image_&zt=n&x=-3&y=5&z=10",
         {TilesType::ScanSat, -3, 5, 10},
         false},
        {"/m3/printtilesrescaled/?t=map&zt=n&x=-3&y=5&z=10",
         {TilesType::ScanMap, -3, 5, 10},
         false},
        {"/m3/tiles?l=sat&v=1.6.0&x=3&y=5&z=10", {TilesType::YandSat, 3, 5, 10}, false},
        {"/tiles?l=map&v=2.2.1&x=3&y=5&z=10", {TilesType::YandMap, 3, 5, 10}, true},
        {"/layer/relief/z5/row9/5_17-9.jpg", {TilesType::Shade, 17, 9, 5}, false},
        {"/kh/kh?n=404&v=40&t=trt", {TilesType::GoogleSat, 2, 1, 15}, false},
        {"/vt/mt?n=404&v=w2.97&hl=ru&x=1&y=2&zoom=15", {TilesType::GoogleMap, 1, 2, 15}, true},
        {"/vt/mt?n=404&v=w2p.87&hl=ru&x=1&y=2&zoom=15", {TilesType::GoogleLand, 1, 2, 15}, false},
        {"/printtilesrescaled/?t=image_&zt=n&x=-97839.3962050256&y=215246.671651056&z=10",
         {TilesType::ScanSat, -3, 5, 10},
         false},
    };
    for (const auto &form : forms) {
        SCOPED_TRACE(form.target);
        const auto r = client.Get(Url(form.target));
        ExpectTile(r, form.tile);
        EXPECT_EQ(r.contentType, form.png ? "image/png" : "image/jpeg");
        EXPECT_EQ(r.contentLength, static_cast<long long>(r.body.size()));
        const DecodedImage image = DecodeImage(r.body);
        if (form.png) {
            EXPECT_EQ(image.format, DecodedImage::Format::Png);
            EXPECT_EQ(image.pngColourType, 3);
        } else {
            EXPECT_EQ(image.format, DecodedImage::Format::Jpeg);
            EXPECT_FALSE(image.jpegProgressive);
        }
    }
    EXPECT_EQ(server.Stats().tiles, std::size(forms));
}

TEST_F(TileServerTest, UnknownTargetsGet404WithAShortText) {
    for (const char *target :
         {"/", "/favicon.ico", "/kh/v=40&x=9&y=0&zoom=15&s=G", "/tiles?l=sat&v=1.6.0&x=0&y=0"}) {
        const auto r = client.Get(Url(target));
        EXPECT_EQ(r.curlCode, CURLE_OK) << target;
        EXPECT_EQ(r.status, 404) << target;
        EXPECT_EQ(r.contentType, "text/plain");
        EXPECT_EQ(r.body, "No tile at this address.\n");
    }
    EXPECT_EQ(server.Stats().notFound, 4u);
    EXPECT_EQ(server.Stats().connections, 1u); // a 404 keeps the connection
}

TEST_F(TileServerTest, ConnectionsAreKeptAliveAndReused) {
    for (int i = 0; i < 5; ++i) {
        const auto r = client.Get(Url(GoogleTarget(i % 4, i, 1)));
        ExpectTile(r, {TilesType::GoogleSat, i, 1, 10});
        EXPECT_EQ(r.newConnections, i == 0 ? 1 : 0) << i;
    }
    EXPECT_EQ(server.Stats().connections, 1u);
    EXPECT_EQ(server.Stats().requests, 5u);
}

TEST_F(TileServerTest, ConnectionCloseIsHonoured) {
    const auto first = client.Get(Url(kTileTarget), {"Connection: close"});
    ExpectTile(first, kTile);
    const auto second = client.Get(Url(kTileTarget));
    EXPECT_EQ(second.newConnections, 1);
    EXPECT_EQ(server.Stats().connections, 2u);

    bool closed = false;
    const auto raw = RawExchange(server.Port(),
                                 std::string("GET ") + kTileTarget +
                                     " HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n",
                                 closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(raw.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(raw.find("\r\nConnection: close\r\n"), std::string::npos);
}

TEST_F(TileServerTest, Http10ClosesUnlessAskedToKeepAlive) {
    bool closed = false;
    const auto raw =
        RawExchange(server.Port(), std::string("GET ") + kTileTarget + " HTTP/1.0\r\n\r\n", closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(raw.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

    const auto kept = RawExchange(server.Port(),
                                  std::string("GET ") + kTileTarget +
                                      " HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
                                  closed, 1500ms);
    EXPECT_FALSE(closed);
    EXPECT_NE(kept.find("\r\nConnection: keep-alive\r\n"), std::string::npos);
}

TEST_F(TileServerTest, PipelinedRequestsAreAnsweredInOrder) {
    bool closed = false;
    const auto raw = RawExchange(server.Port(),
                                 "GET /nothing HTTP/1.1\r\n\r\nGET " + std::string(kTileTarget) +
                                     " HTTP/1.1\r\nConnection: close\r\n\r\n",
                                 closed);
    EXPECT_TRUE(closed);
    const auto second = raw.find("HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(raw.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    ASSERT_NE(second, std::string::npos);
    const auto body = raw.find("\r\n\r\n", second) + 4;
    const DecodedImage image = DecodeImage(std::string_view(raw).substr(body));
    EXPECT_EQ(DecodeTileImage({image.rgb.data(), image.width, image.height, 0}), kTile);
    EXPECT_EQ(server.Targets(), (std::vector<std::string>{"/nothing", kTileTarget}));
}

TEST_F(TileServerTest, ConcurrentKeptAliveClientsAllGetTheirOwnTiles) {
    constexpr int kClients = 16;
    constexpr int kRequests = 20;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            HttpClient own;
            for (int i = 0; i < kRequests; ++i) {
                const auto r = own.Get(Url("/m" + std::to_string(i % 4) +
                                           "/tiles?l=sat&v=1.6.0&x=" + std::to_string(c) +
                                           "&y=" + std::to_string(i) + "&z=10"));
                if (r.curlCode != CURLE_OK || r.status != 200) {
                    continue;
                }
                const DecodedImage image = DecodeImage(r.body);
                if (DecodeTileImage({image.rgb.data(), image.width, image.height, 0}) ==
                    TileCode{TilesType::YandSat, c, i, 10}) {
                    ++good;
                }
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    EXPECT_EQ(good.load(), kClients * kRequests);
    const auto stats = server.Stats();
    EXPECT_EQ(stats.requests, static_cast<std::uint64_t>(kClients * kRequests));
    EXPECT_EQ(stats.connections, static_cast<std::uint64_t>(kClients));
    EXPECT_EQ(server.Targets().size(), static_cast<std::size_t>(kClients * kRequests));
}

TEST(TileServer, ConnectionsBeyondTheCapWaitForAFreeSlot) {
    ServerOptions options;
    options.maxConnections = 2;
    TileServer server(options);
    server.Start();
    const std::string request = std::string("GET ") + kTileTarget + " HTTP/1.1\r\n\r\n";
    const int a = ConnectLoopback(server.Port());
    const int b = ConnectLoopback(server.Port());
    ASSERT_EQ(::send(a, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    ASSERT_EQ(::send(b, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    ASSERT_TRUE(DataArrives(a, 10s));
    ASSERT_TRUE(DataArrives(b, 10s));
    const int c = ConnectLoopback(server.Port());
    ASSERT_EQ(::send(c, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    EXPECT_FALSE(DataArrives(c, 300ms)); // both slots hold kept-alive connections
    ::close(a);
    EXPECT_TRUE(DataArrives(c, 10s));
    ::close(b);
    ::close(c);
    EXPECT_EQ(server.Stats().connections, 3u);
}

TEST(TileServer, SilentConnectionsAreClosedAfterTheIdleTimeout) {
    ServerOptions options;
    options.idleTimeout = 200ms;
    TileServer server(options);
    server.Start();
    const int fd = ConnectLoopback(server.Port());
    const auto start = Clock::now();
    EXPECT_TRUE(WaitForClose(fd, 10s));
    EXPECT_GE(Clock::now() - start, 150ms);
    ::close(fd);

    // A request that stops half-way is given up the same way.
    const int half = ConnectLoopback(server.Port());
    ASSERT_EQ(::send(half, "GET /kh/v=", 10, MSG_NOSIGNAL), 10);
    EXPECT_TRUE(WaitForClose(half, 10s));
    ::close(half);
}

TEST_F(TileServerTest, HtmlFaultSendsAPageInsteadOfTheImage) {
    server.SetFaults({ParseFault("html")});
    const auto r = client.Get(Url(kTileTarget));
    EXPECT_EQ(r.curlCode, CURLE_OK);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.contentType, "text/html");
    EXPECT_EQ(r.body.rfind("<html>", 0), 0u);
    EXPECT_THROW((void)DecodeImage(r.body), std::runtime_error);
    EXPECT_EQ(server.Stats().faults, 1u);
    EXPECT_EQ(server.Stats().tiles, 0u);
}

TEST_F(TileServerTest, StatusFaultsAnswer404And500AndKeepTheConnection) {
    server.SetFaults({ParseFault("404:mirror=1"), ParseFault("500:mirror=2")});
    const auto notFound = client.Get(Url(GoogleTarget(1, 0, 0)));
    EXPECT_EQ(notFound.status, 404);
    EXPECT_EQ(notFound.contentType, "text/plain");
    const auto failed = client.Get(Url(GoogleTarget(2, 0, 0)));
    EXPECT_EQ(failed.status, 500);
    EXPECT_EQ(failed.newConnections, 0);
    EXPECT_EQ(server.Stats().faultHits, (std::vector<std::uint64_t>{1, 1}));
}

TEST_F(TileServerTest, DelayFaultHoldsTheAnswerBack) {
    server.SetFaults({ParseFault("delay=1000:tile=3/2")});
    const auto slow = client.Get(Url(kTileTarget));
    ExpectTile(slow, kTile);
    EXPECT_GE(slow.elapsed, 990ms);
    const auto fast = client.Get(Url(GoogleTarget(0, 4, 2)));
    ExpectTile(fast, {TilesType::GoogleSat, 4, 2, 10});
    EXPECT_LT(fast.elapsed, 900ms); // other tiles are not held back
}

TEST_F(TileServerTest, TrickleFaultSendsTheWholeBodyInSlowPieces) {
    Fault fault = ParseFault("trickle=60");
    fault.trickleBytes = 512;
    server.SetFaults({fault});
    const auto r = client.Get(Url(kTileTarget));
    ExpectTile(r, kTile);
    const auto pieces = (r.body.size() + 511) / 512;
    ASSERT_GE(pieces, 3u);
    EXPECT_GE(r.elapsed, std::chrono::milliseconds(60 * (pieces - 1) - 10));
    EXPECT_EQ(server.Stats().tiles, 1u);
}

TEST_F(TileServerTest, TruncateFaultSendsHalfUnderTheFullLengthAndCloses) {
    server.SetFaults({ParseFault("truncate:first=1")});
    const auto cut = client.Get(Url(kTileTarget));
    EXPECT_EQ(cut.curlCode, CURLE_PARTIAL_FILE);
    EXPECT_EQ(cut.status, 200);
    ASSERT_GT(cut.contentLength, 0);
    EXPECT_EQ(static_cast<long long>(cut.body.size()), cut.contentLength / 2);
    const auto whole = client.Get(Url(kTileTarget));
    ExpectTile(whole, kTile);
    EXPECT_EQ(whole.newConnections, 1);
    EXPECT_EQ(static_cast<long long>(whole.body.size()), cut.contentLength);
}

TEST_F(TileServerTest, DropFaultClosesWithoutAnswering) {
    server.SetFaults({ParseFault("drop:tile=3/2")});
    const auto r = client.Get(Url(kTileTarget));
    EXPECT_EQ(r.curlCode, CURLE_GOT_NOTHING);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.body.empty());
    ExpectTile(client.Get(Url(GoogleTarget(3, 1, 1))), {TilesType::GoogleSat, 1, 1, 10});
}

TEST_F(TileServerTest, BadMirrorFailsOnlyItsOwnRequests) {
    server.SetFaults({ParseFault("drop:mirror=2")});
    // libcurl repeats a request once on a fresh connection when a kept-alive one closes
    // without an answer, so the server may see each mirror 2 request twice.
    for (int round = 0; round < 2; ++round) {
        for (int mirror = 0; mirror < 4; ++mirror) {
            const auto r = client.Get(Url(GoogleTarget(mirror, mirror, round)));
            if (mirror == 2) {
                EXPECT_EQ(r.curlCode, CURLE_GOT_NOTHING);
            } else {
                ExpectTile(r, {TilesType::GoogleSat, mirror, round, 10});
            }
        }
    }
    ExpectTile(client.Get(Url("/kh/v=40&x=2&y=2&zoom=10&s=G")), {TilesType::GoogleSat, 2, 2, 10});
    const auto targets = server.Targets();
    const auto onMirror2 = std::count_if(targets.begin(), targets.end(), [](const std::string &t) {
        return t.rfind("/m2/", 0) == 0;
    });
    EXPECT_GE(onMirror2, 2);
    EXPECT_EQ(server.Stats().faults, static_cast<std::uint64_t>(onMirror2));
    EXPECT_EQ(server.Stats().tiles, 7u);
}

TEST_F(TileServerTest, FirstTimesLetsTheRetrySucceed) {
    server.SetFaults({ParseFault("500:tile=3/2,first=2")});
    EXPECT_EQ(client.Get(Url(kTileTarget)).status, 500);
    ExpectTile(client.Get(Url(GoogleTarget(1, 9, 9))), {TilesType::GoogleSat, 9, 9, 10});
    EXPECT_EQ(client.Get(Url(kTileTarget)).status, 500);
    ExpectTile(client.Get(Url(kTileTarget)), kTile);
    ExpectTile(client.Get(Url(kTileTarget)), kTile);
}

TEST_F(TileServerTest, EveryNthCountsOnlyTheRequestsTheOtherSelectorsChoose) {
    server.SetFaults({ParseFault("500:mirror=1,every=2")});
    std::vector<long> mirror1;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(client.Get(Url(GoogleTarget(0, i, 0))).status, 200);
        mirror1.push_back(client.Get(Url(GoogleTarget(1, i, 0))).status);
    }
    EXPECT_EQ(mirror1, (std::vector<long>{200, 500, 200, 500}));

    server.SetFaults({ParseFault("404:every=3")});
    std::vector<long> all;
    for (int i = 0; i < 7; ++i) {
        all.push_back(client.Get(Url(GoogleTarget(i % 4, i, 0))).status);
    }
    EXPECT_EQ(all, (std::vector<long>{200, 200, 404, 200, 200, 404, 200}));
}

TEST_F(TileServerTest, TheFirstFaultThatHitsAnswers) {
    server.SetFaults({ParseFault("500:mirror=1"), ParseFault("html")});
    EXPECT_EQ(client.Get(Url(GoogleTarget(1, 0, 0))).status, 500);
    EXPECT_EQ(client.Get(Url(GoogleTarget(0, 0, 0))).contentType, "text/html");
    EXPECT_EQ(server.Stats().faultHits, (std::vector<std::uint64_t>{1, 1}));
    server.SetFaults({});
    ExpectTile(client.Get(Url(GoogleTarget(1, 0, 0))), {TilesType::GoogleSat, 0, 0, 10});
}

TEST_F(TileServerTest, CountsAndTargetsInProcessAndThroughTheControlAddresses) {
    server.SetFaults({ParseFault("500:mirror=1")});
    const std::vector<std::string> targets = {kTileTarget, "/nothing/here", GoogleTarget(1, 0, 0)};
    for (const auto &t : targets) {
        (void)client.Get(Url(t));
    }
    auto stats = server.Stats();
    EXPECT_EQ(stats.requests, 3u);
    EXPECT_EQ(stats.tiles, 1u);
    EXPECT_EQ(stats.notFound, 1u);
    EXPECT_EQ(stats.faults, 1u);
    EXPECT_EQ(server.Targets(), targets);

    const auto text = client.Get(Url("/__stats"));
    EXPECT_EQ(text.status, 200);
    EXPECT_EQ(text.contentType, "text/plain");
    EXPECT_EQ(text.body, "connections 1\nrequests 3\ntiles 1\nnot_found 1\nfaults 1\n"
                         "bad_requests 0\nfault 500:mirror=1 1\n");
    EXPECT_EQ(client.Get(Url("/__targets")).body,
              std::string(kTileTarget) + "\n/nothing/here\n" + GoogleTarget(1, 0, 0) + "\n");
    EXPECT_EQ(server.Stats().requests, 3u); // control requests are not counted

    EXPECT_EQ(client.Get(Url("/__reset")).status, 200);
    stats = server.Stats();
    EXPECT_EQ(stats.requests, 0u);
    EXPECT_EQ(stats.faultHits, (std::vector<std::uint64_t>{0}));
    EXPECT_TRUE(server.Targets().empty());
}

TEST_F(TileServerTest, MalformedRequestsGetAnAnswerAndTheServerGoesOn) {
    struct Case {
        std::string bytes;
        std::string answer; ///< the status line expected, empty for a close without one
    };
    const Case cases[] = {
        {"hello there\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03\r\n\r\n", 15),
         "HTTP/1.1 400 Bad Request\r\n"},
        {"GET / HTTP/1.1\r\nX: " + std::string(20000, 'a'),
         "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
        {"GET / HTTP/3\r\n\r\n", "HTTP/1.1 505 HTTP Version Not Supported\r\n"},
        {"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
         "HTTP/1.1 501 Not Implemented\r\n"},
        {"POST / HTTP/1.1\r\nContent-Length: 100000000\r\n\r\n",
         "HTTP/1.1 413 Content Too Large\r\n"},
        {"POST /x HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", ""}, // the body never comes
        {"GET /kh/v=40&x=1", ""},                                  // nor the rest of the head
    };
    for (const auto &c : cases) {
        bool closed = false;
        const auto raw = RawExchange(server.Port(), c.bytes, closed, 10s, true);
        EXPECT_TRUE(closed) << c.answer;
        EXPECT_EQ(raw.substr(0, c.answer.size()), c.answer);
        if (c.answer.empty()) {
            EXPECT_TRUE(raw.empty()) << raw;
        }
    }
    // Other methods are refused, the connection stays usable.
    bool closed = false;
    const auto refused = RawExchange(server.Port(),
                                     "POST /kh/v=40 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"
                                     "HEAD /x HTTP/1.1\r\nConnection: close\r\n\r\n",
                                     closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(refused.rfind("HTTP/1.1 405 Method Not Allowed\r\n", 0), 0u);
    EXPECT_NE(refused.find("\r\nAllow: GET\r\n"), std::string::npos);
    EXPECT_NE(refused.find("HTTP/1.1 405", 10), std::string::npos);

    ExpectTile(client.Get(Url(kTileTarget)), kTile);
    EXPECT_EQ(server.Stats().badRequests, 8u);
    EXPECT_EQ(server.Stats().requests, 1u);
}

TEST_F(TileServerTest, RandomBytesNeverStopTheServer) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(1, 3000);
    for (int i = 0; i < 40; ++i) {
        // Half start like a request, so that parsing goes past the request line.
        std::string bytes = i % 2 == 0 ? "GET /kh/v=40&x=" : "";
        for (int n = length(random); n > 0; --n) {
            bytes += static_cast<char>(byte(random));
        }
        bool closed = false;
        const auto raw = RawExchange(server.Port(), bytes, closed, 10s, true);
        EXPECT_TRUE(closed) << i;
        EXPECT_TRUE(raw.empty() || raw.rfind("HTTP/1.1 4", 0) == 0 ||
                    raw.rfind("HTTP/1.1 5", 0) == 0)
            << raw.substr(0, 40);
    }
    ExpectTile(client.Get(Url(kTileTarget)), kTile);
}

TEST(TileServer, StopReturnsPromptlyWithClientsConnected) {
    auto server = std::make_unique<TileServer>();
    server->Start();
    Fault stuck = ParseFault("trickle=20000");
    stuck.trickleBytes = 100;
    server->SetFaults({ParseFault("delay=20000:tile=1/1"), stuck});
    const auto port = server->Port();

    const int idle = ConnectLoopback(port);
    const int partial = ConnectLoopback(port);
    ASSERT_EQ(::send(partial, "GET /kh/v=40&x=", 15, MSG_NOSIGNAL), 15);
    std::vector<HttpResult> results(2);
    std::thread delayed([&] {
        HttpClient c(30s);
        results[0] = c.Get("http://127.0.0.1:" + std::to_string(port) + GoogleTarget(0, 1, 1));
    });
    std::thread trickled([&] {
        HttpClient c(30s);
        results[1] = c.Get("http://127.0.0.1:" + std::to_string(port) + GoogleTarget(0, 2, 2));
    });
    ASSERT_TRUE(WaitUntil([&] { return server->Stats().requests == 2; }));

    const auto start = Clock::now();
    server->Stop();
    EXPECT_LT(Clock::now() - start, 2s);
    delayed.join();
    trickled.join();
    EXPECT_NE(results[0].curlCode, CURLE_OK);
    EXPECT_NE(results[1].curlCode, CURLE_OK);
    EXPECT_LT(results[1].body.size(), 200u); // the first piece only
    EXPECT_TRUE(WaitForClose(idle, 2s));
    EXPECT_TRUE(WaitForClose(partial, 2s));
    ::close(idle);
    ::close(partial);
    server.reset(); // a second Stop, from the destructor, does nothing
}

TEST(TileServer, NoThreadOrDescriptorOutlivesTheServer) {
    { HttpClient warmUp; } // libcurl's one-time set-up is not the server's
    const auto threadsBefore = CountEntries("/proc/self/task");
    const auto fdsBefore = CountEntries("/proc/self/fd");
    {
        TileServer server;
        server.Start();
        std::vector<std::thread> clients;
        for (int i = 0; i < 8; ++i) {
            clients.emplace_back([&, i] {
                HttpClient c;
                for (int j = 0; j < 5; ++j) {
                    (void)c.Get(server.BaseUrl() + GoogleTarget(j % 4, i, j));
                }
            });
        }
        for (auto &t : clients) {
            t.join();
        }
        const int open = ConnectLoopback(server.Port()); // still connected at the stop
        ASSERT_TRUE(WaitUntil([&] { return server.Stats().connections == 9; }));
        EXPECT_GT(CountEntries("/proc/self/task"), threadsBefore);
        server.Stop();
        ::close(open);
    }
    EXPECT_EQ(CountEntries("/proc/self/task"), threadsBefore);
    EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);
}

TEST(TileServer, StartsOnceAndReportsAPortInUse) {
    TileServer first;
    first.Start();
    EXPECT_THROW(first.Start(), tessaro::Error);

    ServerOptions options;
    options.port = first.Port();
    TileServer second(options);
    try {
        second.Start();
        ADD_FAILURE() << "a second server bound the same port";
    } catch (const tessaro::Error &e) {
        EXPECT_EQ(e.Number(), static_cast<int>(tessaro::ErrorNumber::Network));
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(first.Port())),
                  std::string::npos);
    }
    EXPECT_EQ(second.Port(), 0);
}

} // namespace
