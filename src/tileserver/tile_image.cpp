#include "tileserver/tile_image.h"

#include "common/error.h"

#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE declared first
#include <cstdlib>
#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace tessaro::tileserver {

namespace {

// libjpeg and libpng report errors by calling back and expecting no return; both are driven
// from functions that hold only plain C data, so the longjmp back skips no destructor.

struct JpegError {
    jpeg_error_mgr manager{};
    std::jmp_buf jump{};
    char message[JMSG_LENGTH_MAX] = {};
};

[[noreturn]] void OnJpegError(j_common_ptr info) {
    // jpeg_error_mgr is the first member, so the manager's address is the wrapper's.
    auto *error = reinterpret_cast<JpegError *>(info->err);
    (*info->err->format_message)(info, error->message);
    std::longjmp(error->jump, 1);
}

bool CompressJpeg(jpeg_compress_struct &info, JpegError &error, const std::uint8_t *rgb, int width,
                  int height, int quality, unsigned char **buffer, unsigned long *size) {
    if (setjmp(error.jump) != 0) {
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, buffer, size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info); // YCbCr with 2 x 2 chroma sampling, Huffman, baseline
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    const auto rowBytes = static_cast<std::size_t>(width) * 3;
    while (info.next_scanline < info.image_height) {
        // libjpeg only reads the rows; its API just predates const.
        JSAMPROW row = const_cast<std::uint8_t *>(rgb + info.next_scanline * rowBytes);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    return true;
}

struct PngSink {
    std::string bytes;
    std::string error;
};

void OnPngError(png_structp png, png_const_charp message) {
    static_cast<PngSink *>(png_get_error_ptr(png))->error = message;
    png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

void OnPngWrite(png_structp png, png_bytep data, png_size_t length) {
    auto *sink = static_cast<PngSink *>(png_get_io_ptr(png));
    bool failed = false;
    try {
        sink->bytes.append(reinterpret_cast<const char *>(data), length);
    } catch (const std::bad_alloc &) {
        failed = true;
    }
    if (failed) {
        png_error(png, "out of memory");
    }
}

void OnPngFlush(png_structp) {}

bool CompressPng(png_structp png, png_infop info, PngSink &sink, int width, int height,
                 const png_color *palette, int paletteSize, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png)) != 0) {
        return false;
    }
    png_set_write_fn(png, &sink, OnPngWrite, OnPngFlush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_PLTE(png, info, palette, paletteSize);
    // Map tiles repeat whole rows: the "up" filter turns a repeated row into zeros that deflate
    // at a low level compresses fast and small. A small window and hash table suffice for
    // that, and spare zlib allocating and clearing its default tables for every tile, which
    // would cost more than the compression itself.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_set_compression_level(png, 3);
    png_set_compression_window_bits(png, 10);
    png_set_compression_mem_level(png, 4);
    png_set_rows(png, info, rows);
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    return true;
}

class PngWriteGuard {
public:
    PngWriteGuard(png_structp png, png_infop info) : m_png(png), m_info(info) {}
    PngWriteGuard(const PngWriteGuard &) = delete;
    PngWriteGuard &operator=(const PngWriteGuard &) = delete;
    ~PngWriteGuard() { png_destroy_write_struct(&m_png, m_info != nullptr ? &m_info : nullptr); }

private:
    png_structp m_png;
    png_infop m_info;
};

} // namespace

std::string EncodeJpeg(const std::uint8_t *rgb, int width, int height, int quality) {
    jpeg_compress_struct info{};
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = OnJpegError;
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    const bool ok = CompressJpeg(info, error, rgb, width, height, quality, &buffer, &size);
    jpeg_destroy_compress(&info);
    std::string bytes;
    if (ok && buffer != nullptr) {
        bytes.assign(reinterpret_cast<const char *>(buffer), size);
    }
    std::free(buffer); // allocated by jpeg_mem_dest with malloc
    if (!ok) {
        throw Error(std::string("JPEG encoding failed: ") + error.message + ".");
    }
    return bytes;
}

std::string EncodePalettePng(const std::uint8_t *rgb, int width, int height) {
    const auto rowPixels = static_cast<std::size_t>(width);
    std::vector<png_byte> indices(rowPixels * static_cast<std::size_t>(height));
    std::vector<png_color> palette;
    std::unordered_map<std::uint32_t, png_byte> known;
    std::uint32_t previous = 0xFFFFFFFF;
    png_byte previousIndex = 0;
    for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
        const std::uint8_t *line = rgb + y * rowPixels * 3;
        png_byte *out = indices.data() + y * rowPixels;
        // A row equal to the one above has its indices too; tiles repeat rows a lot.
        if (y > 0 && std::equal(line, line + rowPixels * 3, line - rowPixels * 3)) {
            std::copy_n(out - rowPixels, rowPixels, out);
            continue;
        }
        for (std::size_t x = 0; x < rowPixels; ++x) {
            const std::uint8_t *p = line + 3 * x;
            const std::uint32_t key =
                (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
            if (key != previous) {
                const auto [it, added] =
                    known.try_emplace(key, static_cast<png_byte>(palette.size()));
                if (added) {
                    if (palette.size() == 256) {
                        throw Error(
                            "The image has more than 256 colours; it cannot be a palette PNG.");
                    }
                    palette.push_back({p[0], p[1], p[2]});
                }
                previous = key;
                previousIndex = it->second;
            }
            out[x] = previousIndex;
        }
    }
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    for (std::size_t y = 0; y < rows.size(); ++y) {
        rows[y] = indices.data() + y * static_cast<std::size_t>(width);
    }

    PngSink sink;
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, OnPngError, OnPngWarning);
    if (png == nullptr) {
        throw Error("PNG encoding failed: libpng could not start.");
    }
    png_infop info = png_create_info_struct(png);
    PngWriteGuard guard(png, info);
    if (info == nullptr) {
        throw Error("PNG encoding failed: libpng could not start.");
    }
    if (!CompressPng(png, info, sink, width, height, palette.data(),
                     static_cast<int>(palette.size()), rows.data())) {
        throw Error("PNG encoding failed: " + sink.error + ".");
    }
    return std::move(sink.bytes);
}

std::string EncodeTile(const TileCode &code, int jpegQuality) {
    const auto pixels = RenderTile(code);
    if (FormatOf(code.type) == ImageFormat::Png) {
        return EncodePalettePng(pixels.data(), kTileSize, kTileSize);
    }
    return EncodeJpeg(pixels.data(), kTileSize, kTileSize, jpegQuality);
}

} // namespace tessaro::tileserver
