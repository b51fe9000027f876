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

TEST(ErrorReport, ExceptionsKeepTheirNumbers) {
    tessaro::test::RecordingUi ui;
    ReportException(ui, "x ", tessaro::OverflowError("too many"), kWindowMode);
    ReportException(ui, "x ", std::bad_alloc(), kWindowMode);
    ReportException(ui, "x ", std::runtime_error("odd"), kWindowMode);
    ReportException(ui, "x ", tessaro::FileError("gone", tessaro::ErrorNumber::DiskFull),
                    kWindowMode);
    ASSERT_EQ(ui.errorTexts.size(), 4u);
    EXPECT_NE(ui.errorTexts[0].find("\t6\r\nDescription\r\n\ttoo many\r\n"), std::string::npos);
    EXPECT_NE(ui.errorTexts[1].find("\t7\r\n"), std::string::npos);
    EXPECT_NE(ui.errorTexts[2].find("\t5\r\nDescription\r\n\todd\r\n"), std::string::npos);
    EXPECT_NE(ui.errorTexts[3].find("\t61\r\n"), std::string::npos);
}

// The shared trap: a body that throws is reported under the procedure's name in a message box;
// a void body then gives false (true when it ran to its end), any other an empty result.
TEST(ErrorReport, RunTrappedReportsUnderTheProcedureName) {
    tessaro::test::RecordingUi ui;
    EXPECT_TRUE(RunTrapped(ui, "AddPolygonFC ", [] {}));
    EXPECT_EQ(RunTrapped(ui, "SizeCount ", [] { return 7; }), 7);
    EXPECT_FALSE(RunTrapped(ui, "AddPolygonFC ", [] { throw tessaro::FileError("gone"); }));
    EXPECT_EQ(RunTrapped(ui, "SizeCount ", []() -> int { throw 1; }), std::nullopt);
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_NE(ui.messages[0].text.find("\tAddPolygonFC  \r\n\r\nError Number \r\n\t75\r\n"
                                       "Description\r\n\tgone\r\n"),
              std::string::npos)
        << ui.messages[0].text;
    EXPECT_NE(ui.messages[1].text.find("\tSizeCount  \r\n\r\nError Number \r\n\t5\r\n"
                                       "Description\r\n\tUnknown error\r\n"),
              std::string::npos)
        << ui.messages[1].text;
}
