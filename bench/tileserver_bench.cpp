// Speed of the built-in tile server: tiles per second to one kept-alive client and to eight
// concurrent ones, and the cost of making one tile image.
#include "tileserver/tile_image.h"
#include "tileserver/tile_server.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace tessaro;

namespace {

std::size_t Discard(char *, std::size_t size, std::size_t count, void *received) {
    *static_cast<std::size_t *>(received) += size * count;
    return size * count;
}

// One libcurl handle; its connection stays open between requests.
class Client {
public:
    Client() : m_curl(curl_easy_init()) {
        if (m_curl == nullptr) {
            throw std::runtime_error("curl_easy_init failed");
        }
        curl_easy_setopt(m_curl, CURLOPT_PROXY, "");
        curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(m_curl, CURLOPT_TIMEOUT, 30L);
        curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, Discard);
        curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &m_received);
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    ~Client() { curl_easy_cleanup(m_curl); }

    // Fetches one tile; false unless it came whole with status 200.
    bool Fetch(const std::string &url) {
        curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
        if (curl_easy_perform(m_curl) != CURLE_OK) {
            return false;
        }
        long status = 0;
        curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &status);
        return status == 200;
    }

    [[nodiscard]] std::size_t Received() const { return m_received; }

private:
    CURL *m_curl;
    std::size_t m_received = 0;
};

// Distinct Yandex satellite tiles (JPEG) at level 12, so that every answer is encoded anew.
std::string TileUrl(const std::string &base, std::int64_t i) {
    return base + "/m" + std::to_string(i % 4) +
           "/tiles?l=sat&v=1.6.0&x=" + std::to_string(i % 4096) +
           "&y=" + std::to_string((i / 4096) % 4096) + "&z=12";
}

void BM_ServeOneClient(benchmark::State &state) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    tileserver::TileServer server;
    server.Start();
    const std::string base = server.BaseUrl();
    Client client;
    std::int64_t tiles = 0, failures = 0;
    for (auto _ : state) {
        for (std::int64_t i = 0; i < state.range(0); ++i) {
            (client.Fetch(TileUrl(base, tiles + i)) ? tiles : failures) += 1;
        }
    }
    state.counters["tiles_per_second"] =
        benchmark::Counter(static_cast<double>(tiles), benchmark::Counter::kIsRate);
    state.counters["bytes_per_tile"] = static_cast<double>(client.Received()) /
                                       static_cast<double>(std::max<std::int64_t>(1, tiles));
    state.counters["failures"] = static_cast<double>(failures);
    state.counters["connections"] = static_cast<double>(server.Stats().connections);
}

void BM_ServeEightClients(benchmark::State &state) {
    constexpr int kClients = 8;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    tileserver::TileServer server;
    server.Start();
    const std::string base = server.BaseUrl();
    std::vector<std::unique_ptr<Client>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::make_unique<Client>());
    }
    std::atomic<std::int64_t> tiles{0}, failures{0};
    std::int64_t next = 0;
    for (auto _ : state) {
        const std::int64_t each = state.range(0) / kClients;
        std::vector<std::thread> threads;
        for (int c = 0; c < kClients; ++c) {
            threads.emplace_back([&, c, first = next + c * each] {
                for (std::int64_t i = 0; i < each; ++i) {
                    (clients[static_cast<std::size_t>(c)]->Fetch(TileUrl(base, first + i))
                         ? tiles
                         : failures) += 1;
                }
            });
        }
        for (auto &t : threads) {
            t.join();
        }
        next += each * kClients;
    }
    state.counters["tiles_per_second"] =
        benchmark::Counter(static_cast<double>(tiles.load()), benchmark::Counter::kIsRate);
    state.counters["failures"] = static_cast<double>(failures.load());
    state.counters["connections"] = static_cast<double>(server.Stats().connections);
}

void EncodeTiles(benchmark::State &state, tiles::TilesType type) {
    std::int64_t tiles = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        for (std::int64_t i = 0; i < state.range(0); ++i) {
            const auto image = tileserver::EncodeTile({type, tiles + i, 7, 12});
            bytes += image.size();
            benchmark::DoNotOptimize(image.data());
        }
        tiles += state.range(0);
    }
    state.counters["tiles_per_second"] =
        benchmark::Counter(static_cast<double>(tiles), benchmark::Counter::kIsRate);
    state.counters["bytes_per_tile"] =
        static_cast<double>(bytes) / static_cast<double>(std::max<std::int64_t>(1, tiles));
}

void BM_EncodeJpegTile(benchmark::State &s) {
    EncodeTiles(s, tiles::TilesType::YandSat);
}
void BM_EncodePngTile(benchmark::State &s) {
    EncodeTiles(s, tiles::TilesType::YandMap);
}

} // namespace

// The small size is the CI smoke run; the large one gives the figures in the README.
BENCHMARK(BM_ServeOneClient)->Arg(1000)->Arg(20'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ServeEightClients)
    ->Arg(1000)
    ->Arg(40'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_EncodeJpegTile)->Arg(1000)->Arg(10'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodePngTile)->Arg(1000)->Arg(10'000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
