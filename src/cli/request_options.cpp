#include "cli/request_options.h"

#include "common/error.h"
#include "common/text.h"
#include "settings/settings_store.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace tessaro::cli {

void ParseExtent(std::string_view text, tiles::TileRequest &request) {
    std::array<double, 4> values{};
    std::size_t count = 0;
    std::size_t start = 0;
    while (true) {
        const auto comma = text.find(',', start);
        const auto part =
            text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
        if (count == values.size() || !ParseDouble(part, values[count])) {
            throw ArgumentError("--extent must be four finite numbers LAT1,LAT2,LON1,LON2 with "
                                "'.' as the decimal point, not '" +
                                std::string(text) + "'.");
        }
        ++count;
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    if (count != values.size()) {
        throw ArgumentError("--extent must be four numbers LAT1,LAT2,LON1,LON2, not '" +
                            std::string(text) + "'.");
    }
    request.lat1 = values[0];
    request.lat2 = values[1];
    request.lon1 = values[2];
    request.lon2 = values[3];
}

void ParsePart(std::string_view text, tiles::TileRequest &request) {
    const auto slash = text.find('/');
    std::int64_t k = 0;
    std::int64_t n = 0;
    if (slash == std::string_view::npos || !ParseInt(text.substr(0, slash), k) ||
        !ParseInt(text.substr(slash + 1), n) || k < 1 || k > n || n > tiles::kMaxParts) {
        throw ArgumentError(
            "--part must be K/N with 1 <= K <= N <= " + std::to_string(tiles::kMaxParts) +
            ", not '" + std::string(text) + "'.");
    }
    request.partIndex = static_cast<std::int32_t>(k - 1);
    request.partCount = static_cast<std::int32_t>(n);
}

std::string PartIndexPath(const std::string &path, const tiles::TileRequest &request) {
    const std::string suffix = tiles::PartSuffix(request);
    if (suffix.empty()) {
        return path;
    }
    // The file that holds the index: a database named on the way, else the shapefile at the end.
    const std::filesystem::path whole(path);
    std::vector<std::filesystem::path> parts(whole.begin(), whole.end());
    auto file = std::ranges::find_if(parts, [](const std::filesystem::path &p) {
        std::string ext = p.extension().string();
        std::ranges::transform(ext, ext.begin(), [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        });
        return ext == ".gpkg" || ext == ".gdb";
    });
    if (file == parts.end()) {
        file = std::prev(parts.end());
    }
    *file = file->stem().string() + suffix + file->extension().string();
    std::filesystem::path result;
    for (const auto &p : parts) {
        result /= p;
    }
    return result.string();
}

RequestOptions ReadSourceAndKind(const ParsedOptions &options) {
    RequestOptions result;
    // A word that names no built-in source may name a template source (ReadTemplateSource).
    if (const auto *word = options.Get("source")) {
        if (const auto source = tiles::ParseSource(*word)) {
            result.source = *source;
        }
    }
    if (const auto *word = options.Get("kind")) {
        const auto kind = tiles::ParseKind(*word);
        if (!kind) {
            throw ArgumentError("--kind must be sat, map or land, not '" + *word + "'.");
        }
        result.kind = *kind;
    }
    return result;
}

void CheckZoom(const download::NamedSource &source, int level) {
    if (level < source.minZoom || level > source.maxZoom) {
        throw ArgumentError("The source " + source.source.name + " serves the zooms " +
                            std::to_string(source.minZoom) + " to " +
                            std::to_string(source.maxZoom) + ", not " + std::to_string(level) +
                            ".");
    }
}

std::filesystem::path SourcesFilePath(const ParsedOptions &options) {
    const std::filesystem::path store = options.Has("config")
                                            ? std::filesystem::path(*options.Get("config"))
                                            : settings::SettingsStore::User().Path();
    return store.parent_path() / download::kSourcesFileName;
}

std::optional<download::NamedSource> ReadTemplateSource(const ParsedOptions &options) {
    const auto *text = options.Get("url-template");
    const auto *word = options.Get("source");
    const bool named = text == nullptr && word != nullptr && !tiles::ParseSource(*word);
    if (text == nullptr && !named) {
        if (options.Has("mirrors")) {
            throw ArgumentError("--mirrors needs --url-template or a named source.");
        }
        return std::nullopt;
    }
    if ((text != nullptr && word != nullptr) || options.Has("kind")) {
        throw ArgumentError("A template source names the source itself: give no --kind, and not "
                            "both --url-template and --source.");
    }
    download::NamedSource source;
    if (named) {
        const auto file = SourcesFilePath(options);
        const auto sources = download::ReadSources(file);
        const auto found = std::ranges::find_if(
            sources, [&](const download::NamedSource &s) { return s.source.name == *word; });
        if (found == sources.end()) {
            throw ArgumentError("--source must be goo, scan, shade, yand or a source of " +
                                file.string() + ", not '" + *word + "'.");
        }
        source = *found;
    } else {
        source.source.text = *text;
    }
    if (const auto *mirrors = options.Get("mirrors")) {
        source.source.mirrors = download::ParseMirrors(*mirrors);
    }
    download::ValidateUrlTemplate(source.source);
    return source;
}

RequestOptions ReadRequestOptions(const ParsedOptions &options) {
    RequestOptions result = ReadSourceAndKind(options);
    result.named = ReadTemplateSource(options);
    if (result.named) {
        result.urlTemplate = result.named->source;
    }
    result.request.type =
        result.urlTemplate ? tiles::TilesType::Xyz : tiles::TilesTypeOf(result.source, result.kind);
    if (const auto *text = options.Get("level")) {
        const int minLevel = tiles::MinLevel(result.request.type);
        std::int64_t level = 0;
        if (!ParseInt(*text, level) || level < minLevel || level > tiles::kMaxLevel) {
            throw ArgumentError("--level must be a whole number from " + std::to_string(minLevel) +
                                " to 22, not '" + *text + "'.");
        }
        result.request.level = static_cast<int>(level);
    }
    if (result.named) {
        CheckZoom(*result.named, result.request.level);
    }
    if (const auto *text = options.Get("extent")) {
        ParseExtent(*text, result.request);
    }
    tiles::ValidateLevelAndExtent(result.request);
    return result;
}

} // namespace tessaro::cli
