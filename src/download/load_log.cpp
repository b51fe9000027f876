#include "download/load_log.h"

#include "common/error.h"
#include "common/text.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaro::download {

using tiles::TilesType;

std::string TimeStamp(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d_%02d_%02d_%d_%d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min);
    return buf;
}

const std::string &TimeStamper::Now() {
    const auto now = m_now();
    if (now < m_validFrom || now >= m_validUntil || m_stamp.empty()) {
        m_stamp = TimeStamp(now);
        // Local minutes start on whole minutes of the epoch in every time zone with whole-minute
        // offsets, so the stamp holds until the next whole minute.
        const auto minute = std::chrono::floor<std::chrono::minutes>(now);
        m_validFrom = minute;
        m_validUntil = minute + std::chrono::minutes(1);
    }
    return m_stamp;
}

std::filesystem::path LogFilePath(const std::filesystem::path &rootFolder, tiles::Source source,
                                  TilesType type) {
    std::string name;
    switch (source) {
    case tiles::Source::Goo:
        name = "Tessaro_";
        break;
    case tiles::Source::Scan:
        name = "SSevice_";
        break;
    case tiles::Source::Shade:
        name = "SRTMSevice_";
        break;
    case tiles::Source::Yand:
        name = "YSevice_";
        break;
    case tiles::Source::None:
        break;
    }
    switch (type) {
    case TilesType::GoogleMap:
    case TilesType::ScanMap:
    case TilesType::YandMap:
        name += "map";
        break;
    case TilesType::GoogleLand:
        name += "land";
        break;
    case TilesType::Xyz:
        name = "Tessaro_xyz";
        break;
    default:
        name += "sat";
        break;
    }
    return rootFolder / (name + ".log");
}

std::string IonFileName(TilesType type, std::string_view timeStamp) {
    std::string name;
    if (tiles::IsGoogle(type) || tiles::IsXyz(type)) {
        name = "Tessaro_";
    } else if (tiles::IsScanex(type)) {
        name = "SService_";
    } else if (type == TilesType::Shade) {
        name = "SRTMService_";
    } else {
        name = "YService_";
    }
    name += timeStamp;
    name += ".ion";
    return name;
}

namespace {

// Cuts a last line that did not go out whole (a full disk, a killed run) off the end of a log,
// so that the next line starts a record of its own. Lines are short: the last one lies in the
// last 4 KiB.
void CutTornLine(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        return;
    }
    const off_t chunk = std::min<off_t>(st.st_size, 4096);
    std::string tail(static_cast<std::size_t>(chunk), '\0');
    if (::pread(fd, tail.data(), tail.size(), st.st_size - chunk) != chunk) {
        return;
    }
    const auto newline = tail.rfind('\n');
    if (newline == std::string::npos && chunk < st.st_size) {
        return; // not a log of lines: left as it is
    }
    const off_t keep =
        newline == std::string::npos ? 0 : st.st_size - chunk + static_cast<off_t>(newline) + 1;
    if (keep < st.st_size) {
        (void)::ftruncate(fd, keep);
    }
}

} // namespace

LoadLog::LoadLog(int fd, std::filesystem::path path)
    : m_fd(fd), m_path(std::move(path)),
      m_writer(std::make_unique<FdWriter>(m_fd, m_path.string())) {}

LoadLog::~LoadLog() {
    if (m_fd >= 0) {
        try {
            m_writer->Flush();
        } catch (const Error &) {
            // Closing on an error path: the failure that brought us here is reported already.
        }
        ::close(m_fd);
    }
}

void LoadLog::WriteLine(std::string_view line) {
    auto &buffer = m_writer->Buffer();
    buffer.append(line);
    buffer.append(kCrLf);
    m_writer->MaybeFlush();
}

void LoadLog::Flush() {
    try {
        m_writer->Flush();
    } catch (const FileError &) {
        CutTornLine(m_fd);
        throw;
    }
}

void LoadLog::Close() {
    if (m_fd < 0) {
        return;
    }
    const int fd = m_fd;
    m_fd = -1;
    try {
        m_writer->Flush();
    } catch (...) {
        CutTornLine(fd);
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0) {
        throw FileError("Cannot close " + m_path.string() + ": " + SystemErrorText(errno) + ".");
    }
}

std::unique_ptr<LoadLog> GetLogFile(const std::filesystem::path &logFileName,
                                    std::string_view header, UiPort &ui) {
    auto fail = [&](int err) {
        std::string text(kLogOpenMessage);
        text += kCrLf;
        text += logFileName.string();
        text += kCrLf;
        text += SystemErrorText(err);
        ui.ShowMessage(text, Icon::Exclamation);
        return nullptr;
    };
    const int fd = ::open(logFileName.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        return fail(errno);
    }
    CutTornLine(fd);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
        std::string first(header);
        first += kCrLf;
        const ssize_t n = ::write(fd, first.data(), first.size());
        if (n != static_cast<ssize_t>(first.size())) {
            const int err = n < 0 ? errno : ENOSPC;
            if (n > 0) {
                (void)::ftruncate(fd, 0);
            }
            ::close(fd);
            return fail(err);
        }
    }
    return std::make_unique<LoadLog>(fd, logFileName);
}

void AppendLogLine(std::string &out, std::string_view timeStamp, std::string_view typeWord,
                   const tiles::TileRecord &r, double yShift, int level, TileMark mark) {
    out += timeStamp;
    out += ';';
    out += typeWord;
    out += ';';
    AppendInt(out, r.col);
    out += ';';
    AppendInt(out, r.row);
    out += ';';
    AppendDouble(out, r.x);
    out += ';';
    AppendDouble(out, r.y + yShift);
    out += ';';
    AppendDouble(out, r.resX);
    out += ';';
    AppendDouble(out, r.resY);
    out += ';';
    out += r.name.View();
    out += ';';
    AppendInt(out, level);
    out += ';';
    switch (mark) {
    case TileMark::New:
        out += '0';
        break;
    case TileMark::OldFile:
        out += "oldfile";
        break;
    case TileMark::Failed:
        out += '1';
        break;
    }
}

} // namespace tessaro::download
