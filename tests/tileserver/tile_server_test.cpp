#include "tileserver/tile_server.h"

#include "common/error.h"
#include "support/http_client.h"
#include "support/image_decode.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

using tessaro::test::HttpClient;
using namespace tessaro::tileserver;
using namespace std::chrono_literals;

namespace {

// Each fault kind answers the request it selects as named and reads back as the text it was
// given; the same tile asked for again on mirror 1 (which no fault selects) or after the first
// hit comes whole and at once.
TEST(TileServer, FaultKindsAnswerAsNamed) {
    TileServer server;
    server.Start();
    const std::string target = server.BaseUrl() + "/m0/kh/v=40&x=3&y=2&zoom=15&s=Gal";
    const std::string again = server.BaseUrl() + "/m1/kh/v=40&x=3&y=2&zoom=15&s=Gal";
    const HttpClient client;
    const auto whole = client.Get(again).body;
    const auto image = tessaro::test::DecodeImage(whole);
    ASSERT_EQ(DecodeTileImage({image.rgb.data(), image.width, image.height, 0}),
              (TileCode{tessaro::tiles::TilesType::GoogleSat, 3, 2, 15}));
    struct Case {
        const char *fault;
        int curlCode;
        long status;
        const char *type;
        std::string body; ///< the whole body; the start of it for the HTML page
        std::chrono::milliseconds atLeast;
    };
    const Case cases[] = {
        {"html:mirror=0", CURLE_OK, 200, "text/html", "<html>", 0ms},
        {"404:tile=3/2,first=1", CURLE_OK, 404, "text/plain", "No tile at this address.\n", 0ms},
        {"500:mirror=0", CURLE_OK, 500, "text/plain", "The tile server failed on purpose.\n", 0ms},
        {"truncate:mirror=0", CURLE_PARTIAL_FILE, 200, "image/jpeg",
         whole.substr(0, whole.size() / 2), 0ms},
        {"cut:mirror=0", CURLE_OK, 200, "image/jpeg", whole.substr(0, whole.size() / 2), 0ms},
        {"empty:mirror=0", CURLE_OK, 200, "image/jpeg", "", 0ms},
        {"204:mirror=0", CURLE_OK, 204, "text/plain", "", 0ms},
        {"429=2:mirror=0", CURLE_OK, 429, "text/plain", "Slow down.\n", 0ms},
        {"503:tile=3/2,first=1", CURLE_OK, 503, "text/plain", "Slow down.\n", 0ms},
        {"drop:tile=3/2,mirror=0", CURLE_GOT_NOTHING, 0, "", "", 0ms},
        {"delay=1000:first=1", CURLE_OK, 200, "image/jpeg", whole, 990ms},
        {"trickle=100:mirror=0", CURLE_OK, 200, "image/jpeg", whole,
         100ms * static_cast<int>((whole.size() - 1) / 1024) - 10ms},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        const Fault fault = ParseFault(c.fault);
        EXPECT_EQ(FaultText(fault), c.fault);
        server.SetFaults({fault});
        const auto r = client.Get(target);
        EXPECT_EQ(r.curlCode, c.curlCode);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.contentType, c.type);
        const bool page = std::string_view(c.type) == "text/html";
        EXPECT_EQ(r.body.substr(0, page ? c.body.size() : std::string::npos), c.body);
        EXPECT_GE(r.elapsed, c.atLeast);
        const bool once = std::string_view(c.fault).find("first=") != std::string_view::npos;
        const auto next = client.Get(once ? target : again);
        EXPECT_EQ(next.body, whole);
        EXPECT_LT(next.elapsed, 900ms);
        EXPECT_EQ(server.Stats().faultHits, (std::vector<std::uint64_t>{1}));
    }
    // Malformed faults are usage errors naming the text.
    for (const char *text :
         {"", "boom", "delay", "delay=-1", "delay=600001", "html=3", "500:", "500:every=0",
          "500:tile=5", "500:tile=a/b", "500:mirror=1000", "500:bogus=1", "500:all=1"}) {
        try {
            (void)ParseFault(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const tessaro::ArgumentError &e) {
            EXPECT_NE(std::string(e.what()).find("'" + std::string(text) + "'"), std::string::npos);
        }
    }
}

} // namespace
