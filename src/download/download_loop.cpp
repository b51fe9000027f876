#include "download/download_loop.h"

#include "common/atomic_file.h"
#include "common/error.h"
#include "common/error_report.h"
#include "common/files.h"
#include "common/progress.h"
#include "common/text.h"
#include "download/image_check.h"
#include "download/side_file.h"
#include "download/tile_urls.h"
#include "download/tile_writer.h"
#include "download/transfer_engine.h"
#include "download/url_template.h"
#include "tiles/ellipsoidal_grid.h"
#include "tiles/tile_files.h"

#include <algorithm>
#include <deque>
#include <fstream>
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
    if (type == TilesType::Xyz) {
        return "Load from XYZ";
    }
    return "Load from Yand";
}

// One tile of the run on its way through the loop.
struct Pending {
    std::int64_t index = 0;
    tiles::TileRecord record;
    std::string name;           // file name without folder and extension
    std::filesystem::path path; // the image file
    std::string url;
    bool existed = false;
    bool fetching = false;  // its transfer was started and not waited for yet
    bool failed = false;    // its download failed
    std::string cause;      // why it is not on disk, in a few words
    std::int64_t added = 0; // fetches that brought an answer (a bad tile's too)
    // A fetched image, checked and not yet in place: in memory, or in a file aside.
    std::string body;
    std::shared_ptr<AtomicFile> file;
};

// Where a tile stands once its file was looked for, fetched and checked.
enum class TileFile { OnDisk, Missing, RunStopped, FetchAgain };

// What a fetch brought: a whole image now in place, an answer the header check finds no image
// in (a Google tile's bad-tile case), or a failure.
enum class Received { Whole, NotImage, Failed };

class Loop {
public:
    Loop(const DownloadRun &run, const tiles::TileList &list, const settings::Settings &s,
         DownloadCounters &counters, UiPort &ui, AbortFlag &abort)
        : m_run(run), m_list(list), m_settings(s), m_counters(counters), m_ui(ui), m_abort(abort),
          m_cursor(list.Begin()) {}

    DownloadEnd Run();

private:
    void Open();
    TransferHooks Hooks();
    DownloadEnd Walk();
    bool NextTile(Pending &p);
    bool Prepare(Pending &p);
    void Prefetch();
    TransferRequest Request(const Pending &p) const;
    Received Fetch(Pending &p);
    std::pair<std::string, std::string> Refusal(const TransferOutcome &outcome,
                                                std::int32_t type) const;
    Received Failed(Pending &p, const std::string &message, const std::string &cause);
    Received WriteFailed(Pending &p, const std::string &reason);
    TileFile Obtain(Pending &p);
    TileFile BadTile(Pending &p, bool onDisk);
    void ReadBadFile(const std::filesystem::path &path);
    bool RetryBadTile(const Pending &p);
    bool DeleteBadFiles(const Pending &p);
    std::optional<DownloadEnd> Step(Pending &p, ProgressPass &progress);
    void HandOver(Pending &p, bool onDisk);
    void TakeWriterReports();
    DownloadEnd Settle(DownloadEnd end);
    void ReportTileFailure(const std::string &tile, const std::exception &e);
    void DropFetchedAhead();
    bool OnDisk(const std::filesystem::path &tile) const;
    void Close();
    bool IsBatchEnd(std::int64_t index) const {
        return tiles::IsGoogle(m_run.type) && (index + 1) % m_run.tilesAtOnce == 0;
    }

    const DownloadRun &m_run;
    const tiles::TileList &m_list;
    const settings::Settings &m_settings;
    DownloadCounters &m_counters;
    UiPort &m_ui;
    AbortFlag &m_abort;
    tiles::TileList::Cursor m_cursor;
    std::int64_t m_nextIndex = 0;
    std::deque<Pending> m_ahead;
    ServerPrefixes m_prefixes;
    double m_tileSize = 0;
    std::unique_ptr<TransferEngine> m_engine; // none offline
    std::unique_ptr<AtomicFile> m_ion;
    std::unique_ptr<TileWriter> m_writer; // the files and lines of every tile, in list order
    std::string m_failedTile;             // the tile of the writer's failure
    FolderHandle m_level;                 // the level folder, to look for tiles in it
    std::string m_levelText;              // its path without a separator at the end
    std::string m_badStart;               // the start and size of the bad tile in hand
    std::int64_t m_badSize = 0;
    bool m_deleteBadFiles = false; // the offline question was answered Yes
    bool m_writeFailed = false;    // a tile could not be written: the run stops
};

DownloadEnd Loop::Run() {
    if (m_run.type == TilesType::Invalid) {
        m_ui.ShowMessage(kUnsupportedLoadMessage);
        return DownloadEnd::Failed;
    }
    if (tiles::IsGoogle(m_run.type) && m_run.tilesAtOnce == 0) {
        throw ArgumentError("The batch size (Tiles at once) is 0.");
    }
    Open();
    DownloadEnd end = Walk();
    DropFetchedAhead();
    end = Settle(end);
    // Closing the log and the list; a failure here is reported like any other.
    if (!RunTrapped(m_ui, "GoogleLoadKachalka ", [this] { Close(); })) {
        end = DownloadEnd::Failed;
    }
    return end;
}

void Loop::Open() {
    RemoveDeadTemporaries(m_run.levelFolder); // what runs killed while writing left behind
    m_level = FolderHandle(m_run.levelFolder);
    m_levelText = m_run.levelFolder.native();
    while (m_levelText.size() > 1 && m_levelText.back() == '/') {
        m_levelText.pop_back();
    }
    m_prefixes = DownloadPrefixes(m_settings, m_run.type);
    if (tiles::IsEllipsoidal(m_run.type)) {
        m_tileSize = 256.0 * tiles::ResN(m_run.level);
    }
    if (m_run.makeIon) {
        // Another run of the same minute keeps its list: this one then gets "_2" and on.
        m_ion = std::make_unique<AtomicFile>(
            m_run.levelFolder / IonFileName(m_run.type, TimeStamp(m_run.now()) + m_run.partSuffix),
            AtomicFile::Mode::Numbered);
    }
    m_writer = std::make_unique<TileWriter>(TileWriter::RunFiles{
        m_run.type, m_run.level, m_tileSize, SideFileText(m_run.type),
        m_run.skipLog ? nullptr : m_run.log, m_ion ? &m_ion->Writer() : nullptr});
    if (!m_run.offline) {
        // A server may send a tile on to another tile server of the settings, nowhere else.
        DownloadLimits limits = m_run.limits;
        limits.redirectHosts = TileServerAddresses(m_settings);
        if (m_run.urlTemplate != nullptr) {
            // A template source's server may send a tile on to another of its mirrors.
            const auto &source = *m_run.urlTemplate;
            for (std::size_t k = 0; k < std::max<std::size_t>(1, source.mirrors.size()); ++k) {
                limits.redirectHosts->push_back(TemplateUrl(source, static_cast<std::int64_t>(k),
                                                            tiles::TileRecord{}, m_run.level));
            }
        }
        m_engine = std::make_unique<TransferEngine>(m_run.connections, limits, Hooks());
    }
}

// The dialog's part in the transfers: its events are processed while they run, the abort
// flag cancels them, and the proxy credentials are handed over when "UseProxy" is ticked.
TransferHooks Loop::Hooks() {
    TransferHooks hooks;
    hooks.waiting = [this] {
        m_writer->Wake(); // tiles waiting for the writer go to disk meanwhile
        m_ui.ProcessPendingEvents();
        return m_abort.IsSet() || m_ui.StopRequested();
    };
    hooks.credentials = [this](std::string &user, std::string &password) {
        if (!m_settings.useProxy) {
            return false;
        }
        user = m_settings.userName;
        password = m_settings.password;
        return true;
    };
    hooks.abort = &m_abort;
    return hooks;
}

// Takes every tile through its step until the list ends or the run stops. An unexpected
// error is reported naming the tile in hand.
DownloadEnd Loop::Walk() {
    Pending current;
    try {
        ProgressPass progress(m_ui, ProgressCaption(m_run.type), m_list.Size());
        while (NextTile(current)) {
            if (const auto end = Step(current, progress)) {
                return *end;
            }
        }
        return DownloadEnd::Completed;
    } catch (const RunStopped &) {
        if (m_engine) {
            m_engine->CancelAll();
        }
        return DownloadEnd::Aborted;
    } catch (const std::exception &e) {
        if (m_engine) {
            m_engine->CancelAll();
        }
        ReportTileFailure(m_failedTile.empty() ? current.name + " (" + current.path.string() + ")"
                                               : m_failedTile,
                          e);
        return DownloadEnd::Failed;
    }
}

void Loop::ReportTileFailure(const std::string &tile, const std::exception &e) {
    const auto *error = dynamic_cast<const Error *>(&e);
    ReportError(m_ui, ProcedureText("GoogleLoadKachalka ", "", 0),
                error != nullptr ? error->Number()
                                 : static_cast<std::int32_t>(ErrorNumber::InvalidProcedureCall),
                "Tile " + tile + ": " + e.what(), kMessageMode);
}

// The next tile of the run: read from the list, or taken from the tiles fetched ahead.
bool Loop::NextTile(Pending &p) {
    if (!m_engine) {
        if (!Prepare(p)) {
            return false;
        }
        p.existed = OnDisk(p.path);
        return true;
    }
    Prefetch();
    if (m_ahead.empty()) {
        return false;
    }
    p = std::move(m_ahead.front());
    m_ahead.pop_front();
    return true;
}

// Reads the next tile of the list; false after the last.
bool Loop::Prepare(Pending &p) {
    if (!m_cursor.Next(p.record)) {
        return false;
    }
    p.index = m_nextIndex++;
    if (m_run.urlTemplate != nullptr) {
        p.name = p.record.name.Str(); // "z/x/y": the base name alone recurs in every column
        p.path = FindTilePath(m_run.levelFolder, m_run.type, p.record, m_run.level);
        p.url = TemplateUrl(*m_run.urlTemplate, p.index, p.record, m_run.level);
    } else {
        p.name = TileBaseName(m_run.type, p.record, m_run.level);
        p.path = TilePath(m_run.levelFolder, m_run.type, p.record, m_run.level);
        p.url =
            TileUrl(m_prefixes, static_cast<int>(p.index % 4), m_run.type, p.record, m_run.level);
    }
    p.fetching = false;
    p.failed = false;
    p.cause.clear();
    p.added = 0;
    return true;
}

// Keeps transfers queued for the tiles ahead, as many as four per connection, but never past
// the end of the current batch, so that a pause also pauses the network. The engine runs them
// while the loop waits for the tile in hand.
void Loop::Prefetch() {
    const std::size_t window = static_cast<std::size_t>(std::max(1, m_run.connections)) * 4;
    while (m_ahead.size() < window) {
        if (!m_ahead.empty() && IsBatchEnd(m_ahead.back().index)) {
            break;
        }
        Pending p;
        if (!Prepare(p)) {
            break;
        }
        p.existed = OnDisk(p.path);
        if (!p.existed) {
            m_engine->Start(p.index, Request(p));
            p.fetching = true;
        }
        m_ahead.push_back(std::move(p));
    }
}

TransferRequest Loop::Request(const Pending &p) const {
    TransferRequest request;
    request.url = p.url;
    request.file = p.path;
    // Revalidated with the server rather than taken from a cache on the way.
    request.headers.emplace_back("Cache-Control: no-cache");
    // A tile goes under its name only once it is checked: a tile fetched ahead of an early
    // end, or one that is no image, never reaches the folder.
    request.keepUncommitted = true;
    request.inMemory = true;                  // the file work happens on the writer's thread
    request.buffer = m_writer->SpareBuffer(); // memory of a tile written, not allocated anew
    return request;
}

// Fetches a tile, or waits for its transfer started ahead, checks what came and puts a whole
// image into place.
Received Loop::Fetch(Pending &p) {
    if (!p.fetching) {
        m_engine->Start(p.index, Request(p));
    }
    p.fetching = false;
    TransferOutcome outcome = m_engine->Wait(p.index);
    if (outcome.code == DownloadCode::Aborted) {
        p.failed = true; // stopped by the user, who needs no telling
        p.cause = "stopped";
        return Received::Failed;
    }
    if (outcome.code == DownloadCode::WriteFailed) {
        return WriteFailed(p, outcome.reason);
    }
    if (!outcome.Ok()) {
        return Failed(p, outcome.message, outcome.cause);
    }
    const std::int32_t type = ImageTypeOf(outcome.Head());
    if (tiles::IsGoogle(m_run.type) && outcome.httpStatus == 200 && type == 0) {
        m_badStart = std::string(outcome.Head());
        m_badSize = outcome.size;
        return Received::NotImage;
    }
    if (const auto [refusal, cause] = Refusal(outcome, type); !refusal.empty()) {
        return Failed(p, FailureMessage(p.url, refusal), cause);
    }
    if (tiles::IsXyz(m_run.type)) {
        // A template source's tile takes the extension of the image its server sent.
        const auto image = static_cast<ImageType>(type);
        if (image != ImageType::Jpeg && image != ImageType::Png) {
            return Failed(p, FailureMessage(p.url, "the image is neither JPEG nor PNG"),
                          "not JPEG or PNG");
        }
        const std::string_view wanted = m_run.urlTemplate != nullptr
                                            ? std::string_view(m_run.urlTemplate->fileType)
                                            : std::string_view{};
        if (!wanted.empty() && wanted != (image == ImageType::Jpeg ? "jpg" : "png")) {
            return Failed(p,
                          FailureMessage(p.url, "the image is not of the type the source names (" +
                                                    std::string(wanted) + ")"),
                          "wrong image type");
        }
        p.path.replace_extension(image == ImageType::Jpeg ? tiles::kJpegExtension
                                                          : ImageExtension(m_run.type));
        if (outcome.file) {
            outcome.file->Retarget(p.path);
        }
    }
    // The writer puts it in place.
    p.body = std::move(outcome.body);
    p.file = std::move(outcome.file);
    m_counters.bytes += outcome.size;
    return Received::Whole;
}

// Says once why the tile failed, for the log too, and counts its cause.
Received Loop::Failed(Pending &p, const std::string &message, const std::string &cause) {
    p.failed = true;
    p.cause = cause;
    m_ui.ShowTileFailure("Tile " + p.name + ": " + message);
    return Received::Failed;
}

// A tile that cannot be written: the folder will take no other tile either (read-only, no
// permission, full), so the run stops here with one message rather than fetching every tile
// to throw it away.
Received Loop::WriteFailed(Pending &p, const std::string &reason) {
    p.failed = true;
    m_writeFailed = true;
    p.cause = "not written";
    m_ui.ShowMessage("The run stops: " + reason, Icon::Exclamation);
    return Received::Failed;
}

// Why a complete answer is not a tile, and that in a few words; empty when it is one.
std::pair<std::string, std::string> Loop::Refusal(const TransferOutcome &outcome,
                                                  std::int32_t type) const {
    if (outcome.httpStatus != 200) {
        const std::string status = "HTTP " + std::to_string(outcome.httpStatus);
        return {"the server answered " + status + ", which carries no tile", status};
    }
    if (outcome.size == 0) {
        return {"the answer is empty", "empty answer"};
    }
    if (type == 0) {
        return {"the answer is not an image", "not an image"};
    }
    if (IsCutShort(type, outcome.end)) {
        return {"the image is cut short", "cut short"};
    }
    return {};
}

// One tile: its file, its counters and world file, its log and .ion lines, the progress bar
// and the batch pause. Returns an end when the run ends at this tile.
std::optional<DownloadEnd> Loop::Step(Pending &p, ProgressPass &progress) {
    const TileFile file = Obtain(p);
    if (file == TileFile::RunStopped) {
        m_counters.added += p.added; // the answers the user turned away were fetched
        return DownloadEnd::Aborted;
    }
    if (file != TileFile::OnDisk && m_run.offline) {
        p.cause = "not on disk";
    }
    HandOver(p, file == TileFile::OnDisk);
    TakeWriterReports();
    if (m_writeFailed) {
        return DownloadEnd::Failed;
    }
    m_ui.SetProgressBytes(m_counters.bytes);
    progress.Step(p.index);
    if (IsBatchEnd(p.index)) {
        m_writer->Wake();
        m_ui.CountDown(m_run.timeOutSeconds, p.index + 1);
    }
    if (m_abort.IsSet() || m_ui.StopRequested()) {
        return DownloadEnd::Aborted;
    }
    return std::nullopt;
}

// Puts the tile's file on disk unless it is there (or the run is offline) and checks that a
// Google tile is an image. A bad tile is fetched again or deleted as the user answers; an
// answer that ends the run sets the abort flag.
TileFile Loop::Obtain(Pending &p) {
    while (true) {
        if (!p.existed) {
            if (m_run.offline) {
                return TileFile::Missing;
            }
            const Received received = Fetch(p);
            if (received == Received::Failed) {
                return TileFile::Missing;
            }
            ++p.added;
            if (received == Received::Whole) {
                return TileFile::OnDisk;
            }
        } else if (!tiles::IsGoogle(m_run.type) || ImageCheck(p.path) != 0) {
            return TileFile::OnDisk;
        } else {
            ReadBadFile(p.path);
        }
        const TileFile bad = BadTile(p, p.existed);
        if (bad != TileFile::FetchAgain) {
            return bad;
        }
        p.existed = false; // the same address, the same mirror
    }
}

// A Google tile that is no image: offline it is deleted once the user allows it; online the
// user sees what the server sent and is asked whether to fetch it again. A file is deleted
// only when it is on disk under the tile's name; a fetched one never got there.
TileFile Loop::BadTile(Pending &p, bool onDisk) {
    if (m_run.offline) {
        if (!DeleteBadFiles(p)) {
            m_abort.Set();
            return TileFile::RunStopped;
        }
        std::filesystem::remove(p.path);
        return TileFile::Missing;
    }
    m_writer->Wake(); // the user may take a while to answer
    m_ui.ShowBadTile(p.url, m_badStart, m_badSize);
    if (onDisk) {
        std::filesystem::remove(p.path);
    }
    if (!RetryBadTile(p)) {
        m_abort.Set();
        return TileFile::RunStopped;
    }
    return TileFile::FetchAgain;
}

// Keeps the start and size of a bad file on disk to show them.
void Loop::ReadBadFile(const std::filesystem::path &path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    m_badSize = ec ? 0 : static_cast<std::int64_t>(size);
    m_badStart.assign(clsImgType::kBufferSize, '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(m_badStart.data(), static_cast<std::streamsize>(m_badStart.size()));
    m_badStart.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, in.gcount())));
}

bool Loop::RetryBadTile(const Pending &p) {
    std::string text(kBadTileQuestion);
    text += kCrLf;
    text += p.name;
    return m_ui.AskRetryCancel(Question::RetryBadTile, text, kBadTileTitle);
}

// Asks once per run whether bad files may be deleted; No ends the run.
bool Loop::DeleteBadFiles(const Pending &p) {
    if (!m_deleteBadFiles) {
        std::string text = "Файл " + p.name;
        text += kCrLf;
        text += "имеет недопустимый формат (возможно битый или текстовый файл)";
        text += kCrLf;
        text += "Стереть файл ( и все плохие) и продолжить загрузку?";
        text += kCrLf;
        text += "НЕТ - выход";
        m_deleteBadFiles =
            m_ui.AskYesNo(Question::DeleteBadFiles, text, Icon::Question, kBadFileTitle);
    }
    return m_deleteBadFiles;
}

// Hands the tile's file work and lines to the writer: a fetched image with its world file and
// side file, a world file for a tile on disk unless it has one, the log and .ion lines.
void Loop::HandOver(Pending &p, bool onDisk) {
    TileWriter::Job job;
    job.name = std::move(p.name);
    job.path = std::move(p.path);
    job.url = std::move(p.url);
    job.record = p.record;
    job.when = m_run.now();
    job.mark = p.existed ? TileMark::OldFile : p.failed ? TileMark::Failed : TileMark::New;
    job.onDisk = onDisk;
    job.added = p.added;
    job.cause = std::move(p.cause);
    if (onDisk) {
        job.body = std::move(p.body);
        job.file = std::move(p.file);
    }
    m_writer->Submit(std::move(job));
}

// The first fetched image the writer could not put in place stops the run (the writer counts
// it and does no later tile). Rethrows any other failure of the file work.
void Loop::TakeWriterReports() {
    for (auto &unwritten : m_writer->TakeUnwritten()) {
        if (!m_writeFailed) {
            m_writeFailed = true;
            m_ui.ShowMessage("The run stops: " + unwritten.reason, Icon::Exclamation);
        }
    }
    m_writer->RethrowFailure(m_failedTile);
}

// Waits for the writer's last files and lines and counts what it could not do; an end the
// writer's failures make worse replaces the walk's.
DownloadEnd Loop::Settle(DownloadEnd end) {
    try {
        m_writer->Finish();
        const DownloadCounters &tally = m_writer->Tally();
        m_counters.loaded += tally.loaded;
        m_counters.added += tally.added;
        m_counters.errors += tally.errors;
        m_counters.sideFiles += tally.sideFiles;
        for (const auto &[cause, n] : tally.causes) {
            m_counters.causes[cause] += n;
        }
        TakeWriterReports();
    } catch (const std::exception &e) {
        ReportTileFailure(m_failedTile, e);
        return DownloadEnd::Failed;
    }
    return m_writeFailed ? DownloadEnd::Failed : end;
}

// Whether a tile is on disk: looked up in the level folder held open where it lies there.
bool Loop::OnDisk(const std::filesystem::path &tile) const {
    const std::string &text = tile.native();
    const auto slash = text.rfind('/');
    if (m_level.Fd() >= 0 && slash != std::string::npos &&
        std::string_view(text).substr(0, slash) == m_levelText) {
        return FileExistsAt(m_level.Fd(), text.c_str() + slash + 1);
    }
    return FileExists(tile);
}

// Tiles fetched ahead of an early end were never processed: their transfers are cancelled and
// the files they brought, never put into place, are dropped with them.
void Loop::DropFetchedAhead() {
    if (m_engine) {
        m_engine->CancelAll();
    }
}

void Loop::Close() {
    if (m_writer) {
        m_writer.reset(); // every line handed over goes out first
    }
    if (!m_run.skipLog) {
        m_run.log->Close();
    }
    if (m_ion) {
        m_ion->Commit();
    }
}

} // namespace

DownloadEnd GoogleLoadKachalka(const DownloadRun &run, const tiles::TileList &list,
                               const settings::Settings &settings, DownloadCounters &counters,
                               UiPort &ui, AbortFlag &abort) {
    Loop loop(run, list, settings, counters, ui, abort);
    return loop.Run();
}

} // namespace tessaro::download
