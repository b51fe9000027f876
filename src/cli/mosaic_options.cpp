#include "cli/mosaic_options.h"

#include "common/error.h"

#include <string>

namespace tessaro::cli {

namespace {

// The value of a list option, or nothing when it is absent; an unknown text is an error that
// lists the texts the option takes.
template <typename E, std::size_t N>
std::optional<E> ReadChoice(const ParsedOptions &options, std::string_view name,
                            std::optional<E> (*parse)(std::string_view) noexcept,
                            const std::array<std::string_view, N> &texts) {
    const std::string *value = options.Get(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (auto parsed = parse(*value)) {
        return parsed;
    }
    std::string message = "--" + std::string(name) + " takes ";
    for (std::size_t i = 0; i < N; ++i) {
        message += i == 0 ? "" : (i + 1 == N ? " or " : ", ");
        message += "\"" + std::string(texts[i]) + "\"";
    }
    throw ArgumentError(message + ", not \"" + *value + "\".");
}

} // namespace

std::optional<mosaic::MosaicOptions> ReadMosaicOptions(const ParsedOptions &options) {
    const std::string *output = options.Get("mosaic");
    if (output == nullptr) {
        for (const OptionSpec &spec : kMosaicOptions) {
            if (options.Has(spec.name)) {
                throw ArgumentError("--" + std::string(spec.name) + " needs --mosaic OUT.");
            }
        }
        return std::nullopt;
    }
    if (output->empty()) {
        throw ArgumentError("--mosaic needs the name of the raster to build.");
    }
    mosaic::MosaicOptions result;
    result.output = *output;
    result.combine = options.Has("combine");
    result.mosaicOperator = ReadChoice(options, "mosaic-type", &mosaic::ParseMosaicOperator,
                                       mosaic::kMosaicOperatorTexts);
    result.colormapMode = ReadChoice(options, "colormap-mode", &mosaic::ParseColormapMode,
                                     mosaic::kColormapModeTexts);
    if (auto resampling =
            ReadChoice(options, "resample", &mosaic::ParseResampling, mosaic::kResamplingTexts)) {
        result.resampling = *resampling;
    }
    result.pixelType =
        ReadChoice(options, "datatype", &mosaic::ParsePixelType, mosaic::kPixelTypeTexts);
    result.compression =
        ReadChoice(options, "compress", &mosaic::ParseCompression, mosaic::kCompressionTexts);
    result.cog = options.Has("cog");
    return result;
}

} // namespace tessaro::cli
