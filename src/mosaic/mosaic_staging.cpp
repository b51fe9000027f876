#include "mosaic/mosaic_staging.h"

#include "common/error.h"
#include "mapout/spatial_reference.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

namespace tessaro::mosaic::detail {

namespace fs = std::filesystem;

namespace {

ErrorNumber NumberOf(const std::error_code &ec) {
    return ec == std::errc::no_space_on_device ? ErrorNumber::DiskFull
                                               : ErrorNumber::PathFileAccess;
}

} // namespace

Staging::Staging(const MosaicTarget &target) : m_target(target.File()) {
    const fs::path folder = m_target.parent_path().empty() ? fs::path(".") : m_target.parent_path();
    std::string pattern = (folder / ".tessaro-mosaic-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        const std::error_code ec(errno, std::generic_category());
        throw FileError("No working folder can be made in " + mapout::FolderText(folder) + ": " +
                            ec.message(),
                        NumberOf(ec));
    }
    m_folder = pattern;
    std::error_code ec;
    if (target.InDatabase() && fs::exists(m_target, ec)) {
        fs::copy_file(m_target, File(), ec);
        if (ec) {
            Remove();
            throw FileError("The database " + m_target.string() +
                                " cannot be copied to build the mosaic in: " + ec.message(),
                            NumberOf(ec));
        }
    }
}

Staging::~Staging() {
    Remove();
}

void Staging::Commit(bool replacing, const std::vector<fs::path> &oldFiles) {
    std::error_code ec;
    if (!replacing && fs::exists(m_target, ec)) {
        throw FileError("The output " + m_target.string() +
                        " appeared while the mosaic was built; it was left as it is");
    }
    std::vector<fs::path> built;
    for (const auto &entry : fs::directory_iterator(m_folder)) {
        built.push_back(entry.path());
    }
    std::stable_partition(built.begin(), built.end(),
                          [&](const fs::path &p) { return p.filename() != m_target.filename(); });
    std::vector<fs::path> placed;
    for (const fs::path &file : built) {
        const fs::path destination = m_target.parent_path() / file.filename();
        fs::rename(file, destination, ec);
        if (ec) {
            throw FileError("The mosaic cannot be moved to " + destination.string() + ": " +
                            ec.message());
        }
        placed.push_back(fs::absolute(destination, ec).lexically_normal());
    }
    for (const fs::path &old : oldFiles) {
        const fs::path normal = fs::absolute(old, ec).lexically_normal();
        if (std::find(placed.begin(), placed.end(), normal) == placed.end()) {
            fs::remove(old, ec);
        }
    }
}

void Staging::Remove() noexcept {
    if (!m_folder.empty()) {
        std::error_code ec;
        fs::remove_all(m_folder, ec);
        m_folder.clear();
    }
}

std::vector<fs::path> LeftoverSideFiles(const fs::path &file) {
    std::vector<fs::path> candidates;
    for (const char *suffix : {".aux.xml", ".ovr", "w"}) {
        fs::path p = file;
        p += suffix;
        candidates.push_back(p);
    }
    for (const char *extension : {".aux", ".rrd", ".tfw", ".wld"}) {
        fs::path p = file;
        p.replace_extension(extension);
        candidates.push_back(p);
    }
    std::vector<fs::path> present;
    std::error_code ec;
    for (const fs::path &p : candidates) {
        if (fs::is_regular_file(p, ec)) {
            present.push_back(p);
        }
    }
    return present;
}

} // namespace tessaro::mosaic::detail
