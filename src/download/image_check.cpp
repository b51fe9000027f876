#include "download/image_check.h"

#include "common/atomic_file.h"
#include "common/error.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace tessaro::download {

namespace {

// The header check looks only this far for JPEG markers, so that reading a marker's length
// stays inside the buffer.
constexpr std::size_t kScanLimit = 65525;

std::uint8_t Depth8(int value) {
    if (value < 0 || value > 255) {
        throw OverflowError("An image depth of " + std::to_string(value) +
                            " bits does not fit 8 bits.");
    }
    return static_cast<std::uint8_t>(value);
}

bool IsStartOfFrame(std::uint8_t code) noexcept {
    return (code >= 192 && code <= 195) || (code >= 197 && code <= 199) ||
           (code >= 201 && code <= 203) || (code >= 205 && code <= 207);
}

} // namespace

namespace {

// A thread's buffer of an image's first bytes, zero past them: only as much as the last
// image filled is zeroed again.
struct ZeroPadded {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(clsImgType::kBufferSize, 0);
    std::size_t dirty = 0;

    void ClearFrom(std::size_t filled) {
        if (dirty > filled) {
            std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(filled),
                      bytes.begin() + static_cast<std::ptrdiff_t>(dirty), 0);
        }
        dirty = filled;
    }
};

} // namespace

void clsImgType::ReadImageInfo(const std::filesystem::path &fileName) {
    // One buffer per thread: the check runs once per tile of a run.
    thread_local ZeroPadded buffer;
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw FileError("Cannot open " + fileName.string() + ": " + SystemErrorText(errno) + ".",
                        ErrorNumber::FileNotFound);
    }
    std::size_t filled = 0;
    while (filled < kBufferSize) {
        const ssize_t n = ::read(fd, buffer.bytes.data() + filled, kBufferSize - filled);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            buffer.dirty = std::max(buffer.dirty, filled);
            throw FileError("Cannot read " + fileName.string() + ": " + SystemErrorText(err) + ".");
        }
        if (n == 0) {
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    ::close(fd);
    buffer.ClearFrom(filled);
    Examine(buffer.bytes.data());
}

void clsImgType::ReadImageInfo(std::span<const std::uint8_t> header) {
    thread_local ZeroPadded buffer;
    const std::size_t filled = std::min(header.size(), kBufferSize);
    std::copy_n(header.begin(), filled, buffer.bytes.begin());
    buffer.ClearFrom(filled);
    Examine(buffer.bytes.data());
}

void clsImgType::Examine(const std::uint8_t *buf) {
    m_width = 0;
    m_height = 0;
    m_depth = 0;
    m_type = ImageType::Unknown;
    auto be16 = [&](std::size_t n) { return buf[n] * 256 + buf[n + 1]; };
    auto le16 = [&](std::size_t n) { return buf[n + 1] * 256 + buf[n]; };

    if (buf[0] == 137 && buf[1] == 80 && buf[2] == 78) {
        m_type = ImageType::Png;
        const int bitDepth = buf[24];
        switch (buf[25]) {
        case 0:
            m_depth = Depth8(bitDepth);
            break;
        case 2:
            m_depth = Depth8(bitDepth * 3);
            break;
        case 3:
            m_depth = 8;
            break;
        case 4:
            m_depth = Depth8(bitDepth * 2);
            break;
        case 6:
            m_depth = Depth8(bitDepth * 4);
            break;
        default:
            m_type = ImageType::Unknown;
            break;
        }
        if (m_type == ImageType::Png) {
            m_width = be16(18);
            m_height = be16(22);
        }
    }
    if (buf[0] == 71 && buf[1] == 73 && buf[2] == 70) {
        m_type = ImageType::Gif;
        m_width = le16(6);
        m_height = le16(8);
        m_depth = static_cast<std::uint8_t>((buf[10] & 7) + 1);
    }
    if (buf[0] == 66 && buf[1] == 77) {
        m_type = ImageType::Bmp;
        m_width = le16(18);
        m_height = le16(22);
        m_depth = buf[28];
    }
    if (m_type != ImageType::Unknown) {
        return;
    }

    // JPEG: find the start signature anywhere in the header, then walk the markers to the frame.
    std::size_t p = 0;
    while (!(buf[p] == 255 && buf[p + 1] == 216 && buf[p + 2] == 255)) {
        if (++p >= kScanLimit) {
            return;
        }
    }
    std::size_t q = p + 2;
    while (q < kScanLimit) {
        if (buf[q] != 255 || buf[q + 1] == 255) {
            ++q;
            continue;
        }
        const std::uint8_t code = buf[q + 1];
        if (IsStartOfFrame(code)) {
            m_type = ImageType::Jpeg;
            m_height = be16(q + 5);
            m_width = be16(q + 7);
            m_depth = Depth8(buf[q + 9] * 8);
            return;
        }
        q = q + 1 + static_cast<std::size_t>(be16(q + 2));
    }
}

std::int32_t ImageCheck(const std::filesystem::path &path) noexcept {
    try {
        clsImgType reader;
        reader.ReadImageInfo(path);
        return static_cast<std::int32_t>(reader.Type());
    } catch (...) {
        return 0;
    }
}

std::int32_t ImageTypeOf(std::string_view start) noexcept {
    try {
        clsImgType reader;
        reader.ReadImageInfo(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t *>(start.data()), start.size()));
        return static_cast<std::int32_t>(reader.Type());
    } catch (...) {
        return 0;
    }
}

bool IsCutShort(std::int32_t type, std::string_view end) noexcept {
    if (type == static_cast<std::int32_t>(ImageType::Png)) {
        // The IEND chunk: no data, its name and its fixed checksum.
        constexpr std::string_view kIend("\0\0\0\0IEND\xAE\x42\x60\x82", 12);
        return !end.ends_with(kIend);
    }
    if (type == static_cast<std::int32_t>(ImageType::Jpeg)) {
        // Some encoders pad after the end-of-image marker; nothing else may follow it.
        while (!end.empty() && (end.back() == '\0' || end.back() == '\r' || end.back() == '\n' ||
                                end.back() == ' ')) {
            end.remove_suffix(1);
        }
        return !end.ends_with("\xFF\xD9");
    }
    return false;
}

} // namespace tessaro::download
