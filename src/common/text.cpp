#include "common/text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tessaro {

namespace {

// Renders value with 15 significant digits in positional notation. std::to_chars in general
// format switches to an exponent for very large or very small magnitudes; the tile grids never
// produce those, but the text must stay positional whatever comes in.
std::string_view RenderDouble(double value, std::array<char, 400> &buf) {
    if (value == 0.0 || !std::isfinite(value)) {
        if (value == 0.0) {
            return "0"; // also for -0.0
        }
        return std::isnan(value) ? "NaN" : (value > 0 ? "Infinity" : "-Infinity");
    }
    auto res =
        std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::general, 15);
    std::string_view text(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));
    if (text.find('e') == std::string_view::npos) {
        return text;
    }
    // Exponent form ("1.5e-07", "-1.23456789012346e+17"): write the same significant digits
    // out positionally.
    const auto ePos = text.find('e');
    int exponent = 0;
    std::from_chars(text.data() + ePos + 1 + (text[ePos + 1] == '+' ? 1 : 0),
                    text.data() + text.size(), exponent);
    std::string digits;
    const bool negative = text.front() == '-';
    for (char c : text.substr(0, ePos)) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    std::string out = negative ? "-" : "";
    if (exponent >= 0) {
        const auto intDigits = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= intDigits) {
            out += digits;
            out.append(intDigits - digits.size(), '0');
        } else {
            out += digits.substr(0, intDigits);
            out += '.';
            out += digits.substr(intDigits);
        }
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    }
    std::copy(out.begin(), out.end(), buf.data());
    return {buf.data(), out.size()};
}

} // namespace

std::string FormatDouble(double value) {
    std::array<char, 400> buf{};
    return std::string(RenderDouble(value, buf));
}

void AppendDouble(std::string &out, double value) {
    std::array<char, 400> buf{};
    out.append(RenderDouble(value, buf));
}

void AppendInt(std::string &out, std::int64_t value) {
    std::array<char, 24> buf{};
    auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value);
    out.append(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));
}

std::string TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(' ');
    return std::string(text.substr(first, last - first + 1));
}

bool ParseInt(std::string_view text, std::int64_t &value) {
    const std::string trimmed = TrimBlanks(text);
    std::string_view s = trimmed;
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
    }
    if (s.empty()) {
        return false;
    }
    std::int64_t parsed = 0;
    auto res = std::from_chars(s.data(), s.data() + s.size(), parsed);
    if (res.ec != std::errc() || res.ptr != s.data() + s.size()) {
        return false;
    }
    value = parsed;
    return true;
}

bool ParseDouble(std::string_view text, double &value) {
    const std::string trimmed = TrimBlanks(text);
    std::string_view s = trimmed;
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
    }
    if (s.empty()) {
        return false;
    }
    // from_chars would take "inf" and "nan"; only digits, one point and an exponent are numbers
    // here.
    for (char c : s) {
        const bool ok =
            (c >= '0' && c <= '9') || c == '.' || c == '-' || c == 'e' || c == 'E' || c == '+';
        if (!ok) {
            return false;
        }
    }
    double parsed = 0;
    auto res = std::from_chars(s.data(), s.data() + s.size(), parsed);
    if (res.ec != std::errc() || res.ptr != s.data() + s.size() || !std::isfinite(parsed)) {
        return false;
    }
    value = parsed;
    return true;
}

} // namespace tessaro
