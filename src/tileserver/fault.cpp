#include "tileserver/fault.h"

#include "common/error.h"

#include <charconv>

namespace tessaro::tileserver {

namespace {

constexpr std::int64_t kMaxDelayMs = 600'000;
constexpr std::int64_t kMaxCount = 1'000'000'000;
constexpr std::int64_t kMaxMirror = 999;
constexpr std::int64_t kMaxTileNumber = std::int64_t{1} << 40;

[[noreturn]] void Reject(std::string_view whole, std::string_view why) {
    throw ArgumentError("The fault '" + std::string(whole) + "' " + std::string(why) +
                        " (expected KIND[:SELECTOR,...] with KIND html, 404, 500, delay=MS, "
                        "trickle=MS, truncate or drop and SELECTOR all, every=N, tile=X/Y, "
                        "mirror=K or first=N).");
}

std::int64_t Number(std::string_view whole, std::string_view text, std::int64_t low,
                    std::int64_t high) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low ||
        value > high) {
        Reject(whole, "has '" + std::string(text) + "' where a number from " + std::to_string(low) +
                          " to " + std::to_string(high) + " belongs");
    }
    return value;
}

// Splits "name=value"; value is empty when there is no "=".
std::pair<std::string_view, std::optional<std::string_view>> NameValue(std::string_view text) {
    const auto eq = text.find('=');
    if (eq == std::string_view::npos) {
        return {text, std::nullopt};
    }
    return {text.substr(0, eq), text.substr(eq + 1)};
}

void ParseKind(std::string_view whole, std::string_view text, Fault &fault) {
    const auto [name, value] = NameValue(text);
    if (name == "delay" || name == "trickle") {
        if (!value) {
            Reject(whole, "needs milliseconds after '" + std::string(name) + "='");
        }
        fault.kind = name == "delay" ? FaultKind::Delay : FaultKind::Trickle;
        fault.delay = std::chrono::milliseconds(Number(whole, *value, 0, kMaxDelayMs));
        return;
    }
    if (name == "429" || name == "503") {
        fault.kind = name == "429" ? FaultKind::TooMany : FaultKind::Unavailable;
        if (value) {
            fault.retryAfter = static_cast<int>(Number(whole, *value, 0, kMaxDelayMs / 1000));
        }
        return;
    }
    if (value) {
        Reject(whole, "gives a value to a kind that takes none");
    }
    if (name == "html") {
        fault.kind = FaultKind::Html;
    } else if (name == "404") {
        fault.kind = FaultKind::NotFound;
    } else if (name == "500") {
        fault.kind = FaultKind::ServerError;
    } else if (name == "truncate") {
        fault.kind = FaultKind::Truncate;
    } else if (name == "drop") {
        fault.kind = FaultKind::Drop;
    } else if (name == "empty") {
        fault.kind = FaultKind::Empty;
    } else if (name == "204") {
        fault.kind = FaultKind::NoContent;
    } else if (name == "cut") {
        fault.kind = FaultKind::Cut;
    } else {
        Reject(whole, "has the unknown kind '" + std::string(name) + "'");
    }
}

void ParseSelector(std::string_view whole, std::string_view text, Fault &fault) {
    const auto [name, value] = NameValue(text);
    if (name == "all" && !value) {
        return;
    }
    if (!value) {
        Reject(whole, "has the unknown selector '" + std::string(text) + "'");
    }
    if (name == "every") {
        fault.everyNth = static_cast<std::uint64_t>(Number(whole, *value, 1, kMaxCount));
    } else if (name == "first") {
        fault.firstTimes = static_cast<std::uint64_t>(Number(whole, *value, 1, kMaxCount));
    } else if (name == "mirror") {
        fault.mirror = static_cast<int>(Number(whole, *value, 0, kMaxMirror));
    } else if (name == "tile") {
        const auto slash = value->find('/');
        if (slash == std::string_view::npos) {
            Reject(whole, "needs the tile as X/Y");
        }
        fault.tile =
            TilePosition{Number(whole, value->substr(0, slash), -kMaxTileNumber, kMaxTileNumber),
                         Number(whole, value->substr(slash + 1), -kMaxTileNumber, kMaxTileNumber)};
    } else {
        Reject(whole, "has the unknown selector '" + std::string(name) + "'");
    }
}

} // namespace

Fault ParseFault(std::string_view text) {
    Fault fault;
    const auto colon = text.find(':');
    ParseKind(text, text.substr(0, colon), fault);
    if (colon == std::string_view::npos) {
        return fault;
    }
    std::string_view selectors = text.substr(colon + 1);
    while (true) {
        const auto comma = selectors.find(',');
        ParseSelector(text, selectors.substr(0, comma), fault);
        if (comma == std::string_view::npos) {
            break;
        }
        selectors.remove_prefix(comma + 1);
    }
    return fault;
}

std::string FaultText(const Fault &fault) {
    std::string text;
    switch (fault.kind) {
    case FaultKind::Html:
        text = "html";
        break;
    case FaultKind::NotFound:
        text = "404";
        break;
    case FaultKind::ServerError:
        text = "500";
        break;
    case FaultKind::Delay:
        text = "delay=" + std::to_string(fault.delay.count());
        break;
    case FaultKind::Trickle:
        text = "trickle=" + std::to_string(fault.delay.count());
        break;
    case FaultKind::Truncate:
        text = "truncate";
        break;
    case FaultKind::Drop:
        text = "drop";
        break;
    case FaultKind::Empty:
        text = "empty";
        break;
    case FaultKind::NoContent:
        text = "204";
        break;
    case FaultKind::Cut:
        text = "cut";
        break;
    case FaultKind::TooMany:
    case FaultKind::Unavailable:
        text = fault.kind == FaultKind::TooMany ? "429" : "503";
        if (fault.retryAfter) {
            text += "=" + std::to_string(*fault.retryAfter);
        }
        break;
    }
    std::string selectors;
    const auto add = [&](const std::string &s) { selectors += (selectors.empty() ? "" : ",") + s; };
    if (fault.everyNth != 1) {
        add("every=" + std::to_string(fault.everyNth));
    }
    if (fault.tile) {
        add("tile=" + std::to_string(fault.tile->x) + "/" + std::to_string(fault.tile->y));
    }
    if (fault.mirror) {
        add("mirror=" + std::to_string(*fault.mirror));
    }
    if (fault.firstTimes != 0) {
        add("first=" + std::to_string(fault.firstTimes));
    }
    return selectors.empty() ? text : text + ":" + selectors;
}

} // namespace tessaro::tileserver
