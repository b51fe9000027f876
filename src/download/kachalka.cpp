#include "download/kachalka.h"

#include "common/atomic_file.h"

#include <curl/curl.h>

#include <cstring>
#include <mutex>

namespace tessaro::download {

void InitCurl() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

DownloadCode CodeOf(int curlCode, long httpStatus) noexcept {
    switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OK:
        break;
    case CURLE_ABORTED_BY_CALLBACK:
        return DownloadCode::Aborted;
    case CURLE_URL_MALFORMAT:
        return DownloadCode::InvalidUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return DownloadCode::NoServer;
    case CURLE_COULDNT_CONNECT:
        return DownloadCode::CannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
        return DownloadCode::Timeout;
    case CURLE_FILESIZE_EXCEEDED:
        return DownloadCode::TooLarge;
    case CURLE_WRITE_ERROR:
        return DownloadCode::WriteFailed;
    default:
        return DownloadCode::DownloadFailure;
    }
    if (httpStatus == 404 || httpStatus == 410) {
        return DownloadCode::NotFound;
    }
    if (httpStatus == 401 || httpStatus == 403 || httpStatus == 407) {
        return DownloadCode::AccessDenied;
    }
    if (httpStatus >= 400) {
        return DownloadCode::DownloadFailure;
    }
    return DownloadCode::Ok;
}

namespace {

// Where the body of one transfer goes.
struct Sink {
    virtual ~Sink() = default;
    // Returns false to stop the transfer (the reason is kept in the sink).
    virtual bool Take(std::string_view data) = 0;
};

// How much of a file's start a downloader keeps for a header check.
constexpr std::size_t kKeptStart = 65536;

struct FileSink : Sink {
    FileSink(AtomicFile &f, std::string &s) : file(f), start(s) { start.clear(); }
    bool Take(std::string_view data) override {
        if (start.size() < kKeptStart) {
            start.append(data.substr(0, kKeptStart - start.size()));
        }
        try {
            file.Write(data);
            return true;
        } catch (const Error &e) {
            failure = e.what();
            return false;
        }
    }
    AtomicFile &file;
    std::string &start;
    std::string failure;
};

struct StringSink : Sink {
    bool Take(std::string_view data) override {
        body.append(data);
        return true;
    }
    std::string body;
};

} // namespace

struct clsKachalka::Impl {
    clsKachalka *owner = nullptr;
    KachalkaEvents *events = nullptr;
    DownloadLimits limits;
    CURL *curl = nullptr;
    std::string proxyUser;
    std::string proxyPassword;
    bool haveCredentials = false;
    std::string fileStart;

    // State of the transfer in progress.
    Sink *sink = nullptr;
    std::int64_t delivered = 0;
    bool tooLarge = false;
    bool sinkFailed = false;
    std::string pending; // pushed data held back one chunk, so the last chunk can be flagged
    bool push = false;
    bool firstChunk = true;
    std::string contentType;
    std::string url;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    static size_t Write(char *data, size_t size, size_t count, void *user) {
        auto *self = static_cast<Impl *>(user);
        const size_t n = size * count;
        self->delivered += static_cast<std::int64_t>(n);
        if (self->delivered > self->limits.maxBytes) {
            self->tooLarge = true;
            return 0;
        }
        long status = 0;
        curl_easy_getinfo(self->curl, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 400) {
            return n; // an error page: read and drop it, the status decides
        }
        if (self->push) {
            self->PushChunk(std::string_view(data, n));
            return n;
        }
        if (!self->sink->Take(std::string_view(data, n))) {
            self->sinkFailed = true;
            return 0;
        }
        return n;
    }

    void PushChunk(std::string_view data) {
        if (!pending.empty() && events != nullptr) {
            const std::int32_t flags =
                firstChunk ? kFirstDataNotification : kIntermediateDataNotification;
            firstChunk = false;
            events->DataAvailable(flags, pending, DataFormat{ContentType()});
        }
        pending.assign(data);
    }

    std::string ContentType() {
        char *type = nullptr;
        curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type);
        return type != nullptr ? type : "";
    }

    static int XferInfo(void *user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
        auto *self = static_cast<Impl *>(user);
        if (self->events == nullptr) {
            return 0;
        }
        bool cancel = false;
        self->events->Progress(static_cast<std::int32_t>(std::min<curl_off_t>(dlnow, INT32_MAX)),
                               static_cast<std::int32_t>(std::min<curl_off_t>(dltotal, INT32_MAX)),
                               kStatusDownloadingData, self->url, cancel);
        return cancel ? 1 : 0;
    }

    void Configure(const std::string &address) {
        curl_easy_reset(curl);
        url = address;
        errorBuffer[0] = '\0';
        curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, limits.stallBytesPerSecond);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, limits.totalSeconds);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Impl::Write);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Impl::XferInfo);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
        if (haveCredentials) {
            curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, proxyUser.c_str());
            curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, proxyPassword.c_str());
        }
        std::int32_t options = kDefaultBindOptions;
        if (events != nullptr) {
            events->GetOptions(options);
        }
        headers.reset(options & kResynchronize
                          ? curl_slist_append(nullptr, "Cache-Control: no-cache")
                          : nullptr);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
        const char *verbs[] = {"GET", "POST", "PUT"};
        const char *verb = owner->Method >= 0 && owner->Method <= 2 ? verbs[owner->Method] : "GET";
        if (!owner->RequestData.empty()) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(owner->RequestData.size()));
            curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, owner->RequestData.c_str());
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, verb);
        } else if (owner->Method != 0) {
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, verb);
        }
    }

    struct SlistFree {
        void operator()(curl_slist *l) const { curl_slist_free_all(l); }
    };
    std::unique_ptr<curl_slist, SlistFree> headers;

    // Runs one transfer into the sink; throws DownloadError when it failed.
    void Perform(const std::string &address, Sink *target, bool pushed) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            Configure(address);
            sink = target;
            push = pushed;
            delivered = 0; // start of binding
            tooLarge = false;
            sinkFailed = false;
            firstChunk = true;
            pending.clear();
            const CURLcode rc = curl_easy_perform(curl);
            long status = 0;
            long connectStatus = 0;
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
            curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
            const bool proxyAsks = status == 407 || connectStatus == 407;
            if (proxyAsks && !haveCredentials && attempt == 0 && AskCredentials()) {
                continue; // nothing of the 407 answer reached the sink
            }
            Finish(rc, proxyAsks ? 407 : status);
            return;
        }
    }

    bool AskCredentials() {
        if (events == nullptr) {
            return false;
        }
        std::int32_t hWnd = 1; // the desktop window: the handler must clear it to hand over
        std::string user;
        std::string password;
        events->Authenticate(hWnd, user, password);
        if (hWnd != 0) {
            return false;
        }
        proxyUser = std::move(user);
        proxyPassword = std::move(password);
        haveCredentials = true;
        return true;
    }

    void Finish(CURLcode rc, long status) {
        DownloadCode code = CodeOf(rc, status);
        std::string reason;
        if (tooLarge) {
            code = DownloadCode::TooLarge;
            reason = "the answer is larger than " + std::to_string(limits.maxBytes) + " bytes";
        } else if (sinkFailed) {
            code = DownloadCode::WriteFailed;
            if (auto *file = dynamic_cast<FileSink *>(sink)) {
                reason = file->failure;
            }
        } else if (rc != CURLE_OK) {
            reason = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(rc);
        } else if (status >= 400) {
            reason = "the server answered HTTP " + std::to_string(status);
        }
        if (code == DownloadCode::Ok && push && events != nullptr) {
            events->DataAvailable(firstChunk ? kFirstDataNotification | kLastDataNotification
                                             : kLastDataNotification,
                                  pending, DataFormat{ContentType()});
        }
        if (events != nullptr) {
            events->Complete(static_cast<std::int32_t>(code), reason);
        }
        if (code != DownloadCode::Ok) {
            throw DownloadError(code, status, "Download of " + url + " failed: " + reason + ".");
        }
    }
};

clsKachalka::clsKachalka(KachalkaEvents *events, DownloadLimits limits)
    : m_impl(std::make_unique<Impl>()) {
    InitCurl();
    m_impl->owner = this;
    m_impl->events = events;
    m_impl->limits = limits;
    m_impl->curl = curl_easy_init();
    if (m_impl->curl == nullptr) {
        throw Error("libcurl could not create a transfer handle.", ErrorNumber::OutOfMemory);
    }
}

clsKachalka::~clsKachalka() {
    curl_easy_cleanup(m_impl->curl);
}

void clsKachalka::DownloadToFile(const std::string &url, const std::filesystem::path &fileName) {
    std::unique_ptr<AtomicFile> file;
    try {
        file = std::make_unique<AtomicFile>(fileName);
    } catch (const Error &e) {
        throw DownloadError(DownloadCode::WriteFailed, 0,
                            "Download of " + url + " failed: " + e.what());
    }
    FileSink sink(*file, m_impl->fileStart);
    m_impl->Perform(url, &sink, false);
    try {
        file->Commit();
    } catch (const Error &e) {
        throw DownloadError(DownloadCode::WriteFailed, 0,
                            "Download of " + url + " failed: " + e.what());
    }
}

std::string clsKachalka::DownloadToString(const std::string &url) {
    StringSink sink;
    m_impl->Perform(url, &sink, false);
    if (sink.body.size() >= (std::size_t{1} << 32)) {
        throw Error("The answer of " + url + " is 4 GiB or more.", ErrorNumber::OutOfMemory);
    }
    return std::move(sink.body);
}

void clsKachalka::DownloadPush(const std::string &url) {
    m_impl->Perform(url, nullptr, true);
}

const std::string &clsKachalka::LastFileStart() const noexcept {
    return m_impl->fileStart;
}

} // namespace tessaro::download
