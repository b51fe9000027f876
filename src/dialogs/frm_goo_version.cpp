#include "dialogs/frm_goo_version.h"

#include "dialogs/qt_ui_port.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tessaro::dialogs {

using settings::Key;

namespace {

struct RowInfo {
    const char *caption;
    const char *name;
    Key key;
};
constexpr RowInfo kRows[] = {{"карта", "txtMapVersion", Key::MapVersion},
                             {"космоснимки", "txtSatVersion", Key::SatVersion},
                             {"ландшафт", "txtLandVersion", Key::LandVersion}};

std::size_t At(FrmGooVersion::Row row) {
    return static_cast<std::size_t>(row);
}

} // namespace

FrmGooVersion::FrmGooVersion(settings::Settings &main, QWidget *parent)
    : QDialog(parent), m_main(main) {
    setObjectName(QStringLiteral("frmGooVersion"));
    setWindowTitle(QStringLiteral("версии"));
    auto *grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("текущие"), this), 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("в модуле"), this), 0, 2);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto row = static_cast<Row>(i);
        const QString name = QString::fromUtf8(kRows[i].name);
        m_found[i] = new QLineEdit(this);
        m_found[i]->setObjectName(name);
        m_inUse[i] = new QLineEdit(this);
        m_inUse[i]->setObjectName(name + QStringLiteral("Modul"));
        for (QLineEdit *box : {m_found[i], m_inUse[i]}) {
            box->setMinimumWidth(160);
            connect(box, &QLineEdit::textChanged, this, [this, row] { Mark(row); });
        }
        const int line = static_cast<int>(i) + 1;
        grid->addWidget(new QLabel(QString::fromUtf8(kRows[i].caption), this), line, 0);
        grid->addWidget(m_found[i], line, 1);
        grid->addWidget(m_inUse[i], line, 2);
        Mark(row);
    }
    auto *write = new QPushButton(QStringLiteral("записать"), this);
    write->setObjectName(QStringLiteral("CmdWrite"));
    connect(write, &QPushButton::clicked, this, [this] { CmdWrite_Click(); });
    auto *ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("CmdOk"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(write);
    buttons->addWidget(ok);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);

    for (std::size_t i = 0; i < 3; ++i) {
        m_inUse[i]->setText(Q(m_main.Text(kRows[i].key)));
    }
}

QLineEdit &FrmGooVersion::Found(Row row) const {
    return *m_found[At(row)];
}

QLineEdit &FrmGooVersion::InUse(Row row) const {
    return *m_inUse[At(row)];
}

bool FrmGooVersion::Marked(Row row) const {
    return Found(row).palette().color(QPalette::Base) == QColor(255, 0, 0);
}

void FrmGooVersion::Mark(Row row) {
    const QString found = Found(row).text();
    QPalette palette = Found(row).palette();
    palette.setColor(QPalette::Base, !found.isEmpty() && found != InUse(row).text()
                                         ? QColor(255, 0, 0)
                                         : QColor(255, 255, 255));
    Found(row).setPalette(palette);
}

void FrmGooVersion::CmdWrite_Click() {
    for (std::size_t i = 0; i < 3; ++i) {
        if (!m_found[i]->text().isEmpty()) {
            m_main.Text(kRows[i].key) = S(m_found[i]->text());
            m_inUse[i]->setText(Q(m_main.Text(kRows[i].key)));
        }
    }
}

} // namespace tessaro::dialogs
