#include "download/tile_urls.h"

#include "common/text.h"
#include "tiles/ellipsoidal_grid.h"
#include "tiles/tile_files.h"

#include <cassert>

namespace tessaro::download {

using settings::Key;
using settings::Settings;
using tiles::TilesType;

namespace {

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
    std::size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

ServerPrefixes Same(const std::string &server) {
    return {server, server, server, server};
}

void AppendReliefPath(std::string &url, const tiles::TileRecord &r, int level) {
    url += 'z';
    AppendInt(url, level);
    url += "/row";
    AppendInt(url, r.row);
    url += '/';
    AppendInt(url, level);
    url += '_';
    AppendInt(url, r.col);
    url += '-';
    AppendInt(url, r.row);
    url += ImageExtension(TilesType::Shade);
}

void AppendXyz(std::string &url, std::int64_t x, std::int64_t y, std::string_view zName, int z) {
    url += "&x=";
    AppendInt(url, x);
    url += "&y=";
    AppendInt(url, y);
    url += zName;
    AppendInt(url, z);
}

} // namespace

ServerPrefixes DownloadPrefixes(const Settings &s, TilesType type) {
    ServerPrefixes p;
    switch (type) {
    case TilesType::GoogleSat:
        for (int k = 0; k < 4; ++k) {
            p[static_cast<std::size_t>(k)] =
                s.Trimmed(Settings::SatServer(k)) + "/v=" + s.Trimmed(Key::SatVersion);
        }
        return p;
    case TilesType::GoogleMap:
        for (int k = 0; k < 4; ++k) {
            p[static_cast<std::size_t>(k)] =
                s.Trimmed(Settings::MapServer(k)) + "/v=" + s.Trimmed(Key::MapVersion);
        }
        return p;
    case TilesType::GoogleLand:
        for (int k = 0; k < 4; ++k) {
            p[static_cast<std::size_t>(k)] =
                ReplaceAll(s.Trimmed(Settings::MapServer(k)), "/vt", "/mt") +
                "/v=" + s.Trimmed(Key::LandVersion);
        }
        return p;
    case TilesType::ScanSat:
        return Same(s.Trimmed(Key::SatServerScan));
    case TilesType::ScanMap:
        return Same(s.Trimmed(Key::MapServerScan));
    case TilesType::Shade:
        return Same(s.Trimmed(Key::SatServerShade));
    case TilesType::YandSat:
        for (int k = 0; k < 4; ++k) {
            p[static_cast<std::size_t>(k)] =
                s.Trimmed(Settings::SatServerYand(k)) + s.Trimmed(Key::SatVersionYand);
        }
        return p;
    case TilesType::YandMap:
        for (int k = 0; k < 4; ++k) {
            p[static_cast<std::size_t>(k)] =
                s.Trimmed(Settings::MapServerYand(k)) + s.Trimmed(Key::MapVersionYand);
        }
        return p;
    case TilesType::Xyz:
        return p; // its addresses come from its template
    case TilesType::Invalid:
        break;
    }
    assert(false && "no prefixes for an unsupported type");
    return p;
}

std::vector<std::string> TileServerAddresses(const Settings &s) {
    std::vector<std::string> addresses;
    for (int k = 0; k < 4; ++k) {
        for (const Key key : {Settings::SatServer(k), Settings::MapServer(k),
                              Settings::SatServerYand(k), Settings::MapServerYand(k)}) {
            addresses.push_back(s.Trimmed(key));
        }
    }
    for (const Key key : {Key::SatServerScan, Key::MapServerScan, Key::SatServerShade}) {
        addresses.push_back(s.Trimmed(key));
    }
    return addresses;
}

int GoogleZoom(int level) noexcept {
    return level > 18 ? 0 : 18 - level;
}

std::string_view GalileoPart(std::int64_t x, std::int64_t y) noexcept {
    constexpr std::string_view word = "Galileo";
    auto n = (3 * x + y) % 8;
    if (n < 0) {
        n += 8;
    }
    return word.substr(0, static_cast<std::size_t>(n));
}

std::string TileUrl(const ServerPrefixes &prefixes, int mirror, TilesType type,
                    const tiles::TileRecord &r, int level) {
    std::string url = prefixes[static_cast<std::size_t>(mirror)];
    if (tiles::IsGoogle(type)) {
        AppendXyz(url, r.col, r.row, "&zoom=", GoogleZoom(level));
        url += "&s=";
        url += GalileoPart(r.col, r.row);
    } else if (type == TilesType::Shade) {
        AppendReliefPath(url, r, level);
    } else {
        AppendXyz(url, r.col, r.row, "&z=", level);
    }
    return url;
}

ServerPrefixes ListFilePrefixes(const Settings &s, TilesType type) {
    ServerPrefixes p;
    switch (type) {
    case TilesType::GoogleSat:
        for (int k = 0; k < 4; ++k) {
            p[static_cast<std::size_t>(k)] = s.Trimmed(Settings::SatServer(k)) +
                                             "/kh?n=404&v=" + s.Trimmed(Key::SatVersion) + "&t=";
        }
        return p;
    case TilesType::GoogleMap:
    case TilesType::GoogleLand: {
        const Key version = type == TilesType::GoogleMap ? Key::MapVersion : Key::LandVersion;
        for (int k = 0; k < 4; ++k) {
            p[static_cast<std::size_t>(k)] =
                s.Trimmed(Settings::MapServer(k)) + "/mt?n=404&v=" + s.Trimmed(version);
        }
        return p;
    }
    default:
        return DownloadPrefixes(s, type);
    }
}

std::string ListFileUrl(const ServerPrefixes &prefixes, int mirror, TilesType type,
                        const tiles::TileRecord &r, int level) {
    std::string url;
    AppendListFileUrl(url, prefixes, mirror, type, r, level);
    return url;
}

void AppendListFileUrl(std::string &url, const ServerPrefixes &prefixes, int mirror, TilesType type,
                       const tiles::TileRecord &r, int level) {
    url += prefixes[static_cast<std::size_t>(mirror)];
    switch (type) {
    case TilesType::GoogleSat:
        url += r.name.View();
        break;
    case TilesType::GoogleMap:
    case TilesType::GoogleLand:
        AppendXyz(url, r.col, r.row, "&zoom=", GoogleZoom(level));
        break;
    case TilesType::ScanSat:
    case TilesType::ScanMap: {
        const double tileSize = 256.0 * tiles::ResN(level);
        url += "&x=";
        AppendDouble(url, r.x + tileSize / 2);
        url += "&y=";
        AppendDouble(url, r.y + tileSize / 2);
        url += "&z=";
        AppendInt(url, level);
        break;
    }
    case TilesType::Shade:
        AppendReliefPath(url, r, level);
        break;
    default:
        url.resize(url.size() - prefixes[static_cast<std::size_t>(mirror)].size());
        url += TileUrl(prefixes, mirror, type, r, level);
        break;
    }
}

} // namespace tessaro::download
