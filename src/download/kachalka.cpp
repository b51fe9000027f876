#include "download/kachalka.h"

#include <algorithm>
#include <limits>

namespace tessaro::download {

namespace {

std::int32_t Clamped(std::int64_t bytes) {
    return static_cast<std::int32_t>(std::min<std::int64_t>(bytes, INT32_MAX));
}

// The engine's hooks as the downloader's events: progress with its cancel flag, and the
// credentials, handed over only when the handler clears the window handle.
TransferHooks HooksOf(KachalkaEvents *events) {
    TransferHooks hooks;
    if (events == nullptr) {
        return hooks;
    }
    hooks.progress = [events](const std::string &url, std::int64_t now, std::int64_t total) {
        bool cancel = false;
        events->Progress(Clamped(now), Clamped(total), kStatusDownloadingData, url, cancel);
        return cancel;
    };
    hooks.credentials = [events](std::string &user, std::string &password) {
        std::int32_t hWnd = 1; // the desktop window: the handler must clear it to hand over
        events->Authenticate(hWnd, user, password);
        return hWnd == 0;
    };
    return hooks;
}

} // namespace

struct clsKachalka::Impl {
    Impl(clsKachalka &o, KachalkaEvents *e, DownloadLimits limits)
        : owner(o), events(e), engine(1, limits, HooksOf(e)) {}

    // A request for an address with the bind options, the verb and the body of the moment.
    TransferRequest Request(const std::string &url) const {
        TransferRequest request;
        request.url = url;
        std::int32_t options = kDefaultBindOptions;
        if (events != nullptr) {
            events->GetOptions(options);
        }
        if ((options & kResynchronize) != 0) {
            request.headers.emplace_back("Cache-Control: no-cache");
        }
        static constexpr const char *kVerbs[] = {"GET", "POST", "PUT"};
        if (!owner.RequestData.empty() || owner.Method != 0) {
            request.verb = owner.Method >= 0 && owner.Method <= 2 ? kVerbs[owner.Method] : "GET";
        }
        request.body = owner.RequestData;
        return request;
    }

    TransferOutcome Run(TransferRequest request) {
        const auto id = nextId++;
        engine.Start(id, std::move(request));
        return engine.Wait(id);
    }

    // Raises Complete and throws when the transfer failed.
    void Complete(const TransferOutcome &outcome) {
        if (events != nullptr) {
            events->Complete(static_cast<std::int32_t>(outcome.code), outcome.reason);
        }
        if (!outcome.Ok()) {
            throw DownloadError(outcome.code, outcome.httpStatus, outcome.message);
        }
    }

    clsKachalka &owner;
    KachalkaEvents *events;
    TransferEngine engine;
    std::int64_t nextId = 0;
    std::string fileStart;
};

clsKachalka::clsKachalka(KachalkaEvents *events, DownloadLimits limits)
    : m_impl(std::make_unique<Impl>(*this, events, limits)) {}

clsKachalka::~clsKachalka() = default;

void clsKachalka::DownloadToFile(const std::string &url, const std::filesystem::path &fileName) {
    auto request = m_impl->Request(url);
    request.file = fileName;
    const auto outcome = m_impl->Run(std::move(request));
    m_impl->fileStart = outcome.start;
    m_impl->Complete(outcome);
}

std::string clsKachalka::DownloadToString(const std::string &url) {
    std::string body;
    auto request = m_impl->Request(url);
    request.onData = [&body](std::string_view data, std::string_view) { body.append(data); };
    m_impl->Complete(m_impl->Run(std::move(request)));
    if (body.size() >= (std::size_t{1} << 32)) {
        throw Error("The answer of " + url + " is 4 GiB or more.", ErrorNumber::OutOfMemory);
    }
    return body;
}

void clsKachalka::DownloadPush(const std::string &url) {
    // Each chunk is held back until the next arrives, so that the last one can be flagged.
    KachalkaEvents *events = m_impl->events;
    std::string pending;
    bool first = true;
    auto request = m_impl->Request(url);
    request.onData = [&](std::string_view data, std::string_view contentType) {
        if (!pending.empty() && events != nullptr) {
            events->DataAvailable(first ? kFirstDataNotification : kIntermediateDataNotification,
                                  pending, DataFormat{std::string(contentType)});
            first = false;
        }
        pending.assign(data);
    };
    const auto outcome = m_impl->Run(std::move(request));
    if (outcome.Ok() && events != nullptr) {
        events->DataAvailable(first ? kFirstDataNotification | kLastDataNotification
                                    : kLastDataNotification,
                              pending, DataFormat{outcome.contentType});
    }
    m_impl->Complete(outcome);
}

const std::string &clsKachalka::LastFileStart() const noexcept {
    return m_impl->fileStart;
}

} // namespace tessaro::download
