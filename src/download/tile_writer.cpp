#include "download/tile_writer.h"

#include "common/files.h"
#include "common/text.h"
#include "download/side_file.h"
#include "download/world_file.h"
#include "tiles/tile_files.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace tessaro::download {

namespace {

// Jobs queued at most: enough to ride out a slow write, few enough to hold little memory.
constexpr std::size_t kMaxQueued = 256;
// Jobs that wake a writer waiting for work.
constexpr std::size_t kWakeAfter = 8;

} // namespace

TileWriter::TileWriter(RunFiles run) : m_run(run), m_thread([this] { Work(); }) {}

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
    // A full queue is waited on until half of it is done: one wake for many tiles.
    while (m_jobs.size() >= kMaxQueued) {
        m_submitWaiting = true;
        m_done.wait(lock);
    }
    m_jobs.push_back(std::move(job));
    // A few jobs at a time wake an idle writer, one futex call for several tiles.
    const bool wake = m_idle && m_jobs.size() >= kWakeAfter;
    m_idle = m_idle && !wake;
    lock.unlock();
    if (wake) {
        m_work.notify_one();
    }
}

std::string TileWriter::SpareBuffer() {
    std::lock_guard lock(m_mutex);
    if (m_spare.empty()) {
        return {};
    }
    std::string buffer = std::move(m_spare.back());
    m_spare.pop_back();
    return buffer;
}

void TileWriter::Wake() {
    std::lock_guard lock(m_mutex);
    if (m_idle && !m_jobs.empty()) {
        m_idle = false;
        m_work.notify_one();
    }
}

void TileWriter::Finish() {
    Wake();
    std::unique_lock lock(m_mutex);
    while (!m_jobs.empty() || m_busy) {
        m_finishWaiting = true;
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
    ::pthread_setname_np(::pthread_self(), "tessaro-writer"); // for top and profilers
    // The network goes first where the cores are few: the queue lets the writer catch up.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 5);
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
        std::string buffer = std::move(job.body);
        job = {}; // the rest goes before the next wait
        lock.lock();
        if (buffer.capacity() > 0 && m_spare.size() < kMaxQueued) {
            m_spare.push_back(std::move(buffer));
        }
        m_busy = false;
        const bool room = m_submitWaiting && m_jobs.size() <= kMaxQueued / 2;
        const bool done = m_finishWaiting && m_jobs.empty();
        if (room || done) {
            m_submitWaiting = m_submitWaiting && !room;
            m_finishWaiting = m_finishWaiting && !done;
            m_done.notify_all();
        }
    }
}

void TileWriter::Do(Job &job) {
    if (m_stopped) {
        return; // the run stops at the tile that could not be written
    }
    const bool fetched = job.file || !job.body.empty();
    bool inPlace = job.onDisk;
    if (fetched) {
        try {
            if (job.file) {
                job.file->Commit();
            } else {
                m_files.Write(job.path, job.body);
            }
        } catch (const Error &e) {
            inPlace = false;
            m_stopped = true;
            job.added = 0;
            job.cause = "not written";
            std::lock_guard lock(m_mutex);
            m_unwritten.push_back({job.path, e.what()});
        }
    }
    m_tally.added += job.added;
    if (inPlace) {
        ++m_tally.loaded;
    } else {
        ++m_tally.errors;
        if (!job.cause.empty()) {
            ++m_tally.causes[job.cause];
        }
    }
    try {
        if (inPlace) {
            const auto world = WorldFilePath(job.path, m_run.type);
            // A tile that was on disk mostly has its world file: a look is cheaper than a write.
            if (fetched || !FileExists(world)) {
                m_files.WriteNew(world, WorldFileText(job.record, m_run.tileSize));
            }
        }
        if (inPlace && fetched && !m_run.sideText.empty()) {
            WriteSideFile(job.path);
        }
        WriteLines(job, inPlace);
    } catch (...) {
        std::lock_guard lock(m_mutex);
        if (!m_failed) {
            m_failed = true; // only the first is told: the run ends with it
            m_failure = std::current_exception();
            m_failureTile = job.name + " (" + job.path.string() + ")";
        }
    }
}

// A side file that cannot be written now is left to the pass over the list after the
// download, which reports why under its own name; only those written are counted.
void TileWriter::WriteSideFile(const std::filesystem::path &image) {
    try {
        if (m_files.WriteNew(SideFilePath(image), m_run.sideText)) {
            ++m_tally.sideFiles;
        }
    } catch (const Error &) {
    }
}

void TileWriter::WriteLines(const Job &job, bool inPlace) {
    if (m_run.log != nullptr) {
        m_jobTime = job.when;
        m_line.clear();
        AppendLogLine(m_line, m_stamper.Now(), TypeWord(m_run.type), job.record, m_run.tileSize,
                      m_run.level, job.onDisk && !inPlace ? TileMark::Failed : job.mark);
        m_run.log->WriteLine(m_line);
        // Written out with its tile, so that a run killed later still logs every tile it left
        // on disk (one small write beside a whole transfer).
        m_run.log->Flush();
    }
    if (m_run.ion != nullptr) {
        auto &buffer = m_run.ion->Buffer();
        if (tiles::IsXyz(m_run.type)) {
            // Named from the level folder, where the list lies: "x/y.ext".
            buffer += job.path.parent_path().filename().native();
            buffer += '/';
            buffer += job.path.filename().native();
        } else {
            buffer += job.name;
            buffer += tiles::ImageExtension(m_run.type);
        }
        buffer += ' ';
        buffer += job.url;
        buffer += kCrLf;
        m_run.ion->MaybeFlush();
    }
}

} // namespace tessaro::download
