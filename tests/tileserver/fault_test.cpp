#include "tileserver/fault.h"

#include "common/error.h"

#include <gtest/gtest.h>

using namespace tessaro::tileserver;
using namespace std::chrono_literals;

namespace {

TEST(FaultText, KindsAloneHitEveryRequest) {
    const std::pair<const char *, FaultKind> kinds[] = {
        {"html", FaultKind::Html},       {"404", FaultKind::NotFound},
        {"500", FaultKind::ServerError}, {"truncate", FaultKind::Truncate},
        {"drop", FaultKind::Drop},
    };
    for (const auto &[text, kind] : kinds) {
        const Fault f = ParseFault(text);
        EXPECT_EQ(f.kind, kind) << text;
        EXPECT_EQ(f.everyNth, 1u);
        EXPECT_EQ(f.firstTimes, 0u);
        EXPECT_FALSE(f.tile.has_value());
        EXPECT_FALSE(f.mirror.has_value());
    }
    EXPECT_EQ(ParseFault("delay=1500").kind, FaultKind::Delay);
    EXPECT_EQ(ParseFault("delay=1500").delay, 1500ms);
    EXPECT_EQ(ParseFault("trickle=0").kind, FaultKind::Trickle);
    EXPECT_EQ(ParseFault("trickle=0").delay, 0ms);
}

TEST(FaultText, SelectorsCombine) {
    const Fault f = ParseFault("drop:every=3,first=2,mirror=1,tile=-5/7");
    EXPECT_EQ(f.kind, FaultKind::Drop);
    EXPECT_EQ(f.everyNth, 3u);
    EXPECT_EQ(f.firstTimes, 2u);
    EXPECT_EQ(f.mirror, 1);
    ASSERT_TRUE(f.tile.has_value());
    EXPECT_EQ(*f.tile, (TilePosition{-5, 7}));
    EXPECT_EQ(ParseFault("500:all").everyNth, 1u);
    EXPECT_EQ(ParseFault("500:mirror=2").mirror, 2);
}

TEST(FaultText, WrittenFaultsReadBackTheSame) {
    for (const char *text : {"html", "500:mirror=2", "delay=250:tile=5/3,first=1",
                             "drop:every=3,tile=-1/0,mirror=0,first=4", "trickle=20:every=2"}) {
        EXPECT_EQ(FaultText(ParseFault(text)), text);
    }
}

TEST(FaultText, MalformedFaultsAreUsageErrorsNamingTheText) {
    for (const char *text : {"",
                             "boom",
                             "delay",
                             "delay=",
                             "delay=abc",
                             "delay=-1",
                             "delay=600001",
                             "html=3",
                             "500:",
                             "500:every=0",
                             "500:first=0",
                             "500:every=x",
                             "500:tile=5",
                             "500:tile=5/",
                             "500:tile=a/b",
                             "500:mirror=-1",
                             "500:mirror=1000",
                             "500:bogus=1",
                             "500:all=1",
                             "500:every=2,,first=1",
                             "500:every"}) {
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
