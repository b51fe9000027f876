#pragma once

#include "tileserver/tile_code.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro::tileserver {

/// How the server misbehaves on a request a fault selects.
enum class FaultKind {
    Html,        ///< 200 with an HTML page ("<html>...", text/html) instead of the image
    NotFound,    ///< 404 with a short text body
    ServerError, ///< 500 with a short text body
    Delay,       ///< waits Fault::delay, then answers normally
    Trickle,     ///< sends the head at once, then the body in Fault::trickleBytes pieces with
                 ///< Fault::delay before each piece after the first
    Truncate,    ///< announces the whole Content-Length, sends half the body, closes
    Drop,        ///< closes the connection without answering
    Empty,       ///< 200 with an empty body
    NoContent,   ///< 204 without a body
    Cut,         ///< sends half the body without a Content-Length, then closes
    TooMany,     ///< 429, with "Retry-After: Fault::retryAfter" when that is set
    Unavailable, ///< 503, with "Retry-After: Fault::retryAfter" when that is set
};

/// A tile position a fault may be limited to.
struct TilePosition {
    std::int64_t x = 0;
    std::int64_t y = 0;
    friend bool operator==(const TilePosition &, const TilePosition &) = default;
};

/// One misbehaviour and the requests it hits.
///
/// Selection: a request is a candidate when it matches the tile (if given: a target that
/// ParseTileTarget recognises, with that x and y) and the mirror (if given: MirrorOf of the
/// target). Of the candidates the fault hits the n-th, 2n-th, 3n-th... (n = everyNth, 1 for
/// every one), and when firstTimes is not 0 only the first firstTimes of those, so that a
/// retry afterwards succeeds. Control requests ("/__stats" ...) are never candidates.
struct Fault {
    FaultKind kind = FaultKind::ServerError;
    std::chrono::milliseconds delay{0}; ///< for Delay and Trickle
    std::size_t trickleBytes = 1024;    ///< piece size for Trickle
    std::optional<int> retryAfter;      ///< seconds, for TooMany and Unavailable
    std::uint64_t everyNth = 1;
    std::optional<TilePosition> tile;
    std::optional<int> mirror;
    std::uint64_t firstTimes = 0; ///< 0: no limit
};

/// Parses a fault of the command line:
///
///     KIND[:SELECTOR[,SELECTOR...]]
///     KIND     = html | 404 | 500 | delay=MS | trickle=MS | truncate | drop | empty | 204
///              | cut | 429[=S] | 503[=S]          (S: the Retry-After in seconds)
///     SELECTOR = all | every=N | tile=X/Y | mirror=K | first=N
///
/// for example "500:mirror=2", "drop:every=3,first=2", "delay=1500:tile=5/3".
/// @throws tessaro::ArgumentError naming the text when it does not follow that form
/// (an unknown kind or selector, a number that is not one or is out of range, N of 0).
[[nodiscard]] Fault ParseFault(std::string_view text);

/// Returns the text ParseFault reads back into the same fault (without trickleBytes, which
/// the command line leaves at its default).
[[nodiscard]] std::string FaultText(const Fault &fault);

} // namespace tessaro::tileserver
