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
#include <optional>
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

std::optional<TileCode> TileOf(std::string_view body) {
    const DecodedImage image = DecodeImage(body);
    return DecodeTileImage({image.rgb.data(), image.width, image.height, 0});
}

void ExpectTile(const HttpResult &r, const TileCode &expected) {
    ASSERT_EQ(r.curlCode, CURLE_OK);
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(TileOf(r.body), expected);
}

bool DataArrives(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
}

template <typename Condition> bool WaitUntil(Condition condition) {
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline && !condition()) {
        std::this_thread::sleep_for(5ms);
    }
    return condition();
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

// One address of every family; the address forms themselves are tile_address_test's.
TEST_F(TileServerTest, EveryFamilyIsAnsweredWithItsTileInItsFormat) {
    EXPECT_EQ(server.BaseUrl(), "http://127.0.0.1:" + std::to_string(server.Port()));
    struct Form {
        const char *target;
        TileCode tile;
        bool png;
    };
    const Form forms[] = {
        {kTileTarget, kTile, false},
        {"/m1/vt/v=w2.97&hl=ru&x=1&y=0&zoom=16&s=Gal", {TilesType::GoogleMap, 1, 0, 16}, true},
        {"/vt/mt?n=404&v=w2p.87&hl=ru&x=1&y=2&zoom=15", {TilesType::GoogleLand, 1, 2, 15}, false},
        {"/printtilesrescaled/?t=image_&zt=n&x=-97839.3962050256&y=215246.671651056&z=10",
         {TilesType::ScanSat, -3, 5, 10},
         false},
        {"/m3/printtilesrescaled/?t=map&zt=n&x=-3&y=5&z=10",
         {TilesType::ScanMap, -3, 5, 10},
         false},
        {"/m3/tiles?l=sat&v=1.6.0&x=3&y=5&z=10", {TilesType::YandSat, 3, 5, 10}, false},
        {"/tiles?l=map&v=2.2.1&x=3&y=5&z=10", {TilesType::YandMap, 3, 5, 10}, true},
        {"/layer/relief/z5/row9/5_17-9.jpg", {TilesType::Shade, 17, 9, 5}, false},
    };
    for (const auto &form : forms) {
        SCOPED_TRACE(form.target);
        const auto r = client.Get(Url(form.target));
        ExpectTile(r, form.tile);
        EXPECT_EQ(r.contentType, form.png ? "image/png" : "image/jpeg");
        EXPECT_EQ(r.contentLength, static_cast<long long>(r.body.size()));
        const DecodedImage image = DecodeImage(r.body);
        EXPECT_EQ(image.format, form.png ? DecodedImage::Format::Png : DecodedImage::Format::Jpeg);
        if (form.png) {
            EXPECT_EQ(image.pngColourType, 3);
        } else {
            EXPECT_FALSE(image.jpegProgressive);
        }
    }
    EXPECT_EQ(server.Stats().tiles, std::size(forms));
}

TEST_F(TileServerTest, ConnectionsPersistUnlessTheRequestSaysOtherwise) {
    for (int i = 0; i < 5; ++i) {
        const auto r = client.Get(Url(GoogleTarget(i % 4, i, 1)));
        ExpectTile(r, {TilesType::GoogleSat, i, 1, 10});
        EXPECT_EQ(r.newConnections, i == 0 ? 1 : 0) << i;
    }
    EXPECT_EQ(server.Stats().connections, 1u);

    struct Case {
        std::string head;
        bool closes;
        const char *connectionHeader;
    };
    const Case cases[] = {
        {"HTTP/1.1\r\nConnection: close\r\n\r\n", true, "\r\nConnection: close\r\n"},
        {"HTTP/1.0\r\n\r\n", true, ""}, // closes without being asked
        {"HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", false, "\r\nConnection: keep-alive\r\n"},
    };
    for (const auto &c : cases) {
        bool closed = false;
        const auto raw = RawExchange(
            server.Port(), "GET " + std::string(kTileTarget) + " " + c.head, closed, 1500ms);
        EXPECT_EQ(closed, c.closes) << c.head;
        EXPECT_EQ(raw.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << c.head;
        if (*c.connectionHeader != '\0') {
            EXPECT_NE(raw.find(c.connectionHeader), std::string::npos) << c.head;
        }
    }
}

TEST_F(TileServerTest, PipelinedRequestsAreAnsweredInOrder) {
    bool closed = false;
    const auto raw = RawExchange(server.Port(),
                                 "GET /nothing HTTP/1.1\r\n\r\nGET " + std::string(kTileTarget) +
                                     " HTTP/1.1\r\nConnection: close\r\n\r\n",
                                 closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(raw.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    const auto second = raw.find("HTTP/1.1 200 OK\r\n");
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(TileOf(std::string_view(raw).substr(raw.find("\r\n\r\n", second) + 4)), kTile);
    EXPECT_EQ(server.Targets(), (std::vector<std::string>{"/nothing", kTileTarget}));
}

TEST(TileServer, ConnectionsBeyondTheCapWaitForAFreeSlot) {
    ServerOptions options;
    options.maxConnections = 2;
    TileServer server(options);
    server.Start();
    const std::string request = std::string("GET ") + kTileTarget + " HTTP/1.1\r\n\r\n";
    const auto connectAndAsk = [&] {
        const int fd = ConnectLoopback(server.Port());
        EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(request.size()));
        return fd;
    };
    const int a = connectAndAsk();
    const int b = connectAndAsk();
    ASSERT_TRUE(DataArrives(a, 10s));
    ASSERT_TRUE(DataArrives(b, 10s));
    const int c = connectAndAsk();
    EXPECT_FALSE(DataArrives(c, 300ms)); // both slots hold kept-alive connections
    ::close(a);
    EXPECT_TRUE(DataArrives(c, 10s));
    ::close(b);
    ::close(c);
    EXPECT_EQ(server.Stats().connections, 3u);
}

TEST(TileServer, SilentOrHalfSentConnectionsAreClosedAfterTheIdleTimeout) {
    ServerOptions options;
    options.idleTimeout = 200ms;
    TileServer server(options);
    server.Start();
    const int fd = ConnectLoopback(server.Port());
    const auto start = Clock::now();
    EXPECT_TRUE(WaitForClose(fd, 10s));
    EXPECT_GE(Clock::now() - start, 150ms);
    ::close(fd);
    const int half = ConnectLoopback(server.Port());
    ASSERT_EQ(::send(half, "GET /kh/v=", 10, MSG_NOSIGNAL), 10);
    EXPECT_TRUE(WaitForClose(half, 10s));
    ::close(half);
}

// Each kind hits only its tile; the connection stays open after an answered fault.
TEST_F(TileServerTest, FaultKindsAnswerAsNamed) {
    struct Case {
        const char *fault;
        int curlCode;
        long status;
        bool closes;
    };
    const Case cases[] = {
        {"html:tile=3/2", CURLE_OK, 200, false},
        {"404:tile=3/2", CURLE_OK, 404, false},
        {"500:tile=3/2", CURLE_OK, 500, false},
        {"truncate:tile=3/2", CURLE_PARTIAL_FILE, 200, true},
        {"drop:tile=3/2", CURLE_GOT_NOTHING, 0, true},
    };
    const auto whole = client.Get(Url(kTileTarget)).body.size();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        server.SetFaults({ParseFault(c.fault)});
        HttpClient fresh; // libcurl silently repeats a dropped request on a kept-alive connection
        const auto r = fresh.Get(Url(kTileTarget));
        EXPECT_EQ(r.curlCode, c.curlCode);
        EXPECT_EQ(r.status, c.status);
        const std::string kind = c.fault;
        if (kind.starts_with("html")) {
            EXPECT_EQ(r.contentType, "text/html");
            EXPECT_EQ(r.body.rfind("<html>", 0), 0u);
        } else if (kind.starts_with("truncate")) {
            EXPECT_EQ(r.contentLength, static_cast<long long>(whole));
            EXPECT_EQ(r.body.size(), whole / 2);
        } else if (kind.starts_with("drop")) {
            EXPECT_TRUE(r.body.empty());
        }
        const auto next = fresh.Get(Url(GoogleTarget(1, 1, 1)));
        ExpectTile(next, {TilesType::GoogleSat, 1, 1, 10});
        EXPECT_EQ(next.newConnections, c.closes ? 1 : 0);
        EXPECT_EQ(server.Stats().faultHits, (std::vector<std::uint64_t>{1}));
    }
    EXPECT_EQ(server.Stats().faults, std::size(cases));
}

TEST_F(TileServerTest, DelayAndTrickleHoldTheWholeAnswerBack) {
    server.SetFaults({ParseFault("delay=1000:tile=3/2")});
    const auto slow = client.Get(Url(kTileTarget));
    ExpectTile(slow, kTile);
    EXPECT_GE(slow.elapsed, 990ms);
    const auto fast = client.Get(Url(GoogleTarget(0, 4, 2)));
    ExpectTile(fast, {TilesType::GoogleSat, 4, 2, 10});
    EXPECT_LT(fast.elapsed, 900ms);

    Fault fault = ParseFault("trickle=60");
    fault.trickleBytes = 512;
    server.SetFaults({fault});
    const auto r = client.Get(Url(kTileTarget));
    ExpectTile(r, kTile);
    const auto pieces = (r.body.size() + 511) / 512;
    ASSERT_GE(pieces, 3u);
    EXPECT_GE(r.elapsed, std::chrono::milliseconds(60 * (pieces - 1) - 10));
    EXPECT_EQ(server.Stats().tiles, 3u);
}

// Which requests a fault list hits: first=, every= among the chosen requests, first fault wins.
TEST_F(TileServerTest, SelectorsChooseTheRequestsAFaultHits) {
    struct Case {
        std::vector<const char *> faults;
        std::vector<std::string> targets;
        std::vector<long> statuses;
        std::vector<std::uint64_t> hits;
    };
    const auto g = GoogleTarget;
    const Case cases[] = {
        {{"500:tile=3/2,first=2"},
         {kTileTarget, g(1, 9, 9), kTileTarget, kTileTarget, kTileTarget},
         {500, 200, 500, 200, 200},
         {2}},
        {{"500:mirror=1,every=2"},
         {g(0, 0, 0), g(1, 0, 0), g(0, 1, 0), g(1, 1, 0), g(1, 2, 0), g(0, 2, 0), g(1, 3, 0)},
         {200, 200, 200, 500, 200, 200, 500},
         {2}},
        {{"404:every=3"},
         {g(0, 0, 0), g(1, 1, 0), g(2, 2, 0), g(3, 3, 0), g(0, 4, 0), g(1, 5, 0), g(2, 6, 0)},
         {200, 200, 404, 200, 200, 404, 200},
         {2}},
        {{"500:mirror=1", "404"}, {g(1, 0, 0), g(0, 0, 0)}, {500, 404}, {1, 1}},
    };
    for (const auto &c : cases) {
        std::vector<Fault> faults;
        for (const char *f : c.faults) {
            faults.push_back(ParseFault(f));
        }
        server.SetFaults(faults);
        std::vector<long> statuses;
        for (const auto &t : c.targets) {
            statuses.push_back(client.Get(Url(t)).status);
        }
        EXPECT_EQ(statuses, c.statuses) << c.faults[0];
        EXPECT_EQ(server.Stats().faultHits, c.hits) << c.faults[0];
    }
}

// Counts and targets through the control addresses; a 404 keeps the connection.
TEST_F(TileServerTest, CountsAndTargetsInProcessAndThroughTheControlAddresses) {
    server.SetFaults({ParseFault("500:mirror=1")});
    const std::vector<std::string> targets = {kTileTarget, "/nothing/here", GoogleTarget(1, 0, 0)};
    std::vector<HttpResult> answers;
    for (const auto &t : targets) {
        answers.push_back(client.Get(Url(t)));
    }
    EXPECT_EQ(answers[1].status, 404);
    EXPECT_EQ(answers[1].contentType, "text/plain");
    EXPECT_EQ(answers[1].body, "No tile at this address.\n");
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
    const auto stats = server.Stats();
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
    const std::string base = server->BaseUrl();

    const int idle = ConnectLoopback(server->Port());
    const int partial = ConnectLoopback(server->Port());
    ASSERT_EQ(::send(partial, "GET /kh/v=40&x=", 15, MSG_NOSIGNAL), 15);
    std::vector<HttpResult> results(2);
    std::vector<std::thread> clients;
    for (int i = 0; i < 2; ++i) {
        clients.emplace_back(
            [&, i] { results[i] = HttpClient(30s).Get(base + GoogleTarget(0, i + 1, i + 1)); });
    }
    ASSERT_TRUE(WaitUntil([&] { return server->Stats().requests == 2; }));

    const auto start = Clock::now();
    server->Stop();
    EXPECT_LT(Clock::now() - start, 2s);
    for (auto &t : clients) {
        t.join();
    }
    EXPECT_NE(results[0].curlCode, CURLE_OK);
    EXPECT_NE(results[1].curlCode, CURLE_OK);
    EXPECT_LT(results[1].body.size(), 200u); // the first piece only
    EXPECT_TRUE(WaitForClose(idle, 2s));
    EXPECT_TRUE(WaitForClose(partial, 2s));
    ::close(idle);
    ::close(partial);
    server.reset(); // a second Stop, from the destructor, does nothing
}

// Concurrent kept-alive clients all get their own tiles, and no thread or descriptor outlives
// the server.
TEST(TileServer, ConcurrentClientsAreServedAndNothingOutlivesTheServer) {
    constexpr int kClients = 16;
    constexpr int kRequests = 20;
    { HttpClient warmUp; } // libcurl's one-time set-up is not the server's
    const auto threadsBefore = CountEntries("/proc/self/task");
    const auto fdsBefore = CountEntries("/proc/self/fd");
    {
        TileServer server;
        server.Start();
        std::atomic<int> good{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                HttpClient own;
                for (int i = 0; i < kRequests; ++i) {
                    const auto r = own.Get(server.BaseUrl() + "/m" + std::to_string(i % 4) +
                                           "/tiles?l=sat&v=1.6.0&x=" + std::to_string(c) +
                                           "&y=" + std::to_string(i) + "&z=10");
                    if (r.curlCode == CURLE_OK && r.status == 200 &&
                        TileOf(r.body) == TileCode{TilesType::YandSat, c, i, 10}) {
                        ++good;
                    }
                }
            });
        }
        for (auto &t : clients) {
            t.join();
        }
        EXPECT_EQ(good.load(), kClients * kRequests);
        EXPECT_EQ(server.Stats().requests, static_cast<std::uint64_t>(kClients * kRequests));
        EXPECT_EQ(server.Targets().size(), static_cast<std::size_t>(kClients * kRequests));
        const int open = ConnectLoopback(server.Port()); // still connected at the stop
        ASSERT_TRUE(WaitUntil([&] { return server.Stats().connections == kClients + 1; }));
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
    }
    EXPECT_EQ(second.Port(), 0);
}

} // namespace
