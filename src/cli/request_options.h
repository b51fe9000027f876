#pragma once

#include "cli/options.h"
#include "download/source_file.h"
#include "download/url_template.h"
#include "load/dialog_request.h"
#include "tiles/tile_list.h"
#include "tiles/tiles_type.h"

#include <array>
#include <filesystem>
#include <optional>

namespace tessaro::cli {

/// The options that describe a request: --source, --kind, --level, --extent, and a template
/// source's --url-template and --mirrors in place of source and kind.
inline constexpr std::array<OptionSpec, 6> kRequestOptions{{
    {"source", true, false},
    {"kind", true, false},
    {"level", true, false},
    {"extent", true, false},
    {"url-template", true, false},
    {"mirrors", true, false},
}};

/// A request as the command line gives it; absent options keep the dialog's start values
/// (Google satellite, level 15, extent 37.8,38.2,55.2,55.8).
struct RequestOptions {
    tiles::Source source = tiles::Source::Goo;
    tiles::Kind kind = tiles::Kind::Sat;
    tiles::TileRequest request{tiles::TilesType::GoogleSat, 15, 37.8, 38.2, 55.2, 55.8};
    /// The template source of --url-template; the request's type is then TilesType::Xyz.
    std::optional<download::UrlTemplate> urlTemplate;
    /// What the sources file holds for a named source besides its template.
    std::optional<download::NamedSource> named;
};

/// Reads and checks the request options: source and kind words, a level from 1 to 22, four
/// finite numbers within the world with south ≤ north and west ≤ east. The TilesType may come
/// out Invalid; the caller reports that.
/// @throws tessaro::ArgumentError naming the bad option.
[[nodiscard]] RequestOptions ReadRequestOptions(const ParsedOptions &options);

/// Reads a template source: --url-template, or --source NAME naming a source of the sources
/// file beside the settings store (--config FILE's folder, else the user's store folder), with
/// --mirrors replacing its mirrors; nothing for a built-in source.
/// @throws tessaro::ArgumentError for a bad template, a sources file that does not parse
/// (naming its line), an unknown source name, --mirrors alone and --kind beside a template.
[[nodiscard]] std::optional<download::NamedSource> ReadTemplateSource(const ParsedOptions &options);

/// Checks a level against a named source's zoom range. @throws tessaro::ArgumentError
void CheckZoom(const download::NamedSource &source, int level);

/// Returns the path of the sources file the options name: beside --config FILE, else beside
/// the user's settings store.
[[nodiscard]] std::filesystem::path SourcesFilePath(const ParsedOptions &options);

/// Reads the --source and --kind words only; the request keeps its start values.
/// @throws tessaro::ArgumentError naming the bad option.
[[nodiscard]] RequestOptions ReadSourceAndKind(const ParsedOptions &options);

/// The option of list and load that takes one part of a split list: --part K/N.
inline constexpr OptionSpec kPartOption{"part", true, false};

/// Parses "K/N" (1 ≤ K ≤ N) into the request's part. @throws tessaro::ArgumentError
void ParsePart(std::string_view text, tiles::TileRequest &request);

/// Returns the block index of one part of a split run: the database (.gpkg, .gdb) or the
/// shapefile of path with the part's suffix before its extension ("index_part2of4.gpkg/blocks",
/// "folder/blocks_part2of4"); path itself for a run that is not split.
[[nodiscard]] std::string PartIndexPath(const std::string &path, const tiles::TileRequest &request);

/// Parses "LAT1,LAT2,LON1,LON2" into the request. @throws tessaro::ArgumentError
void ParseExtent(std::string_view text, tiles::TileRequest &request);

/// Message shown for a source and kind no source serves.
using load::kUnsupportedTypeMessage;

} // namespace tessaro::cli
