#pragma once

#include "tileserver/tile_code.h"

#include <optional>
#include <string_view>

namespace tessaro::tileserver {

/// The image format a tile is served in.
enum class ImageFormat { Jpeg, Png };

/// Returns the format of a tile type: PNG for Google and Yandex map tiles, JPEG otherwise.
[[nodiscard]] ImageFormat FormatOf(tiles::TilesType type) noexcept;

/// Returns the Content-Type of a format: "image/jpeg" or "image/png".
[[nodiscard]] std::string_view ContentTypeOf(ImageFormat format) noexcept;

/// Returns the mirror a request target names: the number k of the first path segment written
/// "m<k>" ("/m2/kh/v=..." names mirror 2), or nothing when no segment has that form.
[[nodiscard]] std::optional<int> MirrorOf(std::string_view target) noexcept;

/// Recognises the tile a request target asks for, in every address form the program builds.
/// Whatever stands before the known part (host folders, a mirror folder "/m2") is ignored.
///
/// Download forms:
/// - Google: ".../kh/v=VER&x=X&y=Y&zoom=Z&s=G" (satellite), ".../vt/v=..." (map),
///   ".../mt/v=..." (landscape); VER may carry further parameters ("w2.97&hl=ru"), G must be
///   the beginning of "Galileo" (possibly empty). A mirror given as a host without a path
///   gives ".../v=VER&x=..."; the version then tells the kind: "w...p." landscape, "w..." map,
///   anything else satellite.
/// - ScanEx: ".../printtilesrescaled/?t=image_&zt=n&x=X&y=Y&z=L" (satellite), "t=map" (map).
/// - Yandex: ".../tiles?l=sat&v=VER&x=X&y=Y&z=L" (satellite), "l=map" (map).
/// - Shaded relief: ".../z<L>/row<Y>/<L>_<X>-<Y>.jpg".
/// - A template source on the web-mercator grid: ".../xyz/<Z>/<X>/<Y>.png" (or ".jpg"), zoom
///   0..22 with x, y in 0 .. 2^Z − 1; coded as the relief tile of level Z with the same
///   numbers (the relief grid numbers its tiles the same way) and served as a JPEG.
///
/// Forms of the calculate-only list:
/// - Google satellite by quadtree key: ".../kh?n=404&v=VER&t=tqrs..." (the level is the key's
///   length; z becomes the zoom parameter of that level, so both forms give the same tile).
/// - Google map and landscape: ".../mt?n=404&v=VER&x=X&y=Y&zoom=Z", landscape when VER
///   contains "p.".
/// - ScanEx with the tile centre in metres: "x=1001.25&y=-5.5" (a number with a decimal
///   point), turned into the tile floor(c / (256·ResN(L))), ResN(L) = 2π·6378137 / 256 / 2^L.
///
/// Returns nothing for any other target, for a missing or repeated number, for an empty
/// version, and for a tile outside its grid: Google zoom 0..17 with x, y below 2^(17 − zoom)
/// (2^21 at zoom 0); ScanEx levels 1..22 with x, y in −2^(L−1) .. 2^(L−1) − 1; Yandex and
/// relief levels 1..22 with x, y in 0 .. 2^L − 1.
[[nodiscard]] std::optional<TileCode> ParseTileTarget(std::string_view target);

/// Returns the ScanEx and Yandex pixel size of a level in metres, 2π·6378137 / 256 / 2^level.
[[nodiscard]] double ResN(int level) noexcept;

} // namespace tessaro::tileserver
