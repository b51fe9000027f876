// The downloader against loopback servers that misbehave on purpose.
#include "download/kachalka.h"

#include "support/env_guard.h"
#include "support/files.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cstring>

#include <chrono>
#include <thread>

using namespace tessaro;
using download::clsKachalka;
using download::DownloadCode;
using download::DownloadError;
using test::ScriptedServer;

namespace {

// Records every event and can cancel or hand over credentials.
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
        if (cancelAfterBytes >= 0 && progress > cancelAfterBytes) {
            cancel = true;
        }
    }
    void DataAvailable(std::int32_t eventType, std::string_view data,
                       const download::DataFormat &format) override {
        chunks.emplace_back(eventType, std::string(data));
        contentType = format.contentType;
    }
    void GetOptions(std::int32_t &options) override {
        if (noResync) {
            options &= ~download::kResynchronize;
        }
    }

    bool giveCredentials = false;
    bool noResync = false;
    int cancelAfterBytes = -1;
    int authentications = 0;
    int progressEvents = 0;
    std::vector<std::int32_t> completes;
    std::vector<std::pair<std::int32_t, std::string>> chunks;
    std::string contentType;
};

download::DownloadLimits QuickLimits() {
    download::DownloadLimits limits;
    limits.connectTimeoutMs = 2000;
    limits.stallSeconds = 1;
    limits.stallBytesPerSecond = 100;
    limits.maxBytes = 100'000;
    limits.totalSeconds = 3;
    return limits;
}

DownloadCode CodeOfDownload(clsKachalka &k, const std::string &url,
                            const std::filesystem::path &file) {
    try {
        k.DownloadToFile(url, file);
        return DownloadCode::Ok;
    } catch (const DownloadError &e) {
        EXPECT_NE(std::string(e.what()).find(url), std::string::npos) << e.what();
        EXPECT_EQ(static_cast<std::uint32_t>(e.Number()), static_cast<std::uint32_t>(e.Code()));
        return e.Code();
    }
}

std::size_t FilesIn(const std::filesystem::path &dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(dir))
        ++n;
    return n;
}

} // namespace

TEST(Kachalka, DownloadsToAFileWithEventsAndCacheHeaderAndPostsForms) {
    ScriptedServer server([](ScriptedServer::Exchange &ex) {
        ex.send(ScriptedServer::Answer(200, "image/jpeg", std::string(30000, 'j')));
    });
    test::TempDir dir;
    Recorder events;
    clsKachalka k(&events, QuickLimits());
    k.DownloadToFile(server.Url("/t.jpg"), dir / "t.jpg");
    EXPECT_EQ(test::ReadFile(dir / "t.jpg"), std::string(30000, 'j'));
    EXPECT_EQ(k.LastFileStart(), std::string(30000, 'j'));
    EXPECT_EQ(events.completes, std::vector<std::int32_t>{0});
    EXPECT_GT(events.progressEvents, 0);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].starts_with("GET /t.jpg HTTP/1.1\r\n"));
    EXPECT_NE(requests[0].find("Cache-Control: no-cache"), std::string::npos);

    events.noResync = true;
    k.DownloadToFile(server.Url("/u.jpg"), dir / "u.jpg");
    EXPECT_EQ(server.Requests()[1].find("Cache-Control"), std::string::npos);

    k.Method = 1; // a form posted
    k.RequestData = "a=1&b=2";
    EXPECT_EQ(k.DownloadToString(server.Url("/form")), std::string(30000, 'j'));
    EXPECT_TRUE(server.Requests()[2].starts_with("POST /form HTTP/1.1\r\n"))
        << server.Requests()[2];
    EXPECT_NE(server.Requests()[2].find("Content-Length: 7"), std::string::npos);
}

TEST(Kachalka, FailedTransfersAndClosedPortsLeaveNoFileAndKeepAnEarlierOne) {
    test::TempDir dir;
    test::WriteFile(dir / "kept.jpg", "earlier");
    struct Case {
        const char *what;
        ScriptedServer::Handler handler;
        DownloadCode code;
    };
    const Case cases[] = {
        {"404",
         [](auto &ex) { ex.send(ScriptedServer::Answer(404, "text/html", "<html>no</html>")); },
         DownloadCode::NotFound},
        {"500",
         [](auto &ex) { ex.send(ScriptedServer::Answer(500, "text/html", "<html>oops</html>")); },
         DownloadCode::DownloadFailure},
        {"403", [](auto &ex) { ex.send(ScriptedServer::Answer(403, "text/plain", "no")); },
         DownloadCode::AccessDenied},
        {"truncated",
         [](auto &ex) {
             ex.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(10, 'x'));
         },
         DownloadCode::DownloadFailure},
        {"dropped", [](auto &) {}, DownloadCode::DownloadFailure},
        {"garbage", [](auto &ex) { ex.send("nonsense\r\n\r\n"); }, DownloadCode::DownloadFailure},
        {"too large",
         [](auto &ex) {
             ex.send(ScriptedServer::Answer(200, "image/jpeg", std::string(200'000, 'b')));
         },
         DownloadCode::TooLarge},
        {"too large without a length",
         [](auto &ex) {
             ex.send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
             for (int i = 0; i < 30 && ex.send(std::string(10'000, 'c')); ++i) {
             }
         },
         DownloadCode::TooLarge},
        {"trickling above the stall limit for longer than a transfer may take",
         [](auto &ex) {
             ex.send("HTTP/1.1 200 OK\r\nContent-Length: 90000\r\n\r\n");
             for (int i = 0; i < 60 && ex.send(std::string(200, 't')); ++i) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(100));
             }
         },
         DownloadCode::Timeout},
        {"stalled",
         [](auto &ex) {
             ex.send("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\nab");
             std::this_thread::sleep_for(std::chrono::seconds(4));
         },
         DownloadCode::Timeout},
    };
    for (const auto &c : cases) {
        ScriptedServer server(c.handler);
        clsKachalka k(nullptr, QuickLimits());
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(CodeOfDownload(k, server.Url("/x.jpg"), dir / "new.jpg"), c.code) << c.what;
        EXPECT_EQ(CodeOfDownload(k, server.Url("/x.jpg"), dir / "kept.jpg"), c.code) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15)) << c.what;
        EXPECT_FALSE(std::filesystem::exists(dir / "new.jpg")) << c.what;
        EXPECT_EQ(test::ReadFile(dir / "kept.jpg"), "earlier") << c.what;
        EXPECT_EQ(FilesIn(dir.Path()), 1u) << c.what << ": no temporary file stays";
    }
    int closedPort = 0;
    {
        ScriptedServer gone([](auto &) {});
        closedPort = gone.Port();
    }
    clsKachalka k(nullptr, QuickLimits());
    EXPECT_EQ(
        CodeOfDownload(k, "http://127.0.0.1:" + std::to_string(closedPort) + "/x", dir / "new.jpg"),
        DownloadCode::CannotConnect);
    EXPECT_EQ(FilesIn(dir.Path()), 1u);
}

TEST(Kachalka, CancelFromProgressAbortsTheTransfer) {
    ScriptedServer server([](ScriptedServer::Exchange &ex) {
        ex.send("HTTP/1.1 200 OK\r\nContent-Length: 90000\r\n\r\n");
        for (int i = 0; i < 90 && ex.send(std::string(1000, 'x')); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    test::TempDir dir;
    Recorder events;
    events.cancelAfterBytes = 2000;
    clsKachalka k(&events, QuickLimits());
    try {
        k.DownloadToFile(server.Url("/slow"), dir / "slow.jpg");
        FAIL() << "the transfer was not cancelled";
    } catch (const DownloadError &e) {
        EXPECT_EQ(e.Code(), DownloadCode::Aborted);
        EXPECT_EQ(static_cast<std::uint32_t>(e.Number()), 0x80004004u);
    }
    ASSERT_EQ(events.completes.size(), 1u);
    EXPECT_EQ(static_cast<std::uint32_t>(events.completes[0]), 0x80004004u);
    EXPECT_FALSE(std::filesystem::exists(dir / "slow.jpg"));
}

TEST(Kachalka, StringsAndPushedChunks) {
    ScriptedServer server([](ScriptedServer::Exchange &ex) {
        ex.send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n"
                "Connection: close\r\n\r\n");
        for (const char *part : {"first-", "second-", "third"}) {
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", std::strlen(part));
            ex.send(size + std::string(part) + "\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        ex.send("0\r\n\r\n");
    });
    Recorder events;
    clsKachalka k(&events, QuickLimits());
    EXPECT_EQ(k.DownloadToString(server.Url("/text")), "first-second-third");
    k.DownloadPush(server.Url("/text"));
    ASSERT_EQ(events.chunks.size(), 3u);
    EXPECT_EQ(events.chunks[0],
              std::make_pair(download::kFirstDataNotification, std::string("first-")));
    EXPECT_EQ(events.chunks[1],
              std::make_pair(download::kIntermediateDataNotification, std::string("second-")));
    EXPECT_EQ(events.chunks[2],
              std::make_pair(download::kLastDataNotification, std::string("third")));
    EXPECT_EQ(events.contentType, "text/plain");
}

TEST(Kachalka, ProxyCredentialsOnlyWhenTheHandlerHandsThemOver) {
    // The scripted server plays a proxy that wants user:pass (Basic dXNlcjpwYXNz).
    ScriptedServer proxy([](ScriptedServer::Exchange &ex) {
        if (ex.Header("Proxy-Authorization") == "Basic dXNlcjpwYXNz") {
            ex.send(ScriptedServer::Answer(200, "image/jpeg", "tile for " + ex.Target()));
        } else {
            ex.send("HTTP/1.1 407 Proxy Authentication Required\r\n"
                    "Proxy-Authenticate: Basic realm=\"tiles\"\r\nContent-Length: 0\r\n"
                    "Connection: close\r\n\r\n");
        }
    });
    test::EnvGuard httpProxy("http_proxy", proxy.Url(""));
    test::EnvGuard noProxy("no_proxy", std::nullopt);
    test::EnvGuard noProxyUpper("NO_PROXY", std::nullopt);
    test::TempDir dir;
    {
        Recorder events; // keeps the credentials to itself
        clsKachalka k(&events, QuickLimits());
        EXPECT_EQ(CodeOfDownload(k, "http://tiles.invalid/a.jpg", dir / "a.jpg"),
                  DownloadCode::AccessDenied);
        EXPECT_EQ(events.authentications, 1);
        for (const auto &head : proxy.Requests()) {
            EXPECT_EQ(head.find("Proxy-Authorization"), std::string::npos);
        }
    }
    Recorder events;
    events.giveCredentials = true;
    clsKachalka k(&events, QuickLimits());
    k.DownloadToFile("http://tiles.invalid/b.jpg", dir / "b.jpg");
    EXPECT_EQ(test::ReadFile(dir / "b.jpg"), "tile for http://tiles.invalid/b.jpg");
    EXPECT_EQ(events.authentications, 1);
    k.DownloadToFile("http://tiles.invalid/c.jpg", dir / "c.jpg");
    EXPECT_EQ(events.authentications, 1) << "asked once, kept for the run";
}

TEST(Kachalka, AFullDiskLeavesNoPartialTile) {
    test::TempDir dir;
    const auto small = dir / "small";
    std::filesystem::create_directory(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << ")";
    }
    test::WriteFile(small / "earlier.jpg", "kept");
    ScriptedServer server([](ScriptedServer::Exchange &ex) {
        ex.send(ScriptedServer::Answer(200, "image/jpeg", std::string(90'000, 'z')));
    });
    clsKachalka k(nullptr, QuickLimits());
    EXPECT_EQ(CodeOfDownload(k, server.Url("/big.jpg"), small / "big.jpg"),
              DownloadCode::WriteFailed);
    EXPECT_FALSE(std::filesystem::exists(small / "big.jpg"));
    EXPECT_EQ(test::ReadFile(small / "earlier.jpg"), "kept");
    EXPECT_EQ(FilesIn(small), 1u);
    ::umount(small.c_str());
}
