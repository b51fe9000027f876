#include "cli/command.h"
#include "common/atomic_file.h"
#include "common/error.h"
#include "common/text.h"
#include "tileserver/tile_server.h"

#include <csignal>
#include <ctime>
#include <pthread.h>

namespace tessaro::cli {

namespace {

constexpr std::string_view kUsage =
    R"(Usage: tessaro serve [--port P] [--fault KIND[:SELECTOR,...]]...

Runs the built-in tile server on 127.0.0.1: it answers every tile address the program builds
with a synthetic 256 x 256 tile whose pixels encode the tile's own numbers, JPEG or palette PNG
as the real sources send them, and it can misbehave for tests. Prints one line
  listening on http://127.0.0.1:P
when it is ready, then serves until SIGINT or SIGTERM. Point the server settings at that
address, with a folder per mirror if wanted (http://127.0.0.1:P/m2/kh names mirror 2).

Options:
  --port P    port to listen on, 0 to 65535; 0 (default) picks a free one
  --fault F   misbehave on the requests F selects; may be repeated, the first fault that
              selects a request answers it. F is KIND[:SELECTOR,...] with KIND one of
                html        200 with an HTML page instead of the image
                404, 500    that status with a short text
                delay=MS    wait MS milliseconds, then answer normally
                trickle=MS  send the image in 1 KiB pieces, MS milliseconds apart
                truncate    announce the whole image, send half of it, close
                drop        close the connection without answering
                empty       200 with an empty body
                204         204 without a body
                cut         send half of the image without a length, close
                429[=S], 503[=S]  that status, with Retry-After: S when S is given
              and SELECTOR any of (all must match)
                all         every request (the default)
                every=N     every N-th request selected by the other selectors
                tile=X/Y    requests for tile X, Y (as the address writes them)
                mirror=K    requests whose path has the folder mK ("/m2/...")
                first=N     only the first N requests hit, later ones are served
              for example --fault 500:mirror=2  --fault drop:tile=5/3,first=1

Control addresses: /__stats (counts), /__targets (request targets seen), /__reset.
The address / answers a page of map and satellite tiles (/?layer=land: landscape) from which
the desktop's version browser reads the tile versions.

Exit codes: 0 stopped by SIGINT or SIGTERM; 1 the port could not be bound; 2 usage error.
)";

constexpr OptionSpec kOptions[] = {
    {"port", true, false},
    {"fault", true, true},
};

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread it starts, until
// destroyed; the command then takes them with sigwait instead of dying of them. A signal that
// is ignored is discarded even while blocked (a shell starts background jobs with SIGINT
// ignored), so both get their default action meanwhile, which blocking keeps from running.
class BlockedStopSignals {
public:
    BlockedStopSignals() {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &m_set, &m_previous);
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        sigaction(SIGINT, &defaults, &m_previousInt);
        sigaction(SIGTERM, &defaults, &m_previousTerm);
    }
    BlockedStopSignals(const BlockedStopSignals &) = delete;
    BlockedStopSignals &operator=(const BlockedStopSignals &) = delete;
    ~BlockedStopSignals() {
        // A second signal that came in while stopping is dropped rather than killing the
        // process once the mask is restored.
        const timespec now{0, 0};
        while (sigtimedwait(&m_set, nullptr, &now) > 0) {
        }
        sigaction(SIGINT, &m_previousInt, nullptr);
        sigaction(SIGTERM, &m_previousTerm, nullptr);
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }

    // Returns the signal that arrived.
    int Wait() const {
        int signal = 0;
        while (sigwait(&m_set, &signal) != 0) {
        }
        return signal;
    }

private:
    sigset_t m_set{};
    sigset_t m_previous{};
    struct sigaction m_previousInt {};
    struct sigaction m_previousTerm {};
};

class ServeCommand : public Command {
public:
    void Setup(const ParsedOptions &options) override {
        if (const auto *port = options.Get("port")) {
            std::int64_t value = 0;
            if (!ParseInt(*port, value) || value < 0 || value > 65535) {
                throw ArgumentError("The port '" + *port + "' is not a number from 0 to 65535.");
            }
            m_options.port = static_cast<std::uint16_t>(value);
        }
        for (const auto &text : options.All("fault")) {
            m_options.faults.push_back(tileserver::ParseFault(text));
        }
    }

    int Run(CommandContext &context) override {
        const BlockedStopSignals signals;
        tileserver::TileServer server(m_options);
        server.Start();
        FdWriter out(context.stdoutFd, "standard output");
        out.Write("listening on " + server.BaseUrl() + "\n");
        out.Flush();
        signals.Wait();
        server.Stop();
        return kExitOk;
    }

private:
    tileserver::ServerOptions m_options;
};

} // namespace

CommandInfo ServeCommandInfo() {
    return {"serve", "run the built-in tile server on 127.0.0.1 for tests and the demo", kUsage,
            kOptions, [] { return std::make_unique<ServeCommand>(); }};
}

} // namespace tessaro::cli
