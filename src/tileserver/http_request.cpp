#include "tileserver/http_request.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace tessaro::tileserver {

namespace {

bool IsTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// True when a comma-separated header value lists the token, whatever its case.
bool ListsToken(std::string_view value, std::string_view token) {
    while (true) {
        const auto comma = value.find(',');
        if (EqualsNoCase(Trim(value.substr(0, comma)), token)) {
            return true;
        }
        if (comma == std::string_view::npos) {
            return false;
        }
        value.remove_prefix(comma + 1);
    }
}

HeadResult Bad(int status) {
    HeadResult result;
    result.status = HeadStatus::Bad;
    result.errorStatus = status;
    return result;
}

// Cuts an absolute-form target ("http://host:port/path") to its path; nothing when the target
// is neither form.
std::optional<std::string_view> OriginForm(std::string_view target) {
    if (!target.empty() && target.front() == '/') {
        return target;
    }
    const auto scheme = target.find("://");
    if (scheme == std::string_view::npos || scheme == 0) {
        return std::nullopt;
    }
    const auto slash = target.find('/', scheme + 3);
    if (slash == std::string_view::npos) {
        return std::string_view("/");
    }
    return target.substr(slash);
}

// What the header lines said, as far as the server cares.
struct HeaderFields {
    bool closeAsked = false;
    bool keepAliveAsked = false;
    std::optional<std::size_t> contentLength;
};

// Returns the offset just past the empty line that ends the head (LF, optionally CR, LF), or
// nothing when it has not arrived yet.
std::optional<std::size_t> FindHeadEnd(std::string_view buffer, std::size_t start) {
    for (auto lf = buffer.find('\n', start); lf != std::string_view::npos;
         lf = buffer.find('\n', lf + 1)) {
        std::size_t next = lf + 1;
        if (next < buffer.size() && buffer[next] == '\r') {
            ++next;
        }
        if (next < buffer.size() && buffer[next] == '\n') {
            return next + 1;
        }
    }
    return std::nullopt;
}

// Reads "METHOD TARGET HTTP/1.x" into the request; returns 0, or the status that refuses it.
int ParseRequestLine(std::string_view line, HttpRequest &request) {
    const auto sp1 = line.find(' ');
    const auto sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
        return 400;
    }
    const auto method = line.substr(0, sp1);
    const auto target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const auto version = line.substr(sp2 + 1);
    const bool targetPrintable =
        std::all_of(target.begin(), target.end(), [](char c) { return c > 0x20 && c < 0x7F; });
    const auto origin = OriginForm(target);
    if (!IsToken(method) || !targetPrintable || !origin) {
        return 400;
    }
    if (version == "HTTP/1.1") {
        request.minorVersion = 1;
    } else if (version == "HTTP/1.0") {
        request.minorVersion = 0;
    } else {
        return version.substr(0, 5) == "HTTP/" ? 505 : 400;
    }
    request.method = method;
    request.target = *origin;
    return 0;
}

// Reads one "Name: value" line into fields; returns 0, or the status that refuses it.
int ParseHeaderLine(std::string_view line, HeaderFields &fields) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
        return 400; // also a folded continuation line, which starts with a blank
    }
    const auto name = line.substr(0, colon);
    const auto value = Trim(line.substr(colon + 1));
    if (EqualsNoCase(name, "Connection")) {
        fields.closeAsked = fields.closeAsked || ListsToken(value, "close");
        fields.keepAliveAsked = fields.keepAliveAsked || ListsToken(value, "keep-alive");
    } else if (EqualsNoCase(name, "Content-Length")) {
        std::size_t length = 0;
        const auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
        if (value.empty() || ec != std::errc() || p != value.data() + value.size() ||
            (fields.contentLength && *fields.contentLength != length)) {
            return 400;
        }
        fields.contentLength = length;
    } else if (EqualsNoCase(name, "Transfer-Encoding")) {
        return 501;
    }
    return 0;
}

} // namespace

HeadResult ParseRequestHead(std::string_view buffer, std::size_t maxHeadBytes) {
    std::size_t start = 0;
    while (start < buffer.size() && (buffer[start] == '\r' || buffer[start] == '\n')) {
        ++start;
    }
    const auto end = FindHeadEnd(buffer, start);
    // Blank lines before the request line count against the limit too, so that a stream of
    // them cannot grow the buffer without end.
    if (!end) {
        return buffer.size() >= maxHeadBytes ? Bad(431) : HeadResult{};
    }
    if (*end > maxHeadBytes) {
        return Bad(431);
    }

    HeadResult result;
    result.consumed = *end;
    HttpRequest &request = result.request;
    std::string_view head = buffer.substr(start, *end - start);
    bool first = true;
    HeaderFields fields;
    while (!head.empty()) {
        const auto lf = head.find('\n');
        std::string_view line = head.substr(0, lf);
        head.remove_prefix(lf + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            break;
        }
        if (line.find('\r') != std::string_view::npos ||
            line.find('\0') != std::string_view::npos) {
            return Bad(400);
        }
        const int refused = first ? ParseRequestLine(line, request) : ParseHeaderLine(line, fields);
        if (refused != 0) {
            return Bad(refused);
        }
        first = false;
    }
    if (first) {
        return Bad(400);
    }
    request.contentLength = fields.contentLength.value_or(0);
    request.keepAlive = request.minorVersion == 1 ? !fields.closeAsked
                                                  : fields.keepAliveAsked && !fields.closeAsked;
    result.status = HeadStatus::Complete;
    return result;
}

} // namespace tessaro::tileserver
