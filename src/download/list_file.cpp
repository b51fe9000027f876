#include "download/list_file.h"

#include "common/atomic_file.h"
#include "common/error_report.h"
#include "common/files.h"
#include "common/text.h"
#include "download/tile_urls.h"
#include "tiles/tile_files.h"

#include <memory>

namespace tessaro::download {

namespace {

// Closes the run's log however the walk ends. After a failure that is reported already, a
// failure to close it is not reported again.
class LogCloser {
public:
    explicit LogCloser(LoadLog *log) noexcept : m_log(log) {}
    LogCloser(const LogCloser &) = delete;
    LogCloser &operator=(const LogCloser &) = delete;
    ~LogCloser() {
        if (m_log != nullptr) {
            try {
                m_log->Close();
            } catch (const std::exception &) {
                // Only reached when the walk failed, and that failure is the one reported.
            }
        }
    }

private:
    LoadLog *m_log;
};

} // namespace

bool CreateListFile(const ListFileRun &run, const tiles::TileList &list,
                    const settings::Settings &s, std::int64_t &wasNew, UiPort &ui) {
    return RunTrapped(ui, "CreateListFile ", [&] {
        const LogCloser closer(run.skipLog ? nullptr : run.log);
        std::unique_ptr<AtomicFile> ion;
        const auto prefixes = download::ListFilePrefixes(s, run.type);
        const auto typeWord = tiles::TypeWord(run.type);
        const auto extension = tiles::ImageExtension(run.type);
        if (run.makeIon) {
            // Another run of the same minute keeps its list: this one then gets "_2" and on.
            ion = std::make_unique<AtomicFile>(
                run.levelFolder / download::IonFileName(run.type, download::TimeStamp(run.now()) +
                                                                      run.partSuffix),
                AtomicFile::Mode::Numbered);
        }
        std::string line;
        std::string fileName;
        download::TimeStamper stamper(run.now);
        FolderIndex onDisk;
        std::filesystem::path folder = run.levelFolder;
        std::int64_t folderRow = 0;
        int mirror = 0;
        auto cursor = list.Begin();
        tiles::TileRecord record;
        std::int64_t walked = 0;
        const bool xyz = run.urlTemplate != nullptr;
        while (cursor.Next(record)) {
            // A stop is looked for every few thousand tiles: within a millisecond or two.
            if ((++walked & 4095) == 0 && run.abort != nullptr && run.abort->IsSet()) {
                break;
            }
            if (xyz) {
                folder = tiles::TileFolder(run.levelFolder, run.type, record);
            } else if (run.type == tiles::TilesType::Shade &&
                       (folderRow != record.row || folder == run.levelFolder)) {
                folder = tiles::TileFolder(run.levelFolder, run.type, record);
                folderRow = record.row;
            }
            fileName.clear();
            tiles::AppendTileBaseName(fileName, run.type, record, run.level);
            fileName += extension;
            bool exists = false;
            if (xyz) {
                // A template source's tile may be on disk as the PNG or the JPEG its server
                // sent. Its folder changes from tile to tile, so each is looked up on its own.
                std::error_code ec;
                exists = std::filesystem::is_regular_file(folder / fileName, ec);
                if (!exists) {
                    auto jpeg = folder / fileName;
                    jpeg.replace_extension(tiles::kJpegExtension);
                    if (std::filesystem::is_regular_file(jpeg, ec)) {
                        exists = true;
                        fileName = jpeg.filename().string();
                    }
                }
                // Named from the level folder, where the list lies: "x/y.ext".
                fileName.insert(0, folder.filename().string() + "/");
            } else {
                exists = onDisk.Exists(folder, fileName);
            }
            if (!exists) {
                ++wasNew;
            }
            if (!run.skipLog) {
                line.clear();
                download::AppendLogLine(line, stamper.Now(), typeWord, record, 0.0, run.level,
                                        exists ? download::TileMark::OldFile
                                               : download::TileMark::New);
                run.log->WriteLine(line);
            }
            if (ion) {
                auto &buffer = ion->Writer().Buffer();
                buffer += fileName;
                buffer += ' ';
                if (xyz) {
                    download::AppendTemplateUrl(buffer, *run.urlTemplate, walked - 1, record,
                                                run.level);
                } else {
                    download::AppendListFileUrl(buffer, prefixes, mirror, run.type, record,
                                                run.level);
                }
                buffer += kCrLf;
                ion->Writer().MaybeFlush();
                mirror = (mirror + 1) % 4;
            }
        }
        if (!run.skipLog) {
            run.log->Close();
        }
        if (ion) {
            ion->Commit();
        }
    });
}

} // namespace tessaro::download
