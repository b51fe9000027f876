#include "tiles/list_file.h"

#include "common/atomic_file.h"
#include "common/files.h"
#include "common/text.h"
#include "dialogs/error_report.h"
#include "download/tile_files.h"
#include "download/tile_urls.h"

#include <memory>

namespace tessaro::tiles {

bool CreateListFile(const ListFileRun &run, const TileList &list, const settings::Settings &s,
                    std::int64_t &wasNew, dialogs::UiPort &ui) {
    std::unique_ptr<AtomicFile> ion;
    try {
        const auto prefixes = download::ListFilePrefixes(s, run.type);
        const auto typeWord = download::TypeWord(run.type);
        const auto extension = download::ImageExtension(run.type);
        if (run.makeIon) {
            ion = std::make_unique<AtomicFile>(
                run.levelFolder / download::IonFileName(run.type, download::TimeStamp(run.now())));
        }
        std::string line;
        download::TimeStamper stamper(run.now);
        int mirror = 0;
        auto cursor = list.Begin();
        TileRecord record;
        while (cursor.Next(record)) {
            const auto path = download::TilePath(run.levelFolder, run.type, record, run.level);
            const bool exists = FileExists(path);
            if (!exists) {
                ++wasNew;
            }
            if (!run.skipLog) {
                line.clear();
                download::AppendLogLine(line, stamper.Now(), typeWord, record, 0.0,
                                        run.level, exists);
                run.log->WriteLine(line);
            }
            if (ion) {
                auto &buffer = ion->Writer().Buffer();
                buffer += download::TileBaseName(run.type, record, run.level);
                buffer += extension;
                buffer += ' ';
                buffer += download::ListFileUrl(prefixes, mirror, run.type, record, run.level);
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
        return true;
    } catch (const std::exception &e) {
        dialogs::ReportException(ui, dialogs::ProcedureText("CreateListFile ", "", 0), e,
                                 dialogs::kMessageMode);
        if (!run.skipLog && run.log != nullptr) {
            try {
                run.log->Close();
            } catch (const std::exception &) {
                // The report above already names the failure.
            }
        }
        return false;
    }
}

} // namespace tessaro::tiles
