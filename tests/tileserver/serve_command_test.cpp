// `tessaro serve` run as the separate process a script or a benchmark starts.
#include "support/http_client.h"
#include "support/process.h"
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

using tessaro::test::HttpClient;
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

    std::string rest; ///< output after the lines read, once stopped

private:
    FILE *m_out = nullptr;
    pid_t m_pid = -1;
};

// One line with the address, then tiles and the faults of both option forms; the control
// addresses answer the counts and targets (they count as no request, but every GET here comes
// on a connection of its own) and reset them. SIGTERM ends it with status 0 and nothing more.
TEST(ServeCommand, AnnouncesItsAddressServesAndStopsOnSigterm) {
    ServeProcess serve("--fault 500:mirror=1 --fault=drop:tile=7/7,first=1");
    const std::string line = serve.Line();
    ASSERT_EQ(line.rfind("listening on http://127.0.0.1:", 0), 0u) << line;
    ASSERT_EQ(line.back(), '\n');
    const std::string base = line.substr(13, line.size() - 14);
    const HttpClient client;
    const auto tile = client.Get(base + "/m0/tiles?l=map&v=2.2.1&x=5&y=6&z=4");
    EXPECT_EQ(tile.status, 200);
    EXPECT_EQ(tile.contentType, "image/png");
    EXPECT_EQ(client.Get(base + "/m1/tiles?l=map&v=2.2.1&x=5&y=6&z=4").status, 500);
    EXPECT_EQ(client.Get(base + "/tiles?l=sat&v=1.6.0&x=7&y=7&z=4").curlCode, CURLE_GOT_NOTHING);
    EXPECT_EQ(client.Get(base + "/tiles?l=sat&v=1.6.0&x=7&y=7&z=4").status, 200);
    EXPECT_EQ(client.Get(base + "/nothing/here").body, "No tile at this address.\n");
    const auto stats = client.Get(base + "/__stats");
    EXPECT_EQ(stats.contentType, "text/plain");
    EXPECT_EQ(stats.body,
              "connections 6\nrequests 5\ntiles 2\nnot_found 1\nfaults 2\nbad_requests 0\n"
              "fault 500:mirror=1 1\nfault drop:tile=7/7,first=1 1\n");
    EXPECT_EQ(client.Get(base + "/__targets").body,
              "/m0/tiles?l=map&v=2.2.1&x=5&y=6&z=4\n/m1/tiles?l=map&v=2.2.1&x=5&y=6&z=4\n"
              "/tiles?l=sat&v=1.6.0&x=7&y=7&z=4\n/tiles?l=sat&v=1.6.0&x=7&y=7&z=4\n"
              "/nothing/here\n");
    EXPECT_EQ(client.Get(base + "/__reset").status, 200);
    EXPECT_EQ(client.Get(base + "/__targets").body, "");
    EXPECT_EQ(client.Get(base + "/__stats").body,
              "connections 2\nrequests 0\ntiles 0\nnot_found 0\nfaults 0\nbad_requests 0\n"
              "fault 500:mirror=1 0\nfault drop:tile=7/7,first=1 0\n");
    EXPECT_EQ(serve.StopWith(SIGTERM), 0);
    EXPECT_EQ(serve.rest, "");
}

// On the given port, and stopped by SIGINT also when started with it ignored, as a script's
// background job is.
TEST(ServeCommand, ListensOnTheGivenPortAndStopsOnSigint) {
    std::uint16_t port = 0;
    {
        tessaro::tileserver::TileServer probe; // a port that was free a moment ago
        probe.Start();
        port = probe.Port();
    }
    ServeProcess serve("--port=" + std::to_string(port), true);
    ASSERT_EQ(serve.Line(), "listening on http://127.0.0.1:" + std::to_string(port) + "\n");
    EXPECT_EQ(serve.StopWith(SIGINT), 0);
    EXPECT_EQ(serve.rest, "");
}

// Exit code and the start of the message (on standard error; the help on standard output),
// with nothing on the other stream.
TEST(ServeCommand, HelpAndRefusalsExitWithTheirCodeAndMessage) {
    tessaro::tileserver::TileServer taken;
    taken.Start();
    const std::string port = std::to_string(taken.Port());
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"--help"}, 0, "Usage: tessaro serve [--port P] [--fault KIND[:SELECTOR,...]]...\n"},
        {{"--port", port}, 1, "tessaro serve: The tile server cannot listen on 127.0.0.1:" + port},
        {{"--port", "70000"},
         2,
         "tessaro serve: The port '70000' is not a number from 0 to 65535.\n"},
        {{"--port"}, 2, "tessaro serve: The option '--port' needs a value.\n"},
        {{"--fault", "500:every=0"}, 2, "tessaro serve: The fault '500:every=0' has '0' where"},
        {{"extra"}, 2, "tessaro serve: Unexpected argument 'extra'.\n"},
        {{"--level", "3"}, 2, "tessaro serve: Unknown option '--level'.\n"},
    };
    for (const auto &[args, exitCode, message] : cases) {
        std::vector<std::string> argv = {TESSARO_BINARY, "serve"};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = tessaro::test::RunProcess(argv, {}, {}, 30s);
        EXPECT_EQ(r.exitCode, exitCode) << message;
        EXPECT_EQ((exitCode == 0 ? r.out : r.err).rfind(message, 0), 0u) << r.out << r.err;
        EXPECT_EQ(exitCode == 0 ? r.err : r.out, "");
    }
}

} // namespace
