#pragma once

#include "common/abort_flag.h"
#include "common/atomic_file.h"
#include "common/error.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::download {

/// Result codes of downloads, in the HRESULT numbering the error report shows.
enum class DownloadCode : std::uint32_t {
    Ok = 0,
    Aborted = 0x80004004,         ///< the transfer was cancelled (E_ABORT)
    InvalidUrl = 0x800C0002,      ///< the address cannot be used
    NoServer = 0x800C0003,        ///< the host name cannot be resolved
    CannotConnect = 0x800C0004,   ///< connection refused or unreachable
    NotFound = 0x800C0005,        ///< HTTP 404 or 410
    TooLarge = 0x800C0007,        ///< the body exceeds the size limit
    DownloadFailure = 0x800C0008, ///< other HTTP errors, truncated bodies, dropped connections
    Timeout = 0x800C000B,         ///< connect time-out, or the transfer stalled
    AccessDenied = 0x800C0009,    ///< HTTP 401, 403 or 407
    WriteFailed = 0x80030070,     ///< the file could not be written (full disk and the like)
};

/// A failed download: its code, the HTTP status when there was one, and a sentence naming the
/// address and the cause.
class DownloadError : public Error {
public:
    DownloadError(DownloadCode code, long httpStatus, const std::string &message)
        : Error(message, static_cast<ErrorNumber>(static_cast<std::int32_t>(code))), m_code(code),
          m_httpStatus(httpStatus) {}
    [[nodiscard]] DownloadCode Code() const noexcept { return m_code; }
    [[nodiscard]] long HttpStatus() const noexcept { return m_httpStatus; }

private:
    DownloadCode m_code;
    long m_httpStatus;
};

/// The sentence of a failed download: "Download of <url> failed: <reason>."
[[nodiscard]] std::string FailureMessage(const std::string &url, const std::string &reason);

/// The User-Agent of every request unless the user gives another: "Tessaro/<version>".
[[nodiscard]] std::string DefaultUserAgent();

/// Limits that keep a dead or hostile server from hanging a run or filling the disk, and the
/// name the requests give the server.
struct DownloadLimits {
    long connectTimeoutMs = 15'000; ///< to get a connection
    long stallSeconds = 30;         ///< a transfer slower than stallBytesPerSecond this long fails
    long stallBytesPerSecond = 64;
    std::int64_t maxBytes = 16 << 20; ///< the largest body accepted
    long totalSeconds = 300;          ///< the longest a whole transfer may take
    std::string userAgent = DefaultUserAgent();
    /// How often a transfer the server answered 429 or 503 goes again. Meanwhile no transfer
    /// starts: for the time the server's Retry-After names (at most 10 minutes), else for a
    /// back-off that doubles from 1 s with jitter.
    int retries = 3;
    double maxRate = 0; ///< transfers started per second at most; 0 for no cap
    /// Where redirects may lead besides the host the request went to: the hosts of these
    /// addresses (on their port, or on 80 and 443 when they name none). Unset: any host. Either
    /// way only http and https, five hops at most.
    std::optional<std::vector<std::string>> redirectHosts{};
};

/// Returns the code of a libcurl result and HTTP status.
[[nodiscard]] DownloadCode CodeOf(int curlCode, long httpStatus) noexcept;

/// One transfer: the request and where its body goes.
struct TransferRequest {
    std::string url{};
    /// The file the body goes to, written aside and renamed into place when the transfer
    /// completed. When empty, the body goes to onData.
    std::filesystem::path file{};
    /// Takes the body piece by piece, with the content type of the answer.
    std::function<void(std::string_view data, std::string_view contentType)> onData{};
    std::vector<std::string> headers{}; ///< request header lines added to libcurl's own
    std::string verb{};                 ///< a verb in place of GET (or of POST for a body)
    std::string body{};                 ///< request body, sent when not empty
    /// Hands a file that came whole over in the outcome, not yet in place, so that the caller
    /// can check it before it puts it there (or drops it, which leaves no file).
    bool keepUncommitted = false;
    /// With keepUncommitted: a body of up to kMemoryBody bytes is handed over in memory
    /// (TransferOutcome::body) and no file is made; a larger one goes to the file aside.
    bool inMemory = false;
    /// Memory to hold such a body in, reused from an earlier one (its content does not matter).
    std::string buffer{};
};

/// The largest body a request with inMemory holds in memory.
inline constexpr std::size_t kMemoryBody = 1 << 20;

/// How a transfer ended.
struct TransferOutcome {
    DownloadCode code = DownloadCode::Ok;
    long httpStatus = 0;
    std::string reason;      ///< why it failed; empty when it succeeded
    std::string message;     ///< the sentence of a DownloadError; empty when it succeeded
    std::string cause;       ///< the failure in a few words ("time-out", "HTTP 404", "disk full")
    std::string start;       ///< the first bytes (up to 64 KiB) of a body written to a file
                             ///< (empty for a body in memory: Head gives either)
    std::string end;         ///< the last bytes (up to 16) of a body written to a file
    std::int64_t size = 0;   ///< bytes of the body written to a file
    std::string contentType; ///< of an answer handed to onData
    /// The whole file not yet in place, for a request that keeps it uncommitted.
    std::shared_ptr<AtomicFile> file;
    /// The whole body, for a request that keeps it in memory (and file is then empty).
    std::string body;
    [[nodiscard]] bool Ok() const noexcept { return code == DownloadCode::Ok; }
    /// The first bytes of the body, up to 64 KiB, wherever it went.
    [[nodiscard]] std::string_view Head() const noexcept {
        return body.empty() ? std::string_view(start) : std::string_view(body).substr(0, 1 << 16);
    }
};

/// What the engine asks its owner while transfers run. Every hook is optional and runs on the
/// thread that called Wait; an exception a hook throws cancels its transfer and leaves Wait.
struct TransferHooks {
    /// Progress of a transfer (bytes so far, bytes expected or 0); returning true cancels it.
    std::function<bool(const std::string &url, std::int64_t now, std::int64_t total)> progress;
    /// A proxy asks for credentials the engine does not hold yet; returns true when it filled
    /// them. Every transfer the proxy turned away for want of them is then sent again with them.
    std::function<bool(std::string &user, std::string &password)> credentials;
    /// When set, Wait cancels every transfer and reports the awaited one as Aborted.
    const AbortFlag *abort = nullptr;
    /// Called each time Wait is about to sleep until the network has news (at least every
    /// 25 ms while it waits); returning true stops every transfer, the awaited one reported
    /// as Aborted. Cheaper than progress, which libcurl calls for every transfer all the time.
    std::function<bool()> waiting;
};

/// The transfer engine: HTTP transfers over kept-alive connections (libcurl's multi interface),
/// up to `connections` at once, in the order they were started (the transfer waited for goes
/// first). A transfer into a file writes it aside and renames it into place when complete; a
/// failed or cancelled one leaves no file and an earlier file of that name untouched. Proxies
/// come from the standard proxy environment variables. Transfers move only inside Wait.
/// Redirects are followed by the engine, hop by hop over the same kept-alive connections, as
/// far as DownloadLimits allows; a refused one fails the transfer naming where it led.
///
/// Memory: a transfer holds one buffer of the file writer and up to 64 KiB of the body's start.
class TransferEngine {
public:
    /// @throws Error when libcurl cannot be set up
    TransferEngine(int connections, DownloadLimits limits, TransferHooks hooks = {});
    TransferEngine(const TransferEngine &) = delete;
    TransferEngine &operator=(const TransferEngine &) = delete;
    ~TransferEngine();

    /// Queues a transfer under the caller's number, which must not be in use.
    void Start(std::int64_t id, TransferRequest request);

    /// Drives the transfers until transfer `id` has ended and returns how it ended.
    /// @throws Error when id was never started, libcurl fails as a whole or a hook threw
    [[nodiscard]] TransferOutcome Wait(std::int64_t id);

    /// Cancels every transfer and forgets ended ones not waited for; partial files are removed.
    void CancelAll() noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace tessaro::download
