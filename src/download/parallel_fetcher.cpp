#include "download/parallel_fetcher.h"

#include "common/atomic_file.h"

#include <curl/curl.h>

#include <deque>
#include <map>
#include <vector>

namespace tessaro::download {

namespace {

struct Transfer {
    std::int64_t id = 0;
    std::string url;
    std::filesystem::path path;
    std::unique_ptr<AtomicFile> file;
    CURL *easy = nullptr;
    std::int64_t delivered = 0;
    std::int64_t maxBytes = 0;
    bool tooLarge = false;
    bool writeFailed = false;
    std::string writeFailure;
    bool credentialsRetried = false;
    std::string start; // the first bytes of the body, for a header check
    char errorBuffer[CURL_ERROR_SIZE] = {};

    static size_t Write(char *data, size_t size, size_t count, void *user) {
        auto *t = static_cast<Transfer *>(user);
        const size_t n = size * count;
        t->delivered += static_cast<std::int64_t>(n);
        if (t->delivered > t->maxBytes) {
            t->tooLarge = true;
            return 0;
        }
        long status = 0;
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 400) {
            return n;
        }
        if (t->start.size() < 65536) {
            t->start.append(std::string_view(data, n).substr(0, 65536 - t->start.size()));
        }
        try {
            t->file->Write(std::string_view(data, n));
        } catch (const Error &e) {
            t->writeFailed = true;
            t->writeFailure = e.what();
            return 0;
        }
        return n;
    }
};

struct Outcome {
    DownloadCode code = DownloadCode::Ok;
    long status = 0;
    std::string message;
    std::string start;
};

} // namespace

struct ParallelFetcher::Impl {
    int connections = 1;
    DownloadLimits limits;
    const AbortFlag *abort = nullptr;
    CredentialsFn credentials;
    bool askedCredentials = false;
    bool haveCredentials = false;
    std::string user, password;

    CURLM *multi = nullptr;
    std::vector<CURL *> idle; // handles keep their connections' cache
    std::deque<std::unique_ptr<Transfer>> queued;
    std::map<std::int64_t, std::unique_ptr<Transfer>> running;
    std::map<std::int64_t, Outcome> done;

    CURL *TakeHandle() {
        if (!idle.empty()) {
            CURL *h = idle.back();
            idle.pop_back();
            return h;
        }
        return curl_easy_init();
    }

    void Launch(std::unique_ptr<Transfer> t) {
        try {
            t->file = std::make_unique<AtomicFile>(t->path);
        } catch (const Error &e) {
            done[t->id] = {
                DownloadCode::WriteFailed, 0, "Download of " + t->url + " failed: " + e.what(), {}};
            return;
        }
        CURL *h = TakeHandle();
        t->easy = h;
        t->maxBytes = limits.maxBytes;
        curl_easy_reset(h);
        curl_easy_setopt(h, CURLOPT_URL, t->url.c_str());
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, t->errorBuffer);
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, limits.stallBytesPerSecond);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
        curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
        curl_easy_setopt(h, CURLOPT_TIMEOUT, limits.totalSeconds);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Transfer::Write);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, t.get());
        curl_easy_setopt(h, CURLOPT_PRIVATE, t.get());
        curl_easy_setopt(h, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
        if (haveCredentials) {
            curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, user.c_str());
            curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, password.c_str());
        }
        curl_multi_add_handle(multi, h);
        const auto id = t->id;
        running[id] = std::move(t);
    }

    void Fill() {
        while (static_cast<int>(running.size()) < connections && !queued.empty()) {
            auto t = std::move(queued.front());
            queued.pop_front();
            Launch(std::move(t));
        }
    }

    void Release(Transfer &t) {
        curl_multi_remove_handle(multi, t.easy);
        idle.push_back(t.easy);
        t.easy = nullptr;
    }

    void Finished(CURLMsg *msg) {
        Transfer *raw = nullptr;
        curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &raw);
        auto it = running.find(raw->id);
        auto t = std::move(it->second);
        running.erase(it);
        const CURLcode rc = msg->data.result;
        long status = 0, connectStatus = 0;
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(t->easy, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
        Release(*t);
        const bool proxyAsks = status == 407 || connectStatus == 407;
        if (proxyAsks && !t->credentialsRetried && AskCredentials()) {
            t->credentialsRetried = true;
            t->file.reset();
            t->delivered = 0;
            t->start.clear();
            queued.push_front(std::move(t));
            return;
        }
        if (proxyAsks) {
            status = 407;
        }
        Outcome outcome;
        outcome.status = status;
        outcome.code = CodeOf(rc, status);
        std::string reason;
        if (t->tooLarge) {
            outcome.code = DownloadCode::TooLarge;
            reason = "the answer is larger than " + std::to_string(limits.maxBytes) + " bytes";
        } else if (t->writeFailed) {
            outcome.code = DownloadCode::WriteFailed;
            reason = t->writeFailure;
        } else if (rc != CURLE_OK) {
            reason = t->errorBuffer[0] != '\0' ? t->errorBuffer : curl_easy_strerror(rc);
        } else if (status >= 400) {
            reason = "the server answered HTTP " + std::to_string(status);
        }
        if (outcome.code == DownloadCode::Ok) {
            try {
                t->file->Commit();
            } catch (const Error &e) {
                outcome.code = DownloadCode::WriteFailed;
                reason = e.what();
            }
        }
        if (outcome.code != DownloadCode::Ok) {
            outcome.message = "Download of " + t->url + " failed: " + reason + ".";
        }
        outcome.start = std::move(t->start);
        done[t->id] = std::move(outcome);
    }

    // Asks once per run; transfers that met the proxy's question while it was being asked
    // (all those running at the time) retry with the answer too.
    bool AskCredentials() {
        if (askedCredentials || !credentials) {
            return haveCredentials;
        }
        askedCredentials = true;
        haveCredentials = credentials(user, password);
        return haveCredentials;
    }

    void Pump() {
        int stillRunning = 0;
        curl_multi_perform(multi, &stillRunning);
        int left = 0;
        while (CURLMsg *msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg == CURLMSG_DONE) {
                Finished(msg);
            }
        }
        Fill();
    }

    void CancelAll() noexcept {
        for (auto &[id, t] : running) {
            Release(*t);
        }
        running.clear(); // the files' destructors remove the partial files
        queued.clear();
    }
};

ParallelFetcher::ParallelFetcher(int connections, DownloadLimits limits, const AbortFlag &abort,
                                 CredentialsFn credentials)
    : m_impl(std::make_unique<Impl>()) {
    InitCurl();
    m_impl->connections = std::max(1, connections);
    m_impl->limits = limits;
    m_impl->abort = &abort;
    m_impl->credentials = std::move(credentials);
    m_impl->multi = curl_multi_init();
    if (m_impl->multi == nullptr) {
        throw Error("libcurl could not create a transfer group.", ErrorNumber::OutOfMemory);
    }
    // Reuse connections across the mirrors and keep as many as transfers run at once.
    curl_multi_setopt(m_impl->multi, CURLMOPT_MAXCONNECTS, static_cast<long>(connections + 4));
}

ParallelFetcher::~ParallelFetcher() {
    m_impl->CancelAll();
    for (CURL *h : m_impl->idle) {
        curl_easy_cleanup(h);
    }
    curl_multi_cleanup(m_impl->multi);
}

void ParallelFetcher::Start(std::int64_t id, const std::string &url,
                            const std::filesystem::path &file) {
    auto t = std::make_unique<Transfer>();
    t->id = id;
    t->url = url;
    t->path = file;
    m_impl->queued.push_back(std::move(t));
    m_impl->Fill();
}

void ParallelFetcher::Wait(std::int64_t id, std::string &start) {
    auto &impl = *m_impl;
    const bool known = impl.done.count(id) > 0 || impl.running.count(id) > 0 ||
                       std::any_of(impl.queued.begin(), impl.queued.end(),
                                   [&](const auto &t) { return t->id == id; });
    if (!known) {
        throw Error("Transfer " + std::to_string(id) + " was never started.");
    }
    while (impl.done.count(id) == 0) {
        if (impl.abort->IsSet()) {
            std::string url;
            if (auto it = impl.running.find(id); it != impl.running.end()) {
                url = it->second->url;
            }
            impl.CancelAll();
            throw DownloadError(DownloadCode::Aborted, 0,
                                "Download of " + url + " failed: the run was stopped.");
        }
        impl.Pump();
        if (impl.done.count(id) == 0) {
            curl_multi_poll(impl.multi, nullptr, 0, 100, nullptr);
        }
    }
    auto outcome = std::move(impl.done[id]);
    impl.done.erase(id);
    if (outcome.code != DownloadCode::Ok) {
        throw DownloadError(outcome.code, outcome.status, outcome.message);
    }
    start = std::move(outcome.start);
}

void ParallelFetcher::CancelAll() noexcept {
    m_impl->CancelAll();
}

std::size_t ParallelFetcher::Pending() const noexcept {
    return m_impl->queued.size() + m_impl->running.size() + m_impl->done.size();
}

} // namespace tessaro::download
