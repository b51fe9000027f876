#include "download/world_file.h"

#include "common/atomic_file.h"
#include "common/files.h"
#include "common/text.h"

namespace tessaro::download {

std::string WorldFileText(const tiles::TileRecord &r, double tileSize) {
    double x = r.x;
    double y = r.y;
    if (tileSize != 0.0) {
        x = r.x + r.resX / 2;
        y = r.y - r.resX / 2 + tileSize;
    }
    std::string text;
    for (double v : {r.resX, 0.0, 0.0, r.resY, x, y}) {
        AppendDouble(text, v);
        text += kCrLf;
    }
    return text;
}

bool WriteWorldFile(const std::filesystem::path &worldFile, const tiles::TileRecord &record,
                    double tileSize) {
    if (FileExists(worldFile)) {
        return false;
    }
    return WriteNewFileAtomically(worldFile, WorldFileText(record, tileSize));
}

} // namespace tessaro::download
