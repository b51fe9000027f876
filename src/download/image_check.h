#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

namespace tessaro::download {

/// Image formats the header check knows.
enum class ImageType : std::int32_t { Unknown = 0, Gif = 1, Jpeg = 2, Png = 3, Bmp = 4 };

/// Reads the first 64 KiB of a file and reports its image format, width, height and colour
/// depth. Width and height are the low 16 bits of the format's size fields.
class clsImgType {
public:
    static constexpr std::size_t kBufferSize = 65536;

    /// Reads the header of a file. @throws tessaro::FileError when the file cannot be read, and
    /// tessaro::OverflowError when a depth does not fit 8 bits.
    void ReadImageInfo(const std::filesystem::path &fileName);

    /// Examines a header already in memory (the first bytes of a file; missing bytes count as
    /// zero). @throws tessaro::OverflowError when a depth does not fit 8 bits.
    void ReadImageInfo(std::span<const std::uint8_t> header);

    [[nodiscard]] std::int32_t Width() const noexcept { return m_width; }
    [[nodiscard]] std::int32_t Height() const noexcept { return m_height; }
    [[nodiscard]] std::uint8_t Depth() const noexcept { return m_depth; }
    [[nodiscard]] ImageType Type() const noexcept { return m_type; }

private:
    // Examines a whole zero-padded buffer of kBufferSize bytes.
    void Examine(const std::uint8_t *buf);

    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
    std::uint8_t m_depth = 0;
    ImageType m_type = ImageType::Unknown;
};

/// Returns the image type of a file, 0 (ImageType::Unknown) for anything that is not a GIF,
/// JPEG, PNG or BMP and for any error while reading it.
[[nodiscard]] std::int32_t ImageCheck(const std::filesystem::path &path) noexcept;

/// The same check on the first bytes of a body held in memory.
[[nodiscard]] std::int32_t ImageTypeOf(std::string_view start) noexcept;

/// True when an image of the type the header check found ends before its end: a JPEG whose
/// last bytes hold no end-of-image marker (only padding may follow it), a PNG that does not end
/// with its IEND chunk. `end` holds the last bytes of the body (16 are enough). The header
/// check cannot see this, since a header is whole long before the image is.
[[nodiscard]] bool IsCutShort(std::int32_t type, std::string_view end) noexcept;

} // namespace tessaro::download
