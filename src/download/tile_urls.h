#pragma once

#include "settings/settings.h"
#include "tiles/tile_list.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::download {

/// Message shown when a run is asked to load a type no address is known for.
inline constexpr std::string_view kUnsupportedLoadMessage =
    "Подгрузка данного вида карт не поддерживается";

/// The first halves of a run's tile addresses, one per mirror (the same four times for
/// sources with a single server box), prepared once from the settings.
using ServerPrefixes = std::array<std::string, 4>;

/// Returns the download prefixes of a type: the Google satellite and map mirrors with "/v="
/// and the version (landscape: the map mirrors with every "/vt" turned into "/mt" and the
/// landscape version), the ScanEx and relief servers, the Yandex mirrors with their version
/// appended. Every box is read with blanks trimmed.
/// @pre type != TilesType::Invalid
[[nodiscard]] ServerPrefixes DownloadPrefixes(const settings::Settings &s, tiles::TilesType type);

/// Returns every tile-server box of the eight sources, trimmed: the four Google satellite and
/// map mirrors, the ScanEx and relief servers, the four Yandex satellite and map mirrors.
[[nodiscard]] std::vector<std::string> TileServerAddresses(const settings::Settings &s);

/// Returns the zoom parameter of the Google addresses: 18 − level, or 0 above level 18.
[[nodiscard]] int GoogleZoom(int level) noexcept;

/// Returns the "&s=" value of a Google address: the first (3·x + y) mod 8 letters of "Galileo".
[[nodiscard]] std::string_view GalileoPart(std::int64_t x, std::int64_t y) noexcept;

/// Returns the download address of a tile through mirror `mirror` (0..3).
[[nodiscard]] std::string TileUrl(const ServerPrefixes &prefixes, int mirror, tiles::TilesType type,
                                  const tiles::TileRecord &record, int level);

/// Returns the prefixes the calculate-only list uses: Google satellite mirror + "/kh?n=404&v="
/// + version + "&t=", Google map and landscape mirror + "/mt?n=404&v=" + version, the single
/// ScanEx and relief servers; Yandex as for downloads.
[[nodiscard]] ServerPrefixes ListFilePrefixes(const settings::Settings &s, tiles::TilesType type);

/// Appends ListFileUrl to out without a temporary string.
void AppendListFileUrl(std::string &out, const ServerPrefixes &prefixes, int mirror,
                       tiles::TilesType type, const tiles::TileRecord &record, int level);

/// Returns the address the calculate-only list writes for a tile: the satellite tile by its
/// name, map and landscape tiles by column, row and zoom, ScanEx tiles by their centre in
/// metres, relief tiles by their static path, Yandex tiles as for downloads.
[[nodiscard]] std::string ListFileUrl(const ServerPrefixes &prefixes, int mirror,
                                      tiles::TilesType type, const tiles::TileRecord &record,
                                      int level);

} // namespace tessaro::download
