#include "download/url_template.h"

#include "common/error.h"
#include "common/text.h"

#include <array>

namespace tessaro::download {

namespace {

enum class Placeholder { Z, X, Y, MinusY, Quadkey, Mirror };

struct PlaceholderName {
    std::string_view text;
    Placeholder placeholder;
};

constexpr std::array<PlaceholderName, 6> kPlaceholders{{
    {"{z}", Placeholder::Z},
    {"{x}", Placeholder::X},
    {"{y}", Placeholder::Y},
    {"{-y}", Placeholder::MinusY},
    {"{q}", Placeholder::Quadkey},
    {"{s}", Placeholder::Mirror},
}};

// The placeholder the template holds at pos (which is a '{'), or none.
const PlaceholderName *PlaceholderAt(std::string_view text, std::size_t pos) {
    for (const auto &p : kPlaceholders) {
        if (text.substr(pos, p.text.size()) == p.text) {
            return &p;
        }
    }
    return nullptr;
}

std::string Quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

} // namespace

void ValidateUrlTemplate(const UrlTemplate &source) {
    const std::string_view text = source.text;
    if (!text.starts_with("http://") && !text.starts_with("https://")) {
        throw ArgumentError("The URL template " + Quoted(text) +
                            " must start with http:// or https://.");
    }
    std::array<bool, kPlaceholders.size()> seen{};
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        if (text[pos] == '}') {
            throw ArgumentError("The URL template " + Quoted(text) + " has a '}' at character " +
                                std::to_string(pos + 1) + " that closes no placeholder.");
        }
        if (text[pos] != '{') {
            continue;
        }
        const auto *p = PlaceholderAt(text, pos);
        if (p == nullptr) {
            const auto close = text.find('}', pos);
            throw ArgumentError(
                "The URL template " + Quoted(text) + " holds the unknown placeholder " +
                Quoted(text.substr(pos, close == text.npos ? text.npos : close - pos + 1)) +
                "; it knows {z}, {x}, {y}, {-y}, {q} and {s}.");
        }
        seen[static_cast<std::size_t>(p->placeholder)] = true;
        pos += p->text.size() - 1;
    }
    const auto has = [&seen](Placeholder p) { return seen[static_cast<std::size_t>(p)]; };
    const bool byNumbers = has(Placeholder::Z) && has(Placeholder::X) &&
                           (has(Placeholder::Y) || has(Placeholder::MinusY));
    if (!byNumbers && !has(Placeholder::Quadkey)) {
        throw ArgumentError("The URL template " + Quoted(text) +
                            " names no tile: it needs {z}, {x} and {y} (or {-y}), or {q}.");
    }
    if (has(Placeholder::Mirror) && source.mirrors.empty()) {
        throw ArgumentError("The URL template " + Quoted(text) +
                            " holds {s}, but no mirrors are given (--mirrors a,b,c).");
    }
    for (const auto &mirror : source.mirrors) {
        if (mirror.empty()) {
            throw ArgumentError("A mirror of the URL template is empty.");
        }
    }
}

std::vector<std::string> ParseMirrors(std::string_view text) {
    std::vector<std::string> mirrors;
    std::size_t start = 0;
    while (true) {
        const auto comma = text.find(',', start);
        const auto part = text.substr(start, comma == text.npos ? text.npos : comma - start);
        if (part.empty()) {
            throw ArgumentError("--mirrors must be names joined by commas, none empty, not " +
                                Quoted(text) + ".");
        }
        mirrors.emplace_back(part);
        if (comma == text.npos) {
            return mirrors;
        }
        start = comma + 1;
    }
}

void AppendTemplateUrl(std::string &out, const UrlTemplate &source, std::int64_t turn,
                       const tiles::TileRecord &record, int zoom) {
    const std::string_view text = source.text;
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        const auto *p = text[pos] == '{' ? PlaceholderAt(text, pos) : nullptr;
        if (p == nullptr) {
            out += text[pos];
            continue;
        }
        switch (p->placeholder) {
        case Placeholder::Z:
            AppendInt(out, zoom);
            break;
        case Placeholder::X:
            AppendInt(out, record.col);
            break;
        case Placeholder::Y:
            AppendInt(out, record.row);
            break;
        case Placeholder::MinusY:
            AppendInt(out, (std::int64_t{1} << zoom) - 1 - record.row);
            break;
        case Placeholder::Quadkey:
            out += tiles::XyzQuadKey(record.col, record.row, zoom);
            break;
        case Placeholder::Mirror: {
            const auto n = static_cast<std::int64_t>(source.mirrors.size());
            out += source.mirrors[static_cast<std::size_t>(((turn % n) + n) % n)];
            break;
        }
        }
        pos += p->text.size() - 1;
    }
}

std::string TemplateUrl(const UrlTemplate &source, std::int64_t turn,
                        const tiles::TileRecord &record, int zoom) {
    std::string url;
    AppendTemplateUrl(url, source, turn, record, zoom);
    return url;
}

} // namespace tessaro::download
