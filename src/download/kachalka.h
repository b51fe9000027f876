#pragma once

#include "common/error.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

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

/// Format record handed with pushed data.
struct DataFormat {
    std::string contentType;
};

// Flags of DataAvailable, as the binding status callback numbers them.
inline constexpr std::int32_t kFirstDataNotification = 1;
inline constexpr std::int32_t kIntermediateDataNotification = 2;
inline constexpr std::int32_t kLastDataNotification = 4;
// The bind options GetOptions starts from: revalidate with the server (0x200) and take a cached
// copy when the network fails (0x80000).
inline constexpr std::int32_t kResynchronize = 0x200;
inline constexpr std::int32_t kDefaultBindOptions = 0x80200;
// Progress status codes.
inline constexpr std::int32_t kStatusConnecting = 2;
inline constexpr std::int32_t kStatusDownloadingData = 5;
inline constexpr std::int32_t kStatusEndDownloadData = 6;

/// The five events of a downloader. Arguments passed by reference may be changed by the handler
/// and the downloader acts on the change. Handlers run on the thread that called the download.
class KachalkaEvents {
public:
    KachalkaEvents() = default;
    KachalkaEvents(const KachalkaEvents &) = delete;
    KachalkaEvents &operator=(const KachalkaEvents &) = delete;
    virtual ~KachalkaEvents() = default;

    /// A proxy asks for credentials. They are used only when the handler sets hWnd to 0.
    virtual void Authenticate(std::int32_t &hWnd, std::string &userName, std::string &password) {
        (void)hWnd, (void)userName, (void)password;
    }
    /// The end of every transfer, with its result code and a text.
    virtual void Complete(std::int32_t status, std::string_view statusText) {
        (void)status, (void)statusText;
    }
    /// Progress of a transfer; setting cancel stops it, and the call fails with Aborted.
    virtual void Progress(std::int32_t progress, std::int32_t progressMax, std::int32_t statusCode,
                          std::string_view statusText, bool &cancel) {
        (void)progress, (void)progressMax, (void)statusCode, (void)statusText, (void)cancel;
    }
    /// A chunk of a pushed download; the chunks together are the body.
    virtual void DataAvailable(std::int32_t eventType, std::string_view data,
                               const DataFormat &format) {
        (void)eventType, (void)data, (void)format;
    }
    /// The bind options of a transfer, which the handler may change.
    virtual void GetOptions(std::int32_t &options) { (void)options; }
};

/// Limits that keep a dead or hostile server from hanging a run or filling the disk.
struct DownloadLimits {
    long connectTimeoutMs = 15'000; ///< to get a connection
    long stallSeconds = 30;         ///< a transfer slower than stallBytesPerSecond this long fails
    long stallBytesPerSecond = 64;
    std::int64_t maxBytes = 16 << 20; ///< the largest body accepted
    long totalSeconds = 300;          ///< the longest a whole transfer may take
};

/// The downloader: one kept-alive HTTP client (libcurl) that downloads an address into a file
/// (written aside and renamed into place when complete), into a string, or as pushed chunks,
/// raising its events on the way. Proxies come from the standard proxy environment variables;
/// credentials, when a proxy asks for them, from the Authenticate event.
class clsKachalka {
public:
    explicit clsKachalka(KachalkaEvents *events = nullptr, DownloadLimits limits = {});
    clsKachalka(const clsKachalka &) = delete;
    clsKachalka &operator=(const clsKachalka &) = delete;
    ~clsKachalka();

    /// Request verb: 0 GET, 1 POST, 2 PUT.
    std::int32_t Method = 0;
    /// Request body, sent when not empty.
    std::string RequestData;

    /// Downloads an address into a file. The file appears only when the transfer completed;
    /// a failed transfer leaves no file and an earlier file of that name untouched.
    /// @throws DownloadError
    void DownloadToFile(const std::string &url, const std::filesystem::path &fileName);

    /// Returns the body of an address. @throws DownloadError
    [[nodiscard]] std::string DownloadToString(const std::string &url);

    /// Downloads an address, handing the body over in DataAvailable events.
    /// @throws DownloadError
    void DownloadPush(const std::string &url);

    /// The first bytes (up to 64 KiB) of the body the last DownloadToFile wrote, so that a
    /// caller can look at the file's header without reading it back.
    [[nodiscard]] const std::string &LastFileStart() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

/// Returns the code of a libcurl result and HTTP status.
[[nodiscard]] DownloadCode CodeOf(int curlCode, long httpStatus) noexcept;

/// Readies libcurl for use from several threads; called by every downloader.
void InitCurl();

} // namespace tessaro::download
