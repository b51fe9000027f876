#include "tileserver/fault.h"

#include "common/error.h"

#include <gtest/gtest.h>

using namespace tessaro::tileserver;
using namespace std::chrono_literals;

namespace {

// Each text gives its fault and is what FaultText writes back for it.
TEST(FaultText, FaultsReadAndWriteBackTheSame) {
    const auto fault = [](FaultKind kind, std::chrono::milliseconds delay = 0ms,
                          std::uint64_t every = 1, std::uint64_t first = 0,
                          std::optional<int> mirror = {}, std::optional<TilePosition> tile = {}) {
        return Fault{kind, delay, 1024, every, tile, mirror, first};
    };
    const std::pair<const char *, Fault> cases[] = {
        {"html", fault(FaultKind::Html)},
        {"404:every=3", fault(FaultKind::NotFound, 0ms, 3)},
        {"500:mirror=2", fault(FaultKind::ServerError, 0ms, 1, 0, 2)},
        {"truncate", fault(FaultKind::Truncate)},
        {"drop:every=3,tile=-5/7,mirror=0,first=4",
         fault(FaultKind::Drop, 0ms, 3, 4, 0, TilePosition{-5, 7})},
        {"delay=250:tile=5/3,first=1",
         fault(FaultKind::Delay, 250ms, 1, 1, {}, TilePosition{5, 3})},
        {"trickle=20", fault(FaultKind::Trickle, 20ms)},
    };
    for (const auto &[text, expected] : cases) {
        const Fault f = ParseFault(text);
        EXPECT_EQ(f.kind, expected.kind) << text;
        EXPECT_EQ(f.delay, expected.delay) << text;
        EXPECT_EQ(f.everyNth, expected.everyNth) << text;
        EXPECT_EQ(f.firstTimes, expected.firstTimes) << text;
        EXPECT_EQ(f.mirror, expected.mirror) << text;
        EXPECT_EQ(f.tile, expected.tile) << text;
        EXPECT_EQ(FaultText(f), text);
    }
    EXPECT_EQ(FaultText(ParseFault("500:all")), "500");
}

TEST(FaultText, MalformedFaultsAreUsageErrorsNamingTheText) {
    for (const char *text :
         {// kinds
          "", "boom", "delay", "delay=", "delay=abc", "delay=-1", "delay=600001", "html=3",
          // selectors
          "500:", "500:every=0", "500:first=0", "500:every=x", "500:tile=5", "500:tile=5/",
          "500:tile=a/b", "500:mirror=-1", "500:mirror=1000", "500:bogus=1", "500:all=1",
          "500:every=2,,first=1", "500:every"}) {
        try {
            (void)ParseFault(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const tessaro::ArgumentError &e) {
            EXPECT_NE(std::string(e.what()).find("'" + std::string(text) + "'"), std::string::npos)
                << e.what();
        }
    }
}

} // namespace
