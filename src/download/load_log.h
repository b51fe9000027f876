#pragma once

#include "common/atomic_file.h"
#include "common/ui_port.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tessaro::download {

/// The header line of every load log.
inline constexpr std::string_view kLogHeader =
    "Time;Type;NumX;NumY;Xm;Ym;XmRes;YmRes;BlName;Level;ErrLoad";

/// Message shown when the log cannot be opened (followed by the file and the system's reason).
inline constexpr std::string_view kLogOpenMessage = "Не удается открыть Log-файл для записи";

/// Returns the local time as "yyyy_mm_dd_h_m": four-digit year, two-digit month and day, hour
/// and minute without leading zeros.
[[nodiscard]] std::string TimeStamp(std::chrono::system_clock::time_point when);

/// Returns time stamps for lines written one after another, formatting the local time again
/// only when the minute changes.
class TimeStamper {
public:
    explicit TimeStamper(std::function<std::chrono::system_clock::time_point()> now)
        : m_now(std::move(now)) {}
    /// Returns the stamp of the current time.
    const std::string &Now();

private:
    std::function<std::chrono::system_clock::time_point()> m_now;
    std::chrono::system_clock::time_point m_validUntil{};
    std::chrono::system_clock::time_point m_validFrom{};
    std::string m_stamp;
};

/// Returns the log file of a source and kind in the source's root folder: "Tessaro_",
/// "SSevice_", "SRTMSevice_" or "YSevice_" + "sat", "map" or "land" + ".log".
[[nodiscard]] std::filesystem::path LogFilePath(const std::filesystem::path &rootFolder,
                                                tiles::Source source, tiles::TilesType type);

/// Returns the .ion list's name: "Tessaro_" (Google), "SService_" (ScanEx), "SRTMService_"
/// (relief) or "YService_" (Yandex) + time stamp + ".ion".
[[nodiscard]] std::string IonFileName(tiles::TilesType type, std::string_view timeStamp);

/// An open load log: lines are appended, never rewritten, each ended by CR LF. A line goes
/// out whole or not at all: when a write fails part-way (a full disk), the part of a line that
/// went out is cut off again before the error is thrown.
class LoadLog {
public:
    LoadLog(int fd, std::filesystem::path path);
    LoadLog(const LoadLog &) = delete;
    LoadLog &operator=(const LoadLog &) = delete;
    ~LoadLog();

    /// Appends one line (the CR LF is added). @throws tessaro::FileError
    void WriteLine(std::string_view line);
    /// Writes out what is buffered. @throws tessaro::FileError
    void Flush();
    /// Writes out what is buffered and closes the file. @throws tessaro::FileError
    void Close();
    [[nodiscard]] const std::filesystem::path &Path() const noexcept { return m_path; }

private:
    int m_fd;
    std::filesystem::path m_path;
    std::unique_ptr<FdWriter> m_writer;
};

/// Opens a log for appending, creating it with the header line when it does not exist. A last
/// line that an earlier run left half-written is cut off, and a log without any line gets the
/// header. On failure shows "Не удается открыть Log-файл для записи", the file and the system's
/// reason (exclamation icon) and returns nullptr.
[[nodiscard]] std::unique_ptr<LoadLog> GetLogFile(const std::filesystem::path &logFileName,
                                                  std::string_view header, UiPort &ui);

/// What the last field of a log line says of its tile.
enum class TileMark {
    New,     ///< "0": fetched now (or, calculating only, to be fetched)
    OldFile, ///< "oldfile": on disk before the run
    Failed,  ///< "1": the tile could not be fetched
};

/// Appends the fields of a log line (no line end): time, type word, column, row, x,
/// y + yShift, pixel width, pixel height, block name, level, and the tile's mark.
void AppendLogLine(std::string &out, std::string_view timeStamp, std::string_view typeWord,
                   const tiles::TileRecord &record, double yShift, int level, TileMark mark);

} // namespace tessaro::download
