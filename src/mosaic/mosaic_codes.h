#pragma once

#include <array>
#include <optional>
#include <string_view>

/// @file
/// The four lists of the mosaic dialog ("Mosaic Type", "Colormap mode", "Resample:",
/// "DataType:"): their texts, the codes the values are numbered by, and what GDAL does with
/// each. Texts compare exactly, as the lists hold them; an unknown text is refused rather than
/// taken for code 0, which would silently pick a real choice.
namespace tessaro::mosaic {

/// How pixels of overlapping sources combine. Tiles of one run never overlap (each grid cell
/// appears once in a tile list), so the operator matters only where new tiles are appended
/// over an existing raster, which counts as the first source, the tiles following it.
enum class MosaicOperator {
    First = 1, ///< "MT_FIRST": the existing raster's pixel stays
    Last = 2,  ///< "MT_LAST": the tile's pixel replaces it (what appending does by default)
    Min = 3,   ///< "MT_MIN": the smaller value, band by band
    Max = 4,   ///< "MT_MAX": the larger value, band by band
    Mean = 5,  ///< "MT_MEAN": the mean of both, band by band, rounded half away from zero
    Blend = 6, ///< "MT_BLEND": weights by the distance to each source's edge; not available
               ///< for appending (refused there), and nothing to blend in a new mosaic
};

/// How colour maps of colour-mapped sources merge. Palette tiles are expanded to RGB before
/// they are mosaicked (ConvertToRGB2), so no colour map reaches the mosaic and no mode has
/// anything to do; a mode given is reported as having no effect.
enum class ColormapMode {
    First = 0,  ///< "MM_FIRST"
    Last = 1,   ///< "MM_LAST"
    Match = 2,  ///< "MM_MATCH"
    Reject = 3, ///< "MM_REJECT"
};

/// How tiles are resampled where they do not fall on the mosaic's pixel grid (appending to a
/// raster of another resolution or alignment); tiles of a new mosaic are copied pixel for
/// pixel. Maps to GDAL's GRIORA_NearestNeighbour, GRIORA_Bilinear and GRIORA_Cubic.
enum class Resampling {
    NearestNeighbor = 0,       ///< "NearestNeighbor"
    BilinearInterpolation = 1, ///< "BilinearInterpolation"
    CubicConvolution = 2,      ///< "CubicConvolution"
};

/// The pixel type of a new mosaic. Tile values (0 … 255) are clamped to the type's range
/// before they are written: 1, 2 and 4 bit to 1, 3 and 15, signed 8 bit to 127; wider types
/// hold them unchanged. In GDAL: Byte with NBITS=1/2/4 (GeoTIFF, IMAGINE), Byte with
/// PIXELTYPE=SIGNEDBYTE for signed 8 bit, UInt16, Int16, UInt32, Int32, Float32, Float64.
/// A GeoPackage raster holds unsigned 8 bit only.
enum class PixelType {
    U1 = 0,     ///< "1 bit"
    U2 = 1,     ///< "2 bit"
    U4 = 2,     ///< "4 bit"
    U8 = 3,     ///< "unsigned 8 bit"
    S8 = 4,     ///< "signed 8 bit"
    U16 = 5,    ///< "unsigned 16 bit"
    S16 = 6,    ///< "signed 16 bit"
    U32 = 7,    ///< "unsigned 32 bit"
    S32 = 8,    ///< "signed 32 bit"
    Float = 9,  ///< "float"
    Double = 10 ///< "double"
};

/// How the pixels of a GeoTIFF mosaic are compressed. By default they follow the tiles' own
/// kind: JPEG for JPEG tiles (photographs lose nothing more worth keeping), DEFLATE for PNG
/// tiles (maps keep every pixel).
enum class Compression {
    Jpeg,    ///< "jpeg": JPEG in YCbCr, for 8-bit three-band mosaics (others take DEFLATE)
    Deflate, ///< "deflate": lossless DEFLATE with a horizontal predictor
};

/// The list texts in the dialog's order.
inline constexpr std::array<std::string_view, 6> kMosaicOperatorTexts{
    "MT_FIRST", "MT_LAST", "MT_MIN", "MT_MAX", "MT_MEAN", "MT_BLEND"};
inline constexpr std::array<std::string_view, 4> kColormapModeTexts{"MM_REJECT", "MM_FIRST",
                                                                    "MM_LAST", "MM_MATCH"};
inline constexpr std::array<std::string_view, 3> kResamplingTexts{
    "NearestNeighbor", "BilinearInterpolation", "CubicConvolution"};
inline constexpr std::array<std::string_view, 11> kPixelTypeTexts{
    "1 bit",         "2 bit",           "4 bit",         "unsigned 8 bit",
    "signed 8 bit",  "unsigned 16 bit", "signed 16 bit", "unsigned 32 bit",
    "signed 32 bit", "float",           "double"};
inline constexpr std::array<std::string_view, 2> kCompressionTexts{"jpeg", "deflate"};

/// Parse a list text; nothing for any other text.
[[nodiscard]] std::optional<MosaicOperator> ParseMosaicOperator(std::string_view text) noexcept;
[[nodiscard]] std::optional<ColormapMode> ParseColormapMode(std::string_view text) noexcept;
[[nodiscard]] std::optional<Resampling> ParseResampling(std::string_view text) noexcept;
[[nodiscard]] std::optional<PixelType> ParsePixelType(std::string_view text) noexcept;
[[nodiscard]] std::optional<Compression> ParseCompression(std::string_view text) noexcept;

/// Return the list text of a value.
[[nodiscard]] std::string_view TextOf(MosaicOperator value) noexcept;
[[nodiscard]] std::string_view TextOf(ColormapMode value) noexcept;
[[nodiscard]] std::string_view TextOf(Resampling value) noexcept;
[[nodiscard]] std::string_view TextOf(PixelType value) noexcept;

/// Returns the largest tile value a pixel type holds: 1, 3, 15, 255, 127 or 255 for the wider
/// types, which hold every tile value.
[[nodiscard]] int MaxTileValue(PixelType type) noexcept;

/// Returns the bits per value of the 1, 2 and 4 bit types, 0 for the others.
[[nodiscard]] int SubByteBits(PixelType type) noexcept;

} // namespace tessaro::mosaic
