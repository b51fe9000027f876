#include "cli/mosaic_options.h"
#include "common/error.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using tessaro::test::ProcessResult;
using tessaro::test::RunProcess;
using namespace tessaro;

namespace {

ProcessResult Tessaro(std::vector<std::string> args) {
    args.insert(args.begin(), TESSARO_BINARY);
    return RunProcess(args);
}

// The list the independent Python reference gives for a request.
std::string Reference(int type, int level, const std::string &lat1, const std::string &lat2,
                      const std::string &lon1, const std::string &lon2) {
    auto r = RunProcess({PYTHON3, REFERENCE_GRID, std::to_string(type), std::to_string(level), lat1,
                         lat2, lon1, lon2});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

std::size_t Lines(const std::string &text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

struct Request {
    const char *source;
    const char *kind;
    int type;
    int level;
    const char *lat1, *lat2, *lon1, *lon2;
};

// Every type, several levels, points, world-wide extents and extents beyond the grid's edges.
const Request kRequests[] = {
    {"goo", "sat", 0, 15, "37.8", "38.2", "55.2", "55.8"},
    {"goo", "sat", 1, 1, "-80", "80", "-170", "170"},
    {"goo", "map", 1, 2, "-85", "85", "-180", "179.99"},
    {"goo", "land", 12, 9, "40", "41", "-75", "-74"},
    {"goo", "sat", 0, 22, "55.75", "55.7501", "37.61", "37.6101"},
    {"goo", "map", 1, 4, "60", "90", "170", "180"},
    {"goo", "sat", 0, 3, "-90", "-89", "-180", "-180"},
    {"scan", "sat", 2, 1, "10", "20", "10", "20"},
    {"scan", "map", 3, 10, "-12.5", "-11", "30", "31"},
    {"scan", "sat", 2, 17, "0", "0.01", "0", "0.01"},
    {"shade", "sat", 4, 5, "-85", "89", "100", "180"},
    {"shade", "sat", 4, 9, "45", "46", "6", "7"},
    {"yand", "sat", 50, 6, "-89.9", "89.9", "-180", "180"},
    {"yand", "map", 51, 1, "10", "20", "10", "20"},
    {"yand", "map", 51, 14, "55.7", "55.8", "37.5", "37.7"},
};

} // namespace

// The list, with the options split from their values, and the estimate, with them joined, for
// every request against the independent reference.
TEST(ListAndEstimate, AgreeWithTheIndependentReferenceForEveryType) {
    for (const auto &q : kRequests) {
        const std::string extent = std::string(q.lat1) + "," + q.lat2 + "," + q.lon1 + "," + q.lon2;
        SCOPED_TRACE(std::string(q.source) + " " + q.kind + " " + std::to_string(q.level) + " " +
                     extent);
        const std::string expected = Reference(q.type, q.level, q.lat1, q.lat2, q.lon1, q.lon2);
        ASSERT_FALSE(expected.empty());
        const auto list = Tessaro({"list", "--source", q.source, "--kind", q.kind, "--level",
                                   std::to_string(q.level), "--extent", extent});
        ASSERT_EQ(list.exitCode, 0) << list.err;
        EXPECT_EQ(list.err, "");
        EXPECT_EQ(list.out, expected);

        const auto estimate = Tessaro({"estimate", "--source=" + std::string(q.source),
                                       "--kind=" + std::string(q.kind),
                                       "--level=" + std::to_string(q.level), "--extent=" + extent});
        ASSERT_EQ(estimate.exitCode, 0) << estimate.err;
        EXPECT_EQ(estimate.err, "");
        // 26 KB a satellite tile, 11.5 KB a map tile.
        const std::size_t n = Lines(expected);
        const std::string size = std::string(q.kind) == "sat"
                                     ? std::to_string(n * 26)
                                     : std::to_string(n * 23 / 2) + (n % 2 == 1 ? ".5" : "");
        EXPECT_EQ(estimate.out, "tiles: " + std::to_string(n) + "\nsize: " + size + "\n");
        if (&q == &kRequests[0]) {
            EXPECT_EQ(Tessaro({"estimate"}).out, estimate.out) << "the dialog's start request";
        }
    }
}

TEST(RequestOptions, BadInputIsAUsageError) {
    const std::vector<std::vector<std::string>> cases = {
        {"--level", "0"},
        {"--level", "23"},
        {"--level", "abc"},
        {"--level", "7.5"},
        {"--level"},
        {"--extent", "nan,1,2,3"},
        {"--extent", "1,inf,2,3"},
        {"--extent", "1,2,3"},
        {"--extent", "1,2,3,4,5"},
        {"--extent", "1,2,x,4"},
        {"--extent", "1,,3,4"},
        {"--extent", "20,10,30,31"},
        {"--extent", "10,20,31,30"},
        {"--extent", "10,91,30,31"},
        {"--extent", "10,20,-181,31"},
        {"--source", "bing"},
        {"--kind", "hybrid"},
        {"--bogus"},
        {"--level=3", "--level=4"},
        {"stray"},
    };
    // Both commands read the request alike: each case is tried with one of them in turn.
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string command = i % 2 == 0 ? "list" : "estimate";
        auto args = cases[i];
        args.insert(args.begin(), command);
        const auto r = Tessaro(args);
        std::string shown;
        for (const auto &a : args)
            shown += a + " ";
        EXPECT_EQ(r.exitCode, 2) << shown << r.err;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_NE(r.err.find("tessaro " + command + ": "), std::string::npos) << shown << r.err;
    }
    EXPECT_EQ(Tessaro({}).exitCode, 2);
    EXPECT_EQ(Tessaro({"frobnicate"}).exitCode, 2);
}

TEST(RequestOptions, UnsupportedSourceAndKind) {
    const std::pair<const char *, const char *> pairs[] = {
        {"shade", "map"}, {"scan", "land"}, {"yand", "land"}, {"shade", "land"}};
    for (std::size_t i = 0; i < std::size(pairs); ++i) {
        const auto r = Tessaro({i % 2 == 0 ? "list" : "estimate", "--source", pairs[i].first,
                                "--kind", pairs[i].second});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Не поддерживаемый сервер или тип карты\n");
    }
}

TEST(EstimateCommand, OverflowPrintsTheMessageAndZero) {
    const auto r = Tessaro({"estimate", "--level", "22", "--extent=-80,80,-170,170"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "tiles: 0\nsize: 0\n");
    EXPECT_EQ(r.err, "Переполнение! Очень много выбрано блоков\n");
}

TEST(ListCommand, OutputFileAppearsWholeOrNotAtAll) {
    tessaro::test::TempDir dir;
    const auto file = dir / "tiles.txt";
    const auto r = Tessaro({"list", "--level", "12", "--output", file.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::ifstream in(file, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), Tessaro({"list", "--level", "12"}).out);

    const auto missing = dir / "no" / "such" / "folder.txt";
    const auto bad = Tessaro({"list", "--output", missing.string()});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.err.find(missing.string()), std::string::npos) << bad.err;
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(ListCommand, AFullStandardOutputIsAFailure) {
    const auto r = RunProcess({"/bin/sh", "-c",
                               std::string("exec '") + TESSARO_BINARY +
                                   "' list --level 14 --extent=50,60,30,40 > /dev/full"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("standard output"), std::string::npos) << r.err;
}

// The general help names every command and the exit codes; each command's help starts with
// its usage line and documents its exit codes, on standard output.
TEST(Help, NamesEveryCommandAndItsExitCodes) {
    const auto general = Tessaro({"--help"});
    EXPECT_EQ(general.exitCode, 0);
    for (const char *command :
         {"estimate", "list", "load", "extent", "settings", "serve", "demo"}) {
        SCOPED_TRACE(command);
        EXPECT_NE(general.out.find(std::string("  ") + command + " "), std::string::npos);
        const auto r = Tessaro({command, "--help"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out.rfind(std::string("Usage: tessaro ") + command, 0), 0u) << r.out;
        EXPECT_NE(r.out.find("Exit codes"), std::string::npos);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_NE(general.out.find("Exit codes"), std::string::npos);
    EXPECT_NE(Tessaro({"list", "--help"}).out.find("--output FILE"), std::string::npos);
}

namespace {

cli::ParsedOptions ParseMosaic(const std::vector<std::string> &args) {
    std::vector<cli::OptionSpec> specs(cli::kMosaicOptions.begin(), cli::kMosaicOptions.end());
    return cli::ParseOptions(args, specs);
}

} // namespace

TEST(MosaicOptions, ReadFromTheCommandLine) {
    EXPECT_FALSE(cli::ReadMosaicOptions(ParseMosaic({})));

    const auto plain = cli::ReadMosaicOptions(ParseMosaic({"--mosaic", "out/m.tif"}));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->output, "out/m.tif");
    EXPECT_FALSE(plain->combine);
    EXPECT_FALSE(plain->mosaicOperator);
    EXPECT_FALSE(plain->colormapMode);
    EXPECT_EQ(plain->resampling, mosaic::Resampling::NearestNeighbor);
    EXPECT_FALSE(plain->pixelType);

    const auto full = cli::ReadMosaicOptions(ParseMosaic(
        {"--mosaic=m.img", "--combine", "--mosaic-type", "MT_MIN", "--colormap-mode", "MM_MATCH",
         "--resample", "CubicConvolution", "--datatype", "unsigned 16 bit"}));
    ASSERT_TRUE(full);
    EXPECT_TRUE(full->combine);
    EXPECT_EQ(full->mosaicOperator, mosaic::MosaicOperator::Min);
    EXPECT_EQ(full->colormapMode, mosaic::ColormapMode::Match);
    EXPECT_EQ(full->resampling, mosaic::Resampling::CubicConvolution);
    EXPECT_EQ(full->pixelType, mosaic::PixelType::U16);

    auto refusal = [](const std::vector<std::string> &args) -> std::string {
        try {
            (void)cli::ReadMosaicOptions(ParseMosaic(args));
        } catch (const ArgumentError &e) {
            return e.what();
        }
        return "accepted";
    };
    EXPECT_EQ(refusal({"--mosaic", "m.tif", "--resample", "Bilinear"}),
              "--resample takes \"NearestNeighbor\", \"BilinearInterpolation\" or "
              "\"CubicConvolution\", not \"Bilinear\".");
    EXPECT_EQ(refusal({"--combine"}), "--combine needs --mosaic OUT.");
    EXPECT_THROW((void)cli::ReadMosaicOptions(ParseMosaic({"--mosaic", ""})), ArgumentError);
    EXPECT_THROW(
        (void)cli::ReadMosaicOptions(ParseMosaic({"--mosaic", "m.tif", "--datatype", "8 bit"})),
        ArgumentError);
}
