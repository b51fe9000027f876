#pragma once

#include "common/abort_flag.h"
#include "download/kachalka.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace tessaro::download {

/// Several tile transfers at once over kept-alive connections (libcurl's multi interface).
/// Each transfer writes its file aside and renames it into place when complete; a failed or
/// cancelled transfer leaves no file. Transfers are identified by the caller's number.
class ParallelFetcher {
public:
    /// Called once when a proxy asks for credentials; returns true when it filled them.
    using CredentialsFn = std::function<bool(std::string &user, std::string &password)>;

    ParallelFetcher(int connections, DownloadLimits limits, const AbortFlag &abort,
                    CredentialsFn credentials);
    ParallelFetcher(const ParallelFetcher &) = delete;
    ParallelFetcher &operator=(const ParallelFetcher &) = delete;
    ~ParallelFetcher();

    /// Queues a transfer; it starts as soon as a connection is free.
    void Start(std::int64_t id, const std::string &url, const std::filesystem::path &file);

    /// Drives the transfers until transfer `id` has ended. Returns normally when its file is
    /// in place, with the file's first bytes (up to 64 KiB) in start.
    /// @throws DownloadError when it failed or the abort flag was set.
    void Wait(std::int64_t id, std::string &start);

    /// Cancels every transfer; their partial files are removed.
    void CancelAll() noexcept;

    /// Number of transfers queued or running.
    [[nodiscard]] std::size_t Pending() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace tessaro::download
