#include "support/image_decode.h"

#include <cpl_vsi.h>
#include <gdal_priv.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

namespace tessaro::test {

DecodedImage DecodeImage(std::string_view bytes) {
    static std::once_flag once;
    std::call_once(once, [] { GDALAllRegister(); });
    // The bytes as an in-memory file of GDAL's, which only reads the buffer it is given.
    static std::atomic<int> counter{0};
    const std::string name = "/vsimem/tessaro-test-image-" + std::to_string(++counter);
    VSIFCloseL(VSIFileFromMemBuffer(name.c_str(),
                                    reinterpret_cast<GByte *>(const_cast<char *>(bytes.data())),
                                    bytes.size(), FALSE));
    const std::unique_ptr<const char, void (*)(const char *)> removed(
        name.c_str(), [](const char *file) { VSIUnlink(file); }); // after the dataset closes
    const char *const drivers[] = {"JPEG", "PNG", nullptr};
    const GDALDatasetUniquePtr dataset(GDALDataset::Open(name.c_str(), GDAL_OF_RASTER, drivers));
    if (!dataset) {
        throw std::runtime_error("neither a JPEG nor a PNG file");
    }
    DecodedImage image;
    image.width = dataset->GetRasterXSize();
    image.height = dataset->GetRasterYSize();
    const int bands = dataset->GetRasterCount();
    const auto pixels =
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    image.rgb.resize(pixels * 3);
    const GDALColorTable *palette = dataset->GetRasterBand(1)->GetColorTable();
    int bandMap[] = {1, bands < 3 ? 1 : 2, bands < 3 ? 1 : 3}; // grey in every channel
    if (dataset->RasterIO(GF_Read, 0, 0, image.width, image.height, image.rgb.data(), image.width,
                          image.height, GDT_Byte, 3, bandMap, 3,
                          3 * static_cast<GSpacing>(image.width), 1, nullptr) != CE_None) {
        throw std::runtime_error(std::string("image decoding failed: ") + CPLGetLastErrorMsg());
    }
    if (palette != nullptr) { // every channel holds the index: look its colour up
        for (std::size_t i = 0; i < pixels * 3; i += 3) {
            const GDALColorEntry *colour = palette->GetColorEntry(image.rgb[i]);
            image.rgb[i] = static_cast<std::uint8_t>(colour->c1);
            image.rgb[i + 1] = static_cast<std::uint8_t>(colour->c2);
            image.rgb[i + 2] = static_cast<std::uint8_t>(colour->c3);
        }
    }
    if (std::string_view(dataset->GetDriver()->GetDescription()) == "PNG") {
        constexpr int kColourTypeOfBands[] = {0, 0, 4, 2, 6}; // grey, grey+alpha, RGB, RGBA
        image.pngColourType = palette != nullptr ? 3 : kColourTypeOfBands[bands];
    }
    return image;
}

} // namespace tessaro::test
