#pragma once

#include "common/atomic_file.h"
#include "download/load_log.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tessaro::download {

/// The file work of a download run's tiles, done on a thread of its own in the order the tiles
/// come, while the transfers and checks of the next tiles go on: a fetched image put in place,
/// then its world file and side file, a world file for a tile that was on disk, and each
/// tile's log and .ion lines, so that a tile is logged only once its files are whole on disk.
class TileWriter {
public:
    /// One tile's files and lines.
    struct Job {
        std::string tile;                 ///< the tile as failures name it
        std::filesystem::path image;      ///< where a fetched image goes; empty for none
        std::string body;                 ///< the fetched image, when it came in memory
        std::shared_ptr<AtomicFile> file; ///< the fetched image, when it came as a file aside
        std::filesystem::path worldFile;  ///< empty for none
        std::string worldText;
        bool worldIfMissing = false;     ///< looked for first (the tile was on disk)
        std::filesystem::path sideFile;  ///< empty for none; never written over a file
        std::string_view sideText;       ///< static text
        std::string logLine;             ///< empty for none
        std::string failedLogLine;       ///< the line when the image could not be written
        std::string ionLine;             ///< empty for none
    };

    /// A fetched image that could not be put in place, and why.
    struct Unwritten {
        std::filesystem::path image;
        std::string reason;
    };

    /// Writes lines to log and ion when they are given (either may be null); both must outlive
    /// the writer, and nothing else writes to them until Finish returned.
    TileWriter(LoadLog *log, FdWriter *ion);
    TileWriter(const TileWriter &) = delete;
    TileWriter &operator=(const TileWriter &) = delete;
    /// Finishes the jobs handed over.
    ~TileWriter();

    /// Hands a job over; waits while many are queued, so that memory stays bounded.
    void Submit(Job job);
    /// Waits until every job handed over is done.
    void Finish();
    /// The images that could not be written since the last call, in tile order.
    [[nodiscard]] std::vector<Unwritten> TakeUnwritten();
    /// Rethrows the first other failure of the file work (a world file, side file, log or list
    /// that could not be written), once, after setting tile to the tile it came with.
    void RethrowFailure(std::string &tile);

private:
    void Work();
    void Do(Job &job);

    LoadLog *m_log;
    FdWriter *m_ion;
    FolderFiles m_files; // the writer thread's own
    std::mutex m_mutex;
    std::condition_variable m_work; // the writer waits for jobs
    std::condition_variable m_done; // Submit and Finish wait for the writer
    std::deque<Job> m_jobs;
    bool m_busy = false;
    bool m_idle = false;    // the writer waits on m_work
    bool m_waiting = false; // someone waits on m_done
    bool m_closing = false;
    std::vector<Unwritten> m_unwritten;
    std::exception_ptr m_failure;
    std::string m_failureTile;
    bool m_failed = false;
    std::thread m_thread;
};

} // namespace tessaro::download
