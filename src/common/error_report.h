#pragma once

#include "common/progress.h"
#include "common/ui_port.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace tessaro {

/// Title of the message-box form of the error report.
inline constexpr std::string_view kReportTitle = "Unexpected Program Error";

/// Display mode that shows a report in the error-text window; any other mode (the program
/// uses 3) shows it in a message box.
inline constexpr int kWindowMode = 4;
/// Display mode of the message-box report.
inline constexpr int kMessageMode = 3;

/// Returns "Line : " and the line number, or the empty string for line 0.
[[nodiscard]] std::string LineText(std::int32_t line);

/// Returns the procedure text of a trapped error: the procedure's name with its trailing
/// blank, the context (a module path or a locale item; may be empty), one blank, the line text.
/// "LoadFromRegistry " with no context at line 0 gives "LoadFromRegistry " and one more blank.
[[nodiscard]] std::string ProcedureText(std::string_view nameWithBlank, std::string_view context,
                                        std::int32_t line);

/// Returns the description block: CR LF "Error Number " CR LF TAB number CR LF
/// "Description" CR LF TAB description CR LF CR LF.
[[nodiscard]] std::string DescriptionBlock(std::int32_t number, std::string_view description);

/// Returns the report text shown in the error-text window (display mode 4).
[[nodiscard]] std::string ComposeWindowReport(std::string_view procedureText, std::int32_t number,
                                              std::string_view description);

/// Returns the report text shown in the message box (every other display mode).
[[nodiscard]] std::string ComposeMessageReport(std::string_view procedureText, std::int32_t number,
                                               std::string_view description);

/// Composes and shows a report: mode 4 in the error-text window; otherwise a beep and a
/// message box with the exclamation icon titled "Unexpected Program Error".
void ReportError(UiPort &ui, std::string_view procedureText, std::int32_t number,
                 std::string_view description, int displayMode);

/// Reports a caught exception: tessaro::Error gives its own number, std::bad_alloc 7 (out of
/// memory), anything else 5; the description is the exception's message. Every error-trapped
/// procedure goes through here.
void ReportException(UiPort &ui, std::string_view procedureText, const std::exception &error,
                     int displayMode);

/// Reports an exception of unknown type (number 5, "Unknown error").
void ReportUnknownException(UiPort &ui, std::string_view procedureText, int displayMode);

/// The error trap of a procedure that reports its own failures: runs body and passes on what
/// it returns. An exception it throws is reported under the procedure's name (message-box
/// mode, no line) and ends the procedure: a void body then gives false (true when it ran to
/// its end), any other body an empty optional; so does a stop the user asked for (RunStopped),
/// without a report. Owners inside the body (progress passes,
/// staged files) are released before the report shows.
template <class Body>
[[nodiscard]] auto RunTrapped(UiPort &ui, std::string_view procedureName, Body &&body) {
    using Result = std::invoke_result_t<Body &>;
    using Outcome = std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>>;
    try {
        if constexpr (std::is_void_v<Result>) {
            body();
            return Outcome{true};
        } else {
            return Outcome{body()};
        }
    } catch (const RunStopped &) {
        // Stopped by the user, who needs no report.
    } catch (const std::exception &e) {
        ReportException(ui, ProcedureText(procedureName, {}, 0), e, kMessageMode);
    } catch (...) {
        ReportUnknownException(ui, ProcedureText(procedureName, {}, 0), kMessageMode);
    }
    return Outcome{};
}

} // namespace tessaro
