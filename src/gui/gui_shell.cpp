#include "gui/gui_shell.h"

#include "dialogs/frm_mosaic_raster.h"
#include "mapout/selection_filter.h"

namespace tessaro::gui {

GuiShell::GuiShell(const GuiOptions &options) {
    m_dialog = std::make_unique<dialogs::FrmTessaro>(
        options.config ? settings::SettingsStore::AtFile(*options.config)
                       : settings::SettingsStore::User());
    m_host = std::make_unique<integration::FileMapHost>(m_runSettings, m_dialog->Ui());
    // "mosaic" shows the mosaic dialog once the tiles are in.
    m_host->SetMosaicDialog(dialogs::MosaicDialogFor(*m_dialog));
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
