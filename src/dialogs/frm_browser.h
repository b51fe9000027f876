#pragma once

#include "settings/settings.h"

#include <QDialog>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <string_view>

class QComboBox;
class QUrl;
class QWebEngineProfile;
class QWebEngineView;

namespace tessaro::dialogs {

/// The Google tile versions read from a page; each is empty when the page gave none.
struct FoundVersions {
    QString map;
    QString sat;
    QString land;
};

/// Reads the tile versions from the addresses of a page's images, in the page's order.
///
/// - Map: the first address under a map mirror of state (txtMapServer_0..3 with "/vt" turned
///   into "/mt", the path the map page loads its tiles from) gives the text after its first
///   "v=" up to the next "&x"; a text containing "p." is a landscape version and gives no map
///   version.
/// - Landscape: the same cut, kept only when it contains "p.".
/// - Satellite: the first address under a satellite mirror (txtSatServer_0..3) gives the text
///   after its first "v=" up to the next "&t".
///
/// The first address that matches ends the search of its kind, also when its end marker is
/// missing (no version then). Mirrors and addresses are compared without their scheme, so a
/// page on https matches mirrors written with http.
/// Complexity: linear in the total length of the addresses.
[[nodiscard]] FoundVersions ReadVersions(const QStringList &images,
                                         const settings::Settings &state);

/// Returns the home page of the map service whose tile servers state names: Google's map page
/// when the first map mirror is a Google host, otherwise that server's root page (the built-in
/// tile server shows a page of its tiles there).
[[nodiscard]] QString HomeAddress(const settings::Settings &state);

/// A small web browser whose toolbar button "Goo version" reads the tile versions of the page
/// shown (ReadVersions over the page's images) and opens the version editor (FrmGooVersion)
/// with them. Back, Forward, Stop, Refresh, Home, Search and Exit work as in any browser; the
/// address box lists the addresses visited, latest first, each once. The caption is the page's
/// title, "Working..." while a page loads. A page's request for a new window opens a second
/// browser on the home address instead. Pages run in a private profile that keeps nothing on
/// disk.
class FrmBrowser : public QDialog {
    Q_OBJECT
public:
    /// Makes the window. main gives the home address and the tile servers whose versions are
    /// read; the editor writes the versions into it. It must outlive the window.
    explicit FrmBrowser(settings::Settings &main, QWidget *parent = nullptr);
    ~FrmBrowser() override;

    /// The address opened when the window is first shown; the home address when empty.
    QString StartingAddress;

    /// Shows html in place of fetching StartingAddress when the window is first shown; the
    /// address box still holds StartingAddress.
    void ShowPage(const QString &html) { m_startingHtml = html; }

    /// The toolbar's actions by key: "Back", "Forward", "Stop", "Refresh", "Home", "Search",
    /// "Word" (read the versions), "Exit". Any other key does nothing.
    void tbToolBar_ButtonClick(const QString &key);
    /// Opens the address the box holds, unless the list is being rearranged.
    void cboAddress_Click();
    /// Enter (Qt::Key_Return or Qt::Key_Enter) in the address box opens its address; other
    /// keys do nothing here. Returns true when the key was used.
    bool cboAddress_KeyPress(int key);

    /// The view that shows the pages.
    [[nodiscard]] QWebEngineView &View() const { return *m_brwWebBrowser; }
    /// The caption a window shows for its page: the title, or the address when there is none.
    [[nodiscard]] QString LocationName() const;

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    class PageView;

    void Navigate(const QString &address);
    void NavigateComplete(const QUrl &url);
    void NewWindow();
    void ShowVersions(const FoundVersions &found);

    settings::Settings &m_main;
    QString m_startingHtml;
    QWebEngineProfile *m_profile = nullptr;
    QWebEngineView *m_brwWebBrowser = nullptr;
    QComboBox *m_cboAddress = nullptr;
    bool m_loaded = false;
    bool m_busy = false;
    bool m_bDontNavigate = false;
    bool m_newWindowOpen = false;
};

/// Shows what a server sent for a tile that is not an image, in a browser window modal over
/// owner: the tile's address, the size of the answer and its start (up to 64 KiB), as text. The
/// server is not asked again; following the address on the page or pressing Enter in the
/// address box fetches the tile anew. main is as for FrmBrowser.
void ShowBadTile(QWidget *owner, settings::Settings &main, std::string_view url,
                 std::string_view start, std::int64_t size);

} // namespace tessaro::dialogs
