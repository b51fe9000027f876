#include "mosaic/mosaic_codes.h"

#include <algorithm>

namespace tessaro::mosaic {

namespace {

// The value whose text is at position i of a list, given the values in the list's order.
template <typename E, std::size_t N, typename Values>
std::optional<E> Find(const std::array<std::string_view, N> &texts, const Values &values,
                      std::string_view text) noexcept {
    const auto it = std::find(texts.begin(), texts.end(), text);
    if (it == texts.end()) {
        return std::nullopt;
    }
    return values[static_cast<std::size_t>(it - texts.begin())];
}

constexpr std::array<MosaicOperator, 6> kOperators{MosaicOperator::First, MosaicOperator::Last,
                                                   MosaicOperator::Min,   MosaicOperator::Max,
                                                   MosaicOperator::Mean,  MosaicOperator::Blend};
constexpr std::array<ColormapMode, 4> kModes{ColormapMode::Reject, ColormapMode::First,
                                             ColormapMode::Last, ColormapMode::Match};
constexpr std::array<Resampling, 3> kResamplings{
    Resampling::NearestNeighbor, Resampling::BilinearInterpolation, Resampling::CubicConvolution};

template <typename E, std::size_t N>
std::string_view Text(const std::array<std::string_view, N> &texts, const std::array<E, N> &values,
                      E value) noexcept {
    const auto it = std::find(values.begin(), values.end(), value);
    return it == values.end() ? std::string_view{}
                              : texts[static_cast<std::size_t>(it - values.begin())];
}

} // namespace

std::optional<MosaicOperator> ParseMosaicOperator(std::string_view text) noexcept {
    return Find<MosaicOperator>(kMosaicOperatorTexts, kOperators, text);
}

std::optional<Compression> ParseCompression(std::string_view text) noexcept {
    constexpr std::array<Compression, 2> kCompressions{Compression::Jpeg, Compression::Deflate};
    return Find<Compression>(kCompressionTexts, kCompressions, text);
}

std::optional<ColormapMode> ParseColormapMode(std::string_view text) noexcept {
    return Find<ColormapMode>(kColormapModeTexts, kModes, text);
}

std::optional<Resampling> ParseResampling(std::string_view text) noexcept {
    return Find<Resampling>(kResamplingTexts, kResamplings, text);
}

std::optional<PixelType> ParsePixelType(std::string_view text) noexcept {
    // The pixel-type list is in code order.
    const auto it = std::find(kPixelTypeTexts.begin(), kPixelTypeTexts.end(), text);
    if (it == kPixelTypeTexts.end()) {
        return std::nullopt;
    }
    return static_cast<PixelType>(it - kPixelTypeTexts.begin());
}

std::string_view TextOf(MosaicOperator value) noexcept {
    return Text(kMosaicOperatorTexts, kOperators, value);
}

std::string_view TextOf(ColormapMode value) noexcept {
    return Text(kColormapModeTexts, kModes, value);
}

std::string_view TextOf(Resampling value) noexcept {
    return Text(kResamplingTexts, kResamplings, value);
}

std::string_view TextOf(PixelType value) noexcept {
    const auto i = static_cast<std::size_t>(value);
    return i < kPixelTypeTexts.size() ? kPixelTypeTexts[i] : std::string_view{};
}

int MaxTileValue(PixelType type) noexcept {
    switch (type) {
    case PixelType::U1:
        return 1;
    case PixelType::U2:
        return 3;
    case PixelType::U4:
        return 15;
    case PixelType::S8:
        return 127;
    default:
        return 255;
    }
}

int SubByteBits(PixelType type) noexcept {
    switch (type) {
    case PixelType::U1:
        return 1;
    case PixelType::U2:
        return 2;
    case PixelType::U4:
        return 4;
    default:
        return 0;
    }
}

} // namespace tessaro::mosaic
