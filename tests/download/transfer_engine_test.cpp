// The transfer engine and the downloader over it, against loopback servers that misbehave on
// purpose.
#include "download/kachalka.h"

#include "support/env_guard.h"
#include "support/files.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"
#include "support/tmpfs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
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

// 90 000 bytes in about four seconds: well above the stall limit, but longer than 3 s.
const auto kTrickle = Script("HTTP/1.1 200 OK\r\nContent-Length: 90000\r\n\r\n",
                             std::string(1000, 'x'), 90, std::chrono::milliseconds(50));

std::size_t FilesIn(const std::filesystem::path &dir) {
    const std::filesystem::directory_iterator entries(dir);
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

// A proxy that wants user:pass and answers every address with its name, for the life of the
// object the only proxy of the process.
struct PasswordProxy {
    ScriptedServer server{[](ScriptedServer::Exchange &ex) {
        if (ex.Header("Proxy-Authorization") == "Basic dXNlcjpwYXNz") {
            ex.send(ScriptedServer::Answer(200, "image/jpeg", "tile for " + ex.Target()));
        } else {
            ex.send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                    "realm=\"tiles\"\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        }
    }};
    test::EnvGuard httpProxy{"http_proxy", server.Url("")};
    test::EnvGuard noProxy{"no_proxy", std::nullopt};
    test::EnvGuard noProxyUpper{"NO_PROXY", std::nullopt};
};

class Recorder : public download::KachalkaEvents {
public:
    void Authenticate(std::int32_t &hWnd, std::string &user, std::string &password) override {
        ++authentications;
        if (giveCredentials) {
            user = "user";
            password = "pass";
            hWnd = 0;
        }
    }
    void Complete(std::int32_t status, std::string_view) override { completes.push_back(status); }
    void Progress(std::int32_t progress, std::int32_t, std::int32_t, std::string_view,
                  bool &cancel) override {
        ++progressEvents;
        cancel = cancelAfterBytes >= 0 && progress > cancelAfterBytes;
    }
    void DataAvailable(std::int32_t eventType, std::string_view data,
                       const download::DataFormat &format) override {
        if (throwOnData) {
            throw std::runtime_error("the handler failed");
        }
        chunks.emplace_back(eventType, std::string(data) + " as " + format.contentType);
    }
    void GetOptions(std::int32_t &options) override {
        options &= noResync ? ~download::kResynchronize : ~0;
    }

    bool giveCredentials = false, noResync = false, throwOnData = false;
    int cancelAfterBytes = -1, authentications = 0, progressEvents = 0;
    std::vector<std::int32_t> completes;
    std::vector<std::pair<std::int32_t, std::string>> chunks;
};

} // namespace

// Every failure leaves the earlier file of the name as it was and nothing beside it.
TEST(TransferEngine, FailedTransfersLeaveAnEarlierFileAndNothingElse) {
    test::TempDir dir;
    const test::ScopedTmpfs disk(dir / "disk", "64k");
    std::filesystem::create_directory(dir / "plain");
    for (const char *folder : {"disk", "plain"}) {
        test::WriteFile(dir / folder / "kept.jpg", "earlier");
    }
    const struct {
        const char *what;
        ScriptedServer::Handler handler;
        DownloadCode code;
    } cases[] = {
        {"404", Script(ScriptedServer::Answer(404, "text/html", "no")), DownloadCode::NotFound},
        {"410", Script(ScriptedServer::Answer(410, "text/html", "no")), DownloadCode::NotFound},
        {"500", Script(ScriptedServer::Answer(500, "text/html", "no")),
         DownloadCode::DownloadFailure},
        {"401", Script(ScriptedServer::Answer(401, "text/html", "no")), DownloadCode::AccessDenied},
        {"403", Script(ScriptedServer::Answer(403, "text/html", "no")), DownloadCode::AccessDenied},
        {"truncated", Script("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nxxxxxxxxxx"),
         DownloadCode::DownloadFailure},
        {"dropped", Script(""), DownloadCode::DownloadFailure},
        {"garbage", Script("nonsense\r\n\r\n"), DownloadCode::DownloadFailure},
        {"too large", Script(ScriptedServer::Answer(200, "image/jpeg", std::string(100'001, 'b'))),
         DownloadCode::TooLarge},
        {"too large without a length",
         Script("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", std::string(10'000, 'c'), 30),
         DownloadCode::TooLarge},
        {"trickling for longer than a transfer may take", kTrickle, DownloadCode::Timeout},
        {"stalled",
         Script("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\nab", "", 1,
                std::chrono::seconds(2)),
         DownloadCode::Timeout},
        {"nothing listening", nullptr, DownloadCode::CannotConnect},
        {"full disk", Script(ScriptedServer::Answer(200, "image/jpeg", std::string(90'000, 'z'))),
         DownloadCode::WriteFailed},
    };
    for (const auto &c : cases) {
        if (std::string(c.what) == "full disk" && !disk.Mounted()) {
            std::cerr << "full disk untested: no tmpfs here (" << disk.Error() << ")\n";
            continue;
        }
        const auto folder = dir / (std::string(c.what) == "full disk" ? "disk" : "plain");
        ScriptedServer server(c.handler);
        TransferEngine engine(1, kQuick);
        const auto start = std::chrono::steady_clock::now();
        const auto url = c.handler ? server.Url("/x.jpg") : "http://127.0.0.1:1/x.jpg";
        engine.Start(7, {.url = url, .file = folder / "kept.jpg"});
        const auto outcome = engine.Wait(7);
        EXPECT_EQ(outcome.code, c.code) << c.what;
        EXPECT_EQ(outcome.message, "Download of " + url + " failed: " + outcome.reason + ".");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
        EXPECT_EQ(test::ReadFile(folder / "kept.jpg"), "earlier") << c.what;
        EXPECT_EQ(FilesIn(folder), 1u) << c.what;
    }
}

// Transfers sent together meet the proxy's question together: it is asked once, and each goes
// again with the one answer. Kept or wrong credentials end as access denied.
TEST(TransferEngine, TransfersBehindAPasswordProxyShareOneAnswer) {
    PasswordProxy proxy;
    test::TempDir dir;
    for (const std::string answer : {"none", "wrong", "right"}) {
        int asked = 0;
        download::TransferHooks hooks;
        hooks.credentials = [&](std::string &user, std::string &password) {
            ++asked;
            user = "user";
            password = answer == "wrong" ? "guess" : "pass";
            return answer != "none";
        };
        TransferEngine engine(4, kQuick, hooks);
        for (int i = 0; i < 6; ++i) {
            engine.Start(i, {.url = "http://tiles.invalid/" + std::to_string(i),
                             .file = dir / (answer + std::to_string(i))});
        }
        for (int i = 0; i < 6; ++i) {
            const auto outcome = engine.Wait(i);
            EXPECT_EQ(outcome.code,
                      answer == "right" ? DownloadCode::Ok : DownloadCode::AccessDenied);
            EXPECT_EQ(outcome.httpStatus, answer == "right" ? 200 : 407);
        }
        EXPECT_EQ(asked, answer == "none" ? 6 : 1) << answer;
    }
    EXPECT_EQ(test::ReadFile(dir / "right5"), "tile for http://tiles.invalid/5");
    int withCredentials = 0;
    for (const auto &head : proxy.server.Requests()) {
        withCredentials += head.find("Proxy-Authorization") != std::string::npos;
    }
    EXPECT_EQ(withCredentials, 12) << "once per transfer, wrong ones too";
}

TEST(Kachalka, DownloadToFileRaisesItsEventsAndRevalidates) {
    ScriptedServer server(
        Script(ScriptedServer::Answer(200, "image/jpeg", std::string(70'000, 'j'))));
    test::TempDir dir;
    Recorder events;
    download::clsKachalka k(&events, kQuick);
    k.DownloadToFile(server.Url("/t.jpg"), dir / "t.jpg");
    EXPECT_EQ(test::ReadFile(dir / "t.jpg"), std::string(70'000, 'j'));
    EXPECT_EQ(k.LastFileStart(), std::string(65'536, 'j'));
    EXPECT_EQ(events.completes, std::vector<std::int32_t>{0});
    EXPECT_GT(events.progressEvents, 0);
    events.noResync = true;
    k.DownloadToFile(server.Url("/u.jpg"), dir / "u.jpg");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[0].starts_with("GET /t.jpg HTTP/1.1\r\n"));
    EXPECT_NE(requests[0].find("\r\nCache-Control: no-cache\r\n"), std::string::npos);
    EXPECT_EQ(requests[1].find("Cache-Control"), std::string::npos);
    EXPECT_EQ(requests[0].find("User-Agent"), std::string::npos);
}

TEST(Kachalka, DownloadToStringPostsTheRequestData) {
    const ScriptedServer server(
        [](auto &ex) { ex.send(ScriptedServer::Answer(200, "text/plain", "got " + ex.head)); });
    download::clsKachalka k;
    k.Method = 1;
    k.RequestData = "a=1&b=2";
    const auto body = k.DownloadToString(server.Url("/form"));
    EXPECT_TRUE(body.starts_with("got POST /form HTTP/1.1\r\n")) << body;
    EXPECT_NE(body.find("\r\nContent-Length: 7\r\n"), std::string::npos) << body;
}

// A handler's exception ends the transfer and reaches the caller, not libcurl.
TEST(Kachalka, DownloadPushHandsTheBodyOverInFlaggedChunks) {
    const ScriptedServer server([](auto &ex) {
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
    k.DownloadPush(server.Url("/text"));
    EXPECT_EQ(events.chunks, (std::vector<std::pair<std::int32_t, std::string>>{
                                 {download::kFirstDataNotification, "first- as text/plain"},
                                 {download::kIntermediateDataNotification, "second- as text/plain"},
                                 {download::kLastDataNotification, "third as text/plain"}}));
    events.throwOnData = true;
    EXPECT_THROW(k.DownloadPush(server.Url("/text")), std::runtime_error);
    events.throwOnData = false;
    k.DownloadPush(server.Url("/text"));
    EXPECT_EQ(events.chunks.size(), 6u);
}

// Progress may cancel a transfer. A proxy gets credentials only when the handler clears the
// window handle; they are kept for the downloader's later transfers.
TEST(Kachalka, CancelAndCredentialsGoThroughTheEvents) {
    const ScriptedServer slow(kTrickle);
    test::TempDir dir;
    Recorder canceller;
    canceller.cancelAfterBytes = 2000;
    download::clsKachalka k(&canceller, kQuick);
    try {
        k.DownloadToFile(slow.Url("/slow"), dir / "slow.jpg");
        ADD_FAILURE() << "the transfer was not cancelled";
    } catch (const download::DownloadError &e) {
        EXPECT_EQ(static_cast<std::uint32_t>(e.Number()), 0x80004004u);
    }
    EXPECT_EQ(canceller.completes,
              std::vector<std::int32_t>{static_cast<std::int32_t>(0x80004004)});
    EXPECT_EQ(FilesIn(dir.Path()), 0u);

    PasswordProxy proxy;
    Recorder keeper;
    download::clsKachalka kept(&keeper, kQuick);
    EXPECT_THROW(kept.DownloadToFile("http://tiles.invalid/a", dir / "a"), download::DownloadError);
    for (const auto &head : proxy.server.Requests()) {
        EXPECT_EQ(head.find("Proxy-Authorization"), std::string::npos) << "kept means kept";
    }
    Recorder giver;
    giver.giveCredentials = true;
    download::clsKachalka given(&giver, kQuick);
    given.DownloadToFile("http://tiles.invalid/b", dir / "b");
    given.DownloadToFile("http://tiles.invalid/c", dir / "c");
    EXPECT_EQ(test::ReadFile(dir / "c"), "tile for http://tiles.invalid/c");
    EXPECT_EQ(std::pair(keeper.authentications, giver.authentications), std::pair(1, 1));
}
