#include "mosaic/store_target.h"

#include <algorithm>
#include <cctype>

namespace tessaro::mosaic {

namespace fs = std::filesystem;

namespace {

bool SameLetters(const std::string &a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

StoreFormat StoreFormatOf(const fs::path &file) noexcept {
    const std::string extension = file.extension().string();
    if (SameLetters(extension, ".mbtiles")) {
        return StoreFormat::MbTiles;
    }
    if (SameLetters(extension, ".gpkg")) {
        return StoreFormat::GeoPackage;
    }
    return StoreFormat::Invalid;
}

std::optional<XyzTile> XyzTileOf(tiles::TilesType type, int level,
                                 const tiles::TileRecord &record) noexcept {
    switch (type) {
    case tiles::TilesType::GoogleSat:
    case tiles::TilesType::GoogleMap:
    case tiles::TilesType::GoogleLand:
        return XyzTile{level - 1, record.col, record.row};
    case tiles::TilesType::Shade:
    case tiles::TilesType::Xyz:
        return XyzTile{level, record.col, record.row};
    default:
        return std::nullopt;
    }
}

bool CheckTileStore(const fs::path &file, tiles::TilesType type, UiPort &ui) {
    if (StoreFormatOf(file) == StoreFormat::Invalid) {
        ui.ShowMessage("The tile store " + file.string() +
                           " needs the extension .mbtiles (MBTiles) or .gpkg (GeoPackage).",
                       Icon::Exclamation);
        return false;
    }
    if (!XyzTileOf(type, 1, {})) {
        ui.ShowMessage("A tile store holds tiles of the web-mercator grid (Google, shaded relief "
                       "and template sources); ScanEx and Yandex tiles lie on an ellipsoidal "
                       "grid that no web-mercator tile matches, so " +
                           file.string() + " cannot take them.",
                       Icon::Exclamation);
        return false;
    }
    return true;
}

} // namespace tessaro::mosaic
