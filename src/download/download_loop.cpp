#include "download/download_loop.h"

#include "common/atomic_file.h"
#include "common/error.h"
#include "common/error_report.h"
#include "common/files.h"
#include "common/text.h"
#include "download/image_check.h"
#include "download/parallel_fetcher.h"
#include "download/tile_urls.h"
#include "download/world_file.h"
#include "tiles/ellipsoidal_grid.h"
#include "tiles/tile_files.h"

#include <deque>
#include <optional>
#include <span>

namespace tessaro::download {

using tiles::TilesType;

namespace {

std::string_view ProgressCaption(TilesType type) {
    if (tiles::IsGoogle(type)) {
        return "Load from Goo";
    }
    if (tiles::IsScanex(type)) {
        return "Load from Scan";
    }
    if (type == TilesType::Shade) {
        return "Load from Shaded";
    }
    return "Load from Yand";
}

// The dialog's handlers of the downloader's events: the abort flag cancels a transfer, and
// the proxy credentials are handed over when "UseProxy" is ticked.
class LoopEvents : public KachalkaEvents {
public:
    LoopEvents(const settings::Settings &s, UiPort &ui, const AbortFlag &abort)
        : m_settings(s), m_ui(ui), m_abort(abort) {}

    void Authenticate(std::int32_t &hWnd, std::string &user, std::string &password) override {
        if (m_settings.useProxy) {
            user = m_settings.userName;
            password = m_settings.password;
            hWnd = 0;
        }
    }
    void Progress(std::int32_t, std::int32_t, std::int32_t, std::string_view,
                  bool &cancel) override {
        m_ui.ProcessPendingEvents();
        cancel = m_abort.IsSet();
    }

private:
    const settings::Settings &m_settings;
    UiPort &m_ui;
    const AbortFlag &m_abort;
};

// One tile of the run on its way through the loop.
struct Pending {
    std::int64_t index = 0;
    tiles::TileRecord record;
    std::string name;           // file name without folder and extension
    std::filesystem::path path; // the image file
    std::string url;
    bool existed = false;
    bool fetching = false; // a transfer was started for it (parallel runs)
};

class Loop {
public:
    Loop(const DownloadRun &run, const tiles::TileList &list, const settings::Settings &s,
         DownloadCounters &counters, UiPort &ui, AbortFlag &abort)
        : m_run(run), m_list(list), m_settings(s), m_counters(counters), m_ui(ui), m_abort(abort),
          m_events(s, ui, abort), m_cursor(list.Begin()) {}

    DownloadEnd Run();

private:
    bool Prepare(Pending &p);
    void Prefetch();
    void Fetch(Pending &p);
    std::optional<DownloadEnd> Step(Pending &p);
    std::int32_t CheckImage(const Pending &p, bool fetched) const;
    void NewDownloader() {
        m_kachalka = std::make_unique<clsKachalka>(&m_events, m_run.limits);
        m_kachalka->Method = 0;
    }
    bool IsBatchEnd(std::int64_t index) const {
        return tiles::IsGoogle(m_run.type) && (index + 1) % m_run.tilesAtOnce == 0;
    }

    const DownloadRun &m_run;
    const tiles::TileList &m_list;
    const settings::Settings &m_settings;
    DownloadCounters &m_counters;
    UiPort &m_ui;
    AbortFlag &m_abort;
    LoopEvents m_events;
    tiles::TileList::Cursor m_cursor;
    std::int64_t m_nextIndex = 0;
    std::deque<Pending> m_ahead;
    ServerPrefixes m_prefixes;
    double m_tileSize = 0;
    std::unique_ptr<clsKachalka> m_kachalka;
    std::unique_ptr<ParallelFetcher> m_fetcher;
    std::unique_ptr<AtomicFile> m_ion;
    std::string m_line;
    std::string m_fileStart;
    int m_askedBad = -1;
    TimeStamper m_stamper{m_run.now};
};

// Reads the next tile of the list; false after the last.
bool Loop::Prepare(Pending &p) {
    if (!m_cursor.Next(p.record)) {
        return false;
    }
    p.index = m_nextIndex++;
    p.name = TileBaseName(m_run.type, p.record, m_run.level);
    p.path = TilePath(m_run.levelFolder, m_run.type, p.record, m_run.level);
    p.url = TileUrl(m_prefixes, static_cast<int>(p.index % 4), m_run.type, p.record, m_run.level);
    p.fetching = false;
    return true;
}

// Parallel runs: keep transfers going for the tiles ahead, but never past the end of the
// current batch, so that a pause also pauses the network.
void Loop::Prefetch() {
    if (!m_fetcher) {
        return;
    }
    const std::size_t window = static_cast<std::size_t>(m_run.connections) * 4;
    while (m_ahead.size() < window) {
        if (!m_ahead.empty() && IsBatchEnd(m_ahead.back().index)) {
            break;
        }
        Pending p;
        if (!Prepare(p)) {
            break;
        }
        p.existed = FileExists(p.path);
        if (!p.existed && !m_run.offline) {
            m_fetcher->Start(p.index, p.url, p.path);
            p.fetching = true;
        }
        m_ahead.push_back(std::move(p));
    }
}

// Fetches a tile's file now (or waits for its transfer), leaving the start of the file in
// m_fileStart; throws DownloadError on failure.
void Loop::Fetch(Pending &p) {
    if (m_fetcher) {
        if (!p.fetching) {
            m_fetcher->Start(p.index, p.url, p.path);
        }
        p.fetching = false;
        m_fetcher->Wait(p.index, m_fileStart);
        return;
    }
    m_kachalka->DownloadToFile(p.url, p.path);
    m_fileStart = m_kachalka->LastFileStart();
}

// The header check of a tile file: from the bytes just downloaded, or from the file.
std::int32_t Loop::CheckImage(const Pending &p, bool fetched) const {
    if (!fetched) {
        return ImageCheck(p.path);
    }
    try {
        clsImgType reader;
        reader.ReadImageInfo(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t *>(m_fileStart.data()), m_fileStart.size()));
        return static_cast<std::int32_t>(reader.Type());
    } catch (...) {
        return 0;
    }
}

// Steps 2 to 12 of one tile. Returns an end when the run ends at this tile.
std::optional<DownloadEnd> Loop::Step(Pending &p) {
    const bool google = tiles::IsGoogle(m_run.type);
    bool failed = false;
    bool onDisk = false;
    while (true) {
        if (!m_fetcher) {
            p.existed = FileExists(p.path);
        }
        failed = false;
        bool fetched = false;
        if (!p.existed && !m_run.offline) {
            try {
                Fetch(p);
                fetched = true;
                ++m_counters.added;
            } catch (const DownloadError &) {
                failed = true;
                ++m_counters.errors;
            }
        }
        onDisk = p.existed || fetched;
        if (failed || !google || !onDisk || CheckImage(p, fetched) != 0) {
            break;
        }
        // A Google tile that is not an image.
        if (!m_run.offline) {
            m_ui.ShowBadTile(p.url, p.path);
            std::filesystem::remove(p.path);
            std::string text(kBadTileQuestion);
            text += kCrLf;
            text += p.name;
            if (m_ui.AskRetryCancel(Question::RetryBadTile, text, kBadTileTitle)) {
                if (!m_fetcher) {
                    NewDownloader();
                }
                p.existed = false;
                continue; // the same address, the same mirror
            }
            m_abort.Set();
            return DownloadEnd::Aborted;
        }
        if (m_askedBad == -1) {
            std::string text = "Файл " + p.name;
            text += kCrLf;
            text += "имеет недопустимый формат (возможно битый или текстовый файл)";
            text += kCrLf;
            text += "Стереть файл ( и все плохие) и продолжить загрузку?";
            text += kCrLf;
            text += "НЕТ - выход";
            if (m_ui.AskYesNo(Question::DeleteBadFiles, text, Icon::Question, kBadFileTitle)) {
                m_askedBad = 1;
            }
        }
        if (m_askedBad != 1) {
            m_abort.Set();
            return DownloadEnd::Aborted;
        }
        std::filesystem::remove(p.path);
        onDisk = false;
        break;
    }

    if (!failed) {
        if (onDisk) {
            ++m_counters.loaded;
            WriteWorldFile(WorldFilePath(p.path, m_run.type), p.record, m_tileSize);
        } else {
            ++m_counters.errors;
        }
    }
    if (!m_run.skipLog) {
        m_line.clear();
        AppendLogLine(m_line, m_stamper.Now(), TypeWord(m_run.type), p.record, m_tileSize,
                      m_run.level, p.existed);
        m_run.log->WriteLine(m_line);
        // Written out with its tile, so that a run killed later still logs every tile it
        // left on disk (one small write beside a whole transfer).
        m_run.log->Flush();
    }
    if (m_ion) {
        auto &buffer = m_ion->Writer().Buffer();
        buffer += p.name;
        buffer += ImageExtension(m_run.type);
        buffer += ' ';
        buffer += p.url;
        buffer += kCrLf;
        m_ion->Writer().MaybeFlush();
    }
    m_ui.SetProgress(p.index, m_list.Size());
    if (IsBatchEnd(p.index)) {
        m_ui.CountDown(m_run.timeOutSeconds, p.index + 1);
    }
    if (m_abort.IsSet()) {
        return DownloadEnd::Aborted;
    }
    return std::nullopt;
}

DownloadEnd Loop::Run() {
    if (m_run.type == TilesType::Invalid) {
        m_ui.ShowMessage(kUnsupportedLoadMessage);
        return DownloadEnd::Failed;
    }
    if (tiles::IsGoogle(m_run.type) && m_run.tilesAtOnce == 0) {
        throw ArgumentError("The batch size (Tiles at once) is 0.");
    }
    m_prefixes = DownloadPrefixes(m_settings, m_run.type);
    if (tiles::IsEllipsoidal(m_run.type)) {
        m_tileSize = 256.0 * tiles::ResN(m_run.level);
    }
    if (m_run.makeIon) {
        m_ion = std::make_unique<AtomicFile>(m_run.levelFolder /
                                             IonFileName(m_run.type, TimeStamp(m_run.now())));
    }
    m_ui.SetProgress(0, m_list.Size());
    m_ui.SetProgressLabel(ProgressCaption(m_run.type));
    if (m_run.connections > 1 && !m_run.offline) {
        m_fetcher =
            std::make_unique<ParallelFetcher>(m_run.connections, m_run.limits, m_abort,
                                              [this](std::string &user, std::string &password) {
                                                  std::int32_t hWnd = 1;
                                                  m_events.Authenticate(hWnd, user, password);
                                                  return hWnd == 0;
                                              });
    } else {
        NewDownloader();
    }

    DownloadEnd end = DownloadEnd::Completed;
    Pending current;
    std::string tileInProgress;
    try {
        while (true) {
            if (m_fetcher) {
                Prefetch();
                if (m_ahead.empty()) {
                    break;
                }
                current = std::move(m_ahead.front());
                m_ahead.pop_front();
            } else if (!Prepare(current)) {
                break;
            }
            tileInProgress = current.name + " (" + current.path.string() + ")";
            if (auto stop = Step(current)) {
                end = *stop;
                break;
            }
        }
    } catch (const std::exception &e) {
        if (m_fetcher) {
            m_fetcher->CancelAll();
        }
        const std::string cause = "Tile " + tileInProgress + ": " + e.what();
        ReportError(m_ui, ProcedureText("GoogleLoadKachalka ", "", 0),
                    dynamic_cast<const Error *>(&e) != nullptr
                        ? dynamic_cast<const Error &>(e).Number()
                        : static_cast<std::int32_t>(ErrorNumber::InvalidProcedureCall),
                    cause, kMessageMode);
        end = DownloadEnd::Failed;
    }
    if (m_fetcher) {
        // Tiles fetched ahead of an early end were never processed: remove them, so that the
        // folder holds what a sequential run would have left.
        m_fetcher->CancelAll();
        for (const auto &p : m_ahead) {
            if (p.fetching) {
                std::error_code ec;
                std::filesystem::remove(p.path, ec);
            }
        }
    }
    m_ui.SetProgress(0, 0);
    m_ui.SetProgressLabel({});
    // Closing the log and the list; a failure here is reported like any other.
    try {
        if (!m_run.skipLog) {
            m_run.log->Close();
        }
        if (m_ion) {
            m_ion->Commit();
        }
    } catch (const std::exception &e) {
        ReportException(m_ui, ProcedureText("GoogleLoadKachalka ", "", 0), e, kMessageMode);
        end = DownloadEnd::Failed;
    }
    return end;
}

} // namespace

DownloadEnd GoogleLoadKachalka(const DownloadRun &run, const tiles::TileList &list,
                               const settings::Settings &settings, DownloadCounters &counters,
                               UiPort &ui, AbortFlag &abort) {
    Loop loop(run, list, settings, counters, ui, abort);
    return loop.Run();
}

} // namespace tessaro::download
