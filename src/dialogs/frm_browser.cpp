#include "dialogs/frm_browser.h"

#include "dialogs/frm_goo_version.h"
#include "dialogs/qt_ui_port.h"

#include <QAction>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineView>

#include <unistd.h>

#include <optional>
#include <vector>

namespace tessaro::dialogs {

using settings::Settings;

namespace {

constexpr const char *kGoogleMaps = "https://maps.google.com/";
constexpr const char *kGoogleSearch = "https://www.google.com/";

bool IsGoogle(const settings::Settings &state) {
    const QString host = QUrl(Q(state.Text(Settings::MapServer(0))).trimmed()).host().toLower();
    return host == QLatin1String("google.com") || host.endsWith(QLatin1String(".google.com"));
}

QString WithoutScheme(const QString &address) {
    const int at = address.indexOf(QLatin1String("://"));
    return at < 0 ? address : address.mid(at + 3);
}

// The first address under one of the mirrors; nothing when none is.
std::optional<QString> FirstUnder(const QStringList &images, const std::vector<QString> &mirrors) {
    for (const QString &image : images) {
        const QString address = WithoutScheme(image);
        for (const QString &mirror : mirrors) {
            if (address.startsWith(mirror, Qt::CaseInsensitive)) {
                return image;
            }
        }
    }
    return std::nullopt;
}

// The text after the first "v=" up to the end marker after it; empty when either is missing.
QString Cut(const std::optional<QString> &address, QLatin1String end) {
    if (!address) {
        return {};
    }
    const int v = address->indexOf(QLatin1String("v="));
    const int stop = v < 0 ? -1 : address->indexOf(end, v + 2);
    return stop < 0 ? QString() : address->mid(v + 2, stop - v - 2);
}

// Chromium refuses to start its sandbox for root and ends the whole process instead, which
// would take the host program with it: for root the pages run without the sandbox.
void AllowRootUser() {
    if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX")) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
}

// The start of an answer as text: invalid UTF-8 shows as replacement characters, control
// characters other than line ends and tabs as dots.
QString Printable(std::string_view start) {
    QString text;
    for (const QChar c : Q(start)) {
        if (c == QLatin1Char('\r')) {
            continue;
        }
        text += (c.unicode() < 32 && c != QLatin1Char('\n') && c != QLatin1Char('\t')) ||
                        c.unicode() == 127
                    ? QLatin1Char('.')
                    : c;
    }
    return text;
}

} // namespace

FoundVersions ReadVersions(const QStringList &images, const settings::Settings &state) {
    std::vector<QString> mapMirrors, satMirrors;
    for (int k = 0; k < 4; ++k) {
        QString map = Q(state.Text(Settings::MapServer(k))).trimmed();
        const QString sat = Q(state.Text(Settings::SatServer(k))).trimmed();
        if (!map.isEmpty()) {
            mapMirrors.push_back(WithoutScheme(map.replace(QLatin1String("/vt"), "/mt")));
        }
        if (!sat.isEmpty()) {
            satMirrors.push_back(WithoutScheme(sat));
        }
    }
    const QString map = Cut(FirstUnder(images, mapMirrors), QLatin1String("&x"));
    const bool terrain = map.contains(QLatin1String("p."));
    return {terrain ? QString() : map, Cut(FirstUnder(images, satMirrors), QLatin1String("&t")),
            terrain ? map : QString()};
}

QString HomeAddress(const settings::Settings &state) {
    const QUrl server(Q(state.Text(Settings::MapServer(0))).trimmed());
    if (IsGoogle(state) || !server.isValid() || server.host().isEmpty()) {
        return QString::fromUtf8(kGoogleMaps);
    }
    return server
               .adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery |
                         QUrl::RemoveFragment)
               .toString() +
           QLatin1Char('/');
}

// The view, whose page's requests for new windows are refused and handed to the browser,
// after the request has returned.
class FrmBrowser::PageView : public QWebEngineView {
public:
    PageView(FrmBrowser &browser, QWidget *parent) : QWebEngineView(parent), m_browser(browser) {}

protected:
    QWebEngineView *createWindow(QWebEnginePage::WebWindowType) override {
        QTimer::singleShot(0, &m_browser, [b = &m_browser] { b->NewWindow(); });
        return nullptr;
    }

private:
    FrmBrowser &m_browser;
};

FrmBrowser::FrmBrowser(settings::Settings &main, QWidget *parent) : QDialog(parent), m_main(main) {
    AllowRootUser();
    setObjectName(QStringLiteral("frmBrowser"));
    setWindowFlag(Qt::WindowMaximizeButtonHint);
    resize(900, 650);

    auto *toolbar = new QToolBar(this);
    toolbar->setObjectName(QStringLiteral("tbToolBar"));
    struct Button {
        const char *key;
        QStyle::StandardPixmap icon; // SP_CustomBase: a button with a caption instead
        const char *caption;
        const char *tip;
    };
    constexpr Button kButtons[] = {{"Back", QStyle::SP_ArrowBack, "", "Back"},
                                   {"Forward", QStyle::SP_ArrowForward, "", "Forward"},
                                   {"Stop", QStyle::SP_BrowserStop, "", "Stop"},
                                   {"Refresh", QStyle::SP_BrowserReload, "", "Refresh"},
                                   {"Home", QStyle::SP_DirHomeIcon, "", "Home"},
                                   {"Search", QStyle::SP_FileDialogContentsView, "", "Search"},
                                   {"Word", QStyle::SP_CustomBase, "Goo version", "Goo"},
                                   {"Exit", QStyle::SP_CustomBase, "Exit", "close browse window"}};
    for (const Button &b : kButtons) {
        const QString key = QString::fromUtf8(b.key);
        auto *action = toolbar->addAction(QString::fromUtf8(*b.caption ? b.caption : b.key));
        action->setObjectName(key);
        action->setToolTip(QString::fromUtf8(b.tip));
        if (b.icon != QStyle::SP_CustomBase) {
            action->setIcon(style()->standardIcon(b.icon));
        }
        connect(action, &QAction::triggered, this, [this, key] { tbToolBar_ButtonClick(key); });
    }

    auto *address = new QWidget(this);
    address->setObjectName(QStringLiteral("picAddress"));
    auto *label = new QLabel(QStringLiteral("&Address:"), address);
    label->setObjectName(QStringLiteral("lblAddress"));
    m_cboAddress = new QComboBox(address);
    m_cboAddress->setObjectName(QStringLiteral("cboAddress"));
    m_cboAddress->setEditable(true);
    m_cboAddress->setInsertPolicy(QComboBox::NoInsert);
    m_cboAddress->lineEdit()->installEventFilter(this);
    label->setBuddy(m_cboAddress);
    connect(m_cboAddress, QOverload<int>::of(&QComboBox::activated), this,
            [this] { cboAddress_Click(); });
    auto *row = new QHBoxLayout(address);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(label);
    row->addWidget(m_cboAddress, 1);

    // A private profile: cookies, cache and history live only as long as the window.
    m_profile = new QWebEngineProfile(this);
    m_brwWebBrowser = new PageView(*this, this);
    m_brwWebBrowser->setObjectName(QStringLiteral("brwWebBrowser"));
    m_brwWebBrowser->setPage(new QWebEnginePage(m_profile, m_brwWebBrowser));
    connect(m_brwWebBrowser, &QWebEngineView::loadStarted, this, [this] {
        m_busy = true;
        setWindowTitle(QStringLiteral("Working..."));
    });
    connect(m_brwWebBrowser, &QWebEngineView::loadFinished, this, [this] {
        m_busy = false;
        setWindowTitle(LocationName());
    });
    connect(m_brwWebBrowser, &QWebEngineView::titleChanged, this, [this] {
        if (!m_busy) {
            setWindowTitle(LocationName());
        }
    });
    connect(m_brwWebBrowser, &QWebEngineView::urlChanged, this,
            [this](const QUrl &url) { NavigateComplete(url); });

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(toolbar);
    layout->addWidget(address);
    layout->addWidget(m_brwWebBrowser, 1);
}

FrmBrowser::~FrmBrowser() {
    // The page must go before its profile.
    delete m_brwWebBrowser;
}

QString FrmBrowser::LocationName() const {
    const QString title = m_brwWebBrowser->title();
    return title.isEmpty() ? m_brwWebBrowser->url().toString() : title;
}

void FrmBrowser::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    if (m_loaded) {
        return;
    }
    m_loaded = true;
    if (StartingAddress.isEmpty()) {
        StartingAddress = HomeAddress(m_main);
    }
    m_cboAddress->insertItem(0, StartingAddress);
    m_cboAddress->setCurrentIndex(0);
    if (m_startingHtml.isEmpty()) {
        Navigate(StartingAddress);
    } else {
        m_brwWebBrowser->setHtml(m_startingHtml);
    }
}

bool FrmBrowser::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_cboAddress->lineEdit() && event->type() == QEvent::KeyPress) {
        return cboAddress_KeyPress(static_cast<QKeyEvent *>(event)->key());
    }
    return QDialog::eventFilter(watched, event);
}

void FrmBrowser::Navigate(const QString &address) {
    m_brwWebBrowser->load(QUrl::fromUserInput(address.trimmed()));
}

void FrmBrowser::NavigateComplete(const QUrl &url) {
    if (!m_busy) {
        setWindowTitle(LocationName());
    }
    // A page shown from memory has no address of its own to list.
    if (url.isEmpty() || url.scheme() == QLatin1String("data")) {
        return;
    }
    const QString address = url.toString();
    m_bDontNavigate = true;
    const int listed = m_cboAddress->findText(address);
    if (listed >= 0) {
        m_cboAddress->removeItem(listed);
    }
    m_cboAddress->insertItem(0, address);
    m_cboAddress->setCurrentIndex(0);
    m_bDontNavigate = false;
}

void FrmBrowser::cboAddress_Click() {
    if (!m_bDontNavigate) {
        Navigate(m_cboAddress->currentText());
    }
}

bool FrmBrowser::cboAddress_KeyPress(int key) {
    if (key != Qt::Key_Return && key != Qt::Key_Enter) {
        return false;
    }
    if (!m_bDontNavigate) {
        Navigate(m_cboAddress->currentText());
    }
    return true;
}

void FrmBrowser::tbToolBar_ButtonClick(const QString &key) {
    if (key == QLatin1String("Back")) {
        m_brwWebBrowser->back();
    } else if (key == QLatin1String("Forward")) {
        m_brwWebBrowser->forward();
    } else if (key == QLatin1String("Stop")) {
        m_brwWebBrowser->stop();
        m_busy = false;
        setWindowTitle(LocationName());
    } else if (key == QLatin1String("Refresh")) {
        m_brwWebBrowser->reload();
    } else if (key == QLatin1String("Home")) {
        Navigate(HomeAddress(m_main));
    } else if (key == QLatin1String("Search")) {
        Navigate(IsGoogle(m_main) ? QString::fromUtf8(kGoogleSearch) : HomeAddress(m_main));
    } else if (key == QLatin1String("Word")) {
        // The image list comes back later; the window may be gone by then. The script runs
        // apart from the page's own scripts, which cannot change what it sees.
        m_brwWebBrowser->page()->runJavaScript(
            QStringLiteral("Array.from(document.images, function (i) { return i.src; })"),
            QWebEngineScript::ApplicationWorld, [self = QPointer(this)](const QVariant &images) {
                if (self != nullptr) {
                    self->ShowVersions(ReadVersions(images.toStringList(), self->m_main));
                }
            });
    } else if (key == QLatin1String("Exit")) {
        reject();
    }
}

void FrmBrowser::ShowVersions(const FoundVersions &found) {
    FrmGooVersion editor(m_main, this);
    const std::pair<FrmGooVersion::Row, const QString &> rows[] = {
        {FrmGooVersion::Row::Map, found.map},
        {FrmGooVersion::Row::Sat, found.sat},
        {FrmGooVersion::Row::Land, found.land}};
    for (const auto &[row, version] : rows) {
        if (!version.isEmpty()) {
            editor.Found(row).setText(version);
        }
    }
    editor.exec();
}

void FrmBrowser::NewWindow() {
    // One second window at a time: a page that keeps asking does not pile windows up.
    if (m_newWindowOpen) {
        return;
    }
    m_newWindowOpen = true;
    FrmBrowser second(m_main, this);
    second.exec();
    m_newWindowOpen = false;
}

void ShowBadTile(QWidget *owner, settings::Settings &main, std::string_view url,
                 std::string_view start, std::int64_t size) {
    const QString address = Q(url).toHtmlEscaped();
    const bool web = url.starts_with("http://") || url.starts_with("https://");
    FrmBrowser browser(main, owner);
    browser.StartingAddress = Q(url);
    browser.ShowPage(
        QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>") + address +
        QStringLiteral("</title></head><body><p>The server did not send an image for ") +
        (web ? QStringLiteral("<a href=\"") + address + QStringLiteral("\">") + address +
                   QStringLiteral("</a>")
             : address) +
        QStringLiteral("</p><p>It sent ") + QString::number(size) +
        QStringLiteral(" bytes, beginning:</p><pre style=\"white-space:pre-wrap\">") +
        Printable(start).toHtmlEscaped() + QStringLiteral("</pre></body></html>"));
    browser.exec();
}

} // namespace tessaro::dialogs
