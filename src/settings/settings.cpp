#include "settings/settings.h"

#include "common/text.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace tessaro::settings {

namespace {

using O = ValueOrigin;

// Default tile servers. The host names are configuration: every address is built from these
// boxes, and only the path and query parts after the host are fixed by the program.
constexpr std::array<KeyInfo, kKeyCount> kKeys{{
    {Key::MapRasterPath0, "txtMapRasterPath_0", "txtMapRasterPath_0", O::TemporaryDirectory, "",
     O::TemporaryDirectory, ""},
    {Key::SatRasterPath0, "txtSatRasterPath_0", "txtSatRasterPath_0", O::TemporaryDirectory, "",
     O::TemporaryDirectory, ""},
    {Key::LandRasterPath0, "txtLandRasterPath_0", "txtLandRasterPath_0", O::Empty, "",
     O::TemporaryDirectory, ""},
    {Key::SatLayerName0, "txtSatLayerName_0", "txtSatLayerName_0", O::Literal, "GSatellite",
     O::Literal, "GSatellite"},
    {Key::MapLayerName0, "txtMapLayerName_0", "txtMapLayerName_0", O::Literal, "GMap", O::Literal,
     "GMap"},
    {Key::LandLayerName0, "txtLandLayerName_0", "txtlandLayerName_0", O::Literal, "GLandscape",
     O::Literal, "GLandscape"},
    {Key::LevelLayerPrefix0, "txtLevelLayerPrefix_0", "txtLevelLayerPrefix_0", O::Literal, "Level_",
     O::Literal, "Level_"},
    {Key::MapRasterPath1, "txtMapRasterPath_1", "txtMapRasterPath_1", O::TemporaryDirectory, "",
     O::TemporaryDirectory, ""},
    {Key::SatRasterPath1, "txtSatRasterPath_1", "txtSatRasterPath_1", O::TemporaryDirectory, "",
     O::TemporaryDirectory, ""},
    {Key::SatLayerName1, "txtSatLayerName_1", "txtSatLayerName_1", O::Literal, "SSatellite",
     O::Literal, "SSatellite"},
    {Key::MapLayerName1, "txtMapLayerName_1", "txtMapLayerName_1", O::Literal, "SMap", O::Literal,
     "SMap"},
    {Key::LevelLayerPrefix1, "txtLevelLayerPrefix_1", "txtLevelLayerPrefix_1", O::Literal, "Level_",
     O::Literal, "Level_"},
    {Key::MapRasterPath2, "txtMapRasterPath_2", "txtMapRasterPath_2", O::TemporaryDirectory, "",
     O::TemporaryDirectory, ""},
    {Key::SatRasterPath2, "txtSatRasterPath_2", "txtSatRasterPath_2", O::TemporaryDirectory, "",
     O::TemporaryDirectory, ""},
    {Key::SatLayerName2, "txtSatLayerName_2", "txtSatLayerName_2", O::Literal, "ShadedRelief",
     O::Literal, "ShadedRelief"},
    {Key::MapLayerName2, "txtMapLayerName_2", "txtMapLayerName_2", O::Literal, "SMap", O::Literal,
     "GMap"},
    {Key::LevelLayerPrefix2, "txtLevelLayerPrefix_2", "txtLevelLayerPrefix_2", O::Literal, "Level_",
     O::Literal, "Level_"},
    {Key::MapRasterPath3, "txtMapRasterPath_3", "txtMapRasterPath_3", O::TemporaryDirectory, "",
     O::TemporaryDirectory, ""},
    {Key::SatRasterPath3, "txtSatRasterPath_3", "txtSatRasterPath_3", O::TemporaryDirectory, "",
     O::TemporaryDirectory, ""},
    {Key::SatLayerName3, "txtSatLayerName_3", "txtSatLayerName_3", O::Literal, "YSatellite",
     O::Literal, "YSatellite"},
    {Key::MapLayerName3, "txtMapLayerName_3", "txtMapLayerName_3", O::Literal, "YMap", O::Literal,
     "YMap"},
    {Key::LevelLayerPrefix3, "txtLevelLayerPrefix_3", "txtLevelLayerPrefix_3", O::Literal, "Level_",
     O::Literal, "Level_"},
    {Key::SatServer0, "txtSatServer_0", "txtSatServer_0", O::Literal, "http://khm0.google.com/kh",
     O::Literal, "http://khm0.google.com"},
    {Key::SatServer1, "txtSatServer_1", "txtSatServer_1", O::Literal, "http://khm1.google.com/kh",
     O::Literal, "http://khm1.google.com"},
    {Key::SatServer2, "txtSatServer_2", "txtSatServer_2", O::Literal, "http://khm2.google.com/kh",
     O::Literal, "http://khm2.google.com"},
    {Key::SatServer3, "txtSatServer_3", "txtSatServer_3", O::Literal, "http://khm3.google.com/kh",
     O::Literal, "http://khm3.google.com"},
    {Key::SatVersion, "txtSatVersion", "txtSatVersion", O::Literal, "40", O::Literal, "18"},
    {Key::MapServer0, "txtmapServer_0", "txtMapServer_0", O::Literal, "http://mt0.google.com/vt",
     O::Literal, "http://mt0.google.com"},
    {Key::MapServer1, "txtmapServer_1", "txtMapServer_1", O::Literal, "http://mt1.google.com/vt",
     O::Literal, "http://mt1.google.com"},
    {Key::MapServer2, "txtmapServer_2", "txtMapServer_2", O::Literal, "http://mt2.google.com/vt",
     O::Literal, "http://mt2.google.com"},
    {Key::MapServer3, "txtmapServer_3", "txtMapServer_3", O::Literal, "http://mt3.google.com/vt",
     O::Literal, "http://mt3.google.com"},
    {Key::MapVersion, "txtmapVersion", "txtMapVersion", O::Literal, "w2.97&hl=ru", O::Literal,
     "w2.63"},
    {Key::LandVersion, "txtLandVersion", "txtLandVersion", O::Literal, "w2p.87&hl=ru", O::Literal,
     "w2p.62"},
    {Key::SatServerScan, "txtSatServerScan", "txtSatServerScan", O::Literal,
     "http://maps.kosmosnimki.ru/printtilesrescaled/?t=image_&zt=n", O::Literal,
     "http://maps.kosmosnimki.ru/printtilesrescaled/?t=image_&zt=n"},
    {Key::MapServerScan, "txtMapServerScan", "txtMapServerScan", O::Literal,
     "http://maps.kosmosnimki.ru/printtilesrescaled/?t=map&zt=n", O::Literal,
     "http://maps.kosmosnimki.ru/printtilesrescaled/?t=map&zt=n"},
    {Key::SatServerShade, "txtSatServerShade", "txtSatServerShade", O::Literal,
     "http://maps-for-free.com/layer/relief/", O::Literal,
     "http://maps-for-free.com/layer/relief/"},
    {Key::SatServerYand0, "txtSatServerYand_0", "txtSatServerYand_0", O::Literal,
     "http://sat01.maps.yandex.net/tiles?l=sat&v=", O::Literal,
     "http://sat01.maps.yandex.net/tiles?l=sat&v="},
    {Key::SatServerYand1, "txtSatServerYand_1", "txtSatServerYand_1", O::Literal,
     "http://sat02.maps.yandex.net/tiles?l=sat&v=", O::Literal,
     "http://sat02.maps.yandex.net/tiles?l=sat&v="},
    {Key::SatServerYand2, "txtSatServerYand_2", "txtSatServerYand_2", O::Literal,
     "http://sat03.maps.yandex.net/tiles?l=sat&v=", O::Literal,
     "http://sat03.maps.yandex.net/tiles?l=sat&v="},
    {Key::SatServerYand3, "txtSatServerYand_3", "txtSatServerYand_3", O::Literal,
     "http://sat04.maps.yandex.net/tiles?l=sat&v=", O::Literal,
     "http://sat04.maps.yandex.net/tiles?l=sat&v="},
    {Key::SatVersionYand, "txtSatVersionYand", "txtSatVersionYand", O::Literal, "1.6.0", O::Literal,
     "1.6.0"},
    {Key::MapServerYand0, "txtmapServerYand_0", "txtMapServerYand_0", O::Literal,
     "http://vec01.maps.yandex.net/tiles?l=map&v=", O::Literal,
     "http://vec01.maps.yandex.net/tiles?l=map&v="},
    {Key::MapServerYand1, "txtmapServerYand_1", "txtMapServerYand_1", O::Literal,
     "http://vec02.maps.yandex.net/tiles?l=map&v=", O::Literal,
     "http://vec02.maps.yandex.net/tiles?l=map&v="},
    {Key::MapServerYand2, "txtmapServerYand_2", "txtMapServerYand_2", O::Literal,
     "http://vec03.maps.yandex.net/tiles?l=map&v=", O::Literal,
     "http://vec03.maps.yandex.net/tiles?l=map&v="},
    {Key::MapServerYand3, "txtmapServerYand_3", "txtMapServerYand_3", O::Literal,
     "http://vec04.maps.yandex.net/tiles?l=map&v=", O::Literal,
     "http://vec04.maps.yandex.net/tiles?l=map&v="},
    {Key::MapVersionYand, "txtmapVersionYand", "txtMapVersionYand", O::Literal, "2.2.1", O::Literal,
     "2.2.1"},
    {Key::OutPolygon, "txtOutPolygon", "txtOutPolygon", O::Empty, "", O::Empty, ""},
    {Key::Level, "txtLevel", "txtLevel", O::Literal, "15", O::Literal, "15"},
    {Key::TimeOut, "txtTimeOut", "txtTimeOut", O::Literal, "60", O::Literal, "60"},
    {Key::TilesAtOnce, "txtTilesAtOnce", "txtTilesAtOnce", O::Literal, "3000", O::Literal, "3000"},
}};

bool EqualNoCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

Key Offset(Key first, int index) noexcept {
    return static_cast<Key>(static_cast<int>(first) + index);
}

} // namespace

const std::array<KeyInfo, kKeyCount> &Keys() noexcept {
    return kKeys;
}

const KeyInfo &InfoOf(Key key) noexcept {
    return kKeys[static_cast<std::size_t>(key)];
}

std::optional<Key> FindKey(std::string_view name) noexcept {
    for (const auto &info : kKeys) {
        if (EqualNoCase(info.savedName, name)) {
            return info.key;
        }
    }
    return std::nullopt;
}

bool IsUsableUserAgent(std::string_view text) noexcept {
    return !text.empty() && std::none_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == '\x7F';
    });
}

std::string TemporaryDirectory() {
    for (const char *var : {"TMP", "TEMP"}) {
        const char *value = std::getenv(var);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    std::error_code ec;
    auto dir = std::filesystem::temp_directory_path(ec);
    return ec ? std::string("/tmp") : dir.string();
}

int ProfileIndex(tiles::Source source) noexcept {
    return static_cast<int>(source);
}

Settings Settings::FirstOpening() {
    Settings s;
    const std::string temp = TemporaryDirectory();
    for (const auto &info : kKeys) {
        switch (info.firstOrigin) {
        case O::Literal:
            s.Text(info.key) = info.first;
            break;
        case O::Empty:
            s.Text(info.key).clear();
            break;
        case O::TemporaryDirectory:
            s.Text(info.key) = temp;
            break;
        }
    }
    return s;
}

std::string Settings::Trimmed(Key key) const {
    return TrimBlanks(Text(key));
}

std::optional<Key> Settings::DirectoryKey(tiles::Source source, tiles::Kind kind) noexcept {
    switch (tiles::TilesTypeOf(source, kind)) {
    case tiles::TilesType::GoogleSat:
        return Key::SatRasterPath0;
    case tiles::TilesType::GoogleMap:
        return Key::MapRasterPath0;
    case tiles::TilesType::GoogleLand:
        return Key::LandRasterPath0;
    case tiles::TilesType::ScanSat:
    case tiles::TilesType::ScanMap:
        return Key::SatRasterPath1;
    case tiles::TilesType::Shade:
        return Key::SatRasterPath2;
    case tiles::TilesType::YandSat:
        return Key::SatRasterPath3;
    case tiles::TilesType::YandMap:
        return Key::MapRasterPath3;
    case tiles::TilesType::Xyz: // no source and kind gives it
    case tiles::TilesType::Invalid:
        break;
    }
    return std::nullopt;
}

Key Settings::SatRasterPath(int profile) noexcept {
    constexpr Key keys[] = {Key::SatRasterPath0, Key::SatRasterPath1, Key::SatRasterPath2,
                            Key::SatRasterPath3};
    return keys[profile];
}
Key Settings::MapRasterPath(int profile) noexcept {
    constexpr Key keys[] = {Key::MapRasterPath0, Key::MapRasterPath1, Key::MapRasterPath2,
                            Key::MapRasterPath3};
    return keys[profile];
}
Key Settings::SatLayerName(int profile) noexcept {
    constexpr Key keys[] = {Key::SatLayerName0, Key::SatLayerName1, Key::SatLayerName2,
                            Key::SatLayerName3};
    return keys[profile];
}
Key Settings::MapLayerName(int profile) noexcept {
    constexpr Key keys[] = {Key::MapLayerName0, Key::MapLayerName1, Key::MapLayerName2,
                            Key::MapLayerName3};
    return keys[profile];
}
Key Settings::LevelLayerPrefix(int profile) noexcept {
    constexpr Key keys[] = {Key::LevelLayerPrefix0, Key::LevelLayerPrefix1, Key::LevelLayerPrefix2,
                            Key::LevelLayerPrefix3};
    return keys[profile];
}
Key Settings::SatServer(int mirror) noexcept {
    return Offset(Key::SatServer0, mirror);
}
Key Settings::MapServer(int mirror) noexcept {
    return Offset(Key::MapServer0, mirror);
}
Key Settings::SatServerYand(int mirror) noexcept {
    return Offset(Key::SatServerYand0, mirror);
}
Key Settings::MapServerYand(int mirror) noexcept {
    return Offset(Key::MapServerYand0, mirror);
}

} // namespace tessaro::settings
