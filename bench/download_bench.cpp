// Download speed against nginx on loopback serving 256×256 JPEG tiles of about 13 KB, side by
// side with curl and aria2c fetching the same addresses into an empty folder.
#include "bench_requests.h"
#include "download/tile_urls.h"
#include "nginx.h"
#include "settings/settings.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

// One nginx for the whole program, answering every address with the same 13 KB tile.
bench::NginxServer &Server() {
    static fs::path root = [] {
        char pattern[] = "/tmp/tessaro-bench-tiles-XXXXXX";
        fs::path dir = ::mkdtemp(pattern);
        std::string tile = "\xFF\xD8\xFF\xE0";
        tile += std::string("\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 16);
        tile += std::string("\xFF\xC0\x00\x11\x08\x01\x00\x01\x00\x03", 10);
        std::mt19937 gen(1);
        while (tile.size() < 13 * 1024 - 2) {
            tile += static_cast<char>(gen() & 0x7F);
        }
        tile += "\xFF\xD9"; // the end-of-image marker: a whole JPEG, as a load checks

        std::ofstream(dir / "tile.jpg", std::ios::binary) << tile;
        return dir;
    }();
    static bench::NginxServer server(root, "tile.jpg");
    return server;
}

struct ChildRun {
    double seconds = 0;
    long maxRssKb = 0;
    int status = -1;
};

ChildRun Run(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (auto &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ChildRun run;
    rusage usage{};
    ::wait4(pid, &run.status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.maxRssKb = usage.ru_maxrss;
    return run;
}

tiles::TileRequest RequestOf(std::int64_t tiles) {
    const auto side =
        static_cast<std::int64_t>(std::llround(std::sqrt(static_cast<double>(tiles))));
    return bench::SquareRequest(tiles::TilesType::GoogleSat, 14, side);
}

// The addresses tessaro builds for the request, and the files they go to.
std::vector<std::pair<std::string, std::string>> Addresses(const tiles::TileRequest &request,
                                                           const fs::path &dir) {
    auto s = settings::Settings::FirstOpening();
    for (int k = 0; k < 4; ++k) {
        s.Text(settings::Settings::SatServer(k)) =
            "http://127.0.0.1:" + std::to_string(Server().Port()) + "/m" + std::to_string(k) +
            "/kh";
    }
    const auto prefixes = download::DownloadPrefixes(s, tiles::TilesType::GoogleSat);
    std::vector<std::pair<std::string, std::string>> out;
    tiles::TileStream stream(request);
    tiles::TileRecord r;
    std::int64_t i = 0;
    while (stream.Next(r)) {
        out.emplace_back(download::TileUrl(prefixes, static_cast<int>(i++ % 4),
                                           tiles::TilesType::GoogleSat, r, request.level),
                         (dir / (r.name.Str() + ".jpg")).string());
    }
    return out;
}

// Runs one download command per iteration into an empty folder and reports tiles per second.
template <typename Make> void Measure(benchmark::State &state, Make makeArgs) {
    const auto request = RequestOf(state.range(0));
    const auto tiles = tiles::TileStream(request).Size();
    char pattern[] = "/tmp/tessaro-bench-out-XXXXXX";
    const fs::path dir = ::mkdtemp(pattern);
    double seconds = 0;
    long maxRss = 0;
    for (auto _ : state) {
        fs::remove_all(dir / "files");
        fs::create_directories(dir / "files");
        // Every run starts with the disk's write-back of earlier runs done, so that no tool
        // pays for the files of the one before.
        ::sync();
        const auto run = Run(makeArgs(request, dir));
        if (run.status != 0) {
            state.SkipWithError("the download command failed");
            break;
        }
        state.SetIterationTime(run.seconds);
        seconds += run.seconds;
        maxRss = std::max(maxRss, run.maxRssKb);
    }
    fs::remove_all(dir);
    state.counters["tiles"] = static_cast<double>(tiles);
    state.counters["tiles_per_second"] =
        seconds > 0 ? static_cast<double>(tiles) * static_cast<double>(state.iterations()) / seconds
                    : 0;
    state.counters["max_rss_kb"] = static_cast<double>(maxRss);
}

void BM_Tessaro(benchmark::State &state) {
    const auto connections = state.range(1);
    Measure(state, [&](const tiles::TileRequest &r, const fs::path &dir) {
        std::vector<std::string> args = {TESSARO_BINARY,
                                         "load",
                                         "--level",
                                         std::to_string(r.level),
                                         "--extent=" + bench::ExtentText(r),
                                         "--dir",
                                         (dir / "files").string(),
                                         "--connections",
                                         std::to_string(connections),
                                         "--tiles-at-once",
                                         "1000000000",
                                         "--config",
                                         (dir / "store.ini").string()};
        for (int k = 0; k < 4; ++k) {
            args.push_back("--set");
            args.push_back("txtSatServer_" + std::to_string(k) + "=http://127.0.0.1:" +
                           std::to_string(Server().Port()) + "/m" + std::to_string(k) + "/kh");
        }
        return args;
    });
}

std::string WriteCurlConfig(const tiles::TileRequest &r, const fs::path &dir) {
    const auto config = (dir / "curl.conf").string();
    std::ofstream out(config);
    for (const auto &[url, file] : Addresses(r, dir / "files")) {
        out << "url = \"" << url << "\"\noutput = \"" << file << "\"\n";
    }
    return config;
}

void BM_CurlSequential(benchmark::State &state) {
    Measure(state, [](const tiles::TileRequest &r, const fs::path &dir) {
        return std::vector<std::string>{"curl", "-s", "-K", WriteCurlConfig(r, dir)};
    });
}

void BM_CurlParallel(benchmark::State &state) {
    const auto n = std::to_string(state.range(1));
    Measure(state, [n](const tiles::TileRequest &r, const fs::path &dir) {
        return std::vector<std::string>{
            "curl", "-s", "-Z", "--parallel-max", n, "-K", WriteCurlConfig(r, dir)};
    });
}

void BM_Aria2c(benchmark::State &state) {
    const auto n = std::to_string(state.range(1));
    Measure(state, [n](const tiles::TileRequest &r, const fs::path &dir) {
        const auto input = (dir / "aria2.txt").string();
        std::ofstream out(input);
        for (const auto &[url, file] : Addresses(r, dir / "files")) {
            out << url << "\n  out=" << fs::path(file).filename().string() << "\n";
        }
        return std::vector<std::string>{"aria2c", "-q",  "-j",
                                        n,        "-d",  (dir / "files").string(),
                                        "-i",     input, "--auto-file-renaming=false"};
    });
}

} // namespace

// Arguments: tiles, connections. The 1000-tile sizes are the CI smoke run.
BENCHMARK(BM_Tessaro)
    ->Args({1000, 1})
    ->Args({4096, 1})
    ->Args({4096, 16})
    ->Args({100000, 16})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlSequential)
    ->Args({1000, 1})
    ->Args({4096, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlParallel)->Args({4096, 16})->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Aria2c)->Args({4096, 16})->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
