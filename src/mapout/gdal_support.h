#pragma once

#include "common/error.h"

#include <cpl_error.h>

#include <string>
#include <string_view>

namespace tessaro::mapout {

/// GDAL, OGR or PROJ refused an operation. The message names the file or layer and carries
/// GDAL's own text (CPLGetLastErrorMsg).
class GdalError : public Error {
public:
    explicit GdalError(const std::string &message) : Error(message, ErrorNumber::Gdal) {}
};

/// Registers GDAL's drivers once per process; every entry point of the data layer calls it
/// before it opens anything. Thread-safe.
void EnsureGdalRegistered();

/// Catches what GDAL reports while it lives, on this thread, instead of letting GDAL print
/// it to standard error: the first failure and the first warning are kept for messages.
/// Nested captures work; the innermost one sees the reports.
class GdalErrorCapture {
public:
    GdalErrorCapture();
    GdalErrorCapture(const GdalErrorCapture &) = delete;
    GdalErrorCapture &operator=(const GdalErrorCapture &) = delete;
    ~GdalErrorCapture();

    /// True when GDAL reported a failure (CE_Failure or CE_Fatal) since the last Clear.
    [[nodiscard]] bool HasFailure() const noexcept { return !m_failure.empty(); }
    /// True when GDAL reported a warning since the last Clear.
    [[nodiscard]] bool HasWarning() const noexcept { return !m_warning.empty(); }
    /// Returns the first failure text, else the first warning text, else the empty string.
    [[nodiscard]] std::string Message() const { return HasFailure() ? m_failure : m_warning; }
    /// Forgets what was caught so far (and resets GDAL's last error).
    void Clear() noexcept;

private:
    static void CPL_STDCALL Handler(CPLErr level, CPLErrorNum number, const char *text);

    std::string m_failure;
    std::string m_warning;
};

/// Returns "what: reason", or what alone when reason is empty; for error messages that add
/// GDAL's text to our own sentence.
[[nodiscard]] std::string WithReason(std::string_view what, std::string_view reason);

} // namespace tessaro::mapout
