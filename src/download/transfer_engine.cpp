#include "download/transfer_engine.h"

#include "common/atomic_file.h"
#include "common/version.h"

#include <curl/curl.h>
#include <curl/header.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <exception>
#include <map>
#include <optional>
#include <random>

namespace tessaro::download {

std::string FailureMessage(const std::string &url, const std::string &reason) {
    return "Download of " + url + " failed: " + reason + ".";
}

std::string DefaultUserAgent() {
    return "Tessaro/" + std::string(kVersion);
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

// A failed transfer in a few words, for the run's summary of causes.
std::string CauseOf(CURLcode rc, long status) {
    switch (rc) {
    case CURLE_OK:
        return status >= 400 ? "HTTP " + std::to_string(status) : std::string();
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return "unknown host";
    case CURLE_COULDNT_CONNECT:
        return "connection refused";
    case CURLE_OPERATION_TIMEDOUT:
        return "time-out";
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
        return "connection reset";
    case CURLE_PARTIAL_FILE:
        return "cut short";
    case CURLE_TOO_MANY_REDIRECTS:
        return "too many redirects";
    default:
        return "transfer error";
    }
}

std::string WriteCause(const Error &e) {
    switch (static_cast<ErrorNumber>(e.Number())) {
    case ErrorNumber::DiskFull:
        return "disk full";
    case ErrorNumber::PermissionDenied:
        return "permission denied";
    default:
        return "write error";
    }
}

// Owners of libcurl's handles.
struct EasyCleanup {
    void operator()(CURL *handle) const noexcept { curl_easy_cleanup(handle); }
};
struct MultiCleanup {
    void operator()(CURLM *handle) const noexcept { curl_multi_cleanup(handle); }
};
struct SlistCleanup {
    void operator()(curl_slist *list) const noexcept { curl_slist_free_all(list); }
};
struct UrlCleanup {
    void operator()(CURLU *handle) const noexcept { curl_url_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using SlistHandle = std::unique_ptr<curl_slist, SlistCleanup>;
using UrlHandle = std::unique_ptr<CURLU, UrlCleanup>;

void InitCurl() {
    // Once per process, before any handle; libcurl is not thread-safe here.
    static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (result != CURLE_OK) {
        throw Error(std::string("libcurl could not be set up: ") + curl_easy_strerror(result));
    }
}

using Clock = std::chrono::steady_clock;

// How many redirects one transfer follows.
constexpr int kMaxRedirects = 5;

// Where an address leads: its scheme and host in lower case, and its port (0 when it names
// none).
struct Place {
    std::string scheme;
    std::string host;
    long port = 0;
};

std::string UrlPart(CURLU *url, CURLUPart part) {
    char *text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK) {
        return {};
    }
    std::string copy(text);
    curl_free(text);
    for (char &c : copy) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return copy;
}

// The place of an address as libcurl reads it (without a scheme, libcurl guesses one).
std::optional<Place> PlaceOf(const std::string &address) {
    const UrlHandle url(curl_url());
    if (!url ||
        curl_url_set(url.get(), CURLUPART_URL, address.c_str(), CURLU_GUESS_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    return Place{UrlPart(url.get(), CURLUPART_SCHEME), UrlPart(url.get(), CURLUPART_HOST),
                 std::strtol(UrlPart(url.get(), CURLUPART_PORT).c_str(), nullptr, 10)};
}

// Whether `to` lies on the host of `named`: on the port named, or on either standard port when
// none is named, so that a server may move its tiles from http to https.
bool OnHostOf(const Place &named, const Place &to) {
    const long port = to.port != 0 ? to.port : to.scheme == "https" ? 443 : 80;
    return named.host == to.host &&
           (named.port != 0 ? named.port == port : port == 80 || port == 443);
}

// The longest pause a server's Retry-After may ask for.
constexpr curl_off_t kMaxRetryAfterSeconds = 600;

// How much of a file's start and end a transfer keeps for the checks of an image.
constexpr std::size_t kKeptStart = 65536;
constexpr std::size_t kKeptEnd = 16;

using ProgressHook = std::function<bool(const std::string &, std::int64_t, std::int64_t)>;

struct Transfer {
    std::int64_t id = 0;
    TransferRequest request;
    std::string url; // of the hop under way: the request's, or where a redirect led
    int hops = 0;    // redirects followed
    const ProgressHook *progress = nullptr;
    std::int64_t maxBytes = 0;
    EasyHandle easy;    // while running
    int easyShape = -1; // the shape its handle is set up for (-1: none)
    SlistHandle headers;
    bool withCredentials = false; // sent with the proxy credentials
    bool retried = false;         // sent again once with the credentials
    int slowDowns = 0;            // times the server answered 429 or 503

    // State of one attempt.
    std::unique_ptr<AtomicFile> file;
    bool holding = false; // the body goes to `body` until it passes kMemoryBody
    std::string body;
    std::int64_t delivered = 0;
    bool tooLarge = false;
    bool writeFailed = false;
    std::string writeFailure;
    std::string writeCause;
    std::string start;
    std::string end;
    std::exception_ptr hookError;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    void Reset() {
        file.reset();
        holding = false;
        body.clear();
        delivered = 0;
        tooLarge = false;
        writeFailed = false;
        writeFailure.clear();
        writeCause.clear();
        start.clear();
        end.clear();
        errorBuffer[0] = '\0';
    }

    static size_t Write(char *data, size_t size, size_t count, void *user) {
        auto *t = static_cast<Transfer *>(user);
        const size_t n = size * count;
        t->delivered += static_cast<std::int64_t>(n);
        if (t->delivered > t->maxBytes) {
            t->tooLarge = true;
            return 0;
        }
        long status = 0;
        curl_easy_getinfo(t->easy.get(), CURLINFO_RESPONSE_CODE, &status);
        if (status >= 400 || (status >= 300 && t->IsRedirect())) {
            return n; // an error page or a redirect's: read and drop it, the status decides
        }
        const std::string_view piece(data, n);
        if (t->holding) {
            if (t->body.size() + n <= kMemoryBody) {
                t->body.append(piece); // its start and end are the body's own
                return n;
            }
            if (!t->Spill()) {
                return 0;
            }
        }
        if (t->file) {
            if (t->start.size() < kKeptStart) {
                t->start.append(piece.substr(0, kKeptStart - t->start.size()));
            }
            t->KeepEnd(piece);
            try {
                t->file->Write(piece);
            } catch (const Error &e) {
                t->writeFailed = true;
                t->writeFailure = e.what();
                t->writeCause = WriteCause(e);
                return 0;
            }
        } else if (t->request.onData) {
            char *type = nullptr;
            curl_easy_getinfo(t->easy.get(), CURLINFO_CONTENT_TYPE, &type);
            try {
                t->request.onData(piece, type != nullptr ? type : "");
            } catch (...) {
                t->hookError = std::current_exception();
                return 0;
            }
        }
        return n;
    }

    // A body too large to hold goes on in the file aside, with what came so far.
    bool Spill() {
        holding = false;
        try {
            file = std::make_unique<AtomicFile>(request.file);
            file->Write(body);
            start.assign(body, 0, std::min(body.size(), kKeptStart));
            KeepEnd(body);
        } catch (const Error &e) {
            file.reset();
            writeFailed = true;
            writeFailure = e.what();
            writeCause = WriteCause(e);
            return false;
        }
        body.clear();
        body.shrink_to_fit();
        return true;
    }

    // Whether the answer under way sends the transfer elsewhere.
    bool IsRedirect() const {
        curl_header *location = nullptr;
        return curl_easy_header(easy.get(), "Location", 0, CURLH_HEADER, -1, &location) ==
               CURLHE_OK;
    }

    void KeepEnd(std::string_view piece) {
        if (piece.size() >= kKeptEnd) {
            end.assign(piece.substr(piece.size() - kKeptEnd));
            return;
        }
        end += piece;
        if (end.size() > kKeptEnd) {
            end.erase(0, end.size() - kKeptEnd);
        }
    }

    static int XferInfo(void *user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
        auto *t = static_cast<Transfer *>(user);
        try {
            return (*t->progress)(t->request.url, now, total) ? 1 : 0;
        } catch (...) {
            t->hookError = std::current_exception();
            return 1;
        }
    }
};

// An ended transfer not yet waited for.
struct Ended {
    TransferOutcome outcome;
    std::exception_ptr hookError;
};

} // namespace

struct TransferEngine::Impl {
    MultiHandle multi; // first, so that it goes last, after every easy handle
    std::size_t connections = 1;
    DownloadLimits limits;
    TransferHooks hooks;
    std::optional<std::vector<Place>> redirectPlaces; // unset: any host
    bool haveCredentials = false;
    std::string user;
    std::string password;

    // Handles keep their DNS cache between transfers, and the shape they were set up for.
    std::vector<std::pair<EasyHandle, int>> idle;
    std::deque<std::unique_ptr<Transfer>> queued;
    std::map<std::int64_t, std::unique_ptr<Transfer>> running;
    std::map<std::int64_t, Ended> done;
    // No transfer starts before holdUntil (a server asked to slow down) nor before nextStart
    // (the cap on starts per second).
    Clock::time_point holdUntil{};
    Clock::time_point nextStart{};
    std::minstd_rand jitter{std::random_device{}()};

    // The options a handle is set up with besides the transfer's own: the same for every
    // plain GET of the engine while the credentials stay; 0 for a request with a body or verb.
    int ShapeOf(const Transfer &t) const {
        if (!t.request.body.empty() || !t.request.verb.empty()) {
            return 0;
        }
        return 1 + (haveCredentials ? 1 : 0) + (t.progress != nullptr ? 2 : 0);
    }

    CURLcode Configure(Transfer &t, int &handleShape) {
        CURL *h = t.easy.get();
        CURLcode rc = CURLE_OK;
        const auto set = [&](CURLoption option, auto value) {
            if (rc == CURLE_OK) {
                rc = curl_easy_setopt(h, option, value);
            }
        };
        // A handle set up for the same shape keeps its options: only the transfer's own change.
        const int shape = ShapeOf(t);
        if (shape == 0 || shape != handleShape) {
            curl_easy_reset(h);
            handleShape = -1; // until every option below is set
            rc = ConfigureShape(t);
            if (rc != CURLE_OK) {
                return rc;
            }
            handleShape = shape;
        }
        set(CURLOPT_URL, t.url.c_str());
        set(CURLOPT_ERRORBUFFER, t.errorBuffer);
        set(CURLOPT_WRITEDATA, &t);
        set(CURLOPT_PRIVATE, &t);
        if (t.progress != nullptr) {
            set(CURLOPT_XFERINFODATA, &t);
        }
        if (!t.request.headers.empty() && !t.headers) {
            for (const auto &line : t.request.headers) {
                curl_slist *grown = curl_slist_append(t.headers.get(), line.c_str());
                if (grown == nullptr) {
                    return CURLE_OUT_OF_MEMORY;
                }
                (void)t.headers.release(); // the same list, one entry longer
                t.headers.reset(grown);
            }
        }
        set(CURLOPT_HTTPHEADER, t.headers.get()); // none clears an earlier transfer's
        if (!t.request.body.empty()) {
            set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.request.body.size()));
            set(CURLOPT_POSTFIELDS, t.request.body.c_str());
        }
        if (!t.request.verb.empty()) {
            set(CURLOPT_CUSTOMREQUEST, t.request.verb.c_str());
        }
        return rc;
    }

    // The options every transfer of a shape shares.
    CURLcode ConfigureShape(Transfer &t) {
        CURL *h = t.easy.get();
        CURLcode rc = CURLE_OK;
        const auto set = [&](CURLoption option, auto value) {
            if (rc == CURLE_OK) {
                rc = curl_easy_setopt(h, option, value);
            }
        };
        set(CURLOPT_NOSIGNAL, 1L);
        set(CURLOPT_FOLLOWLOCATION, 0L); // redirects are checked and followed in Redirect
        set(CURLOPT_USERAGENT, limits.userAgent.c_str());
        set(CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
        set(CURLOPT_LOW_SPEED_LIMIT, limits.stallBytesPerSecond);
        set(CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
        set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
        set(CURLOPT_TIMEOUT, limits.totalSeconds);
        set(CURLOPT_WRITEFUNCTION, &Transfer::Write);
        set(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
        if (haveCredentials) {
            set(CURLOPT_PROXYUSERNAME, user.c_str());
            set(CURLOPT_PROXYPASSWORD, password.c_str());
        }
        if (t.progress != nullptr) {
            set(CURLOPT_XFERINFOFUNCTION, &Transfer::XferInfo);
            set(CURLOPT_NOPROGRESS, 0L);
        }
        return rc;
    }

    void End(const Transfer &t, TransferOutcome outcome) {
        done[t.id] = Ended{std::move(outcome), t.hookError};
    }

    void EndFailed(const Transfer &t, DownloadCode code, const std::string &reason) {
        TransferOutcome outcome;
        outcome.code = code;
        outcome.reason = reason;
        outcome.cause = "transfer error";
        outcome.message = FailureMessage(t.request.url, reason);
        End(t, std::move(outcome));
    }

    void Launch(std::unique_ptr<Transfer> t) {
        t->Reset();
        if (t->request.inMemory && t->request.keepUncommitted && !t->request.file.empty()) {
            t->holding = true;
        } else if (!t->request.file.empty()) {
            try {
                t->file = std::make_unique<AtomicFile>(t->request.file);
            } catch (const Error &e) {
                TransferOutcome outcome;
                outcome.code = DownloadCode::WriteFailed;
                outcome.reason = e.what();
                outcome.cause = WriteCause(e);
                outcome.message = "Download of " + t->request.url + " failed: " + e.what();
                End(*t, std::move(outcome));
                return;
            }
        }
        t->easyShape = -1;
        if (idle.empty()) {
            t->easy.reset(curl_easy_init());
        } else {
            t->easy = std::move(idle.back().first);
            t->easyShape = idle.back().second;
            idle.pop_back();
        }
        if (!t->easy) {
            EndFailed(*t, DownloadCode::DownloadFailure, "libcurl could not create a transfer");
            return;
        }
        t->withCredentials = haveCredentials;
        CURLcode rc = Configure(*t, t->easyShape);
        if (rc == CURLE_OK && curl_multi_add_handle(multi.get(), t->easy.get()) != CURLM_OK) {
            rc = CURLE_OUT_OF_MEMORY;
        }
        if (rc != CURLE_OK) {
            idle.emplace_back(std::move(t->easy), -1);
            EndFailed(*t, DownloadCode::DownloadFailure, curl_easy_strerror(rc));
            return;
        }
        const auto id = t->id;
        running[id] = std::move(t);
    }

    void Fill() {
        while (running.size() < connections && !queued.empty()) {
            const auto now = Clock::now();
            if (now < holdUntil || now < nextStart) {
                return;
            }
            if (limits.maxRate > 0) {
                nextStart = now + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(1.0 / limits.maxRate));
            }
            auto t = std::move(queued.front());
            queued.pop_front();
            Launch(std::move(t));
        }
    }

    // A server answered 429 or 503: the transfer goes again, and nothing starts meanwhile,
    // unless it was sent as often as allowed.
    bool RetryLater(Transfer &t, long status) {
        if ((status != 429 && status != 503) || t.slowDowns >= limits.retries) {
            return false;
        }
        curl_off_t retryAfter = 0;
        curl_easy_getinfo(t.easy.get(), CURLINFO_RETRY_AFTER, &retryAfter);
        std::chrono::duration<double> wait{0};
        if (retryAfter > 0) {
            wait = std::chrono::seconds(std::min<curl_off_t>(retryAfter, kMaxRetryAfterSeconds));
        } else {
            const double base = std::min(60.0, std::ldexp(1.0, t.slowDowns));
            wait = std::chrono::duration<double>(
                base * std::uniform_real_distribution<double>(0.5, 1.5)(jitter));
        }
        ++t.slowDowns;
        holdUntil =
            std::max(holdUntil, Clock::now() + std::chrono::duration_cast<Clock::duration>(wait));
        return true;
    }

    // Why a redirect to `next` is not followed; empty when it is.
    std::string RedirectRefusal(const Transfer &t, const std::string &next) const {
        const auto to = PlaceOf(next);
        if (!to || (to->scheme != "http" && to->scheme != "https")) {
            return "the server redirected it to " + next + ", which is no http or https address";
        }
        if (t.hops >= kMaxRedirects) {
            return "the server redirected it more than " + std::to_string(kMaxRedirects) +
                   " times (last to " + next + ")";
        }
        const auto from = PlaceOf(t.request.url);
        if (!redirectPlaces || (from && OnHostOf(*from, *to)) ||
            std::ranges::any_of(*redirectPlaces,
                                [&](const Place &named) { return OnHostOf(named, *to); })) {
            return {};
        }
        return "the server redirected it to " + next +
               ", a host none of the tile-server settings names";
    }

    // A redirect goes out as the transfer's next hop, or fails the transfer saying where it led.
    void Redirect(std::unique_ptr<Transfer> t, long status, std::string next) {
        if (const auto refusal = RedirectRefusal(*t, next); !refusal.empty()) {
            EndFailed(*t, DownloadCode::DownloadFailure, refusal);
            return;
        }
        // 303, and 301 or 302 after a POST, ask for the new address with GET.
        if (status == 303 || ((status == 301 || status == 302) && t->request.verb == "POST")) {
            t->request.verb.clear();
            t->request.body.clear();
        }
        t->url = std::move(next);
        ++t->hops;
        queued.push_front(std::move(t));
    }

    void Detach(Transfer &t) {
        curl_multi_remove_handle(multi.get(), t.easy.get());
        idle.emplace_back(std::move(t.easy), t.easyShape);
    }

    // A proxy turned the transfer away: it goes again once, with the credentials held or
    // asked for now, unless it already carried them.
    bool RetryWithCredentials(Transfer &t) {
        if (t.retried || t.withCredentials) {
            return false;
        }
        if (!haveCredentials && hooks.credentials) {
            std::string newUser;
            std::string newPassword;
            try {
                haveCredentials = hooks.credentials(newUser, newPassword);
            } catch (...) {
                t.hookError = std::current_exception();
                return false;
            }
            if (haveCredentials) {
                user = std::move(newUser);
                password = std::move(newPassword);
            }
        }
        t.retried = haveCredentials;
        return haveCredentials;
    }

    TransferOutcome Conclude(Transfer &t, CURLcode rc, long status) {
        TransferOutcome outcome;
        outcome.httpStatus = status;
        outcome.code = CodeOf(rc, status);
        outcome.cause = CauseOf(rc, status);
        if (t.tooLarge) {
            outcome.code = DownloadCode::TooLarge;
            outcome.cause = "too large";
            outcome.reason =
                "the answer is larger than " + std::to_string(limits.maxBytes) + " bytes";
        } else if (t.writeFailed) {
            outcome.code = DownloadCode::WriteFailed;
            outcome.reason = t.writeFailure;
            outcome.cause = t.writeCause;
        } else if (rc != CURLE_OK) {
            outcome.reason = t.errorBuffer[0] != '\0' ? t.errorBuffer : curl_easy_strerror(rc);
        } else if (status >= 400) {
            outcome.reason = "the server answered HTTP " + std::to_string(status);
            if (t.slowDowns > 0) {
                outcome.reason +=
                    " (asked to slow down " + std::to_string(t.slowDowns + 1) + " times)";
            }
        }
        if (outcome.Ok() && t.holding) {
            t.KeepEnd(t.body);
            outcome.body = std::move(t.body);
        } else if (outcome.Ok() && t.file && t.request.keepUncommitted) {
            outcome.file = std::move(t.file);
        } else if (outcome.Ok() && t.file) {
            try {
                t.file->Commit();
            } catch (const Error &e) {
                outcome.code = DownloadCode::WriteFailed;
                outcome.reason = e.what();
                outcome.cause = WriteCause(e);
            }
        }
        if (!outcome.Ok()) {
            outcome.message = FailureMessage(t.request.url, outcome.reason);
        }
        outcome.start = std::move(t.start);
        outcome.end = std::move(t.end);
        outcome.size = t.delivered;
        return outcome;
    }

    void Finished(CURLMsg *message) {
        const CURLcode rc = message->data.result;
        Transfer *raw = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &raw);
        auto node = running.extract(raw->id);
        auto t = std::move(node.mapped());
        long status = 0;
        long connectStatus = 0;
        curl_easy_getinfo(t->easy.get(), CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(t->easy.get(), CURLINFO_HTTP_CONNECTCODE, &connectStatus);
        std::string contentType;
        if (t->request.onData) {
            char *type = nullptr;
            curl_easy_getinfo(t->easy.get(), CURLINFO_CONTENT_TYPE, &type);
            contentType = type != nullptr ? type : "";
        }
        char *location = nullptr;
        if (rc == CURLE_OK && !t->hookError && status >= 300 && status < 400) {
            curl_easy_getinfo(t->easy.get(), CURLINFO_REDIRECT_URL, &location);
        }
        if (location != nullptr) {
            std::string next = location; // owned by the handle, which goes on to other work
            Detach(*t);
            Redirect(std::move(t), status, std::move(next));
            return;
        }
        const bool slowDown = rc == CURLE_OK && !t->hookError && RetryLater(*t, status);
        Detach(*t);
        if (slowDown) {
            queued.push_front(std::move(t));
            return;
        }
        const bool proxyAsks = status == 407 || connectStatus == 407;
        if (proxyAsks && !t->hookError && RetryWithCredentials(*t)) {
            queued.push_front(std::move(t)); // nothing of the refusal reached the body
            return;
        }
        auto outcome = Conclude(*t, rc, proxyAsks ? 407 : status);
        outcome.contentType = std::move(contentType);
        End(*t, std::move(outcome));
    }

    void Perform() {
        int stillRunning = 0;
        const CURLMcode mc = curl_multi_perform(multi.get(), &stillRunning);
        if (mc != CURLM_OK) {
            throw Error(std::string("libcurl failed: ") + curl_multi_strerror(mc));
        }
        int left = 0;
        while (CURLMsg *message = curl_multi_info_read(multi.get(), &left)) {
            if (message->msg == CURLMSG_DONE) {
                Finished(message);
            }
        }
    }

    void Poll() {
        // With a waiting hook (a window to keep alive) the wait is cut into short naps.
        const int timeoutMs = hooks.waiting ? 25 : 100;
        const CURLMcode mc = curl_multi_poll(multi.get(), nullptr, 0, timeoutMs, nullptr);
        if (mc != CURLM_OK) {
            throw Error(std::string("libcurl failed: ") + curl_multi_strerror(mc));
        }
    }

    std::deque<std::unique_ptr<Transfer>>::iterator FindQueued(std::int64_t id) {
        return std::find_if(queued.begin(), queued.end(),
                            [&](const auto &t) { return t->id == id; });
    }

    // Puts a queued transfer at the front of the queue; false when it is not queued.
    bool Prioritise(std::int64_t id) {
        const auto it = FindQueued(id);
        if (it == queued.end()) {
            return false;
        }
        std::rotate(queued.begin(), it, it + 1);
        return true;
    }

    TransferOutcome Stopped(std::int64_t id) {
        std::string url;
        if (const auto it = running.find(id); it != running.end()) {
            url = it->second->request.url;
        } else if (const auto q = FindQueued(id); q != queued.end()) {
            url = (*q)->request.url;
        }
        CancelAll();
        TransferOutcome outcome;
        outcome.code = DownloadCode::Aborted;
        outcome.reason = "the run was stopped";
        outcome.message = FailureMessage(url, outcome.reason);
        return outcome;
    }

    void CancelAll() noexcept {
        for (auto &[id, t] : running) {
            Detach(*t);
        }
        running.clear(); // the files' destructors remove the partial files
        queued.clear();
        done.clear();
    }
};

TransferEngine::TransferEngine(int connections, DownloadLimits limits, TransferHooks hooks)
    : m_impl(std::make_unique<Impl>()) {
    InitCurl();
    m_impl->connections = static_cast<std::size_t>(std::max(1, connections));
    m_impl->limits = limits;
    m_impl->hooks = std::move(hooks);
    if (limits.redirectHosts) {
        auto &places = m_impl->redirectPlaces.emplace();
        for (const auto &address : *limits.redirectHosts) {
            if (auto place = PlaceOf(address); place && !place->host.empty()) {
                places.push_back(std::move(*place));
            }
        }
    }
    m_impl->multi.reset(curl_multi_init());
    if (!m_impl->multi) {
        throw Error("libcurl could not create a transfer group.", ErrorNumber::OutOfMemory);
    }
    // Reuse connections across the mirrors and keep as many as transfers run at once (a
    // refusal would only cost reconnections).
    (void)curl_multi_setopt(m_impl->multi.get(), CURLMOPT_MAXCONNECTS,
                            static_cast<long>(m_impl->connections + 4));
}

TransferEngine::~TransferEngine() {
    m_impl->CancelAll();
}

void TransferEngine::Start(std::int64_t id, TransferRequest request) {
    auto t = std::make_unique<Transfer>();
    t->id = id;
    t->request = std::move(request);
    t->body = std::move(t->request.buffer); // Reset empties it and keeps its memory
    t->url = t->request.url;
    t->maxBytes = m_impl->limits.maxBytes;
    if (m_impl->hooks.progress) {
        t->progress = &m_impl->hooks.progress;
    }
    m_impl->queued.push_back(std::move(t));
}

TransferOutcome TransferEngine::Wait(std::int64_t id) {
    auto &impl = *m_impl;
    const bool known = impl.done.contains(id) || impl.running.contains(id) || impl.Prioritise(id);
    if (!known) {
        throw Error("Transfer " + std::to_string(id) + " was never started.");
    }
    while (!impl.done.contains(id)) {
        if (impl.hooks.abort != nullptr && impl.hooks.abort->IsSet()) {
            return impl.Stopped(id);
        }
        impl.Fill();
        impl.Perform();
        if (!impl.done.contains(id)) {
            impl.Fill(); // a transfer sent again goes out before the wait
            if (impl.hooks.waiting && impl.hooks.waiting()) {
                return impl.Stopped(id);
            }
            impl.Poll();
        }
    }
    // A transfer that can start now goes out before the caller works on this one, so that the
    // network is busy meanwhile (with one connection, the next tile's request is on its way).
    // Only when none runs: with others running the network is busy anyway.
    if (impl.running.empty()) {
        impl.Fill();
        if (!impl.running.empty()) {
            impl.Perform();
        }
    }
    auto node = impl.done.extract(id);
    if (node.mapped().hookError) {
        std::rethrow_exception(node.mapped().hookError);
    }
    return std::move(node.mapped().outcome);
}

void TransferEngine::CancelAll() noexcept {
    m_impl->CancelAll();
}

} // namespace tessaro::download
