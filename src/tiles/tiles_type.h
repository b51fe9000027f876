#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tessaro::tiles {

/// The tile source, by its position in the source list: "Goo", "Scan", "Shade", "Yand".
/// It also indexes the per-source settings (directories, layer names, level prefixes).
enum class Source : std::int16_t { None = -1, Goo = 0, Scan = 1, Shade = 2, Yand = 3 };

/// The tile kind, by its position in the kind options: satellite, map, landscape.
enum class Kind : std::int16_t { Sat = 0, Map = 1, Land = 2 };

/// Code of source and kind that every step of a load run branches on. The values are the
/// ones written into logs and used by existing stored data; Invalid stands for an unsupported
/// combination.
enum class TilesType : std::int16_t {
    Invalid = -1,
    GoogleSat = 0,
    GoogleMap = 1,
    ScanSat = 2,
    ScanMap = 3,
    Shade = 4,
    GoogleLand = 12,
    YandSat = 50,
    YandMap = 51,
    /// A template source: any server of the standard web-mercator tile grid (EPSG:3857),
    /// addressed through a URL template with {z}/{x}/{y}. Its tiles are JPEG or PNG as the
    /// server sends them.
    Xyz = 100,
};

/// Returns the TilesType of a source and kind, or TilesType::Invalid for a combination no
/// source serves (shaded relief map, ScanEx landscape, no source, ...).
[[nodiscard]] TilesType TilesTypeOf(Source source, Kind kind) noexcept;

/// The grid family a TilesType is cut from.
enum class GridFamily { Google, Shade, Ellipsoidal, WebMercator };

/// Returns the grid family of a valid TilesType.
/// @pre type != TilesType::Invalid
[[nodiscard]] GridFamily GridOf(TilesType type) noexcept;

/// True for the Google sources (satellite, map, landscape).
[[nodiscard]] constexpr bool IsGoogle(TilesType t) noexcept {
    return t == TilesType::GoogleSat || t == TilesType::GoogleMap || t == TilesType::GoogleLand;
}
/// True for ScanEx satellite and map.
[[nodiscard]] constexpr bool IsScanex(TilesType t) noexcept {
    return t == TilesType::ScanSat || t == TilesType::ScanMap;
}
/// True for Yandex satellite and map.
[[nodiscard]] constexpr bool IsYandex(TilesType t) noexcept {
    return t == TilesType::YandSat || t == TilesType::YandMap;
}
/// True for the sources cut from the ellipsoidal grid (ScanEx and Yandex).
[[nodiscard]] constexpr bool IsEllipsoidal(TilesType t) noexcept {
    return IsScanex(t) || IsYandex(t);
}

/// True for a template source on the web-mercator grid.
[[nodiscard]] constexpr bool IsXyz(TilesType t) noexcept {
    return t == TilesType::Xyz;
}

/// Returns the lowest level a type's grid has: 0 on the web-mercator grid, 1 on the others.
[[nodiscard]] constexpr int MinLevel(TilesType t) noexcept {
    return IsXyz(t) ? 0 : 1;
}

/// Parses a source word of the command line: "goo", "scan", "shade", "yand".
[[nodiscard]] std::optional<Source> ParseSource(std::string_view word) noexcept;
/// Parses a kind word of the command line: "sat", "map", "land".
[[nodiscard]] std::optional<Kind> ParseKind(std::string_view word) noexcept;

/// Returns the source's text as the source list shows it ("Goo", "Scan", "Shade", "Yand").
[[nodiscard]] std::string_view SourceText(Source source) noexcept;

} // namespace tessaro::tiles
