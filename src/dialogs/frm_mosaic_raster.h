#pragma once

#include "common/ui_port.h"
#include "mosaic/mosaic_raster.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <QDialog>

#include <filesystem>
#include <optional>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace tessaro::dialogs {

class FrmTessaro;

/// What the mosaic dialog built, for the map to add.
using MosaicDialogResult = mosaic::MosaicChoice;

/// The mosaic dialog "Мозаика растров": the output raster with its save dialog, "combine with
/// the existing one", the four lists of the mosaic's parameters, the GeoTIFF's compression and
/// cloud-optimised layout (offered while the output is a GeoTIFF) and "add the layer to the
/// map". Ok builds the mosaic of one run's tiles through mosaic::BuildMosaic; a check that
/// stops it (no name, an output that exists or does not, a format that cannot be written, a
/// list text that is not in its list) leaves the dialog open for a correction; a run that
/// passed the checks closes it, whatever its end. Each control's object name is its name in
/// the form (txtOutRaster, cboMosaicType, ...).
class FrmMosaicRaster : public QDialog {
    Q_OBJECT
public:
    /// Opens the dialog for one run's tiles: its level folder, its tile list, tile type and
    /// level, as mosaic::BuildMosaic takes them. Messages, the error report and the progress
    /// of a build go to ui. ui and list must outlive the dialog.
    FrmMosaicRaster(UiPort &ui, std::filesystem::path levelFolder, const tiles::TileList &list,
                    tiles::TilesType type, int level, QWidget *parent = nullptr);

    /// What Ok built: nothing until a run passed the checks.
    [[nodiscard]] const std::optional<MosaicDialogResult> &Result() const { return m_result; }

    // The handlers of the dialog's buttons.
    void cmdOut_Click();
    void cmdOk_Click();
    void cmdCancel_Click();

protected:
    void reject() override;

private:
    // The options the boxes give; a list whose text is not in it shows its message and
    // gives nothing.
    [[nodiscard]] std::optional<mosaic::MosaicOptions> ReadLists(const mosaic::MosaicOptions &base);
    // The GeoTIFF's boxes are offered while the output named is a GeoTIFF.
    void OfferGeoTiffChoices();

    UiPort &m_ui;
    std::filesystem::path m_levelFolder;
    const tiles::TileList &m_list;
    tiles::TilesType m_type;
    int m_level;
    bool m_building = false;
    std::optional<MosaicDialogResult> m_result;

    QLineEdit *m_txtOutRaster;
    QPushButton *m_cmdOut;
    QCheckBox *m_chkCombine;
    QComboBox *m_cboMosaicType;
    QComboBox *m_cboColormapMode;
    QComboBox *m_cboResampleType;
    QComboBox *m_cboDatatype;
    QWidget *m_frameGeoTiff;
    QComboBox *m_cboCompression;
    QCheckBox *m_chkCog;
    QCheckBox *m_chkOutput;
    QPushButton *m_cmdOk;
    QPushButton *m_cmdCancel;
};

/// Shows the mosaic dialog modally over owner for one run's tiles (the main dialog's load
/// calls it when "mosaic" is ticked). Returns what Ok built, or nothing when the user
/// cancelled or closed the dialog.
[[nodiscard]] std::optional<MosaicDialogResult>
ShowMosaicDialog(QWidget *owner, UiPort &ui, const std::filesystem::path &levelFolder,
                 const tiles::TileList &list, tiles::TilesType type, int level);

/// The mosaic dialog as a map host asks for it after a run (mosaic::MosaicDialog), owned by the
/// main dialog and talking through its port.
[[nodiscard]] mosaic::MosaicDialog MosaicDialogFor(FrmTessaro &main);

} // namespace tessaro::dialogs
