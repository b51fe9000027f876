#pragma once

#include "mapout/db_util.h"

#include <filesystem>
#include <string>

namespace tessaro::mapout {

/// Returns what keeps an existing block index from reading back whole, as a phrase ("the
/// table blocks.dbf holds 14560 bytes where its header calls for 14881"), or the empty string
/// when nothing does. An index is whole when:
/// - a shapefile's three files agree with their headers: the main file and the index file
///   have the lengths their headers give, the index file holds 8 bytes per record, the table
///   has as many records as the index file, its field descriptions add up to its record
///   length, and its size is its header plus its records (and an optional end mark);
/// - a GeoPackage passes SQLite's quick check;
/// - every feature reads, geometry and fields, without an error from GDAL;
/// - each block field it has (kBlockFields; missing ones may still be added) is of its type:
///   text, a real number, or a whole number.
///
/// Nothing is written. Complexity: one pass over the features, with their geometries.
[[nodiscard]] std::string IndexDamage(FeatureClass &index);

/// Returns the name messages give an index: a shapefile's path, or a database's path
/// followed by "/" and the feature-class name.
[[nodiscard]] std::string IndexDisplayName(const FeatureClass &index);

} // namespace tessaro::mapout
