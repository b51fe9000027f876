// The commands that read a request (list, estimate), usage errors, help, the mosaic options and
// the progress line.
#include "cli/mosaic_options.h"
#include "cli/terminal_ui.h"
#include "cli_support.h"
#include "common/error.h"

using namespace tessaro;

namespace {

using CliTest = test::CliTest;

// The list the independent Python reference gives for a request.
std::string Reference(int type, int level, const std::string &extent) {
    auto r = test::RunProcess(
        {PYTHON3, REFERENCE_GRID, std::to_string(type), std::to_string(level), extent});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

struct Request {
    const char *source;
    const char *kind;
    int type;
    int level;
    std::string extent;
};

// Every type, several levels, points, world-wide extents and extents beyond the grid's edges.
const Request kRequests[] = {
    {"goo", "sat", 0, 15, "37.8,38.2,55.2,55.8"},
    {"goo", "sat", 1, 1, "-80,80,-170,170"},
    {"goo", "map", 1, 2, "-85,85,-180,179.99"},
    {"goo", "land", 12, 9, "40,41,-75,-74"},
    {"goo", "sat", 0, 22, "55.75,55.7501,37.61,37.6101"},
    {"goo", "map", 1, 4, "60,90,170,180"},
    {"goo", "sat", 0, 3, "-90,-89,-180,-180"},
    {"scan", "sat", 2, 1, "10,20,10,20"},
    {"scan", "map", 3, 10, "-12.5,-11,30,31"},
    {"scan", "sat", 2, 17, "0,0.01,0,0.01"},
    {"shade", "sat", 4, 5, "-85,89,100,180"},
    {"shade", "sat", 4, 9, "45,46,6,7"},
    {"yand", "sat", 50, 6, "-89.9,89.9,-180,180"},
    {"yand", "map", 51, 1, "10,20,10,20"},
    {"yand", "map", 51, 14, "55.7,55.8,37.5,37.7"},
};

} // namespace

// The list, with the options split from their values, and the estimate, with them joined, for
// every request against the independent reference; a list file appears only complete.
TEST_F(CliTest, ListAndEstimateAgreeWithTheIndependentReferenceForEveryType) {
    for (const auto &q : kRequests) {
        SCOPED_TRACE(std::string(q.source) + " " + q.kind + " " + std::to_string(q.level) + " " +
                     q.extent);
        const std::string expected = Reference(q.type, q.level, q.extent);
        ASSERT_FALSE(expected.empty());
        const auto list = Tessaro({"list", "--source", q.source, "--kind", q.kind, "--level",
                                   std::to_string(q.level), "--extent", q.extent});
        ASSERT_EQ(list.exitCode, 0) << list.err;
        EXPECT_EQ(list.err, "");
        EXPECT_EQ(list.out, expected);

        const auto estimate = Tessaro(
            {"estimate", "--source=" + std::string(q.source), "--kind=" + std::string(q.kind),
             "--level=" + std::to_string(q.level), "--extent=" + q.extent});
        ASSERT_EQ(estimate.exitCode, 0) << estimate.err;
        EXPECT_EQ(estimate.err, "");
        // 26 KB a satellite tile, 11.5 KB a map tile.
        const auto n = static_cast<std::size_t>(std::count(expected.begin(), expected.end(), '\n'));
        const std::string size = std::string(q.kind) == "sat"
                                     ? std::to_string(n * 26)
                                     : std::to_string(n * 23 / 2) + (n % 2 == 1 ? ".5" : "");
        EXPECT_EQ(estimate.out, "tiles: " + std::to_string(n) + "\nsize: " + size + "\n");
        if (&q == &kRequests[0]) {
            EXPECT_EQ(Tessaro({"estimate"}).out, estimate.out) << "the dialog's start request";
        }
    }
    const auto file = tiles / "tiles.txt";
    const auto r = Tessaro({"list", "--source=yand", "--level", "14",
                            "--extent=55.7,55.8,37.5,37.7", "--output", file.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(test::ReadFile(file), Reference(50, 14, "55.7,55.8,37.5,37.7"));
}

// Bad input is a usage error (exit 2) named on standard error; list and estimate read the
// request alike, so each case is tried with one of them in turn.
TEST_F(CliTest, BadInputIsAUsageError) {
    std::vector<std::vector<std::string>> requests = {
        {"--level"},          {"--bogus"},         {"stray"}, {"--level=3", "--level=4"},
        {"--source", "bing"}, {"--kind", "hybrid"}};
    requests.insert(requests.end(), {{"--mirrors", "a"}, {"--url-template", "http://h/{z}"}});
    for (const char *level : {"0", "23", "abc", "7.5"}) {
        requests.push_back({"--level", level});
    }
    for (const char *extent : {"nan,1,2,3", "1,inf,2,3", "1,2,3", "1,2,3,4,5", "1,2,x,4", "1,,3,4",
                               "20,10,30,31", "10,20,31,30", "10,91,30,31", "10,20,-181,31"}) {
        requests.push_back({"--extent", extent});
    }
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const std::string command = i % 2 == 0 ? "list" : "estimate";
        auto args = requests[i];
        args.insert(args.begin(), command);
        const auto r = Tessaro(args);
        EXPECT_EQ(r.exitCode, 2) << command << " " << args[1] << r.err;
        EXPECT_EQ(r.out, "") << args[1];
        EXPECT_TRUE(r.err.starts_with("tessaro " + command + ": ")) << args[1] << r.err;
    }
    const std::pair<std::vector<std::string>, std::string> others[] = {
        {{}, "Usage: tessaro COMMAND"},
        {{"frobnicate"}, "tessaro: unknown command 'frobnicate'"},
        {{"load", "--set", "txtNoSuch=1", "--set", "alsoNot=2"}, "'txtNoSuch', 'alsoNot'"},
        {{"load", "--set", "txtLevel=30"}, "tessaro load: "},
        {{"load", "--extent", "10,91,30,31"}, "tessaro load: Latitudes must lie between -90"},
        {{"load", "--extent=-10,20,30,181"}, "tessaro load: Longitudes must lie between -180"},
        {{"settings"}, "Say what to do: show, save or load."},
        {{"settings", "erase"}, "Unknown action 'erase'"},
        {{"settings", "load", "--set", "txtLevel=3"}, "'load' takes no --set"},
        {{"settings", "save", "--set", "txtUserAgent=two\nlines"}, "txtUserAgent needs a name"},
        {{"load", "--set", "TXTUSERAGENT= "}, "txtUserAgent needs a name on one line"},
        {{"load", "--combine"}, "--combine needs --mosaic OUT."},
        {{"load", "--mosaic="}, "--mosaic needs the name of the raster to build."},
        {{"load", "--mosaic", "m.tif", "--resample", "Bilinear"},
         "--resample takes \"NearestNeighbor\", \"BilinearInterpolation\" or "
         "\"CubicConvolution\", not \"Bilinear\"."},
        {{"load", "--mosaic", "m.tif", "--compress", "zip"}, "not \"zip\"."},
        {{"load", "--project-layers", "level"}, "--project-layers needs --project."},
        {{"load", "--project", "p.qgs", "--project-layers", "all"}, "must be level or tile"},
    };
    for (const auto &[args, message] : others) {
        EXPECT_TRUE(Exited(Tessaro(args), 2, message)) << message;
    }
}

// A check that stops a command exits 1 with its message; so does a standard output that fails.
TEST_F(CliTest, ChecksThatStopACommand) {
    const std::tuple<std::vector<std::string>, std::string, std::string> cases[] = {
        {{"list", "--source", "shade", "--kind", "map"},
         "",
         "Не поддерживаемый сервер или тип карты\n"},
        {{"estimate", "--source", "scan", "--kind", "land"},
         "",
         "Не поддерживаемый сервер или тип карты\n"},
        {{"estimate", "--level", "22", "--extent=-80,80,-170,170"},
         "tiles: 0\nsize: 0\n",
         "Переполнение! Очень много выбрано блоков\n"},
    };
    for (const auto &[args, out, err] : cases) {
        const auto r = Tessaro(args);
        EXPECT_EQ(std::tuple(r.exitCode, r.out, r.err), std::tuple(1, out, err));
    }
    const auto missing = tiles / "no" / "folder.txt";
    EXPECT_TRUE(Exited(Tessaro({"list", "--output", missing.string()}), 1, missing.string()));
    // Refused before the first tile is fetched: no server is asked.
    EXPECT_TRUE(Exited(Tessaro({"load", "--source", "yand", "--dir", tiles.Path().string(),
                                "--store", (tiles / "s.mbtiles").string()}),
                       1, "ellipsoidal grid"));
    EXPECT_TRUE(Exited(test::RunProcess({"/bin/sh", "-c",
                                         std::string("exec '") + TESSARO_BINARY +
                                             "' list --level 14 --extent=50,60,30,40 > /dev/full"}),
                       1, "standard output"));
}

// The general help names every command and the exit codes; each command's help starts with
// its usage line and documents its exit codes, on standard output.
TEST_F(CliTest, HelpNamesEveryCommandAndItsExitCodes) {
    const auto general = Tessaro({"--help"});
    EXPECT_EQ(general.exitCode, 0);
    EXPECT_NE(general.out.find("Exit codes"), std::string::npos);
    for (const std::string command : {"estimate", "list", "load", "extent", "settings", "demo"}) {
        EXPECT_NE(general.out.find("  " + command + " "), std::string::npos) << command;
        const auto r = Tessaro({command, "--help"});
        EXPECT_EQ(std::tuple(r.exitCode, r.err), std::tuple(0, "")) << command;
        EXPECT_TRUE(r.out.starts_with("Usage: tessaro " + command)) << r.out;
        EXPECT_NE(r.out.find("Exit codes"), std::string::npos) << command;
    }
}

// Every mosaic option reaches its field; refusals are the usage errors above.
TEST(MosaicOptions, ReadFromTheCommandLine) {
    const auto read = [](const std::vector<std::string> &args) {
        const std::vector<cli::OptionSpec> specs(cli::kMosaicOptions.begin(),
                                                 cli::kMosaicOptions.end());
        return cli::ReadMosaicOptions(cli::ParseOptions(args, specs));
    };
    EXPECT_FALSE(read({}));
    const auto full = read({"--mosaic=m.img", "--combine", "--mosaic-type", "MT_MIN",
                            "--colormap-mode", "MM_MATCH", "--resample", "CubicConvolution",
                            "--datatype", "unsigned 16 bit", "--compress", "deflate", "--cog"});
    ASSERT_TRUE(full);
    EXPECT_EQ(std::tuple(full->output, full->combine, full->mosaicOperator, full->colormapMode,
                         full->resampling, full->pixelType, full->compression, full->cog),
              std::tuple("m.img", true, mosaic::MosaicOperator::Min, mosaic::ColormapMode::Match,
                         mosaic::Resampling::CubicConvolution, mosaic::PixelType::U16,
                         mosaic::Compression::Deflate, true));
    EXPECT_THROW((void)read({"--mosaic", "m.tif", "--datatype", "8 bit"}), ArgumentError);
}

// The progress line: the rate and time left only once there is a rate to tell.
TEST(ProgressLine, SaysHowFarAndHowLong) {
    using std::chrono::duration;
    const std::tuple<std::int64_t, std::int64_t, double, std::int64_t, std::string> cases[] = {
        {0, 40, 5.0, 0, "L 0/40 (0 %)"},
        {3, 40, 0.2, 900, "L 3/40 (7 %)"},
        {5, 40, 2.0, 830, "L 5/40 (12 %), 2.5 tiles/s, 830 B, 14 s left"},
        {1200, 4096, 2.9, 5'300'000, "L 1200/4096 (29 %), 414 tiles/s, 5.3 MB, 7 s left"},
        {100, 2100, 10.0, 0, "L 100/2100 (4 %), 10 tiles/s, 3 min 20 s left"},
        {10, 766, 100.0, 2'000'000'000, "L 10/766 (1 %), 0.1 tiles/s, 2.0 GB, 2 h 06 min left"},
        {40, 40, 8.0, 12'000, "L 40/40 (100 %), 5.0 tiles/s, 12.0 kB"},
    };
    for (const auto &[value, maximum, seconds, bytes, line] : cases) {
        EXPECT_EQ(cli::ProgressLine("L", value, maximum, duration<double>(seconds), bytes), line);
    }
}

// Without a terminal a progress line is written every ten seconds of a pass, none before;
// --quiet writes none.
TEST(TerminalUi, ProgressWithoutATerminalIsALineEveryTenSeconds) {
    for (const bool quiet : {false, true}) {
        std::chrono::steady_clock::time_point now{};
        std::FILE *err = std::tmpfile();
        ASSERT_NE(err, nullptr);
        {
            cli::TerminalUi ui(err, nullptr, nullptr, [&] { return now; });
            ui.SetQuiet(quiet);
            now += std::chrono::minutes(1); // the pass starts later than the program
            ui.SetProgressLabel("Load from Goo");
            ui.SetProgress(0, 250);
            for (int i = 1; i <= 250; ++i) {
                now += std::chrono::milliseconds(100);
                ui.SetProgressBytes(i * 5000);
                ui.SetProgress(i, 250);
            }
        }
        std::rewind(err);
        std::string text(4096, '\0');
        text.resize(std::fread(text.data(), 1, text.size(), err));
        std::fclose(err);
        EXPECT_EQ(text, quiet ? ""
                              : "Load from Goo 100/250 (40 %), 10 tiles/s, 500.0 kB, 15 s left\n"
                                "Load from Goo 200/250 (80 %), 10 tiles/s, 1.0 MB, 5 s left\n");
    }
}
