#include "tiles/tiles_type.h"

#include <cassert>

namespace tessaro::tiles {

TilesType TilesTypeOf(Source source, Kind kind) noexcept {
    switch (source) {
    case Source::Goo:
        switch (kind) {
        case Kind::Sat:
            return TilesType::GoogleSat;
        case Kind::Map:
            return TilesType::GoogleMap;
        case Kind::Land:
            return TilesType::GoogleLand;
        }
        break;
    case Source::Scan:
        if (kind == Kind::Sat) {
            return TilesType::ScanSat;
        }
        if (kind == Kind::Map) {
            return TilesType::ScanMap;
        }
        break;
    case Source::Shade:
        if (kind == Kind::Sat) {
            return TilesType::Shade;
        }
        break;
    case Source::Yand:
        if (kind == Kind::Sat) {
            return TilesType::YandSat;
        }
        if (kind == Kind::Map) {
            return TilesType::YandMap;
        }
        break;
    case Source::None:
        break;
    }
    return TilesType::Invalid;
}

GridFamily GridOf(TilesType type) noexcept {
    assert(type != TilesType::Invalid);
    if (type == TilesType::Shade) {
        return GridFamily::Shade;
    }
    if (type == TilesType::Xyz) {
        return GridFamily::WebMercator;
    }
    return IsEllipsoidal(type) ? GridFamily::Ellipsoidal : GridFamily::Google;
}

std::optional<Source> ParseSource(std::string_view word) noexcept {
    if (word == "goo") {
        return Source::Goo;
    }
    if (word == "scan") {
        return Source::Scan;
    }
    if (word == "shade") {
        return Source::Shade;
    }
    if (word == "yand") {
        return Source::Yand;
    }
    return std::nullopt;
}

std::optional<Kind> ParseKind(std::string_view word) noexcept {
    if (word == "sat") {
        return Kind::Sat;
    }
    if (word == "map") {
        return Kind::Map;
    }
    if (word == "land") {
        return Kind::Land;
    }
    return std::nullopt;
}

std::string_view SourceText(Source source) noexcept {
    switch (source) {
    case Source::Goo:
        return "Goo";
    case Source::Scan:
        return "Scan";
    case Source::Shade:
        return "Shade";
    case Source::Yand:
        return "Yand";
    case Source::None:
        break;
    }
    return {};
}

} // namespace tessaro::tiles
