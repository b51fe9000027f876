#pragma once

#include "common/ui_port.h"

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

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

} // namespace tessaro
