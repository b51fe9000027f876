#pragma once

#include "tileserver/fault.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tessaro::tileserver {

struct HeadResult;

/// Settings of a TileServer.
struct ServerOptions {
    std::uint16_t port = 0;  ///< 0 lets the system pick a free port
    int maxConnections = 64; ///< connections served at once; more wait to be accepted
    std::chrono::milliseconds idleTimeout{10'000}; ///< a connection silent this long is closed
    std::size_t maxHeadBytes = 16 * 1024;          ///< longer request heads get 431 and a close
    std::size_t maxBodyBytes = 64 * 1024;          ///< longer request bodies get 413 and a close
    int jpegQuality = 90;
    std::vector<Fault> faults; ///< tried in order; the first that hits a request answers it
};

/// What the server has seen since it started or since ResetStats.
struct ServerStats {
    std::uint64_t connections = 0; ///< connections accepted
    std::uint64_t requests = 0;    ///< requests read, control requests not counted
    std::uint64_t tiles = 0;       ///< whole tile images answered (also delayed or trickled)
    std::uint64_t notFound = 0;    ///< targets that name no tile
    std::uint64_t faults = 0;      ///< requests a fault hit
    std::uint64_t badRequests = 0; ///< malformed or refused requests (400, 405, 413, 431, ...)
    std::vector<std::uint64_t> faultHits; ///< per fault of the current list
};

/// A small HTTP/1.1 server on 127.0.0.1 that answers every tile address the program builds
/// (ParseTileTarget) with a synthetic tile whose pixels encode its own position (tile_code.h),
/// and that misbehaves on request (Fault).
///
/// Connections are persistent unless the client sends "Connection: close" (or speaks
/// HTTP/1.0 without "Connection: keep-alive"); each is served by its own thread, at most
/// ServerOptions::maxConnections at a time. Only GET is answered (405 otherwise). Unknown
/// targets get 404 with a short text body.
///
/// Control targets, for a server run in another process: "/__stats" answers the counts as
/// text lines "name value", "/__targets" the request targets one per line, "/__reset" clears
/// both and the faults' counts.
///
/// Every method is safe to call from any thread.
class TileServer {
public:
    explicit TileServer(ServerOptions options = {});
    TileServer(const TileServer &) = delete;
    TileServer &operator=(const TileServer &) = delete;
    /// Stops the server if it runs.
    ~TileServer();

    /// Binds 127.0.0.1 at the configured port and starts serving.
    /// @throws tessaro::Error (number Network) when the socket cannot be bound or listened on,
    /// or when the server was started before.
    void Start();

    /// Stops accepting, wakes and closes every connection (also idle ones, slow answers and
    /// half-read requests) and joins every thread before it returns. Does nothing when the
    /// server does not run.
    void Stop() noexcept;

    /// Returns the port the server listens on; 0 before Start.
    [[nodiscard]] std::uint16_t Port() const noexcept;

    /// Returns "http://127.0.0.1:<port>".
    [[nodiscard]] std::string BaseUrl() const;

    /// Replaces the faults (and their counts) for the requests that follow.
    void SetFaults(std::vector<Fault> faults);

    /// Returns a snapshot of the counts.
    [[nodiscard]] ServerStats Stats() const;

    /// Returns the targets of the requests counted in ServerStats::requests, in the order
    /// they were read.
    [[nodiscard]] std::vector<std::string> Targets() const;

    /// Sets every count to 0, forgets the targets and restarts the faults' counts.
    void ResetStats();

private:
    class Connection;
    struct Answer;

    void AcceptLoop();
    void Serve(std::uint64_t id, int fd);
    // Reads the body a head announces and makes the answer; nothing when the connection ended
    // first. keepAlive receives whether the connection serves another request afterwards.
    std::optional<Answer> AnswerRequest(const HeadResult &head, Connection &connection,
                                        std::string &buffer, bool &keepAlive);
    Answer Respond(const std::string &target);
    Answer ControlAnswer(std::string_view path);
    // Counts a request and records its target; returns the fault that hits it, if any.
    std::optional<Fault> CountRequest(const std::string &target,
                                      const std::optional<TileCode> &tile);
    std::string StatsText() const;
    void Finished(std::uint64_t id);

    ServerOptions m_options;
    int m_listenFd = -1;
    int m_stopFd = -1; ///< an eventfd that becomes readable for good when Stop begins
    std::uint16_t m_port = 0;
    std::thread m_acceptThread;

    mutable std::mutex m_mutex; ///< guards everything below
    std::condition_variable m_slotFree;
    bool m_started = false;
    bool m_stopping = false;
    std::uint64_t m_nextId = 0;
    std::map<std::uint64_t, std::thread> m_threads;
    std::vector<std::uint64_t> m_finished; ///< connections whose threads have ended, to join
    ServerStats m_stats;
    std::vector<std::string> m_targets;
    std::vector<std::uint64_t> m_faultCandidates; ///< per fault: candidates seen
};

} // namespace tessaro::tileserver
