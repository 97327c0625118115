// Line splitting, command selection and help of the command shell.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cli/shell.h"
#include "core/state.h"
#include "support/globals.h"
#include "support/stdio_capture.h"
#include "utils/eloop.h"

using testing_support::Globals;
using testing_support::StdoutCapture;

namespace {

struct Split {
    char line[128];
    char *argv[10];
    int argc;
    explicit Split(const char *text)
    {
        snprintf(line, sizeof(line), "%s", text);
        argc = parse_cmd(line, argv);
    }
    std::string word(int i) const { return argv[i]; }
};

std::string run_line(int plat, const char *text)
{
    Globals saved;
    platform = plat;
    char line[128];
    snprintf(line, sizeof(line), "%s", text);
    StdoutCapture out;
    sdk_edit_cmd_cb(nullptr, line);
    return out.text();
}

const char *const le_help = "commands:\n"
                            "help = Show usage help for LE platform\n"
                            "1 = Download LE resources\n"
                            "2 = Flash full build\n"
                            "3 = Download LE SDK toolchain\n"
                            "q = exit ostrelle\n";
const char *const lu_help =
    "commands:\n"
    "help = Show usage help for LU platform\n"
    "1 = Download LU resources and generate system.img with current release\n"
    "2 = Flash full build (require system.img generation first)\n"
    "q = exit ostrelle\n";

} // namespace

TEST(ParseCmd, SplitsAtBlanksOnly)
{
    Split s("  1 a\tb  \"c d\" ");
    ASSERT_EQ(s.argc, 4);
    EXPECT_EQ(s.word(0), "1");
    EXPECT_EQ(s.word(1), "a\tb");
    EXPECT_EQ(s.word(2), "\"c");
    EXPECT_EQ(s.word(3), "d\"");
}

TEST(ParseCmd, BlanksOnlyAndEmptyGiveNoWords)
{
    EXPECT_EQ(Split("   ").argc, 0);
    EXPECT_EQ(Split("").argc, 0);
}

TEST(ParseCmd, TenthWordKeepsTheRestOfTheLine)
{
    Split s("c 1 2 3 4 5 6 7 8 9  10 ");
    ASSERT_EQ(s.argc, 10);
    EXPECT_EQ(s.word(8), "8");
    EXPECT_EQ(s.word(9), "9  10 ");
    Split t("c 1 2 3 4 5 6 7 8 9");
    ASSERT_EQ(t.argc, 10);
    EXPECT_EQ(t.word(9), "9");
}

TEST(Shell, HelpListsTheLiveTable)
{
    EXPECT_EQ(run_line(2, "help"), le_help);
    EXPECT_EQ(run_line(1, " help extra"), lu_help);
    // Every value other than 1 means LE.
    EXPECT_EQ(run_line(0, "help"), le_help);
}

TEST(Shell, UnknownWordsGiveTheHelpListing)
{
    for (const char *word : {"Q", "Quit", "he", "help\tx", "helpx"})
        EXPECT_EQ(run_line(2, word), "Unknown command '" + std::string(word) + "'\n\n" + le_help);
    EXPECT_EQ(run_line(1, "3"), std::string("Unknown command '3'\n\n") + lu_help);
}

TEST(Shell, LineOfBlanksCannotSelect)
{
    EXPECT_EQ(run_line(2, "   "), "could not sdk_cmd_select\n");
}

TEST(Shell, QuitAsksTheLoopToStop)
{
    ASSERT_EQ(eloop_init(), 0);
    EXPECT_EQ(eloop_terminated(), 0);
    EXPECT_EQ(run_line(2, " q "), "");
    EXPECT_NE(eloop_terminated(), 0);
    eloop_destroy();

    ASSERT_EQ(eloop_init(), 0);
    sdk_edit_eof_cb(nullptr);
    EXPECT_NE(eloop_terminated(), 0);
    eloop_destroy();
}

TEST(Shell, TablesEndWithANullRow)
{
    int le = 0, lu = 0;
    while (sdk_le_commands[le].cmd)
        le++;
    while (sdk_lu_commands[lu].cmd)
        lu++;
    EXPECT_EQ(le, 5);
    EXPECT_EQ(lu, 4);
    EXPECT_EQ(sdk_le_commands[le].handler, nullptr);
    EXPECT_EQ(sdk_lu_commands[lu].usage, nullptr);
}
