#include "support/image_decode.h"

#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE declared first
#include <jpeglib.h>
#include <png.h>

#include <stdexcept>
#include <string>

namespace tessaro::test {

namespace {

// libjpeg and libpng leave through longjmp on errors; the functions they jump out of hold
// only plain C data, so no destructor is skipped.

struct JpegError {
    jpeg_error_mgr manager{};
    std::jmp_buf jump{};
    char message[JMSG_LENGTH_MAX] = {};
};

[[noreturn]] void OnJpegError(j_common_ptr info) {
    auto *error = reinterpret_cast<JpegError *>(info->err);
    (*info->err->format_message)(info, error->message);
    std::longjmp(error->jump, 1);
}

bool ReadJpeg(jpeg_decompress_struct &info, JpegError &error, const unsigned char *data,
              unsigned long size, DecodedImage &image) {
    if (setjmp(error.jump) != 0) {
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, size);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    image.width = static_cast<int>(info.output_width);
    image.height = static_cast<int>(info.output_height);
    image.jpegComponents = info.num_components;
    image.jpegProgressive = info.progressive_mode != 0;
    image.rgb.resize(static_cast<std::size_t>(image.width) *
                     static_cast<std::size_t>(image.height) * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image.rgb.data() + static_cast<std::size_t>(info.output_scanline) *
                                              static_cast<std::size_t>(image.width) * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    return true;
}

DecodedImage DecodeJpeg(std::string_view bytes) {
    jpeg_decompress_struct info{};
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = OnJpegError;
    DecodedImage image;
    image.format = DecodedImage::Format::Jpeg;
    const bool ok = ReadJpeg(info, error, reinterpret_cast<const unsigned char *>(bytes.data()),
                             bytes.size(), image);
    jpeg_destroy_decompress(&info);
    if (!ok) {
        throw std::runtime_error(std::string("JPEG decoding failed: ") + error.message);
    }
    return image;
}

struct PngSource {
    std::string_view bytes;
    std::size_t offset = 0;
};

void OnPngRead(png_structp png, png_bytep out, png_size_t length) {
    auto *source = static_cast<PngSource *>(png_get_io_ptr(png));
    if (source->bytes.size() - source->offset < length) {
        png_error(png, "the file ends early");
    }
    source->bytes.copy(reinterpret_cast<char *>(out), length, source->offset);
    source->offset += length;
}

bool ReadPng(png_structp png, png_infop info, PngSource &source, DecodedImage &image,
             std::vector<png_bytep> &rows) {
    if (setjmp(png_jmpbuf(png)) != 0) {
        return false;
    }
    png_set_read_fn(png, &source, OnPngRead);
    png_read_info(png, info);
    image.width = static_cast<int>(png_get_image_width(png, info));
    image.height = static_cast<int>(png_get_image_height(png, info));
    image.pngColourType = png_get_color_type(png, info);
    image.pngBitDepth = png_get_bit_depth(png, info);
    png_set_palette_to_rgb(png);
    png_set_expand_gray_1_2_4_to_8(png);
    png_set_gray_to_rgb(png);
    png_set_strip_16(png);
    png_set_strip_alpha(png);
    png_read_update_info(png, info);
    image.rgb.resize(static_cast<std::size_t>(image.width) *
                     static_cast<std::size_t>(image.height) * 3);
    rows.resize(static_cast<std::size_t>(image.height));
    for (std::size_t y = 0; y < rows.size(); ++y) {
        rows[y] = image.rgb.data() + y * static_cast<std::size_t>(image.width) * 3;
    }
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    return true;
}

DecodedImage DecodePng(std::string_view bytes) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    DecodedImage image;
    image.format = DecodedImage::Format::Png;
    PngSource source{bytes, 0};
    std::vector<png_bytep> rows;
    const bool ok = info != nullptr && ReadPng(png, info, source, image, rows);
    png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
    if (!ok) {
        throw std::runtime_error("PNG decoding failed");
    }
    return image;
}

} // namespace

DecodedImage DecodeImage(std::string_view bytes) {
    if (bytes.size() >= 8 && bytes.substr(0, 8) == "\x89PNG\r\n\x1a\n") {
        return DecodePng(bytes);
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xFF\xD8\xFF") {
        return DecodeJpeg(bytes);
    }
    throw std::runtime_error("neither a JPEG nor a PNG file");
}

} // namespace tessaro::test
