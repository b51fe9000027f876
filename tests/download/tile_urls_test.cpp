#include "download/tile_urls.h"

#include "common/error.h"
#include "download/source_file.h"
#include "download/url_template.h"
#include "settings/local_servers.h"

#include <gtest/gtest.h>

#include <locale>

using namespace tessaro;
using settings::Key;
using settings::Settings;
using tiles::TilesType;

// Google addresses end in (3x + y) mod 8 letters of "Galileo"; landscape prefixes turn every
// "/vt" (case-sensitive) into "/mt"; ScanEx has one server for all four mirrors, and its list
// files name a tile by its centre, written with a decimal point whatever the locale. The
// satellite, map and relief forms of the list files are in load_run_test's list files.
TEST(TileUrls, DownloadAndListFileAddressesOfEveryForm) {
    auto s = Settings::FirstOpening();
    for (const auto &[key, value] : settings::ServerSettingsFor("http://h")) {
        s.Text(key) = value;
    }
    s.Text(Settings::SatServer(3)) = "  http://h/m3/kh  "; // blanks trimmed, tabs kept
    s.Text(Key::SatVersion) = " 49\t";
    s.Text(Settings::MapServer(1)) = "http://h/m1/vt/lyrs/vt";
    s.Text(Settings::MapServer(2)) = "http://h/m2/VT";
    struct Comma : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
    };
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new Comma));
    const struct {
        TilesType type;
        int mirror, col, row, level;
        const char *url;
        bool listFile = false;
        double x = 0, y = 0;
    } cases[] = {
        {TilesType::GoogleSat, 0, 5, 3, 3, "http://h/m0/kh/v=49\t&x=5&y=3&zoom=15&s=Ga"},
        {TilesType::GoogleSat, 3, 8, 0, 17, "http://h/m3/kh/v=49\t&x=8&y=0&zoom=1&s="},
        {TilesType::GoogleMap, 1, 7, 9, 18,
         "http://h/m1/vt/lyrs/vt/v=w2.97&hl=ru&x=7&y=9&zoom=0&s=Galile"},
        {TilesType::GoogleLand, 0, 2, 1, 19,
         "http://h/m0/mt/v=w2p.87&hl=ru&x=2&y=1&zoom=0&s=Galileo"},
        {TilesType::GoogleLand, 1, 0, 1, 4,
         "http://h/m1/mt/lyrs/mt/v=w2p.87&hl=ru&x=0&y=1&zoom=14&s=G"},
        {TilesType::GoogleLand, 2, 0, 0, 4, "http://h/m2/VT/v=w2p.87&hl=ru&x=0&y=0&zoom=14&s="},
        {TilesType::ScanMap, 3, -3, 5, 10, "http://h/printtilesrescaled/?t=map&zt=n&x=-3&y=5&z=10"},
        {TilesType::ScanSat, 1, 3, 5, 10,
         "http://h/printtilesrescaled/?t=image_&zt=n&x=3&y=5&z=10"},
        {TilesType::YandSat, 1, 600, 300, 10, "http://h/m1/tiles?l=sat&v=1.6.0&x=600&y=300&z=10"},
        {TilesType::YandMap, 2, 1, 2, 10, "http://h/m2/tiles?l=map&v=2.2.1&x=1&y=2&z=10"},
        {TilesType::Shade, 0, 17, 9, 5, "http://h/layer/relief/z5/row9/5_17-9.jpg"},
        {TilesType::GoogleLand, 3, 5, 3, 19,
         "http://h/m3/vt/mt?n=404&v=w2p.87&hl=ru&x=5&y=3&zoom=0", true},
        // Half of a level-1 tile is pi * 6378137 / 2 metres.
        {TilesType::ScanSat, 0, 0, 0, 1,
         "http://h/printtilesrescaled/?t=image_&zt=n&x=10019754.1713946&y=10016753.6713946&z=1",
         true, 1000, -2000.5},
        {TilesType::YandMap, 1, 4, 2, 10, "http://h/m1/tiles?l=map&v=2.2.1&x=4&y=2&z=10", true},
    };
    for (const auto &c : cases) {
        const tiles::TileRecord r{c.col, c.row, c.x, c.y, 0, 0, {}};
        const auto url = c.listFile ? download::ListFileUrl(download::ListFilePrefixes(s, c.type),
                                                            c.mirror, c.type, r, c.level)
                                    : download::TileUrl(download::DownloadPrefixes(s, c.type),
                                                        c.mirror, c.type, r, c.level);
        EXPECT_EQ(url, c.url);
    }
    std::locale::global(previous);
}

// That f refuses its input with a message holding part.
template <typename F> void ExpectRefused(F f, const std::string &part) {
    try {
        f();
        ADD_FAILURE() << "taken: " << part;
    } catch (const ArgumentError &e) {
        EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
}

// A template fills each placeholder wherever it stands, {-y} counting from the south and {s}
// taking the mirrors in turn; templates that name no tile, an unknown or unclosed placeholder,
// {s} without mirrors or another scheme are refused naming what is wrong.
TEST(UrlTemplate, FillsItsPlaceholdersAndRefusesWhatNamesNoTile) {
    tiles::TileRecord r;
    r.col = 2476;
    r.row = 1280;
    const download::UrlTemplate osm{
        "https://{s}.tile.example/{z}/{x}/{y}.png?r={-y}", {"a", "b", "c"}, "osm", ""};
    download::ValidateUrlTemplate(osm);
    EXPECT_EQ(download::TemplateUrl(osm, 0, r, 12),
              "https://a.tile.example/12/2476/1280.png?r=2815");
    EXPECT_EQ(download::TemplateUrl(osm, 4, r, 12),
              "https://b.tile.example/12/2476/1280.png?r=2815");
    const download::UrlTemplate quad{"http://h/t{q}.jpeg?x={x}", {}, "q", ""};
    download::ValidateUrlTemplate(quad);
    EXPECT_EQ(download::TemplateUrl(quad, 0, r, 12), "http://h/t120310101100.jpeg?x=2476");
    EXPECT_EQ(download::ParseMirrors("a,b"), (std::vector<std::string>{"a", "b"}));
    EXPECT_THROW((void)download::ParseMirrors("a,,b"), ArgumentError);

    const std::pair<std::string, std::string> refused[] = {
        {"http://h/{z}/{x}.png", "names no tile"},
        {"http://h/{z}/{x}/{y}/{w}.png", "unknown placeholder '{w}'"},
        {"http://h/{z}/{x}/{y", "unknown placeholder '{y'"},
        {"http://h/{z}/{x}/y}", "'}' at character 19"},
        {"http://{s}/{q}", "no mirrors are given"},
        {"ftp://h/{q}", "must start with http:// or https://"},
    };
    for (const auto &[text, part] : refused) {
        ExpectRefused([&] { download::ValidateUrlTemplate({text, {}, "t", ""}); }, part);
    }
}

// A sources file gives each section's template source with its keys; a file that does not
// parse is refused naming its line and what is wrong there.
TEST(SourceFile, ReadsItsSourcesAndNamesTheLineOfAFault) {
    const auto sources = download::ParseSources("; comment\r\n[osm]\r\n"
                                                "Template = https://{s}.t/{z}/{x}/{y}.png\n"
                                                "mirrors = a,b\ntype = JPG\nzoom = 2-19\n"
                                                "max_rate = 1.5\nuser_agent = me\n\n"
                                                "[q]\ntemplate = http://h/{q}\n",
                                                "s.ini");
    ASSERT_EQ(sources.size(), 2u);
    const auto &osm = sources[0];
    EXPECT_EQ(std::tuple(osm.source.name, osm.source.mirrors.size(), osm.source.fileType,
                         osm.minZoom, osm.maxZoom, *osm.maxRate, osm.userAgent),
              std::tuple("osm", 2u, "jpg", 2, 19, 1.5, "me"));
    EXPECT_EQ(std::tuple(sources[1].source.text, sources[1].minZoom, sources[1].maxZoom),
              std::tuple("http://h/{q}", 0, 22));
    const std::pair<std::string, std::string> refused[] = {
        {"template = http://h/{q}", "line 1: 'template = http://h/{q}' stands before"},
        {"[a]\ntemplate = http://h/{q}\n[a]", "line 3: the source [a] is named twice"},
        {"[a]\n\nmirrors = a", "line 1: the source [a] has no template"},
        {"[a]\ntemplate = http://h/{z}", "line 1: the source [a]: The URL template"},
        {"[a]\ntemplate = http://h/{q}\nzoom = 3-2", "line 3: zoom must be"},
        {"[a]\ntemplate = http://h/{q}\nmax_rate = 0", "line 3: max_rate must be"},
        {"[a]\ntemplate = http://h/{q}\ntype = gif", "line 3: type must be"},
        {"[a]\ncolour = red", "line 2: unknown key 'colour'"},
        {"[a\n", "line 1: a section is"},
        {"[a]\njust text", "line 2: a line is [name] or key = value"},
    };
    for (const auto &[text, part] : refused) {
        ExpectRefused([&] { (void)download::ParseSources(text, "s.ini"); }, "s.ini, " + part);
    }
}
