#include "download/source_file.h"

#include "common/error.h"
#include "common/text.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace tessaro::download {

namespace {

std::string Lower(std::string text) {
    std::ranges::transform(text, text.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return text;
}

// "MIN-MAX" within 0..22.
bool ParseZoomRange(std::string_view text, int &low, int &high) {
    const auto dash = text.find('-');
    std::int64_t a = 0;
    std::int64_t b = 0;
    if (dash == std::string_view::npos ||
        !ParseInt(TrimBlanks(std::string(text.substr(0, dash))), a) ||
        !ParseInt(TrimBlanks(std::string(text.substr(dash + 1))), b) || a < 0 || a > b || b > 22) {
        return false;
    }
    low = static_cast<int>(a);
    high = static_cast<int>(b);
    return true;
}

} // namespace

std::vector<NamedSource> ParseSources(std::string_view text, const std::string &fileName) {
    std::vector<NamedSource> sources;
    std::vector<std::size_t> sectionLines;
    std::istringstream in{std::string(text)};
    std::string raw;
    std::size_t number = 0;
    const auto fail = [&](std::size_t line, const std::string &what) {
        throw ArgumentError(fileName + ", line " + std::to_string(line) + ": " + what);
    };
    while (std::getline(in, raw)) {
        ++number;
        const std::string line =
            TrimBlanks(raw.ends_with('\r') ? raw.substr(0, raw.size() - 1) : raw);
        if (line.empty() || line.front() == ';' || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            const std::string name =
                TrimBlanks(line.substr(1, line.size() - 1 - (line.back() == ']')));
            if (line.back() != ']' || name.empty()) {
                fail(number, "a section is a name in brackets, as [osm], not '" + line + "'.");
            }
            if (std::ranges::any_of(sources,
                                    [&](const NamedSource &s) { return s.source.name == name; })) {
                fail(number, "the source [" + name + "] is named twice.");
            }
            sources.emplace_back().source.name = name;
            sectionLines.push_back(number);
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            fail(number, "a line is [name] or key = value, not '" + line + "'.");
        }
        if (sources.empty()) {
            fail(number, "'" + line + "' stands before the first [section].");
        }
        const std::string key = Lower(TrimBlanks(line.substr(0, equals)));
        const std::string value = TrimBlanks(line.substr(equals + 1));
        NamedSource &s = sources.back();
        if (key == "template") {
            s.source.text = value;
        } else if (key == "mirrors") {
            try {
                s.source.mirrors = ParseMirrors(value);
            } catch (const ArgumentError &) {
                fail(number,
                     "mirrors must be names joined by commas, none empty, not '" + value + "'.");
            }
        } else if (key == "type") {
            const std::string type = Lower(value);
            if (type != "png" && type != "jpg" && type != "any") {
                fail(number, "type must be png, jpg or any, not '" + value + "'.");
            }
            s.source.fileType = type == "any" ? "" : type;
        } else if (key == "zoom") {
            if (!ParseZoomRange(value, s.minZoom, s.maxZoom)) {
                fail(number, "zoom must be MIN-MAX within 0-22, not '" + value + "'.");
            }
        } else if (key == "attribution") {
            s.attribution = value;
        } else if (key == "user_agent") {
            s.userAgent = value;
        } else if (key == "max_rate") {
            double rate = 0;
            if (!ParseDouble(value, rate) || !(rate > 0)) {
                fail(number,
                     "max_rate must be a number of tiles per second above 0, not '" + value + "'.");
            }
            s.maxRate = rate;
        } else {
            fail(number, "unknown key '" + key +
                             "'; a source knows template, mirrors, type, zoom, attribution, "
                             "user_agent and max_rate.");
        }
    }
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (sources[i].source.text.empty()) {
            fail(sectionLines[i], "the source [" + sources[i].source.name + "] has no template.");
        }
        try {
            ValidateUrlTemplate(sources[i].source);
        } catch (const ArgumentError &e) {
            fail(sectionLines[i], "the source [" + sources[i].source.name + "]: " + e.what());
        }
    }
    return sources;
}

std::vector<NamedSource> ReadSources(const std::filesystem::path &file) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
        return {};
    }
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in && !in.eof()) {
        throw FileError("Cannot read the sources file " + file.string() + ".");
    }
    return ParseSources(text.str(), file.string());
}

} // namespace tessaro::download
