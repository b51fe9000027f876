#include "tileserver/tile_address.h"

#include <charconv>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace tessaro::tileserver {

namespace {

using tiles::TilesType;

constexpr std::string_view kGalileo = "Galileo";
constexpr int kMaxLevel = 22;
constexpr int kMaxGoogleZoom = 17;

// "key=value" pieces of an address, in order; a piece without "=" has an empty value.
class Params {
public:
    explicit Params(std::string_view text) {
        while (!text.empty()) {
            const auto amp = text.find('&');
            const auto piece = text.substr(0, amp);
            const auto eq = piece.find('=');
            m_pairs.emplace_back(piece.substr(0, eq), eq == std::string_view::npos
                                                          ? std::string_view{}
                                                          : piece.substr(eq + 1));
            if (amp == std::string_view::npos) {
                break;
            }
            text.remove_prefix(amp + 1);
        }
    }

    // The value of a key given exactly once; nothing when it is missing or repeated, since a
    // repeated number would leave the tile ambiguous.
    [[nodiscard]] std::optional<std::string_view> Get(std::string_view key) const {
        std::optional<std::string_view> found;
        for (const auto &[k, v] : m_pairs) {
            if (k == key) {
                if (found) {
                    return std::nullopt;
                }
                found = v;
            }
        }
        return found;
    }

private:
    std::vector<std::pair<std::string_view, std::string_view>> m_pairs;
};

std::optional<std::int64_t> ParseInteger(std::string_view text) {
    std::int64_t value = 0;
    if (text.empty() || text.front() == '+') {
        return std::nullopt;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> ParseInteger(const std::optional<std::string_view> &text) {
    return text ? ParseInteger(*text) : std::nullopt;
}

std::optional<int> ParseLevel(const std::optional<std::string_view> &text) {
    const auto level = ParseInteger(text);
    if (!level || *level < 1 || *level > kMaxLevel) {
        return std::nullopt;
    }
    return static_cast<int>(*level);
}

bool InRange(std::int64_t value, std::int64_t low, std::int64_t high) {
    return value >= low && value <= high;
}

int ZoomOfLevel(int level) {
    return level <= 18 ? 18 - level : 0;
}

// Google tile numbers with the zoom parameter; the level is 18 − zoom, or 18 and above at 0.
std::optional<TileCode> GoogleTile(TilesType type, const Params &params, bool needsGalileo) {
    const auto x = ParseInteger(params.Get("x"));
    const auto y = ParseInteger(params.Get("y"));
    const auto zoom = ParseInteger(params.Get("zoom"));
    if (!x || !y || !zoom || !InRange(*zoom, 0, kMaxGoogleZoom)) {
        return std::nullopt;
    }
    const std::int64_t side = std::int64_t{1} << (*zoom == 0 ? 21 : kMaxGoogleZoom - *zoom);
    if (!InRange(*x, 0, side - 1) || !InRange(*y, 0, side - 1)) {
        return std::nullopt;
    }
    if (needsGalileo) {
        const auto s = params.Get("s");
        if (!s || s->size() > kGalileo.size() || kGalileo.substr(0, s->size()) != *s) {
            return std::nullopt;
        }
    }
    return TileCode{type, *x, *y, static_cast<int>(*zoom)};
}

// The download form: "VER&x=..&y=..&zoom=..&s=.." after "v=", all in the path.
std::optional<TileCode> GoogleDownload(TilesType type, std::string_view afterV) {
    const auto amp = afterV.find('&');
    if (amp == 0 || amp == std::string_view::npos) {
        return std::nullopt; // an empty version, or no tile numbers at all
    }
    return GoogleTile(type, Params(afterV.substr(amp + 1)), true);
}

TilesType KindOfBareVersion(std::string_view version) {
    if (!version.empty() && version.front() == 'w') {
        return version.find("p.") != std::string_view::npos ? TilesType::GoogleLand
                                                            : TilesType::GoogleMap;
    }
    return TilesType::GoogleSat;
}

std::optional<TileCode> GoogleQuadKey(const Params &params) {
    const auto version = params.Get("v");
    const auto key = params.Get("t");
    if (!version || version->empty() || !key || key->empty() || key->size() > kMaxLevel ||
        key->front() != 't') {
        return std::nullopt;
    }
    const int level = static_cast<int>(key->size());
    std::int64_t column = 0, row = 0;
    for (std::size_t i = 1; i < key->size(); ++i) {
        const std::int64_t half = std::int64_t{1} << (level - 1 - static_cast<int>(i));
        switch ((*key)[i]) {
        case 'q':
            break;
        case 'r':
            column += half;
            break;
        case 't':
            row += half;
            break;
        case 's':
            column += half;
            row += half;
            break;
        default:
            return std::nullopt;
        }
    }
    return TileCode{TilesType::GoogleSat, column, row, ZoomOfLevel(level)};
}

std::optional<TileCode> GoogleListMap(const Params &params) {
    const auto version = params.Get("v");
    if (!version || version->empty()) {
        return std::nullopt;
    }
    const auto type = version->find("p.") != std::string_view::npos ? TilesType::GoogleLand
                                                                    : TilesType::GoogleMap;
    return GoogleTile(type, params, false);
}

// A ScanEx number: a tile number, or with a decimal point a tile-centre coordinate in metres.
std::optional<std::int64_t> ScanexNumber(std::string_view text, int level) {
    if (text.find('.') == std::string_view::npos) {
        return ParseInteger(text);
    }
    double metres = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), metres);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(metres)) {
        return std::nullopt;
    }
    const double tile = std::floor(metres / (256.0 * ResN(level)));
    if (std::fabs(tile) > 1e12) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(tile);
}

std::optional<TileCode> Scanex(const Params &params) {
    const auto kind = params.Get("t");
    TilesType type = TilesType::Invalid;
    if (kind == "image_") {
        type = TilesType::ScanSat;
    } else if (kind == "map") {
        type = TilesType::ScanMap;
    } else {
        return std::nullopt;
    }
    const auto level = ParseLevel(params.Get("z"));
    const auto xText = params.Get("x");
    const auto yText = params.Get("y");
    if (!level || !xText || !yText) {
        return std::nullopt;
    }
    const auto x = ScanexNumber(*xText, *level);
    const auto y = ScanexNumber(*yText, *level);
    const std::int64_t half = std::int64_t{1} << (*level - 1);
    if (!x || !y || !InRange(*x, -half, half - 1) || !InRange(*y, -half, half - 1)) {
        return std::nullopt;
    }
    return TileCode{type, *x, *y, *level};
}

std::optional<TileCode> Yandex(const Params &params) {
    const auto layer = params.Get("l");
    TilesType type = TilesType::Invalid;
    if (layer == "sat") {
        type = TilesType::YandSat;
    } else if (layer == "map") {
        type = TilesType::YandMap;
    } else {
        return std::nullopt;
    }
    const auto version = params.Get("v");
    const auto level = ParseLevel(params.Get("z"));
    const auto x = ParseInteger(params.Get("x"));
    const auto y = ParseInteger(params.Get("y"));
    if (!version || version->empty() || !level || !x || !y) {
        return std::nullopt;
    }
    const std::int64_t side = std::int64_t{1} << *level;
    if (!InRange(*x, 0, side - 1) || !InRange(*y, 0, side - 1)) {
        return std::nullopt;
    }
    return TileCode{type, *x, *y, *level};
}

bool ConsumePrefix(std::string_view &text, std::string_view prefix) {
    if (text.substr(0, prefix.size()) != prefix) {
        return false;
    }
    text.remove_prefix(prefix.size());
    return true;
}

// ".../z<L>/row<Y>/<L>_<X>-<Y>.jpg": the last three path segments.
std::optional<TileCode> Relief(std::string_view path) {
    std::string_view segments[3];
    for (int i = 2; i >= 0; --i) {
        const auto slash = path.rfind('/');
        if (slash == std::string_view::npos) {
            return std::nullopt;
        }
        segments[i] = path.substr(slash + 1);
        path = path.substr(0, slash);
    }
    std::string_view levelText = segments[0], rowText = segments[1], name = segments[2];
    if (!ConsumePrefix(levelText, "z") || !ConsumePrefix(rowText, "row") || name.size() < 4 ||
        name.substr(name.size() - 4) != ".jpg") {
        return std::nullopt;
    }
    name.remove_suffix(4);
    const auto underscore = name.find('_');
    const auto dash = name.find('-', underscore == std::string_view::npos ? 0 : underscore);
    if (underscore == std::string_view::npos || dash == std::string_view::npos) {
        return std::nullopt;
    }
    const auto level = ParseLevel(levelText);
    const auto nameLevel = ParseInteger(name.substr(0, underscore));
    const auto x = ParseInteger(name.substr(underscore + 1, dash - underscore - 1));
    const auto y = ParseInteger(name.substr(dash + 1));
    const auto folderRow = ParseInteger(rowText);
    if (!level || nameLevel != *level || !x || !y || folderRow != *y) {
        return std::nullopt;
    }
    const std::int64_t side = std::int64_t{1} << *level;
    if (!InRange(*x, 0, side - 1) || !InRange(*y, 0, side - 1)) {
        return std::nullopt;
    }
    return TileCode{TilesType::Shade, *x, *y, *level};
}

// "Z/X/Y.png" or "Z/X/Y.jpg" after "/xyz/": a tile of the web-mercator grid. Its code is that of
// the relief tile of level Z with the same numbers, which the relief grid cuts the same way
// (2^Z tiles a side, rows from the north); it is served as the relief tiles are, as a JPEG.
std::optional<TileCode> WebMercator(std::string_view path) {
    const auto first = path.find('/');
    const auto second = path.find('/', first == std::string_view::npos ? 0 : first + 1);
    if (second == std::string_view::npos || path.size() < second + 5) {
        return std::nullopt;
    }
    const auto extension = path.substr(path.size() - 4);
    if (extension != ".png" && extension != ".jpg") {
        return std::nullopt;
    }
    const auto z = ParseInteger(path.substr(0, first));
    const auto x = ParseInteger(path.substr(first + 1, second - first - 1));
    const auto y = ParseInteger(path.substr(second + 1, path.size() - 4 - second - 1));
    if (!z || !x || !y || !InRange(*z, 0, 22)) {
        return std::nullopt;
    }
    const std::int64_t side = std::int64_t{1} << *z;
    if (!InRange(*x, 0, side - 1) || !InRange(*y, 0, side - 1)) {
        return std::nullopt;
    }
    return TileCode{TilesType::Shade, *x, *y, static_cast<int>(*z)};
}

// The text after the last occurrence of marker, if any.
std::optional<std::string_view> After(std::string_view text, std::string_view marker) {
    const auto at = text.rfind(marker);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    return text.substr(at + marker.size());
}

} // namespace

ImageFormat FormatOf(TilesType type) noexcept {
    return type == TilesType::GoogleMap || type == TilesType::YandMap ? ImageFormat::Png
                                                                      : ImageFormat::Jpeg;
}

std::string_view ContentTypeOf(ImageFormat format) noexcept {
    return format == ImageFormat::Png ? "image/png" : "image/jpeg";
}

double ResN(int level) noexcept {
    return 2.0 * std::numbers::pi * 6378137.0 / 256.0 / std::ldexp(1.0, level);
}

std::optional<int> MirrorOf(std::string_view target) noexcept {
    const auto path = target.substr(0, target.find('?'));
    std::size_t start = 0;
    while (start < path.size()) {
        auto end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const auto segment = path.substr(start, end - start);
        if (segment.size() >= 2 && segment.size() <= 4 && segment.front() == 'm') {
            int k = 0;
            const auto [p, ec] =
                std::from_chars(segment.data() + 1, segment.data() + segment.size(), k);
            if (ec == std::errc() && p == segment.data() + segment.size() && k >= 0) {
                return k;
            }
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<TileCode> ParseTileTarget(std::string_view target) {
    if (target.empty() || target.front() != '/') {
        return std::nullopt;
    }
    if (const auto query = After(target, "printtilesrescaled/?")) {
        return Scanex(Params(*query));
    }
    if (const auto query = After(target, "/tiles?")) {
        return Yandex(Params(*query));
    }
    if (const auto query = After(target, "/kh?")) {
        return GoogleQuadKey(Params(*query));
    }
    if (const auto query = After(target, "/mt?")) {
        return GoogleListMap(Params(*query));
    }
    if (target.find('?') != std::string_view::npos) {
        return std::nullopt; // the remaining forms have no query part
    }
    if (const auto rest = After(target, "/xyz/")) {
        return WebMercator(*rest);
    }
    if (const auto rest = After(target, "/kh/v=")) {
        return GoogleDownload(TilesType::GoogleSat, *rest);
    }
    if (const auto rest = After(target, "/vt/v=")) {
        return GoogleDownload(TilesType::GoogleMap, *rest);
    }
    if (const auto rest = After(target, "/mt/v=")) {
        return GoogleDownload(TilesType::GoogleLand, *rest);
    }
    if (const auto rest = After(target, "/v=")) {
        return GoogleDownload(KindOfBareVersion(rest->substr(0, rest->find('&'))), *rest);
    }
    return Relief(target);
}

} // namespace tessaro::tileserver
