#pragma once

#include "dialogs/frm_tessaro.h"
#include "integration/file_map_host.h"
#include "integration/project_map.h"
#include "settings/settings_store.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace tessaro::gui {

/// What tessaro-gui is started with.
struct GuiOptions {
    std::optional<std::filesystem::path> config;    ///< the settings store; the user's when unset
    std::optional<std::filesystem::path> project;   ///< the QGIS project the tiles go into
    std::optional<std::filesystem::path> selection; ///< the dataset whose features are selected
    std::string selectionWhere;                     ///< an OGR filter on those features
};

/// The main dialog without a GIS: its map is a QGIS project file (saved after every run), its
/// selected features those of a vector dataset, and the tiles' coordinate systems, the block
/// index and the mosaic go through GDAL as for the command line.
class GuiShell {
public:
    /// Opens the dialog, the selection and the project.
    /// @throws tessaro::Error when the selection or the project cannot be opened.
    explicit GuiShell(const GuiOptions &options);
    ~GuiShell();
    GuiShell(const GuiShell &) = delete;
    GuiShell &operator=(const GuiShell &) = delete;

    [[nodiscard]] dialogs::FrmTessaro &Dialog() { return *m_dialog; }

private:
    std::unique_ptr<dialogs::FrmTessaro> m_dialog;
    settings::Settings m_runSettings; // the dialog's state at the start of the run in hand
    // Declared after the dialog and before the host: the host's index and selection are
    // released while GDAL is still up, before the project's QGIS session ends.
    std::unique_ptr<integration::ProjectMap> m_project;
    std::unique_ptr<integration::FileMapHost> m_host;
};

} // namespace tessaro::gui
