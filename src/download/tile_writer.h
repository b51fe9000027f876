#pragma once

#include "common/atomic_file.h"
#include "download/download_loop.h"
#include "download/load_log.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <chrono>
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
/// The texts are made on the writer's thread too.
class TileWriter {
public:
    /// What every tile of the run shares.
    struct RunFiles {
        tiles::TilesType type = tiles::TilesType::Invalid;
        int level = 0;
        double tileSize = 0;       ///< of the ellipsoidal grid; 0 for the others
        std::string_view sideText; ///< the side file of a fetched tile; empty for none
        LoadLog *log = nullptr;    ///< the log lines go here when given
        FdWriter *ion = nullptr;   ///< the .ion lines go here when given
    };

    /// One tile.
    struct Job {
        std::string name;           ///< as the .ion list and failures give it
        std::filesystem::path path; ///< the image's path
        std::string url;
        tiles::TileRecord record;
        std::chrono::system_clock::time_point when; ///< the log line's time
        TileMark mark = TileMark::New;              ///< the log line's mark
        bool onDisk = false;    ///< the image is in place (or goes there now): a world file too
        std::int64_t added = 0; ///< fetches counted as new
        std::string cause;      ///< why the tile is not on disk
        std::string body;       ///< a fetched image in memory, put in place first
        std::shared_ptr<AtomicFile> file; ///< a fetched image in a file aside, put in place first
    };

    /// A fetched image that could not be put in place, and why.
    struct Unwritten {
        std::filesystem::path image;
        std::string reason;
    };

    /// The log and the .ion list must outlive the writer, and nothing else writes to them
    /// until Finish returned.
    explicit TileWriter(RunFiles run);
    TileWriter(const TileWriter &) = delete;
    TileWriter &operator=(const TileWriter &) = delete;
    /// Finishes the jobs handed over.
    ~TileWriter();

    /// Hands a job over; waits while many are queued, so that memory stays bounded.
    void Submit(Job job);
    /// Gets the writer going on the jobs handed over. It starts by itself once a few are
    /// queued; the run calls this before it waits for something else.
    void Wake();
    /// Waits until every job handed over is done.
    void Finish();
    /// Memory of an image written, to hold another one in (empty when none is spare).
    [[nodiscard]] std::string SpareBuffer();
    /// The images that could not be written since the last call, in tile order.
    [[nodiscard]] std::vector<Unwritten> TakeUnwritten();
    /// Rethrows the first other failure of the file work (a world file, side file, log or list
    /// that could not be written), once, after setting tile to the tile it came with.
    void RethrowFailure(std::string &tile);
    /// The counters of the tiles done (all but bytes); read after Finish. After an image that
    /// could not be put in place, later tiles are not done: the run stops there.
    [[nodiscard]] const DownloadCounters &Tally() const noexcept { return m_tally; }

private:
    void Work();
    void Do(Job &job);
    void WriteSideFile(const std::filesystem::path &image);
    void WriteLines(const Job &job, bool inPlace);

    const RunFiles m_run;
    FolderFiles m_files; // the writer thread's own, as are the two below
    std::chrono::system_clock::time_point m_jobTime{};
    TimeStamper m_stamper{[this] { return m_jobTime; }};
    std::string m_line;
    DownloadCounters m_tally;
    bool m_stopped = false; // an image could not be put in place

    std::mutex m_mutex;
    std::condition_variable m_work; // the writer waits for jobs
    std::condition_variable m_done; // Submit and Finish wait for the writer
    std::deque<Job> m_jobs;
    bool m_busy = false;
    bool m_idle = false;          // the writer waits on m_work
    bool m_submitWaiting = false; // Submit waits on m_done for room
    bool m_finishWaiting = false; // Finish waits on m_done for the end
    bool m_closing = false;
    std::vector<Unwritten> m_unwritten;
    std::vector<std::string> m_spare; // images' memory for the transfers to come
    std::exception_ptr m_failure;
    std::string m_failureTile;
    bool m_failed = false;
    std::thread m_thread; // last: it starts once everything above is made
};

} // namespace tessaro::download
