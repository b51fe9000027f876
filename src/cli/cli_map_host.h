#pragma once

#include "dialogs/ui_port.h"
#include "integration/map_host.h"
#include "mapout/db_util.h"
#include "settings/settings.h"

#include <filesystem>
#include <optional>

namespace tessaro::cli {

/// The map of a command-line run: the tiles' coordinate systems through GDAL, the block index
/// through OGR. Without a project file there is no map to add tiles to (the run says
/// "Added: 0 (skipped)"), and no selection.
class CliMapHost : public integration::MapHost {
public:
    CliMapHost(const settings::Settings &settings, dialogs::UiPort &ui);

    /// Opens (or, after the question, creates) the block index at path, as the dialog does when
    /// it starts with an index configured. Returns false when no index resulted.
    bool OpenIndex(std::filesystem::path path);

    std::int64_t SelectionCount() override { return 0; }
    std::int64_t FilterBySelection(const tiles::TileList &, tiles::TilesType, int,
                                   std::string_view, std::vector<tiles::TileRecord> &) override {
        return -1;
    }
    bool SetRasterSpatRef(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                          tiles::TilesType type, int level) override;
    std::int64_t AddGoogleRasters(const std::filesystem::path &, const tiles::TileList &, int,
                                  tiles::TilesType) override {
        return 0; // never called: without a project the run skips the map
    }
    bool ShowMosaic(const std::filesystem::path &, const tiles::TileList &, tiles::TilesType,
                    int) override {
        return true;
    }
    bool HasPolygonIndex() override { return m_index.has_value(); }
    bool AddPolygonFC(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                      tiles::TilesType type, int level, std::string_view sourceText) override;

private:
    const settings::Settings &m_settings;
    dialogs::UiPort &m_ui;
    std::optional<mapout::FeatureClass> m_index;
};

} // namespace tessaro::cli
