#include "common/error_report.h"

#include "common/error.h"
#include "common/text.h"

#include <new>

namespace tessaro {

std::string LineText(std::int32_t line) {
    if (line == 0) {
        return {};
    }
    std::string text = "Line : ";
    AppendInt(text, line);
    return text;
}

std::string ProcedureText(std::string_view nameWithBlank, std::string_view context,
                          std::int32_t line) {
    std::string text(nameWithBlank);
    text += context;
    text += ' ';
    text += LineText(line);
    return text;
}

std::string DescriptionBlock(std::int32_t number, std::string_view description) {
    std::string block;
    block += kCrLf;
    block += "Error Number ";
    block += kCrLf;
    block += '\t';
    AppendInt(block, number);
    block += kCrLf;
    block += "Description";
    block += kCrLf;
    block += '\t';
    block += description;
    block += kCrLf;
    block += kCrLf;
    return block;
}

std::string ComposeWindowReport(std::string_view procedureText, std::int32_t number,
                                std::string_view description) {
    std::string text = "Record Call Stack Sequence - Bottom line is error line.";
    text += kCrLf;
    text += kCrLf;
    text += '\t';
    text += procedureText;
    text += kCrLf;
    text += DescriptionBlock(number, description);
    return text;
}

std::string ComposeMessageReport(std::string_view procedureText, std::int32_t number,
                                 std::string_view description) {
    std::string text = "An error has occured in the application.   Record the call stack sequence";
    text += kCrLf;
    text += "and the description of the error.";
    text += kCrLf;
    text += kCrLf;
    text += "Error Call Stack Sequence ";
    text += kCrLf;
    text += '\t';
    text += procedureText;
    text += kCrLf;
    text += DescriptionBlock(number, description);
    return text;
}

void ReportError(UiPort &ui, std::string_view procedureText, std::int32_t number,
                 std::string_view description, int displayMode) {
    if (displayMode == kWindowMode) {
        ui.ShowErrorText(ComposeWindowReport(procedureText, number, description));
        return;
    }
    ui.Beep();
    ui.ShowMessage(ComposeMessageReport(procedureText, number, description), Icon::Exclamation,
                   kReportTitle);
}

void ReportException(UiPort &ui, std::string_view procedureText, const std::exception &error,
                     int displayMode) {
    std::int32_t number = static_cast<std::int32_t>(ErrorNumber::InvalidProcedureCall);
    if (const auto *own = dynamic_cast<const Error *>(&error)) {
        number = own->Number();
    } else if (dynamic_cast<const std::bad_alloc *>(&error) != nullptr) {
        number = static_cast<std::int32_t>(ErrorNumber::OutOfMemory);
    }
    ReportError(ui, procedureText, number, error.what(), displayMode);
}

void ReportUnknownException(UiPort &ui, std::string_view procedureText, int displayMode) {
    ReportError(ui, procedureText, static_cast<std::int32_t>(ErrorNumber::InvalidProcedureCall),
                "Unknown error", displayMode);
}

} // namespace tessaro
