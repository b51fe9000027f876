#include "tiles/tile_files.h"

#include "common/text.h"

namespace tessaro::tiles {

std::string_view ImageExtension(TilesType type) noexcept {
    switch (type) {
    case TilesType::GoogleMap:
    case TilesType::YandMap:
    case TilesType::Xyz:
        return ".png";
    case TilesType::Invalid:
        return {};
    default:
        return ".jpg";
    }
}

std::string_view WorldFileExtension(TilesType type) noexcept {
    switch (type) {
    case TilesType::GoogleMap:
    case TilesType::YandMap:
    case TilesType::Xyz:
        return ".pgw";
    case TilesType::Invalid:
        return {};
    default:
        return ".jgw";
    }
}

std::string_view TypeWord(TilesType type) noexcept {
    switch (type) {
    case TilesType::GoogleSat:
    case TilesType::ScanSat:
    case TilesType::Shade:
    case TilesType::YandSat:
        return "sat";
    case TilesType::GoogleMap:
    case TilesType::ScanMap:
    case TilesType::YandMap:
        return "map";
    case TilesType::GoogleLand:
        return "lnd";
    case TilesType::Xyz:
        return "xyz";
    case TilesType::Invalid:
        break;
    }
    return {};
}

std::string TileBaseName(TilesType type, const TileRecord &record, int level) {
    std::string name;
    AppendTileBaseName(name, type, record, level);
    return name;
}

void AppendTileBaseName(std::string &name, TilesType type, const TileRecord &record, int level) {
    switch (type) {
    case TilesType::GoogleMap:
    case TilesType::GoogleLand:
        AppendInt(name, record.col);
        name += '_';
        AppendInt(name, record.row);
        break;
    case TilesType::Shade:
        AppendInt(name, level);
        name += '_';
        AppendInt(name, record.col);
        name += '-';
        AppendInt(name, record.row);
        break;
    case TilesType::Xyz:
        AppendInt(name, record.row);
        break;
    default:
        name += record.name.View();
        break;
    }
}

std::filesystem::path TileFolder(const std::filesystem::path &levelFolder, TilesType type,
                                 const TileRecord &record) {
    if (type == TilesType::Xyz) {
        std::string column;
        AppendInt(column, record.col);
        return levelFolder / column;
    }
    if (type != TilesType::Shade) {
        return levelFolder;
    }
    std::string row = "row";
    AppendInt(row, record.row);
    return levelFolder / row;
}

std::filesystem::path TilePath(const std::filesystem::path &levelFolder, TilesType type,
                               const TileRecord &record, int level) {
    std::string file = TileBaseName(type, record, level);
    file += ImageExtension(type);
    return TileFolder(levelFolder, type, record) / file;
}

std::filesystem::path FindTilePath(const std::filesystem::path &levelFolder, TilesType type,
                                   const TileRecord &record, int level) {
    auto path = TilePath(levelFolder, type, record, level);
    if (type == TilesType::Xyz) {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) {
            auto jpeg = path;
            jpeg.replace_extension(kJpegExtension);
            if (std::filesystem::exists(jpeg, ec)) {
                return jpeg;
            }
        }
    }
    return path;
}

std::filesystem::path WorldFilePath(const std::filesystem::path &imagePath, TilesType type) {
    auto world = imagePath;
    if (type == TilesType::Xyz) {
        world.replace_extension(imagePath.extension() == kJpegExtension ? ".jgw" : ".pgw");
    } else {
        world.replace_extension(WorldFileExtension(type));
    }
    return world;
}

} // namespace tessaro::tiles
