// The transfer engine and the downloader over it, against loopback servers that misbehave on
// purpose.
#include "download/kachalka.h"

#include "support/files.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <mutex>
#include <thread>

using namespace tessaro;
using download::DownloadCode;
using download::TransferEngine;
using test::ScriptedServer;

namespace {

// Connect within 2 s, at least 100 bytes/s over 1 s, at most 100 000 bytes, 3 s in all.
const download::DownloadLimits kQuick{2000, 1, 100, 100'000, 3};

// An answer written as a head, then count pieces with a pause after each.
ScriptedServer::Handler Script(std::string head, std::string piece = {}, int count = 0,
                               std::chrono::milliseconds pause = {}) {
    return [=](ScriptedServer::Exchange &ex) {
        ex.send(head);
        for (int i = 0; i < count && ex.send(piece); ++i) {
            std::this_thread::sleep_for(pause);
        }
    };
}

ScriptedServer::Handler Status(int status) {
    return Script(ScriptedServer::Answer(status, "text/html", "no"));
}

// 90 000 bytes in about four seconds: well above the stall limit, but longer than 3 s.
const auto kTrickle = Script("HTTP/1.1 200 OK\r\nContent-Length: 90000\r\n\r\n",
                             std::string(1000, 'x'), 90, std::chrono::milliseconds(50));

// Events that record Complete and the chunks of a push, cancel past a byte count and turn
// revalidation off on request.
struct Recorder : download::KachalkaEvents {
    void Complete(std::int32_t status, std::string_view) override { completes.push_back(status); }
    void Progress(std::int32_t progress, std::int32_t, std::int32_t, std::string_view,
                  bool &cancel) override {
        cancel = progress > cancelAfterBytes;
    }
    void DataAvailable(std::int32_t type, std::string_view data,
                       const download::DataFormat &format) override {
        chunks.emplace_back(type, std::string(data) + " as " + format.contentType);
        if (throwOnData) {
            throw std::runtime_error("the handler failed");
        }
    }
    void GetOptions(std::int32_t &options) override {
        options &= noResync ? ~download::kResynchronize : ~0;
    }
    bool noResync = false, throwOnData = false;
    int cancelAfterBytes = 1 << 30;
    std::vector<std::int32_t> completes;
    std::vector<std::pair<std::int32_t, std::string>> chunks;
};

} // namespace

// Every failure leaves the earlier file of the name as it was and nothing beside it. (A full
// disk is the command line's test.)
TEST(TransferEngine, FailedTransfersLeaveAnEarlierFileAndNothingElse) {
    test::TempDir dir;
    test::WriteFile(dir / "kept.jpg", "earlier");
    const std::tuple<std::string, ScriptedServer::Handler, DownloadCode> cases[] = {
        {"404", Status(404), DownloadCode::NotFound},
        {"410", Status(410), DownloadCode::NotFound},
        {"500", Status(500), DownloadCode::DownloadFailure},
        {"401", Status(401), DownloadCode::AccessDenied},
        {"403", Status(403), DownloadCode::AccessDenied},
        {"truncated", Script("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nxxxxxxxxxx"),
         DownloadCode::DownloadFailure},
        {"too large", Script(ScriptedServer::Answer(200, "image/jpeg", std::string(100'001, 'b'))),
         DownloadCode::TooLarge},
        {"too large without a length",
         Script("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", std::string(10'000, 'c'), 30),
         DownloadCode::TooLarge},
        {"trickling for longer than a transfer may take", kTrickle, DownloadCode::Timeout},
        {"nothing listening", nullptr, DownloadCode::CannotConnect},
    };
    for (const auto &[what, handler, code] : cases) {
        ScriptedServer server(handler);
        TransferEngine engine(1, kQuick);
        const auto start = std::chrono::steady_clock::now();
        const auto url = handler ? server.Url("/x.jpg") : "http://127.0.0.1:1/x.jpg";
        engine.Start(7, {.url = url, .file = dir / "kept.jpg"});
        const auto outcome = engine.Wait(7);
        EXPECT_EQ(outcome.code, code) << what;
        EXPECT_EQ(outcome.message, "Download of " + url + " failed: " + outcome.reason + ".");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << what;
        EXPECT_EQ(test::ReadFile(dir / "kept.jpg"), "earlier") << what;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << what;
    }
}

// A server that answers 429 or 503 is asked again after the time its Retry-After names, and no
// other transfer starts meanwhile (c, although b's connection is free); after the retries allowed,
// the tile fails naming the status. A cap on starts per second spreads the transfers out.
TEST(TransferEngine, ServersThatAskToSlowDownAreGivenTime) {
    using Clock = std::chrono::steady_clock;
    std::mutex mutex;
    std::vector<std::pair<std::string, Clock::time_point>> seen;
    ScriptedServer server([&](ScriptedServer::Exchange &ex) {
        std::size_t asked = 0;
        {
            const std::lock_guard lock(mutex);
            seen.emplace_back(ex.Target(), Clock::now());
            asked = static_cast<std::size_t>(
                std::ranges::count_if(seen, [&](const auto &s) { return s.first == ex.Target(); }));
        }
        if (ex.Target() == "/busy" || (ex.Target() == "/a" && asked <= 2)) {
            ex.send("HTTP/1.1 " + std::string(ex.Target() == "/busy" ? "503" : "429") +
                    " Slow Down\r\nRetry-After: 1\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        if (ex.Target() == "/b") {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        ex.send(ScriptedServer::Answer(200, "text/plain", "tile"));
    });
    auto limits = kQuick;
    TransferEngine engine(2, limits);
    const auto start = Clock::now();
    engine.Start(1, {.url = server.Url("/a"), .onData = [](auto, auto) {}});
    engine.Start(2, {.url = server.Url("/b"), .onData = [](auto, auto) {}});
    engine.Start(3, {.url = server.Url("/c"), .onData = [](auto, auto) {}});
    EXPECT_TRUE(engine.Wait(1).Ok());
    EXPECT_TRUE(engine.Wait(2).Ok());
    EXPECT_TRUE(engine.Wait(3).Ok());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1900)) << "twice told to wait 1 s";
    ASSERT_EQ(seen.size(), 5u);
    // b's place went free at 0.3 s, but c waited for a's pauses
    const auto c = std::ranges::find(seen, std::string("/c"), &decltype(seen)::value_type::first);
    ASSERT_NE(c, seen.end());
    EXPECT_GT(c->second - seen[0].second, std::chrono::milliseconds(900));

    limits.retries = 1;
    TransferEngine patient(1, limits);
    patient.Start(3, {.url = server.Url("/busy"), .onData = [](auto, auto) {}});
    const auto busy = patient.Wait(3);
    EXPECT_EQ(busy.reason, "the server answered HTTP 503 (asked to slow down 2 times)");

    limits.maxRate = 10;
    TransferEngine capped(4, limits);
    const auto capStart = Clock::now();
    for (int i = 0; i < 11; ++i) {
        capped.Start(i, {.url = server.Url("/c"), .onData = [](auto, auto) {}});
    }
    for (int i = 0; i < 11; ++i) {
        EXPECT_TRUE(capped.Wait(i).Ok());
    }
    EXPECT_GE(Clock::now() - capStart, std::chrono::milliseconds(950)) << "11 starts at 10/s";
}

// Redirects lead on to the request's own host and the hosts named, five at most, and only the
// last answer's body counts; elsewhere fails naming the place. A POST sent on asks with GET.
TEST(TransferEngine, RedirectsLeadOnlyToTheHostsNamed) {
    ScriptedServer tiles(Script(ScriptedServer::Answer(200, "image/jpeg", "tile")));
    // "/N?WHERE" is sent on N times on this server, then to WHERE.
    ScriptedServer sender([](ScriptedServer::Exchange &ex) {
        const auto target = ex.Target();
        const auto query = target.find('?');
        const int n = std::stoi(target.substr(1, query - 1));
        const auto next =
            n > 0 ? "/" + std::to_string(n - 1) + target.substr(query) : target.substr(query + 1);
        ex.send("HTTP/1.1 30" + std::to_string(1 + n % 2) + " Moved\r\nLocation: " + next +
                "\r\nContent-Length: 5\r\n\r\nmoved");
    });
    const auto toTiles = tiles.Url("/t");
    const auto elsewhere = "http://localhost:" + toTiles.substr(17);
    const auto refused = [](const std::string &url) {
        return "the server redirected it to " + url +
               ", a host none of the tile-server settings names";
    };
    const std::tuple<std::string, bool, std::string> cases[] = {
        {"/4?" + toTiles, true, ""},
        {"/5?" + toTiles, true,
         "the server redirected it more than 5 times (last to " + toTiles + ")"},
        {"/0?" + elsewhere, true, refused(elsewhere)},
        {"/0?ftp://127.0.0.1/t", false,
         "the server redirected it to ftp://127.0.0.1/t, which is no http or https address"},
        {"/1?" + elsewhere, false, ""},
    };
    for (const auto &[path, named, reason] : cases) {
        auto limits = kQuick;
        if (named) {
            limits.redirectHosts = {{"", "no address", tiles.Url("/m0/kh")}};
        }
        TransferEngine engine(1, limits);
        std::string body;
        engine.Start(1, {.url = sender.Url(path),
                         .onData = [&](auto data, auto) { body += data; },
                         .verb = "POST",
                         .body = "a=1"});
        EXPECT_EQ(engine.Wait(1).reason, reason) << path;
        EXPECT_EQ(body, reason.empty() ? "tile" : "") << path;
    }
    EXPECT_TRUE(tiles.Requests().back().starts_with("GET /t HTTP/1.1\r\n"));
}

// The events of a download into a file: Complete with the result code; Progress, which may
// cancel it; GetOptions, whose revalidation flag asks caches to check with the server. The same
// body as a string.
TEST(Kachalka, DownloadToFileRaisesItsEvents) {
    ScriptedServer server(
        Script(ScriptedServer::Answer(200, "image/jpeg", std::string(70'000, 'j'))));
    test::TempDir dir;
    Recorder events;
    download::clsKachalka k(&events, kQuick);
    k.DownloadToFile(server.Url("/t.jpg"), dir / "t.jpg");
    EXPECT_EQ(test::ReadFile(dir / "t.jpg"), std::string(70'000, 'j'));
    EXPECT_EQ(k.LastFileStart(), std::string(65'536, 'j'));
    events.noResync = true;
    EXPECT_EQ(k.DownloadToString(server.Url("/u.jpg")), std::string(70'000, 'j'));
    const auto requests = server.Requests();
    EXPECT_NE(requests.at(0).find("\r\nCache-Control: no-cache\r\n"), std::string::npos);
    EXPECT_EQ(requests.at(1).find("Cache-Control"), std::string::npos);

    const ScriptedServer slow(kTrickle);
    events.cancelAfterBytes = 2000;
    EXPECT_THROW(k.DownloadToFile(slow.Url("/slow"), dir / "slow.jpg"), download::DownloadError);
    EXPECT_EQ(events.completes, (std::vector<std::int32_t>{0, 0, std::int32_t(0x80004004)}));
    EXPECT_FALSE(std::filesystem::exists(dir / "slow.jpg"));
}

// Each chunk is flagged first, intermediate or last; a handler's exception ends the transfer
// and reaches the caller, not libcurl. The request data goes out with the verb of Method.
TEST(Kachalka, DownloadPushHandsTheBodyOverInFlaggedChunks) {
    ScriptedServer server([](auto &ex) {
        ex.send(
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n");
        for (const std::string part : {"first-", "second-", "third"}) {
            ex.send(std::to_string(part.size()) + "\r\n" + part + "\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        ex.send("0\r\n\r\n");
    });
    Recorder events;
    download::clsKachalka k(&events, kQuick);
    k.Method = 1;
    k.RequestData = "a=1&b=2";
    k.DownloadPush(server.Url("/text"));
    events.throwOnData = true;
    EXPECT_THROW(k.DownloadPush(server.Url("/text")), std::runtime_error);
    EXPECT_EQ(events.chunks, (std::vector<std::pair<std::int32_t, std::string>>{
                                 {download::kFirstDataNotification, "first- as text/plain"},
                                 {download::kIntermediateDataNotification, "second- as text/plain"},
                                 {download::kLastDataNotification, "third as text/plain"},
                                 {download::kFirstDataNotification, "first- as text/plain"}}));
    const auto head = server.Requests().at(0);
    EXPECT_TRUE(head.starts_with("POST /text HTTP/1.1\r\n")) << head;
    EXPECT_NE(head.find("\r\nContent-Length: 7\r\n"), std::string::npos) << head;
}
