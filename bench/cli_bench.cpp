// Whole-command figures: `tessaro list` of small and large requests written to /dev/null, with
// the child's wall time and peak resident memory.
#include "bench_requests.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace tessaro;

namespace {

struct ChildRun {
    double seconds = 0;
    long maxRssKb = 0;
    int status = -1;
};

ChildRun RunToDevNull(std::vector<std::string> args) {
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
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ChildRun run;
    rusage usage{};
    ::wait4(pid, &run.status, 0, &usage);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.maxRssKb = usage.ru_maxrss;
    return run;
}

void BM_ListCommandToDevNull(benchmark::State &state) {
    const auto side =
        static_cast<std::int64_t>(std::llround(std::sqrt(static_cast<double>(state.range(0)))));
    const auto request = bench::SquareRequest(tiles::TilesType::GoogleSat, 22, side);
    const auto tiles = tiles::TileStream(request).Size();
    long maxRss = 0;
    double seconds = 0;
    for (auto _ : state) {
        const auto run = RunToDevNull(
            {TESSARO_BINARY, "list", "--level", "22", "--extent=" + bench::ExtentText(request)});
        if (run.status != 0) {
            state.SkipWithError("tessaro list failed");
            break;
        }
        state.SetIterationTime(run.seconds);
        seconds += run.seconds;
        maxRss = std::max(maxRss, run.maxRssKb);
    }
    state.counters["tiles"] = static_cast<double>(tiles);
    state.counters["lines_per_second"] =
        static_cast<double>(tiles) * static_cast<double>(state.iterations()) / seconds;
    state.counters["max_rss_kb"] = static_cast<double>(maxRss);
}

// A calculate-only run with load log and .ion list over the same kind of request, to compare with
// `tessaro list` of it: both stream the list, the run also looks for every tile on disk and
// writes two lines per tile.
void BM_LoadCalculateOnly(benchmark::State &state) {
    const auto side =
        static_cast<std::int64_t>(std::llround(std::sqrt(static_cast<double>(state.range(0)))));
    const auto request = bench::SquareRequest(tiles::TilesType::GoogleSat, 22, side);
    const auto tiles = tiles::TileStream(request).Size();
    char pattern[] = "/tmp/tessaro-bench-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    long maxRss = 0;
    double seconds = 0;
    for (auto _ : state) {
        const auto run = RunToDevNull(
            {TESSARO_BINARY, "load", "--level", "22", "--extent=" + bench::ExtentText(request),
             "--dir", dir, "--calculate-only", "--log", "--ion", "--config=" + dir + "/store.ini"});
        if (run.status != 0) {
            state.SkipWithError("tessaro load failed");
            break;
        }
        state.SetIterationTime(run.seconds);
        seconds += run.seconds;
        maxRss = std::max(maxRss, run.maxRssKb);
        state.PauseTiming();
        std::filesystem::remove_all(dir + "/22");
        std::filesystem::remove(dir + "/Tessaro_sat.log");
        state.ResumeTiming();
    }
    std::filesystem::remove_all(dir);
    state.counters["tiles"] = static_cast<double>(tiles);
    state.counters["tiles_per_second"] =
        static_cast<double>(tiles) * static_cast<double>(state.iterations()) / seconds;
    state.counters["max_rss_kb"] = static_cast<double>(maxRss);
}

} // namespace

BENCHMARK(BM_LoadCalculateOnly)
    ->Arg(1000)
    ->Arg(1'000'000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_ListCommandToDevNull)
    ->Arg(1000)
    ->Arg(1'000'000)
    ->Arg(10'000'000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
