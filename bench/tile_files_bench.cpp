// The file work of one fetched tile (the image, its world file and its side file, each whole
// or not at all), the way a load did it first (a path per file, an existence look, the
// temporary file's own writer) and the way it does it now (held folder descriptors, four system
// calls a file, on the writer's thread). Output on /dev/shm where there is one, since a disk
// makes single figures noisy.
#include "common/atomic_file.h"
#include "common/files.h"
#include "download/side_file.h"
#include "download/tile_writer.h"
#include "download/world_file.h"
#include "tiles/tile_files.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <unistd.h>

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

constexpr auto kType = tiles::TilesType::GoogleSat;

const std::string &Image() {
    static const std::string image(13 * 1024, 'j');
    return image;
}

// A fresh folder per run on a tmpfs where the machine has one.
class Scratch {
public:
    Scratch() {
        char pattern[] = "/dev/shm/tessaro-bench-files-XXXXXX";
        char fallback[] = "/tmp/tessaro-bench-files-XXXXXX";
        const char *made = ::mkdtemp(pattern);
        m_path = made != nullptr ? made : ::mkdtemp(fallback);
    }
    ~Scratch() { fs::remove_all(m_path); }
    [[nodiscard]] const fs::path &Path() const { return m_path; }
    // Empties the folder between rounds, outside the timing.
    void Clear() {
        fs::remove_all(m_path);
        fs::create_directories(m_path);
    }

private:
    fs::path m_path;
};

tiles::TileRecord RecordOf(std::int64_t i) {
    tiles::TileRecord r;
    r.col = static_cast<std::int32_t>(i);
    r.row = 7;
    r.resX = 2.4;
    r.resY = -2.4;
    r.x = 1000.0 * static_cast<double>(i);
    r.y = 5000.0;
    r.name.Assign("t" + std::to_string(i));
    return r;
}

// Runs writeAll(folder, tiles) once per round into an emptied folder.
template <typename WriteAll> void Rounds(benchmark::State &state, WriteAll writeAll) {
    Scratch scratch;
    const auto tiles = state.range(0);
    for (auto _ : state) {
        state.PauseTiming();
        scratch.Clear();
        state.ResumeTiming();
        writeAll(scratch.Path(), tiles);
    }
    state.SetItemsProcessed(state.iterations() * tiles);
}

template <typename WriteTile> void TileFiles(benchmark::State &state, WriteTile write) {
    Rounds(state, [&](const fs::path &folder, std::int64_t tiles) {
        for (std::int64_t i = 0; i < tiles; ++i) {
            write(folder, RecordOf(i));
        }
    });
}

// Before: the image through its own AtomicFile, the world file and side file each looked for
// and then written through WriteNewFileAtomically.
void BM_TileFilesByPath(benchmark::State &state) {
    const std::string side(download::SideFileText(kType));
    TileFiles(state, [&](const fs::path &folder, const tiles::TileRecord &r) {
        const auto image = folder / (r.name.Str() + ".jpg");
        AtomicFile file(image);
        file.Write(Image());
        file.Commit();
        download::WriteWorldFile(tiles::WorldFilePath(image, kType), r, 0);
        if (!FileExists(download::SideFilePath(image))) {
            WriteNewFileAtomically(download::SideFilePath(image), side);
        }
    });
}

// Now, on the calling thread: the same three files through FolderFiles.
void BM_TileFilesByFolder(benchmark::State &state) {
    const std::string_view side = download::SideFileText(kType);
    FolderFiles files;
    TileFiles(state, [&](const fs::path &folder, const tiles::TileRecord &r) {
        const auto image = folder / (r.name.Str() + ".jpg");
        files.Write(image, Image());
        files.WriteNew(tiles::WorldFilePath(image, kType), download::WorldFileText(r, 0));
        files.WriteNew(download::SideFilePath(image), side);
    });
}

// Now, as a load does it: handed to the writer thread, which makes the texts too. The time
// counts until every file is in place.
void BM_TileWriter(benchmark::State &state) {
    Rounds(state, [&](const fs::path &folder, std::int64_t tiles) {
        download::TileWriter writer(
            {kType, 14, 0, download::SideFileText(kType), nullptr, nullptr});
        for (std::int64_t i = 0; i < tiles; ++i) {
            download::TileWriter::Job job;
            job.record = RecordOf(i);
            job.name = job.record.name.Str();
            job.path = folder / (job.name + ".jpg");
            job.onDisk = true;
            job.body = Image();
            writer.Submit(std::move(job));
        }
        writer.Finish();
        if (writer.Tally().sideFiles != tiles) {
            state.SkipWithError("side files missing");
        }
    });
}

} // namespace

BENCHMARK(BM_TileFilesByPath)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TileFilesByFolder)->Arg(4096)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TileWriter)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
