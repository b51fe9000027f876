#include "gui/gui_shell.h"

#include "dialogs/frm_mosaic_raster.h"
#include "mapout/selection_filter.h"

namespace tessaro::gui {

namespace {

// The command line's host, with the mosaic dialog for "mosaic": the user picks the output and
// its options after the tiles are in, and may have the mosaic added to the project.
class GuiMapHost : public cli::CliMapHost {
public:
    GuiMapHost(const settings::Settings &settings, dialogs::FrmTessaro &dialog)
        : CliMapHost(settings, dialog.Ui()), m_dialog(dialog) {}

    bool ShowMosaic(const std::filesystem::path &levelFolder, const tiles::TileList &list,
                    tiles::TilesType type, int level) override {
        const auto result =
            dialogs::ShowMosaicDialog(&m_dialog, m_dialog.Ui(), levelFolder, list, type, level);
        if (!result) {
            return true; // cancelled: no mosaic was asked for after all
        }
        const bool built = result->mosaic.outcome == mosaic::MosaicOutcome::Built ||
                           result->mosaic.outcome == mosaic::MosaicOutcome::Appended;
        if (built && result->addToMap && Project() != nullptr) {
            return Project()->AddRasterToRoot(result->mosaic.raster, result->mosaic.layerName,
                                              "cmdOk_Click Mocaic raster ", m_dialog.Ui());
        }
        return built;
    }

private:
    dialogs::FrmTessaro &m_dialog;
};

} // namespace

GuiShell::GuiShell(const GuiOptions &options) {
    m_dialog = std::make_unique<dialogs::FrmTessaro>(
        options.config ? settings::SettingsStore::AtFile(*options.config)
                       : settings::SettingsStore::User());
    m_host = std::make_unique<GuiMapHost>(m_runSettings, *m_dialog);
    if (options.selection) {
        m_host->Select(mapout::ReadSelection(*options.selection, options.selectionWhere));
    }
    if (options.project) {
        m_project =
            integration::OpenProjectMap(*options.project, integration::ProjectLayers::Deferred);
        m_host->AttachProject(*m_project);
    }
    dialogs::FrmTessaro::RunHooks hooks;
    hooks.before = [this](const settings::Settings &state) { m_runSettings = state; };
    // The project holds what every run added; it is saved as each run ends.
    hooks.after = [this](const load::LoadRunResult &) {
        if (m_project) {
            (void)m_project->Save(m_dialog->Ui());
        }
    };
    m_dialog->SetMapHost(m_host.get(), std::move(hooks), m_project != nullptr,
                         options.selection.has_value());
}

GuiShell::~GuiShell() {
    m_dialog->SetMapHost(nullptr);
    m_host.reset();
    m_project.reset();
}

} // namespace tessaro::gui
