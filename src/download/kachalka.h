#pragma once

#include "download/transfer_engine.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace tessaro::download {

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

/// The downloader: the transfer engine with one connection, downloading an address into a file
/// (written aside and renamed into place when complete), into a string, or as pushed chunks,
/// one call at a time, raising its events on the way. Proxies come from the standard proxy
/// environment variables; credentials, when a proxy asks for them, from the Authenticate event,
/// and are kept for the downloader's later transfers.
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

} // namespace tessaro::download
