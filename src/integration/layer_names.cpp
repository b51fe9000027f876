#include "integration/layer_names.h"

#include "common/text.h"
#include "tiles/tile_files.h"

namespace tessaro::integration {

using settings::Settings;
using tiles::TilesType;

bool HasTileLayers(TilesType type) noexcept {
    switch (type) {
    case TilesType::GoogleSat:
    case TilesType::GoogleMap:
    case TilesType::GoogleLand:
    case TilesType::ScanSat:
    case TilesType::ScanMap:
    case TilesType::Shade:
    case TilesType::YandSat:
    case TilesType::YandMap:
    case TilesType::Xyz:
        return true;
    case TilesType::Invalid:
        break;
    }
    return false;
}

namespace {

// The extensions of the download side carry their dot; the map side names them without it.
std::string_view WithoutDot(std::string_view extension) noexcept {
    if (!extension.empty() && extension.front() == '.') {
        extension.remove_prefix(1);
    }
    return extension;
}

} // namespace

std::string_view GetFileExt(TilesType type) noexcept {
    return HasTileLayers(type) ? WithoutDot(tiles::ImageExtension(type)) : std::string_view{};
}

std::string_view GetWorldFileExt(TilesType type) noexcept {
    return HasTileLayers(type) ? WithoutDot(tiles::WorldFileExtension(type)) : std::string_view{};
}

std::string GetRootName(TilesType type, const Settings &settings) {
    constexpr int google = 0, scanex = 1, shade = 2, yandex = 3;
    switch (type) {
    case TilesType::GoogleSat:
        return settings.Text(Settings::SatLayerName(google));
    case TilesType::GoogleMap:
        return settings.Text(Settings::MapLayerName(google));
    case TilesType::GoogleLand:
        return settings.Text(settings::Key::LandLayerName0);
    case TilesType::ScanSat:
        return settings.Text(Settings::SatLayerName(scanex));
    case TilesType::ScanMap:
        return settings.Text(Settings::MapLayerName(scanex));
    case TilesType::Shade:
        return settings.Text(Settings::SatLayerName(shade));
    case TilesType::YandSat:
        return settings.Text(Settings::SatLayerName(yandex));
    case TilesType::YandMap:
        return settings.Text(Settings::MapLayerName(yandex));
    case TilesType::Xyz: // one group per template source
        return settings.templateSource.empty() ? "XYZ" : settings.templateSource;
    case TilesType::Invalid:
        break;
    }
    return {};
}

std::string GetLevelPrefix(const Settings &settings) {
    if (settings.source == tiles::Source::None) {
        return {};
    }
    return settings.Text(Settings::LevelLayerPrefix(settings::ProfileIndex(settings.source)));
}

std::string LevelGroupName(std::string_view prefix, int level) {
    std::string name(prefix);
    if (level >= 0 && level < 10) {
        name += '0';
    }
    AppendInt(name, level);
    return name;
}

std::string TileLayerName(TilesType type, const tiles::TileRecord &record, int level) {
    if (!HasTileLayers(type)) {
        return {};
    }
    std::string name;
    tiles::AppendTileBaseName(name, type, record, level);
    name += '.';
    name += GetFileExt(type);
    return name;
}

} // namespace tessaro::integration
