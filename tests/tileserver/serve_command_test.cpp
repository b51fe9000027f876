// `tessaro serve` run as the separate process the demo and the download tests start.
#include "support/http_client.h"
#include "support/image_decode.h"
#include "support/process.h"
#include "tileserver/tile_code.h"
#include "tileserver/tile_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <thread>

using tessaro::test::DecodeImage;
using tessaro::test::HttpClient;
using tessaro::test::RunProcess;
using tessaro::tiles::TilesType;
using namespace tessaro::tileserver;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// A running `tessaro serve` with its standard output and error on pipes. Killed and reaped
// when the test leaves without stopping it.
class ServeProcess {
public:
    // ignoreSigint starts it the way a shell starts a background job, with SIGINT ignored.
    explicit ServeProcess(const std::vector<std::string> &options, bool ignoreSigint = false) {
        std::array<int, 2> out{}, err{};
        if (::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        std::vector<std::string> args = {TESSARO_BINARY, "serve"};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid < 0) {
            throw std::runtime_error("fork failed");
        }
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            if (ignoreSigint) {
                ::signal(SIGINT, SIG_IGN);
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ServeProcess(const ServeProcess &) = delete;
    ServeProcess &operator=(const ServeProcess &) = delete;
    ~ServeProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_out);
        ::close(m_err);
    }

    // Everything the process wrote to standard output up to the first line end, waiting at
    // most the time-out.
    std::string FirstLine(std::chrono::milliseconds timeout = 20s) {
        std::string text;
        const auto deadline = Clock::now() + timeout;
        char c = 0;
        while (Clock::now() < deadline) {
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            if (::read(m_out, &c, 1) != 1) {
                break;
            }
            text += c;
            if (c == '\n') {
                break;
            }
        }
        return text;
    }

    // Sends the signal and waits, bounded, for the exit; returns the exit status or -1.
    int StopWith(int signal, std::chrono::milliseconds timeout = 20s) {
        ::kill(m_pid, signal);
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    // What is left on an output pipe once the process has ended.
    std::string Rest(bool standardError) {
        std::string text;
        std::array<char, 4096> buffer{};
        const int fd = standardError ? m_err : m_out;
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
            text.append(buffer.data(), static_cast<std::size_t>(n));
        }
        return text;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
};

std::string BaseUrlOf(const std::string &line) {
    const std::string prefix = "listening on ";
    EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
    EXPECT_EQ(line.back(), '\n');
    return line.substr(prefix.size(), line.size() - prefix.size() - 1);
}

TEST(ServeCommand, AnnouncesItsAddressServesTilesAndStopsOnSigterm) {
    ServeProcess serve({"--fault", "500:mirror=1", "--fault=drop:tile=7/7,first=1"});
    const std::string line = serve.FirstLine();
    const std::string base = BaseUrlOf(line);
    ASSERT_EQ(base.rfind("http://127.0.0.1:", 0), 0u);

    HttpClient client;
    const auto tile = client.Get(base + "/m0/tiles?l=map&v=2.2.1&x=5&y=6&z=4");
    ASSERT_EQ(tile.status, 200);
    EXPECT_EQ(tile.contentType, "image/png");
    const auto image = DecodeImage(tile.body);
    EXPECT_EQ(DecodeTileImage({image.rgb.data(), image.width, image.height, 0}),
              (TileCode{TilesType::YandMap, 5, 6, 4}));
    EXPECT_EQ(client.Get(base + "/m1/tiles?l=map&v=2.2.1&x=5&y=6&z=4").status, 500);
    // On a fresh connection: libcurl silently repeats a request once when a kept-alive
    // connection closes without an answer.
    EXPECT_EQ(HttpClient().Get(base + "/tiles?l=sat&v=1.6.0&x=7&y=7&z=4").curlCode,
              CURLE_GOT_NOTHING);
    EXPECT_EQ(client.Get(base + "/tiles?l=sat&v=1.6.0&x=7&y=7&z=4").status, 200);
    EXPECT_EQ(client.Get(base + "/__stats").body,
              "connections 2\nrequests 4\ntiles 2\nnot_found 0\nfaults 2\nbad_requests 0\n"
              "fault 500:mirror=1 1\nfault drop:tile=7/7,first=1 1\n");

    EXPECT_EQ(serve.StopWith(SIGTERM), 0);
    EXPECT_EQ(serve.Rest(false), ""); // exactly the one line
    EXPECT_EQ(serve.Rest(true), "");
}

TEST(ServeCommand, StopsOnSigintWithAClientStillConnected) {
    // Also when started with SIGINT ignored, as a script's background job is.
    ServeProcess serve({"--port", "0", "--fault", "delay=20000"}, true);
    const std::string base = BaseUrlOf(serve.FirstLine());
    std::thread waiting([&] {
        HttpClient client(30s);
        (void)client.Get(base + "/tiles?l=sat&v=1.6.0&x=7&y=7&z=4");
    });
    HttpClient probe;
    // Wait, bounded, for the delayed request to arrive at the server.
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline &&
           probe.Get(base + "/__stats").body.find("requests 1\n") == std::string::npos) {
        std::this_thread::sleep_for(10ms);
    }
    const auto start = Clock::now();
    EXPECT_EQ(serve.StopWith(SIGINT), 0);
    EXPECT_LT(Clock::now() - start, 5s);
    waiting.join();
}

TEST(ServeCommand, ListensOnTheGivenPort) {
    std::uint16_t port = 0;
    {
        TileServer probe; // a port that was free a moment ago
        probe.Start();
        port = probe.Port();
    }
    ServeProcess serve({"--port=" + std::to_string(port)});
    EXPECT_EQ(serve.FirstLine(), "listening on http://127.0.0.1:" + std::to_string(port) + "\n");
    EXPECT_EQ(serve.StopWith(SIGTERM), 0);
}

TEST(ServeCommand, APortInUseIsAProcessingError) {
    TileServer taken;
    taken.Start();
    const auto r =
        RunProcess({TESSARO_BINARY, "serve", "--port", std::to_string(taken.Port())}, {}, {}, 30s);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("tessaro serve: The tile server cannot listen on 127.0.0.1:" +
                              std::to_string(taken.Port()),
                          0),
              0u)
        << r.err;
}

TEST(ServeCommand, UsageErrorsExitWith2) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"--port", "70000"}, "tessaro serve: The port '70000' is not a number from 0 to 65535.\n"},
        {{"--port", "http"}, "tessaro serve: The port 'http' is not a number from 0 to 65535.\n"},
        {{"--port"}, "tessaro serve: The option '--port' needs a value.\n"},
        {{"--fault", "boom"}, "tessaro serve: The fault 'boom' has the unknown kind 'boom'"},
        {{"--fault", "500:every=0"}, "tessaro serve: The fault '500:every=0' has '0' where"},
        {{"extra"}, "tessaro serve: Unexpected argument 'extra'.\n"},
        {{"--level", "3"}, "tessaro serve: Unknown option '--level'.\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {TESSARO_BINARY, "serve"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = RunProcess(argv, {}, {}, 30s);
        EXPECT_EQ(r.exitCode, 2) << c.message;
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
    for (const char *word : {"--port P", "--fault F", "trickle=MS", "mirror=K", "first=N",
                             "/__stats", "Exit codes: 0"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
    }
    const auto general = RunProcess({TESSARO_BINARY, "--help"}, {}, {}, 30s);
    EXPECT_NE(general.out.find("\n  serve       run the built-in tile server"), std::string::npos)
        << general.out;
}

} // namespace
