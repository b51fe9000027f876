#include "tileserver/tile_server.h"

#include "support/http_client.h"
#include "support/image_decode.h"
#include "tileserver/tile_code.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <thread>

using tessaro::test::HttpClient;
using tessaro::test::HttpResult;
using tessaro::tiles::TilesType;
using namespace tessaro::tileserver;
using namespace std::chrono_literals;

namespace {

// A tile that the tests ask for, and its address.
constexpr const char *kTileTarget = "/m0/kh/v=40&x=3&y=2&zoom=15&s=Gal";
const TileCode kTile{TilesType::GoogleSat, 3, 2, 15};

std::string GoogleTarget(int mirror, int x, int y) {
    return "/m" + std::to_string(mirror) + "/kh/v=40&x=" + std::to_string(x) +
           "&y=" + std::to_string(y) + "&zoom=10&s=G";
}

std::optional<TileCode> TileOf(std::string_view body) {
    const auto image = tessaro::test::DecodeImage(body);
    return DecodeTileImage({image.rgb.data(), image.width, image.height, 0});
}

void ExpectTile(const HttpResult &r, const TileCode &expected) {
    ASSERT_EQ(r.curlCode, CURLE_OK);
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(TileOf(r.body), expected);
}

// Sends raw bytes on a fresh connection, ends the sending side and returns what the server
// answers before it closes the connection.
std::string RawExchange(std::uint16_t port, const std::string &bytes) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The socket API takes every address type through sockaddr.
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    (void)::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); // may be cut short by a refusal
    ::shutdown(fd, SHUT_WR);
    const timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string received;
    std::array<char, 4096> buffer{};
    for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) {
        received.append(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(fd);
    return received;
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

// One address of every family over one kept-alive connection; the address forms themselves are
// tile_address_test's.
TEST_F(TileServerTest, EveryFamilyIsAnsweredWithItsTileInItsFormat) {
    EXPECT_EQ(server.BaseUrl(), "http://127.0.0.1:" + std::to_string(server.Port()));
    const std::pair<const char *, TileCode> forms[] = {
        {kTileTarget, kTile},
        {"/m1/vt/v=w2.97&hl=ru&x=1&y=0&zoom=16&s=Gal", {TilesType::GoogleMap, 1, 0, 16}},
        {"/vt/mt?n=404&v=w2p.87&hl=ru&x=1&y=2&zoom=15", {TilesType::GoogleLand, 1, 2, 15}},
        {"/printtilesrescaled/?t=image_&zt=n&x=-97839.3962050256&y=215246.671651056&z=10",
         {TilesType::ScanSat, -3, 5, 10}},
        {"/m3/printtilesrescaled/?t=map&zt=n&x=-3&y=5&z=10", {TilesType::ScanMap, -3, 5, 10}},
        {"/m3/tiles?l=sat&v=1.6.0&x=3&y=5&z=10", {TilesType::YandSat, 3, 5, 10}},
        {"/tiles?l=map&v=2.2.1&x=3&y=5&z=10", {TilesType::YandMap, 3, 5, 10}},
        {"/layer/relief/z5/row9/5_17-9.jpg", {TilesType::Shade, 17, 9, 5}},
    };
    for (const auto &[target, tile] : forms) {
        const auto r = client.Get(Url(target));
        ExpectTile(r, tile);
        const bool png = tile.type == TilesType::GoogleMap || tile.type == TilesType::YandMap;
        EXPECT_EQ(r.contentType, png ? "image/png" : "image/jpeg") << target;
        EXPECT_EQ(r.contentLength, static_cast<long long>(r.body.size()));
    }
    const auto stats = server.Stats();
    EXPECT_EQ(stats.tiles, std::size(forms));
    EXPECT_EQ(stats.connections, 1u);
}

// Each kind hits only its tile and answers as named; after an answered fault the connection
// stays open.
TEST_F(TileServerTest, FaultKindsAnswerAsNamed) {
    const auto whole = client.Get(Url(kTileTarget)).body;
    struct Case {
        const char *fault;
        int curlCode;
        long status;
        const char *type;
        std::string body; ///< the whole body; the start of it for the HTML page
        std::chrono::milliseconds atLeast;
    };
    const Case cases[] = {
        {"html:tile=3/2", CURLE_OK, 200, "text/html", "<html>", 0ms},
        {"404:tile=3/2", CURLE_OK, 404, "text/plain", "No tile at this address.\n", 0ms},
        {"500:tile=3/2", CURLE_OK, 500, "text/plain", "The tile server failed on purpose.\n", 0ms},
        {"truncate:tile=3/2", CURLE_PARTIAL_FILE, 200, "image/jpeg",
         whole.substr(0, whole.size() / 2), 0ms},
        {"drop:tile=3/2", CURLE_GOT_NOTHING, 0, "", "", 0ms},
        {"delay=1000:tile=3/2", CURLE_OK, 200, "image/jpeg", whole, 990ms},
        {"trickle=100:tile=3/2", CURLE_OK, 200, "image/jpeg", whole,
         100ms * static_cast<int>((whole.size() - 1) / 1024) - 10ms},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        server.SetFaults({ParseFault(c.fault)});
        HttpClient fresh; // libcurl silently repeats a dropped request on a kept-alive connection
        const auto r = fresh.Get(Url(kTileTarget));
        EXPECT_EQ(r.curlCode, c.curlCode);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.contentType, c.type);
        const bool page = std::string_view(c.type) == "text/html";
        EXPECT_EQ(r.body.substr(0, page ? c.body.size() : std::string::npos), c.body);
        EXPECT_GE(r.elapsed, c.atLeast);
        const auto next = fresh.Get(Url(GoogleTarget(1, 1, 1)));
        ExpectTile(next, {TilesType::GoogleSat, 1, 1, 10});
        EXPECT_LT(next.elapsed, 900ms);
        EXPECT_EQ(next.newConnections, c.curlCode == CURLE_OK ? 0 : 1);
        EXPECT_EQ(server.Stats().faultHits, (std::vector<std::uint64_t>{1}));
    }
    EXPECT_EQ(server.Stats().faults, std::size(cases));
    EXPECT_EQ(server.Stats().tiles, 3u + std::size(cases)); // the truncated one is no tile
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

// Refused requests are answered with their status and the connection closed (which heads the
// parser refuses is http_request_test's); other methods get 405 on a connection that goes on.
TEST_F(TileServerTest, RefusedRequestsAreAnsweredAndTheServerGoesOn) {
    const std::pair<std::string, std::string> cases[] = {
        {"hello there\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"GET / HTTP/1.1\r\nX: " + std::string(20000, 'a'),
         "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
        {"GET / HTTP/3\r\n\r\n", "HTTP/1.1 505 HTTP Version Not Supported\r\n"},
        {"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
         "HTTP/1.1 501 Not Implemented\r\n"},
        {"GET / HTTP/1.1\r\nContent-Length: 100000000\r\n\r\n",
         "HTTP/1.1 413 Content Too Large\r\n"},
        {"POST /x HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", ""}, // the body never comes
        {"POST /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /y HTTP/1.1\r\n\r\n",
         "HTTP/1.1 405 Method Not Allowed\r\nServer: tessaro-tileserver\r\nContent-Type: "
         "text/plain\r\nContent-Length: 20\r\nConnection: keep-alive\r\nAllow: GET\r\n\r\n"
         "Only GET is served.\nHTTP/1.1 404 Not Found\r\n"},
    };
    for (const auto &[bytes, answer] : cases) {
        const auto raw = RawExchange(server.Port(), bytes);
        EXPECT_EQ(raw.substr(0, answer.empty() ? std::string::npos : answer.size()), answer);
    }
    ExpectTile(client.Get(Url(kTileTarget)), kTile);
    const auto stats = server.Stats();
    EXPECT_EQ(stats.badRequests, 6u);
    EXPECT_EQ(stats.requests, 2u); // the GET after the refused POST, and the tile
    EXPECT_EQ(server.Targets().front(), "/y");
}

// Stop ends an idle kept-alive connection, a delayed and a trickling answer at once, and no
// thread or descriptor outlives the server.
TEST(TileServer, StopEndsEveryConnectionAndLeavesNothingBehind) {
    { HttpClient warmUp; } // libcurl's one-time set-up is not the server's
    const auto threadsBefore = CountEntries("/proc/self/task");
    const auto fdsBefore = CountEntries("/proc/self/fd");
    {
        TileServer server;
        server.Start();
        HttpClient idle;
        ExpectTile(idle.Get(server.BaseUrl() + kTileTarget), kTile);
        Fault stuck = ParseFault("trickle=20000");
        stuck.trickleBytes = 100;
        server.SetFaults({ParseFault("delay=20000:tile=1/1"), stuck});
        std::vector<HttpResult> results(2);
        std::thread clients[2];
        for (std::size_t i = 0; i < 2; ++i) {
            const auto target = GoogleTarget(0, static_cast<int>(i) + 1, static_cast<int>(i) + 1);
            clients[i] = std::thread(
                [&, i, target] { results[i] = HttpClient(30s).Get(server.BaseUrl() + target); });
        }
        for (int i = 0; i < 2000 && server.Stats().requests < 3; ++i) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_GT(CountEntries("/proc/self/task"), threadsBefore);
        const auto start = std::chrono::steady_clock::now();
        server.Stop();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        for (std::size_t i = 0; i < 2; ++i) {
            clients[i].join();
            EXPECT_NE(results[i].curlCode, CURLE_OK);
        }
        EXPECT_LT(results[1].body.size(), 200u); // the first piece only
        server.Stop();                           // a second Stop does nothing
    }
    EXPECT_EQ(CountEntries("/proc/self/task"), threadsBefore);
    EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);
}

} // namespace
