// The GDAL module: the command line's map work through GDAL/OGR behind integration/gdal_module.h.

#include "integration/gdal_module.h"

#include "common/error.h"
#include "common/error_report.h"
#include "integration/file_map_host.h"
#include "mapout/selection_filter.h"
#include "mosaic/mosaic_raster.h"

namespace tessaro::integration {

namespace {

// Every call runs in an error trap, so that nothing leaves the module as an exception: an
// unexpected one (out of memory, say) is reported under the call's name and gives the value
// that says "a problem was reported".
class ModuleHost final : public GdalHost {
public:
    ModuleHost(const settings::Settings &settings, UiPort &ui, const AbortFlag *abort)
        : m_ui(ui), m_host(settings, ui, abort) {}

    bool Select(const std::filesystem::path &file, const std::string &where) override {
        try {
            m_host.Select(mapout::ReadSelection(file, where));
            return true;
        } catch (const Error &e) {
            m_ui.ShowMessage(e.what(), Icon::Exclamation);
        } catch (const std::exception &e) {
            ReportException(m_ui, "ReadSelection ", e, kMessageMode);
        }
        return false;
    }
    void SetMosaic(const mosaic::MosaicOptions &options, bool addToMap) override {
        m_host.SetMosaic(options, addToMap);
    }
    void SetTileStore(const std::filesystem::path &file, const mosaic::StoreInfo &info) override {
        m_host.SetTileStore(file, info);
    }
    [[nodiscard]] bool TilesStored() const override {
        return m_host.TilesStored() && m_host.TilesStored()->written;
    }
    void AttachProject(ProjectMap &project) override { m_host.AttachProject(project); }
    [[nodiscard]] std::optional<std::string> MosaicRaster() const override {
        const auto &built = m_host.MosaicBuilt();
        return built ? std::optional(built->raster) : std::nullopt;
    }

    std::int64_t SelectionCount() override { return m_host.SelectionCount(); }
    std::optional<std::array<double, 4>> SelectionExtent() override {
        return RunTrapped(m_ui, "SelectionExtent ", [&] { return m_host.SelectionExtent(); })
            .value_or(std::nullopt);
    }
    std::int64_t FilterBySelection(const tiles::TileList &list, tiles::TilesType type, int level,
                                   std::string_view sourceText,
                                   std::vector<tiles::TileRecord> &kept) override {
        return RunTrapped(
                   m_ui, "FilterBySelection ",
                   [&] { return m_host.FilterBySelection(list, type, level, sourceText, kept); })
            .value_or(-1);
    }
    bool SetRasterSpatRef(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                          tiles::TilesType type, int level) override {
        return RunTrapped(m_ui, "SetRasterSpatRef ",
                          [&] { return m_host.SetRasterSpatRef(levelFolder, list, type, level); })
            .value_or(false);
    }
    std::int64_t AddGoogleRasters(const std::filesystem::path &levelFolder,
                                  const tiles::TileList &list, int level,
                                  tiles::TilesType type) override {
        return RunTrapped(m_ui, "AddGoogleRasters ",
                          [&] { return m_host.AddGoogleRasters(levelFolder, list, level, type); })
            .value_or(-1);
    }
    bool ShowMosaic(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                    tiles::TilesType type, int level) override {
        return RunTrapped(m_ui, "ShowMosaic ",
                          [&] { return m_host.ShowMosaic(levelFolder, list, type, level); })
            .value_or(false);
    }
    bool OpenPolygonIndex(std::filesystem::path &path, bool chosen) override {
        return RunTrapped(m_ui, "OpenPolygonIndex ",
                          [&] { return m_host.OpenPolygonIndex(path, chosen); })
            .value_or(false);
    }
    bool HasPolygonIndex() override { return m_host.HasPolygonIndex(); }
    bool AddPolygonFC(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                      tiles::TilesType type, int level, std::string_view sourceText) override {
        return RunTrapped(
                   m_ui, "AddPolygonFC ",
                   [&] { return m_host.AddPolygonFC(levelFolder, list, type, level, sourceText); })
            .value_or(false);
    }

private:
    UiPort &m_ui;
    FileMapHost m_host;
};

class Module final : public GdalModule {
public:
    std::unique_ptr<GdalHost> MakeHost(const settings::Settings &settings, UiPort &ui,
                                       const AbortFlag *abort) override {
        return std::make_unique<ModuleHost>(settings, ui, abort);
    }

    bool CheckMosaicTarget(const mosaic::MosaicOptions &options, UiPort &ui) override {
        return RunTrapped(ui, "CheckMosaicTarget ",
                          [&] { return mosaic::CheckMosaicTarget(options, ui); })
            .value_or(false);
    }

    SelectionExtentText ReadSelectionExtent(const std::filesystem::path &file,
                                            const std::string &where) override {
        using Outcome = SelectionExtentText::Outcome;
        try {
            const auto extent = mapout::SelectionExtent(mapout::ReadSelection(file, where));
            if (!extent) {
                return {Outcome::NothingSelected, std::string(mapout::kNoSelectionMessage)};
            }
            return {Outcome::Extent, mapout::ExtentText(*extent)};
        } catch (const std::exception &e) {
            return {Outcome::Failed, e.what()};
        } catch (...) {
            return {Outcome::Failed, "Reading the selection failed for an unknown reason."};
        }
    }
};

} // namespace

} // namespace tessaro::integration

extern "C" __attribute__((visibility("default"))) tessaro::integration::GdalModule *
tessaro_gdal_module() {
    static tessaro::integration::Module module;
    return &module;
}
