// `tessaro serve` run as the separate process the demo and the download tests start.
#include "support/http_client.h"
#include "support/image_decode.h"
#include "support/process.h"
#include "tileserver/tile_code.h"
#include "tileserver/tile_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <thread>

using tessaro::test::DecodeImage;
using tessaro::test::HttpClient;
using tessaro::test::RunProcess;
using tessaro::tiles::TilesType;
using namespace tessaro::tileserver;
using namespace std::chrono_literals;

namespace {

// A running `tessaro serve`, its standard error joined to its output; killed if the test leaves
// without stopping it. ignoreSigint starts it as a shell starts a background job.
class ServeProcess {
public:
    explicit ServeProcess(const std::string &options, bool ignoreSigint = false) {
        const std::string command = std::string(ignoreSigint ? "trap '' INT; " : "") +
                                    "echo $$; exec '" TESSARO_BINARY "' serve " + options + " 2>&1";
        m_out = ::popen(command.c_str(), "r");
        m_pid = std::stoi(Line());
    }
    ServeProcess(const ServeProcess &) = delete;
    ServeProcess &operator=(const ServeProcess &) = delete;
    ~ServeProcess() {
        if (m_out != nullptr) {
            ::kill(m_pid, SIGKILL);
            ::pclose(m_out);
        }
    }

    std::string Line() {
        std::array<char, 512> line{};
        return ::fgets(line.data(), line.size(), m_out) != nullptr ? line.data() : "";
    }

    // Sends the signal, keeps what the process still writes and returns its exit status; a
    // process still running after 20 s is killed.
    int StopWith(int signal) {
        ::kill(m_pid, signal);
        std::atomic<bool> ended{false};
        std::thread watchdog([&] {
            for (int i = 0; i < 2000 && !ended; ++i) {
                std::this_thread::sleep_for(10ms);
            }
            if (!ended) {
                ::kill(m_pid, SIGKILL);
            }
        });
        for (int c; (c = std::fgetc(m_out)) != EOF;) {
            rest += static_cast<char>(c);
        }
        ended = true;
        watchdog.join();
        const int status = ::pclose(m_out);
        m_out = nullptr;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string rest; ///< output after the first line, once stopped

private:
    FILE *m_out = nullptr;
    pid_t m_pid = -1;
};

TEST(ServeCommand, AnnouncesItsAddressServesTilesAndStopsOnSigterm) {
    ServeProcess serve("--fault 500:mirror=1 --fault=drop:tile=7/7,first=1");
    const std::string line = serve.Line();
    ASSERT_EQ(line.rfind("listening on http://127.0.0.1:", 0), 0u) << line;
    ASSERT_EQ(line.back(), '\n');
    const std::string base = line.substr(13, line.size() - 14);

    HttpClient client;
    const auto tile = client.Get(base + "/m0/tiles?l=map&v=2.2.1&x=5&y=6&z=4");
    ASSERT_EQ(tile.status, 200);
    EXPECT_EQ(tile.contentType, "image/png");
    const auto image = DecodeImage(tile.body);
    EXPECT_EQ(DecodeTileImage({image.rgb.data(), image.width, image.height, 0}),
              (TileCode{TilesType::YandMap, 5, 6, 4}));
    EXPECT_EQ(client.Get(base + "/m1/tiles?l=map&v=2.2.1&x=5&y=6&z=4").status, 500);
    // A fresh connection: libcurl repeats a request once when a kept-alive one closes unanswered.
    EXPECT_EQ(HttpClient().Get(base + "/tiles?l=sat&v=1.6.0&x=7&y=7&z=4").curlCode,
              CURLE_GOT_NOTHING);
    EXPECT_EQ(client.Get(base + "/tiles?l=sat&v=1.6.0&x=7&y=7&z=4").status, 200);
    EXPECT_EQ(client.Get(base + "/nothing/here").body, "No tile at this address.\n");
    // The control addresses, which are not counted as requests.
    const auto stats = client.Get(base + "/__stats");
    EXPECT_EQ(stats.contentType, "text/plain");
    EXPECT_EQ(stats.body,
              "connections 2\nrequests 5\ntiles 2\nnot_found 1\nfaults 2\nbad_requests 0\n"
              "fault 500:mirror=1 1\nfault drop:tile=7/7,first=1 1\n");
    EXPECT_EQ(client.Get(base + "/__targets").body,
              "/m0/tiles?l=map&v=2.2.1&x=5&y=6&z=4\n/m1/tiles?l=map&v=2.2.1&x=5&y=6&z=4\n"
              "/tiles?l=sat&v=1.6.0&x=7&y=7&z=4\n/tiles?l=sat&v=1.6.0&x=7&y=7&z=4\n"
              "/nothing/here\n");
    EXPECT_EQ(client.Get(base + "/__reset").status, 200);
    EXPECT_EQ(client.Get(base + "/__targets").body, "");
    EXPECT_EQ(client.Get(base + "/__stats").body,
              "connections 0\nrequests 0\ntiles 0\nnot_found 0\nfaults 0\nbad_requests 0\n"
              "fault 500:mirror=1 0\nfault drop:tile=7/7,first=1 0\n");

    EXPECT_EQ(serve.StopWith(SIGTERM), 0);
    EXPECT_EQ(serve.rest, ""); // exactly the one line
}

// On the given port, and stopped by SIGINT even when started with it ignored, as a script's
// background job is; stopping with clients connected is tile_server_test's.
TEST(ServeCommand, ListensOnTheGivenPortAndStopsOnSigint) {
    std::uint16_t port = 0;
    {
        TileServer probe; // a port that was free a moment ago
        probe.Start();
        port = probe.Port();
    }
    ServeProcess serve("--port=" + std::to_string(port), true);
    ASSERT_EQ(serve.Line(), "listening on http://127.0.0.1:" + std::to_string(port) + "\n");
    EXPECT_EQ(serve.StopWith(SIGINT), 0);
}

TEST(ServeCommand, RefusalsExitWithTheirCodeAndMessage) {
    TileServer taken;
    taken.Start();
    const std::string port = std::to_string(taken.Port());
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    };
    const Case cases[] = {
        {{"--port", port}, 1, "tessaro serve: The tile server cannot listen on 127.0.0.1:" + port},
        {{"--port", "70000"},
         2,
         "tessaro serve: The port '70000' is not a number from 0 to 65535.\n"},
        {{"--port"}, 2, "tessaro serve: The option '--port' needs a value.\n"},
        {{"--fault", "500:every=0"}, 2, "tessaro serve: The fault '500:every=0' has '0' where"},
        {{"extra"}, 2, "tessaro serve: Unexpected argument 'extra'.\n"},
        {{"--level", "3"}, 2, "tessaro serve: Unknown option '--level'.\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {TESSARO_BINARY, "serve"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = RunProcess(argv, {}, {}, 30s);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.message;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    }
}

TEST(ServeCommand, HelpDocumentsOptionsAndExitCodes) {
    const auto r = RunProcess({TESSARO_BINARY, "serve", "--help"}, {}, {}, 30s);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("Usage: tessaro serve [--port P] [--fault KIND[:SELECTOR,...]]...\n", 0),
              0u);
    for (const char *word : {"trickle=MS", "mirror=K", "first=N", "/__stats", "Exit codes: 0"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
    const auto general = RunProcess({TESSARO_BINARY, "--help"}, {}, {}, 30s);
    EXPECT_NE(general.out.find("\n  serve       run the built-in tile server"), std::string::npos)
        << general.out;
}

} // namespace
