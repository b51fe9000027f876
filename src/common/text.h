#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaro {

/// Line end of every text file Tessaro writes.
inline constexpr std::string_view kCrLf = "\r\n";

/// Returns the decimal text of a double as files carry it: at most 15 significant digits,
/// no exponent, no group separators, "." as the decimal point whatever the locale,
/// trailing zeros dropped ("1000.5", "-1", "0.074562009").
[[nodiscard]] std::string FormatDouble(double value);

/// Appends FormatDouble(value) to out without a temporary string.
void AppendDouble(std::string &out, double value);

/// Appends the plain decimal text of an integer.
void AppendInt(std::string &out, std::int64_t value);

/// Returns the text with leading and trailing blanks (spaces only) removed; tabs and line
/// breaks stay part of the value.
[[nodiscard]] std::string TrimBlanks(std::string_view text);

/// Parses a whole decimal number (optional sign, digits only, surrounding blanks allowed).
/// Returns false when the text is not such a number or does not fit.
[[nodiscard]] bool ParseInt(std::string_view text, std::int64_t &value);

/// Parses a finite decimal number written with "." (C locale); surrounding blanks allowed.
/// Returns false for anything else, including NaN and infinities.
[[nodiscard]] bool ParseDouble(std::string_view text, double &value);

} // namespace tessaro
