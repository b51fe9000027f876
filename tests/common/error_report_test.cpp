#include "common/error_report.h"

#include "common/count_down.h"
#include "common/error.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

#include <new>
using namespace tessaro;

// The message box beeps and shows the report under its title; the error window shows its own
// layout and does not beep. The procedure text is the name, its context and the line if any.
TEST(ErrorReport, BothLayoutsCharacterForCharacter) {
    tessaro::test::RecordingUi ui;
    ReportError(ui, ProcedureText("CmdLoad_Click ", "", 12), 13, "Type mismatch", kMessageMode);
    ReportError(ui, ProcedureText("Form_Load ", "main_dialog.cpp", 3), 6, "Overflow", kWindowMode);
    ASSERT_EQ(ui.messages.size(), 1u);
    ASSERT_EQ(ui.errorTexts.size(), 1u);
    EXPECT_EQ(ui.messages[0].text,
              "An error has occured in the application.   Record the call stack sequence\r\n"
              "and the description of the error.\r\n\r\nError Call Stack Sequence \r\n"
              "\tCmdLoad_Click  Line : 12\r\n\r\nError Number \r\n\t13\r\nDescription\r\n"
              "\tType mismatch\r\n\r\n");
    EXPECT_EQ(ui.messages[0].title, "Unexpected Program Error");
    EXPECT_EQ(ui.messages[0].icon, Icon::Exclamation);
    EXPECT_EQ(ui.errorTexts[0], "Record Call Stack Sequence - Bottom line is error line.\r\n\r\n"
                                "\tForm_Load main_dialog.cpp Line : 3\r\n\r\nError Number \r\n"
                                "\t6\r\nDescription\r\n\tOverflow\r\n\r\n");
    EXPECT_EQ(ui.beeps, 1);
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
    EXPECT_EQ(RunTrapped(ui, "SizeCount ", []() -> int { throw 1; }), std::nullopt);
    const char *expected[] = {
        "\tAddPolygonFC  \r\n\r\nError Number \r\n\t6\r\nDescription\r\n\ttoo many\r\n", "\t7\r\n",
        "\t5\r\nDescription\r\n\todd\r\n",
        "\tSizeCount  \r\n\r\nError Number \r\n\t5\r\nDescription\r\n\tUnknown error\r\n"};
    ASSERT_EQ(ui.messages.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_NE(ui.messages[i].text.find(expected[i]), std::string::npos) << ui.messages[i].text;
    }
}

// The pause between download batches: a pause of N seconds shows N − 1 at once and stays at 0;
// 0 means 30; a negative pause never ends by itself.
TEST(CountDown, CountsDownFromOneLessAndEndsAtZero) {
    const std::pair<int, const char *> cases[] = {
        {3, "2 1 0 0 done"}, {1, "0 0 0 0 done"}, {0, "29 28 27 26 "}, {-1, "-2 -3 -4 -5 endless"}};
    for (const auto &[seconds, shown] : cases) {
        CountDownClock clock(seconds);
        std::string texts;
        for (int i = 0; i < 4; ++i) {
            texts += std::to_string(clock.Left()) + " ";
            clock.Tick();
        }
        EXPECT_EQ(texts + (clock.Done() ? "done" : clock.Endless() ? "endless" : ""), shown);
    }
}
