#include "common/error_report.h"

#include "common/error.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

#include <new>
using namespace tessaro;

TEST(ErrorReport, LineTextAndProcedureText) {
    EXPECT_EQ(LineText(0), "");
    EXPECT_EQ(LineText(12), "Line : 12");
    EXPECT_EQ(ProcedureText("LoadFromRegistry ", "", 0), "LoadFromRegistry  ");
    EXPECT_EQ(ProcedureText("CmdLoad_Click ", "", 12), "CmdLoad_Click  Line : 12");
    EXPECT_EQ(ProcedureText("Form_Load ", "src/settings/main_dialog.cpp", 3),
              "Form_Load src/settings/main_dialog.cpp Line : 3");
}

TEST(ErrorReport, MessageBoxLayoutCharacterForCharacter) {
    const std::string expected =
        "An error has occured in the application.   Record the call stack sequence\r\n"
        "and the description of the error.\r\n"
        "\r\n"
        "Error Call Stack Sequence \r\n"
        "\tCmdLoad_Click  Line : 12\r\n"
        "\r\n"
        "Error Number \r\n"
        "\t13\r\n"
        "Description\r\n"
        "\tType mismatch\r\n"
        "\r\n";
    EXPECT_EQ(ComposeMessageReport(ProcedureText("CmdLoad_Click ", "", 12), 13, "Type mismatch"),
              expected);

    tessaro::test::RecordingUi ui;
    ReportError(ui, "CmdLoad_Click  Line : 12", 13, "Type mismatch", kMessageMode);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, expected);
    EXPECT_EQ(ui.messages[0].title, "Unexpected Program Error");
    EXPECT_EQ(ui.messages[0].icon, Icon::Exclamation);
    EXPECT_EQ(ui.beeps, 1);
    EXPECT_TRUE(ui.errorTexts.empty());
}

TEST(ErrorReport, WindowLayoutCharacterForCharacter) {
    const std::string expected = "Record Call Stack Sequence - Bottom line is error line.\r\n"
                                 "\r\n"
                                 "\tGoogleList  \r\n"
                                 "\r\n"
                                 "Error Number \r\n"
                                 "\t6\r\n"
                                 "Description\r\n"
                                 "\tOverflow\r\n"
                                 "\r\n";
    tessaro::test::RecordingUi ui;
    ReportError(ui, ProcedureText("GoogleList ", "", 0), 6, "Overflow", kWindowMode);
    ASSERT_EQ(ui.errorTexts.size(), 1u);
    EXPECT_EQ(ui.errorTexts[0], expected);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_EQ(ui.beeps, 0);
}

// The shared trap: a body that throws is reported under the procedure's name in a message box,
// with the exception's own number (7 for memory, 5 for anything else) and message; a void body
// then gives false (true when it ran to its end), any other an empty result.
TEST(ErrorReport, RunTrappedReportsUnderTheProcedureName) {
    tessaro::test::RecordingUi ui;
    EXPECT_TRUE(RunTrapped(ui, "AddPolygonFC ", [] {}));
    EXPECT_EQ(RunTrapped(ui, "SizeCount ", [] { return 7; }), 7);
    EXPECT_FALSE(RunTrapped(ui, "AddPolygonFC ", [] { throw tessaro::OverflowError("too many"); }));
    EXPECT_FALSE(RunTrapped(ui, "x ", [] { throw std::bad_alloc(); }));
    EXPECT_FALSE(RunTrapped(ui, "x ", [] { throw std::runtime_error("odd"); }));
    EXPECT_FALSE(RunTrapped(
        ui, "x ", [] { throw tessaro::FileError("gone", tessaro::ErrorNumber::DiskFull); }));
    EXPECT_EQ(RunTrapped(ui, "SizeCount ", []() -> int { throw 1; }), std::nullopt);
    const char *expected[] = {
        "\tAddPolygonFC  \r\n\r\nError Number \r\n\t6\r\nDescription\r\n\ttoo many\r\n", "\t7\r\n",
        "\t5\r\nDescription\r\n\todd\r\n", "\t61\r\n",
        "\tSizeCount  \r\n\r\nError Number \r\n\t5\r\nDescription\r\n\tUnknown error\r\n"};
    ASSERT_EQ(ui.messages.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_NE(ui.messages[i].text.find(expected[i]), std::string::npos) << ui.messages[i].text;
    }
}
