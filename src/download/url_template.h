#pragma once

#include "tiles/tile_list.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::download {

/// A template source: a tile server of the web-mercator grid named by an address template.
///
/// The template holds the placeholders {z} (zoom), {x} (column from the west), {y} (row from
/// the north), {-y} (row from the south, as TMS counts), {q} (quadkey) and {s} (the next of
/// the mirrors, in turn).
struct UrlTemplate {
    std::string text;                 ///< the address template
    std::vector<std::string> mirrors; ///< the values {s} takes in turn
    std::string name = "xyz";         ///< the source's name (the block index's Service)
    /// The only image type taken from the server, "png" or "jpg"; empty takes either.
    std::string fileType;
};

/// Checks a template: an http or https address, the tile given by {x} with {y} or {-y} and
/// {z}, or by {q}; {s} only with mirrors; no other placeholder; no mirror empty.
/// @throws tessaro::ArgumentError naming what is wrong.
void ValidateUrlTemplate(const UrlTemplate &source);

/// Splits a comma-separated mirror list ("a,b,c"). @throws tessaro::ArgumentError for an empty
/// mirror.
[[nodiscard]] std::vector<std::string> ParseMirrors(std::string_view text);

/// Appends the address of a tile: the template with its placeholders filled, {s} taking the
/// mirror of turn `turn` (turn modulo the number of mirrors).
/// @pre the template passed ValidateUrlTemplate; record is a tile of the web-mercator grid.
void AppendTemplateUrl(std::string &out, const UrlTemplate &source, std::int64_t turn,
                       const tiles::TileRecord &record, int zoom);

/// Returns the address AppendTemplateUrl appends.
[[nodiscard]] std::string TemplateUrl(const UrlTemplate &source, std::int64_t turn,
                                      const tiles::TileRecord &record, int zoom);

} // namespace tessaro::download
