#include "tileserver/tile_server.h"

#include "common/error.h"
#include "tileserver/http_request.h"
#include "tileserver/tile_address.h"
#include "tileserver/tile_image.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

namespace tessaro::tileserver {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxTargets = 1'000'000;
// How long a closing connection keeps reading what the client still sends, so that the
// system does not answer unread data with a reset that could destroy the last answer.
constexpr std::chrono::milliseconds kLingerTime{250};

constexpr std::string_view kHtmlPage =
    "<html><head><title>Service notice</title></head><body><h1>Too many requests</h1>"
    "<p>Please try again later.</p></body></html>\n";

[[noreturn]] void ThrowNetwork(const std::string &what) {
    throw Error(what + ": " + std::strerror(errno) + ".", ErrorNumber::Network);
}

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : m_fd(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    [[nodiscard]] int Get() const noexcept { return m_fd; }
    int Release() noexcept { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

enum class Wait { Ready, Stopped, TimedOut, Failed };

// Waits until fd is ready for events, the stop descriptor turns readable, or the deadline
// passes, whichever comes first.
Wait WaitFor(int fd, short events, int stopFd, Clock::time_point deadline) {
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return Wait::TimedOut;
        }
        std::array<pollfd, 2> fds{{{fd, events, 0}, {stopFd, POLLIN, 0}}};
        const int n =
            ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long long>(left, 60'000)));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Wait::Failed;
        }
        if (fds[1].revents != 0) {
            return Wait::Stopped;
        }
        if (fds[0].revents != 0) {
            return Wait::Ready;
        }
    }
}

// Sleeps for the duration unless the server stops first; false when it stopped.
bool Pause(int stopFd, std::chrono::milliseconds duration) {
    if (duration.count() <= 0) {
        return true;
    }
    const auto deadline = Clock::now() + duration;
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return true;
        }
        pollfd p{stopFd, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 60'000)));
        if (n > 0) {
            return false;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
    }
}

std::string_view ReasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 429:
        return "Too Many Requests";
    case 503:
        return "Service Unavailable";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Unknown";
    }
}

bool IsControlTarget(std::string_view path) {
    return path == "/__stats" || path == "/__targets" || path == "/__reset";
}

// The map page at "/": a block of map tiles (landscape with "?layer=land") above a block of
// satellite tiles over Moscow at level 11, in the address forms Google's own map page loads,
// spread over the mirror folders /m0 .. /m3, so that the version browser has tiles to read
// versions from. The versions are newer than the settings' defaults.
std::string MapPage(std::string_view query) {
    constexpr int kLevel = 11, kZoom = 18 - kLevel, kX = 618, kY = 319;
    const bool land = query == "layer=land";
    std::string page = "<!DOCTYPE html>\n<html><head><title>Tessaro tile server</title>"
                       "<style>img{vertical-align:top}div{margin-bottom:8px}</style></head>"
                       "<body><p><a href=\"/\">Map</a> | "
                       "<a href=\"/?layer=land\">Landscape</a></p>\n<div>";
    const auto image = [&](int x, int y, const std::string &address) {
        page += "<img width=\"128\" height=\"128\" src=\"/m" + std::to_string((x + y) % 4) +
                address + "\">";
    };
    for (int y = kY; y < kY + 2; ++y) {
        for (int x = kX; x < kX + 2; ++x) {
            image(x, y,
                  std::string("/mt?v=") + (land ? "w2p.88&amp;hl=ru" : "w2.98&amp;hl=ru") +
                      "&amp;x=" + std::to_string(x) + "&amp;y=" + std::to_string(y) +
                      "&amp;zoom=" + std::to_string(kZoom));
        }
        page += "<br>";
    }
    page += "</div>\n<div>";
    for (int y = kY; y < kY + 2; ++y) {
        for (int x = kX; x < kX + 2; ++x) {
            // The quadtree key: "t", then per level below the top the quarter x, y lie in.
            std::string key = "t";
            for (int bit = kLevel - 2; bit >= 0; --bit) {
                key += "qrts"[((x >> bit) & 1) + 2 * ((y >> bit) & 1)];
            }
            image(x, y, "/kh?v=41&amp;t=" + key);
        }
        page += "<br>";
    }
    return page + "</div></body></html>\n";
}

} // namespace

// One answer and how to deliver it.
struct TileServer::Answer {
    enum class Mode { Normal, Trickle, Truncate, Cut, Drop };

    int status = 200;
    std::string contentType = "text/plain";
    std::string body;
    std::string extraHeaders;
    Mode mode = Mode::Normal;
    std::chrono::milliseconds delayBefore{0}; ///< before the head is sent
    std::chrono::milliseconds pieceDelay{0};  ///< Trickle: before every piece after the first
    std::size_t pieceBytes = 1024;

    static Answer Text(int status, std::string body) {
        Answer a;
        a.status = status;
        a.body = std::move(body);
        return a;
    }

    // The answer that replaces the ordinary one for the faults that do; nothing for the faults
    // that only change how the ordinary answer goes out.
    static std::optional<Answer> InsteadOfTile(const Fault &fault) {
        switch (fault.kind) {
        case FaultKind::Html: {
            Answer a = Text(200, std::string(kHtmlPage));
            a.contentType = "text/html";
            return a;
        }
        case FaultKind::NotFound:
            return Text(404, "No tile at this address.\n");
        case FaultKind::ServerError:
            return Text(500, "The tile server failed on purpose.\n");
        case FaultKind::Drop: {
            Answer a;
            a.mode = Mode::Drop;
            return a;
        }
        case FaultKind::Empty: {
            Answer a = Text(200, "");
            a.contentType = "image/jpeg";
            return a;
        }
        case FaultKind::NoContent:
            return Text(204, "");
        case FaultKind::TooMany:
        case FaultKind::Unavailable: {
            Answer a = Text(fault.kind == FaultKind::TooMany ? 429 : 503, "Slow down.\n");
            if (fault.retryAfter) {
                a.extraHeaders = "Retry-After: " + std::to_string(*fault.retryAfter) + "\r\n";
            }
            return a;
        }
        case FaultKind::Delay:
        case FaultKind::Trickle:
        case FaultKind::Truncate:
        case FaultKind::Cut:
            break;
        }
        return std::nullopt;
    }

    // Makes the ordinary answer go out as a delaying, trickling or truncating fault asks.
    void DeliverAs(const Fault &fault) {
        if (fault.kind == FaultKind::Delay) {
            delayBefore = fault.delay;
        } else if (fault.kind == FaultKind::Trickle) {
            mode = Mode::Trickle;
            pieceDelay = fault.delay;
            pieceBytes = fault.trickleBytes;
        } else if (fault.kind == FaultKind::Truncate) {
            mode = Mode::Truncate;
        } else if (fault.kind == FaultKind::Cut) {
            mode = Mode::Cut;
        }
    }

    // The status line and the header lines, up to the empty line.
    [[nodiscard]] std::string Head(bool keepAlive) const {
        // A cut answer has no length, so that only the close ends it; a 204 has no body.
        const std::string length = mode == Mode::Cut || status == 204
                                       ? std::string()
                                       : "Content-Length: " + std::to_string(body.size()) + "\r\n";
        return "HTTP/1.1 " + std::to_string(status) + " " + std::string(ReasonPhrase(status)) +
               "\r\nServer: tessaro-tileserver\r\nContent-Type: " + contentType + "\r\n" + length +
               "Connection: " + (keepAlive ? "keep-alive" : "close") + "\r\n" + extraHeaders +
               "\r\n";
    }
};

// Reading, writing and closing one client socket, every wait bounded by the idle time-out
// and cut short by the server's stop.
class TileServer::Connection {
public:
    Connection(int fd, int stopFd, std::chrono::milliseconds idleTimeout)
        : m_fd(fd), m_stopFd(stopFd), m_idleTimeout(idleTimeout) {}

    // Appends what arrives to the buffer; false at the end of the stream, an error, a
    // time-out or the stop.
    bool ReadMore(std::string &buffer) {
        const auto deadline = Clock::now() + m_idleTimeout;
        std::array<char, 16 * 1024> chunk{};
        while (true) {
            const auto n = ::recv(m_fd.Get(), chunk.data(), chunk.size(), 0);
            if (n > 0) {
                buffer.append(chunk.data(), static_cast<std::size_t>(n));
                return true;
            }
            if (n == 0) {
                return false;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return false;
            }
            if (WaitFor(m_fd.Get(), POLLIN, m_stopFd, deadline) != Wait::Ready) {
                return false;
            }
        }
    }

    bool Send(std::string_view data) {
        auto deadline = Clock::now() + m_idleTimeout;
        while (!data.empty()) {
            const auto n = ::send(m_fd.Get(), data.data(), data.size(), MSG_NOSIGNAL);
            if (n > 0) {
                data.remove_prefix(static_cast<std::size_t>(n));
                deadline = Clock::now() + m_idleTimeout; // progress restarts the clock
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                return false;
            }
            if (WaitFor(m_fd.Get(), POLLOUT, m_stopFd, deadline) != Wait::Ready) {
                return false;
            }
        }
        return true;
    }

    bool Pause(std::chrono::milliseconds duration) const {
        return tileserver::Pause(m_stopFd, duration);
    }

    // Sends an answer the way its mode says; false when the connection must end here (a
    // dropped answer, the server's stop, a client that is gone).
    bool Deliver(const Answer &answer, bool keepAlive) {
        if (answer.mode == Answer::Mode::Drop || !Pause(answer.delayBefore)) {
            return false;
        }
        std::string message = answer.Head(keepAlive);
        if (answer.mode == Answer::Mode::Trickle) {
            bool sent = Send(message);
            std::string_view rest = answer.body;
            for (bool first = true; sent && !rest.empty(); first = false) {
                const auto piece = rest.substr(0, std::max<std::size_t>(1, answer.pieceBytes));
                sent = (first || Pause(answer.pieceDelay)) && Send(piece);
                rest.remove_prefix(piece.size());
            }
            return sent;
        }
        if (answer.mode == Answer::Mode::Truncate || answer.mode == Answer::Mode::Cut) {
            // Half the body (under a Content-Length for all of it, or under none), then the
            // close.
            message.append(answer.body, 0, answer.body.size() / 2);
            return Send(message);
        }
        message += answer.body;
        return Send(message);
    }

    // Ends the sending side, then reads and drops what the client still sends for a short
    // while, so that closing does not reset the connection before the client has read the
    // last answer.
    void Close() {
        ::shutdown(m_fd.Get(), SHUT_WR);
        const auto deadline = Clock::now() + kLingerTime;
        std::array<char, 4096> sink{};
        while (WaitFor(m_fd.Get(), POLLIN, m_stopFd, deadline) == Wait::Ready) {
            const auto n = ::recv(m_fd.Get(), sink.data(), sink.size(), 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
                break;
            }
        }
    }

private:
    UniqueFd m_fd;
    int m_stopFd;
    std::chrono::milliseconds m_idleTimeout;
};

TileServer::TileServer(ServerOptions options) : m_options(std::move(options)) {
    m_faultCandidates.assign(m_options.faults.size(), 0);
    m_stats.faultHits.assign(m_options.faults.size(), 0);
}

TileServer::~TileServer() {
    Stop();
}

void TileServer::Start() {
    std::lock_guard lock(m_mutex);
    if (m_started) {
        throw Error("The tile server was started before; a stopped server cannot start again.",
                    ErrorNumber::Network);
    }
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (listener.Get() < 0) {
        ThrowNetwork("The tile server cannot open a socket");
    }
    const int yes = 1;
    ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_options.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // sockaddr_in is one of the address types the socket API takes through sockaddr.
    if (::bind(listener.Get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ThrowNetwork("The tile server cannot listen on 127.0.0.1:" +
                     std::to_string(m_options.port));
    }
    if (::listen(listener.Get(), 128) != 0) {
        ThrowNetwork("The tile server cannot listen on 127.0.0.1:" +
                     std::to_string(m_options.port));
    }
    socklen_t length = sizeof address;
    if (::getsockname(listener.Get(), reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ThrowNetwork("The tile server cannot read its port");
    }
    UniqueFd stop(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (stop.Get() < 0) {
        ThrowNetwork("The tile server cannot create its stop signal");
    }
    m_port = ntohs(address.sin_port);
    m_listenFd = listener.Release();
    m_stopFd = stop.Release();
    m_started = true;
    m_acceptThread = std::thread(&TileServer::AcceptLoop, this);
}

void TileServer::Stop() noexcept {
    {
        std::lock_guard lock(m_mutex);
        if (!m_started || m_stopping) {
            return;
        }
        m_stopping = true;
    }
    // The eventfd is never read, so it stays readable and every wait sees it.
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_stopFd, &one, sizeof one);
    m_slotFree.notify_all();
    if (m_acceptThread.joinable()) {
        m_acceptThread.join();
    }
    std::map<std::uint64_t, std::thread> threads;
    {
        std::lock_guard lock(m_mutex);
        threads.swap(m_threads);
        m_finished.clear();
    }
    for (auto &[id, thread] : threads) {
        thread.join();
    }
    ::close(m_listenFd);
    ::close(m_stopFd);
    m_listenFd = m_stopFd = -1;
}

std::uint16_t TileServer::Port() const noexcept {
    std::lock_guard lock(m_mutex);
    return m_port;
}

std::string TileServer::BaseUrl() const {
    return "http://127.0.0.1:" + std::to_string(Port());
}

void TileServer::SetFaults(std::vector<Fault> faults) {
    std::lock_guard lock(m_mutex);
    m_options.faults = std::move(faults);
    m_faultCandidates.assign(m_options.faults.size(), 0);
    m_stats.faultHits.assign(m_options.faults.size(), 0);
}

ServerStats TileServer::Stats() const {
    std::lock_guard lock(m_mutex);
    return m_stats;
}

std::vector<std::string> TileServer::Targets() const {
    std::lock_guard lock(m_mutex);
    return m_targets;
}

void TileServer::ResetStats() {
    std::lock_guard lock(m_mutex);
    const auto faultCount = m_options.faults.size();
    m_stats = ServerStats{};
    m_stats.faultHits.assign(faultCount, 0);
    m_faultCandidates.assign(faultCount, 0);
    m_targets.clear();
}

void TileServer::AcceptLoop() {
    while (true) {
        {
            std::unique_lock lock(m_mutex);
            for (const auto id : m_finished) {
                const auto it = m_threads.find(id);
                it->second.join(); // it has left Serve already, or is just returning
                m_threads.erase(it);
            }
            m_finished.clear();
            m_slotFree.wait(lock, [&] {
                return m_stopping ||
                       m_threads.size() - m_finished.size() <
                           static_cast<std::size_t>(std::max(1, m_options.maxConnections));
            });
            if (m_stopping) {
                return;
            }
        }
        std::array<pollfd, 2> fds{{{m_listenFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents == 0) {
            continue;
        }
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory: let running connections finish some first.
                Pause(m_stopFd, std::chrono::milliseconds(50));
            }
            continue;
        }
        const int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        std::lock_guard lock(m_mutex);
        const auto id = m_nextId++;
        ++m_stats.connections;
        try {
            m_threads.emplace(id, std::thread(&TileServer::Serve, this, id, fd));
        } catch (const std::system_error &) {
            ::close(fd); // no thread to spare: the client sees the connection closed
        }
    }
}

void TileServer::Finished(std::uint64_t id) {
    std::lock_guard lock(m_mutex);
    m_finished.push_back(id);
    m_slotFree.notify_all();
}

void TileServer::Serve(std::uint64_t id, int fd) {
    try {
        Connection connection(fd, m_stopFd, m_options.idleTimeout); // owns fd from here on
        std::string buffer;
        while (true) {
            const auto head = ParseRequestHead(buffer, m_options.maxHeadBytes);
            if (head.status == HeadStatus::Incomplete) {
                if (!connection.ReadMore(buffer)) {
                    break;
                }
                continue;
            }
            bool keepAlive = false;
            const auto answer = AnswerRequest(head, connection, buffer, keepAlive);
            if (!answer || !connection.Deliver(*answer, keepAlive) || !keepAlive) {
                break;
            }
        }
        connection.Close();
    } catch (const std::exception &) {
        // An answer that cannot be made (memory, an encoder failure): the client sees the
        // connection closed, and the server goes on with the others.
    }
    Finished(id);
}

std::optional<TileServer::Answer> TileServer::AnswerRequest(const HeadResult &head,
                                                            Connection &connection,
                                                            std::string &buffer, bool &keepAlive) {
    std::optional<Answer> answer;
    keepAlive = false;
    if (head.status == HeadStatus::Bad) {
        answer =
            Answer::Text(head.errorStatus, std::string(ReasonPhrase(head.errorStatus)) + ".\n");
    } else if (head.request.contentLength > m_options.maxBodyBytes) {
        answer = Answer::Text(413, "Request bodies are limited to " +
                                       std::to_string(m_options.maxBodyBytes) + " bytes.\n");
    } else {
        buffer.erase(0, head.consumed);
        while (buffer.size() < head.request.contentLength) {
            if (!connection.ReadMore(buffer)) {
                return std::nullopt;
            }
        }
        buffer.erase(0, head.request.contentLength); // a body means nothing to a GET
        keepAlive = head.request.keepAlive;
        if (head.request.method != "GET") {
            answer = Answer::Text(405, "Only GET is served.\n");
            answer->extraHeaders = "Allow: GET\r\n";
        } else {
            answer = Respond(head.request.target);
        }
    }
    if (answer->status >= 400 && answer->status != 404 && answer->status != 429 &&
        answer->status != 500 && answer->status != 503) {
        std::lock_guard lock(m_mutex);
        ++m_stats.badRequests;
    }
    if (answer->mode == Answer::Mode::Truncate || answer->mode == Answer::Mode::Cut ||
        answer->mode == Answer::Mode::Drop) {
        keepAlive = false;
    }
    return answer;
}

TileServer::Answer TileServer::Respond(const std::string &target) {
    const std::string_view path = std::string_view(target).substr(0, target.find('?'));
    if (IsControlTarget(path)) {
        return ControlAnswer(path);
    }
    if (path == "/") {
        const auto query =
            std::string_view(target).substr(std::min(target.size(), path.size() + 1));
        Answer page = Answer::Text(200, MapPage(query));
        page.contentType = "text/html";
        return page;
    }
    const auto tile = ParseTileTarget(target);
    const auto fault = CountRequest(target, tile);
    if (fault) {
        if (auto instead = Answer::InsteadOfTile(*fault)) {
            return *std::move(instead);
        }
    }
    Answer answer = Answer::Text(404, "No tile at this address.\n");
    if (tile) {
        answer.body = EncodeTile(*tile, m_options.jpegQuality);
        answer.status = 200;
        answer.contentType = ContentTypeOf(FormatOf(tile->type));
        if (!fault || (fault->kind != FaultKind::Truncate && fault->kind != FaultKind::Cut)) {
            std::lock_guard lock(m_mutex);
            ++m_stats.tiles;
        }
    }
    if (fault) {
        answer.DeliverAs(*fault);
    }
    return answer;
}

TileServer::Answer TileServer::ControlAnswer(std::string_view path) {
    if (path == "/__reset") {
        ResetStats();
        return Answer::Text(200, "reset\n");
    }
    if (path == "/__targets") {
        std::string text;
        for (const auto &t : Targets()) {
            text += t;
            text += '\n';
        }
        return Answer::Text(200, std::move(text));
    }
    return Answer::Text(200, StatsText());
}

std::optional<Fault> TileServer::CountRequest(const std::string &target,
                                              const std::optional<TileCode> &tile) {
    const auto mirror = MirrorOf(target);
    std::lock_guard lock(m_mutex);
    ++m_stats.requests;
    if (m_targets.size() < kMaxTargets) {
        m_targets.push_back(target);
    }
    if (!tile) {
        ++m_stats.notFound;
    }
    for (std::size_t i = 0; i < m_options.faults.size(); ++i) {
        const Fault &f = m_options.faults[i];
        if (f.tile && (!tile || tile->x != f.tile->x || tile->y != f.tile->y)) {
            continue;
        }
        if (f.mirror && mirror != f.mirror) {
            continue;
        }
        const auto candidate = ++m_faultCandidates[i];
        if (candidate % std::max<std::uint64_t>(1, f.everyNth) != 0 ||
            (f.firstTimes != 0 && m_stats.faultHits[i] >= f.firstTimes)) {
            continue;
        }
        ++m_stats.faultHits[i];
        ++m_stats.faults;
        return f;
    }
    return std::nullopt;
}

std::string TileServer::StatsText() const {
    std::lock_guard lock(m_mutex);
    std::string text = "connections " + std::to_string(m_stats.connections) + "\nrequests " +
                       std::to_string(m_stats.requests) + "\ntiles " +
                       std::to_string(m_stats.tiles) + "\nnot_found " +
                       std::to_string(m_stats.notFound) + "\nfaults " +
                       std::to_string(m_stats.faults) + "\nbad_requests " +
                       std::to_string(m_stats.badRequests) + "\n";
    for (std::size_t i = 0; i < m_options.faults.size(); ++i) {
        text += "fault " + FaultText(m_options.faults[i]) + " " +
                std::to_string(m_stats.faultHits[i]) + "\n";
    }
    return text;
}

} // namespace tessaro::tileserver
