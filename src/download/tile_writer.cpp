#include "download/tile_writer.h"

#include "common/files.h"

namespace tessaro::download {

namespace {

// Jobs queued at most: enough to ride out a slow write, few enough to hold little memory.
constexpr std::size_t kMaxQueued = 256;

} // namespace

TileWriter::TileWriter(LoadLog *log, FdWriter *ion)
    : m_log(log), m_ion(ion), m_thread([this] { Work(); }) {}

TileWriter::~TileWriter() {
    {
        std::lock_guard lock(m_mutex);
        m_closing = true;
    }
    m_work.notify_one();
    m_thread.join();
}

// The threads wake each other only when one waits: a tile's hand-over costs no system call
// while both are busy.
void TileWriter::Submit(Job job) {
    std::unique_lock lock(m_mutex);
    while (m_jobs.size() >= kMaxQueued) {
        m_waiting = true;
        m_done.wait(lock);
    }
    m_jobs.push_back(std::move(job));
    const bool wake = m_idle;
    m_idle = false;
    lock.unlock();
    if (wake) {
        m_work.notify_one();
    }
}

void TileWriter::Finish() {
    std::unique_lock lock(m_mutex);
    while (!m_jobs.empty() || m_busy) {
        m_waiting = true;
        m_done.wait(lock);
    }
}

std::vector<TileWriter::Unwritten> TileWriter::TakeUnwritten() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_unwritten, {});
}

void TileWriter::RethrowFailure(std::string &tile) {
    std::exception_ptr failure;
    {
        std::lock_guard lock(m_mutex);
        failure = std::exchange(m_failure, nullptr);
        tile = m_failureTile;
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void TileWriter::Work() {
    std::unique_lock lock(m_mutex);
    while (true) {
        if (m_jobs.empty() && !m_closing) {
            m_idle = true;
            m_work.wait(lock, [this] { return !m_jobs.empty() || m_closing; });
        }
        if (m_jobs.empty()) {
            return;
        }
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_busy = true;
        lock.unlock();
        Do(job);
        job = {}; // the image's memory goes before the next wait
        lock.lock();
        m_busy = false;
        if (m_waiting) {
            m_waiting = false;
            m_done.notify_all();
        }
    }
}

void TileWriter::Do(Job &job) {
    bool inPlace = true;
    if (!job.image.empty()) {
        try {
            if (job.file) {
                job.file->Commit();
            } else {
                m_files.Write(job.image, job.body);
            }
        } catch (const Error &e) {
            inPlace = false;
            std::lock_guard lock(m_mutex);
            m_unwritten.push_back({job.image, e.what()});
        }
    }
    try {
        if (inPlace && !job.worldFile.empty() &&
            !(job.worldIfMissing && FileExists(job.worldFile))) {
            m_files.WriteNew(job.worldFile, job.worldText);
        }
        if (inPlace && !job.sideFile.empty()) {
            m_files.WriteNew(job.sideFile, job.sideText);
        }
        if (m_log != nullptr && !job.logLine.empty()) {
            m_log->WriteLine(inPlace ? job.logLine : job.failedLogLine);
            // Written out with its tile, so that a run killed later still logs every tile it
            // left on disk (one small write beside a whole transfer).
            m_log->Flush();
        }
        if (m_ion != nullptr && !job.ionLine.empty()) {
            m_ion->Buffer() += job.ionLine;
            m_ion->MaybeFlush();
        }
    } catch (...) {
        std::lock_guard lock(m_mutex);
        if (!m_failed) {
            m_failed = true; // only the first is told: the run ends with it
            m_failure = std::current_exception();
            m_failureTile = job.tile;
        }
    }
}

} // namespace tessaro::download
