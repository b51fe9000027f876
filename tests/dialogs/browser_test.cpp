// The version browser against the built-in tile server's map page, under a virtual X server
// (a web view needs a display): "Get Versions" of the main dialog, the address list, new
// windows, and the bad-tile view.
#include "dialogs/frm_browser.h"
#include "dialogs/frm_goo_version.h"
#include "dialogs/frm_tessaro.h"
#include "settings/local_servers.h"
#include "support/qt_test.h"
#include "tileserver/tile_server.h"

#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <algorithm>
#include <functional>

using namespace tessaro;
using dialogs::FrmBrowser;
using settings::Key;

namespace {

// Runs steps in order while modal windows run their own loops: each waits until its condition
// holds (looked at every 20 ms), then acts without blocking. After 60 s every modal window is
// closed, so that a test that is stuck fails instead of hanging.
class Script {
public:
    using Step = std::pair<std::function<bool()>, std::function<void()>>;
    explicit Script(std::vector<Step> steps) : m_steps(std::move(steps)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            if (m_next < m_steps.size() && m_steps[m_next].first()) {
                m_steps[m_next++].second();
            } else if (m_clock.elapsed() > 60'000 && QApplication::activeModalWidget()) {
                QApplication::activeModalWidget()->close();
            }
        });
        m_clock.start();
        m_timer.start(20);
    }
    [[nodiscard]] std::size_t StepsDone() const { return m_next; }

private:
    std::vector<Step> m_steps;
    std::size_t m_next = 0;
    QTimer m_timer;
    QElapsedTimer m_clock;
};

template <class T> T *Modal() {
    return qobject_cast<T *>(QApplication::activeModalWidget());
}

// The browser on top once its page has loaded (its caption is the page's title then).
FrmBrowser *Loaded(const char *title = "Tessaro tile server") {
    auto *browser = Modal<FrmBrowser>();
    return browser != nullptr && browser->windowTitle() == title ? browser : nullptr;
}

void Press(QWidget &window, const char *key) {
    window.findChild<QAction *>(key)->trigger();
}

void PressKey(FrmBrowser &browser, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(browser.findChild<QComboBox *>("cboAddress")->lineEdit(), &press);
}

QStringList Addresses(const FrmBrowser &browser) {
    const auto *box = browser.findChild<QComboBox *>("cboAddress");
    QStringList items;
    for (int i = 0; i < box->count(); ++i) {
        items << box->itemText(i);
    }
    return items;
}

class BrowserTest : public test::QtTest {
protected:
    // On the display of the virtual X server: a web view cannot run offscreen.
    static void SetUpTestSuite() { StartApplication("xcb"); }

    BrowserTest() : dialog(settings::SettingsStore::AtFile(home / "store.ini")) {
        server.Start();
        auto state = dialog.ToSettings();
        for (const auto &[key, value] : settings::ServerSettingsFor(server.BaseUrl())) {
            state.Text(key) = value;
        }
        dialog.FromSettings(state);
        dialog.show();
    }

    QString Url(const char *path) const { return QString::fromStdString(server.BaseUrl()) + path; }
    // The found versions the editor on top shows, then written and closed.
    std::function<void()> WriteVersions(std::vector<QString> &seen) {
        return [&seen] {
            auto *editor = Modal<dialogs::FrmGooVersion>();
            using Row = dialogs::FrmGooVersion::Row;
            for (const Row row : {Row::Map, Row::Sat, Row::Land}) {
                seen.push_back(editor->Found(row).text() + (editor->Marked(row) ? " red" : ""));
            }
            editor->findChild<QPushButton *>("CmdWrite")->click();
            editor->findChild<QPushButton *>("CmdOk")->click();
        };
    }

    tileserver::TileServer server;
    dialogs::FrmTessaro dialog;
};

} // namespace

// "Get Versions" opens the browser on the tile server's map page; "Goo version" reads the map
// and satellite versions there, the landscape version on the landscape page, and what the
// editor writes reaches the main dialog. Enter in the address box navigates, other keys do
// not; an address visited twice is listed once, on top. A page's new window opens a second
// browser on the home address.
TEST_F(BrowserTest, GetVersionsReadsTheVersionsOfThePageIntoTheMainDialog) {
    const QString land = Url("/?layer=land");
    const std::string landTile = "/m1/mt?v=w2p.88&hl=ru&x=618&y=319&zoom=7";
    std::vector<QString> found;
    QStringList listed;
    QString secondWindow;
    bool fetchedOnOtherKey = true;
    QElapsedTimer sinceKey;
    FrmBrowser *first = nullptr;
    Script script({
        {[&] { return (first = Loaded()) != nullptr; },
         [&] { first->View().page()->runJavaScript("window.open('/elsewhere')"); }},
        {[&] { return Modal<FrmBrowser>() != first && Loaded() != nullptr; },
         [&] {
             secondWindow =
                 Modal<FrmBrowser>()->findChild<QComboBox *>("cboAddress")->currentText();
             Press(*Modal<FrmBrowser>(), "Exit");
         }},
        {[&] { return Loaded() == first; },
         [&] {
             Screenshot(*first, "frmBrowser.png");
             Press(*first, "Word");
         }},
        {[&] { return Modal<dialogs::FrmGooVersion>() != nullptr; }, WriteVersions(found)},
        {[&] { return Modal<FrmBrowser>() == first; },
         [&] {
             server.ResetStats();
             first->findChild<QComboBox *>("cboAddress")->setEditText(land);
             PressKey(*first, Qt::Key_Left);
             sinceKey.start();
         }},
        {[&] { return sinceKey.elapsed() > 300; },
         [&] {
             fetchedOnOtherKey = server.Stats().requests > 0;
             PressKey(*first, Qt::Key_Return);
         }},
        {[&] { return Loaded() && first->View().url().toString() == land; },
         [&] { PressKey(*first, Qt::Key_Return); }}, // the same address again
        {[&] { return std::ranges::count(server.Targets(), landTile) == 2 && Loaded(); },
         [&] {
             listed = Addresses(*first);
             Press(*first, "Word");
         }},
        {[&] { return Modal<dialogs::FrmGooVersion>() != nullptr; }, WriteVersions(found)},
        {[&] { return Modal<FrmBrowser>() == first; }, [&] { Press(*first, "Exit"); }},
    });
    dialog.findChild<QPushButton *>("CmdGetVersion")->click();
    ASSERT_EQ(script.StepsDone(), 10u);

    EXPECT_EQ(secondWindow, Url("/"));
    EXPECT_FALSE(fetchedOnOtherKey);
    EXPECT_EQ(listed, (QStringList{land, Url("/")}));
    // The page's versions are newer than the dialog's; the map page has no landscape tiles,
    // the landscape page no map tiles.
    EXPECT_EQ(found, (std::vector<QString>{"w2.98&hl=ru red", "41 red", "", "", "41",
                                           "w2p.88&hl=ru red"}));
    const auto state = dialog.ToSettings();
    EXPECT_EQ(std::tuple(state.Text(Key::MapVersion), state.Text(Key::SatVersion),
                         state.Text(Key::LandVersion)),
              std::tuple("w2.98&hl=ru", "41", "w2p.88&hl=ru"));
}

// A bad tile's answer is shown as text, its markup inert, without asking the server again;
// the address box holds the tile's address.
TEST_F(BrowserTest, ABadTileShowsWhatTheServerSent) {
    const std::string url = server.BaseUrl() + "/m0/kh/v=40&x=1&y=2&zoom=15&s=G";
    QString text;
    Script script({
        {[&] { return Loaded(url.c_str()) != nullptr; },
         [&] {
             Loaded(url.c_str())->View().page()->toPlainText([&](const QString &t) { text = t; });
         }},
        {[&] { return !text.isEmpty(); },
         [&] {
             EXPECT_EQ(Addresses(*Modal<FrmBrowser>()), QStringList{QString::fromStdString(url)});
             Screenshot(*Modal<FrmBrowser>(), "frmBrowser-bad-tile.png");
             Press(*Modal<FrmBrowser>(), "Exit");
         }},
    });
    auto state = dialog.ToSettings();
    server.ResetStats();
    dialogs::ShowBadTile(&dialog, state, url, "<html><script>document.write(1)</script>\x01\r\n<b>",
                         12345);
    ASSERT_EQ(script.StepsDone(), 2u);
    EXPECT_EQ(text, QString::fromStdString("The server did not send an image for " + url +
                                           "\n\nIt sent 12345 bytes, beginning:\n\n"
                                           "<html><script>document.write(1)</script>.\n<b>"));
    EXPECT_EQ(server.Stats().requests, 0u);
}
