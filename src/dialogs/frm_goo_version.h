#pragma once

#include "settings/settings.h"

#include <QDialog>

#include <array>

class QLineEdit;

namespace tessaro::dialogs {

/// The tile-version editor "версии": the Google tile versions found on the web (column
/// "текущие") beside the versions in use (column "в модуле"), one row each for the map, the
/// satellite images and the landscape. A found version that is not empty and differs from
/// the one in use is marked red; "записать" copies every found version that is not empty into
/// the versions in use, which turns its row white. Nothing is stored: the caller keeps or
/// saves the versions written.
class FrmGooVersion : public QDialog {
    Q_OBJECT
public:
    /// The rows, in the order "записать" writes them.
    enum class Row { Map, Sat, Land };

    /// Opens the editor over the versions in use of main (its txtMapVersion, txtSatVersion
    /// and txtLandVersion texts), copied into the column "в модуле"; the found versions start
    /// empty. "записать" writes into main, which must outlive the editor.
    explicit FrmGooVersion(settings::Settings &main, QWidget *parent = nullptr);

    /// The box of a row's found version (txtMapVersion, txtSatVersion, txtLandVersion).
    [[nodiscard]] QLineEdit &Found(Row row) const;
    /// The box of a row's version in use (txtMapVersionModul, ...).
    [[nodiscard]] QLineEdit &InUse(Row row) const;
    /// True when the row's found version is marked red.
    [[nodiscard]] bool Marked(Row row) const;

    /// "записать": row by row, a found version that is not empty becomes the version in use.
    void CmdWrite_Click();

private:
    // Colours the row's found version red when it is not empty and differs from the version
    // in use, white otherwise; both boxes of a row call it when they change.
    void Mark(Row row);

    settings::Settings &m_main;
    std::array<QLineEdit *, 3> m_found{};
    std::array<QLineEdit *, 3> m_inUse{};
};

} // namespace tessaro::dialogs
