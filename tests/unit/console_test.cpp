// Word and line answers read from standard input.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/console.h"
#include "support/stdio_capture.h"

using console::Read;
using testing_support::StdinFeed;

TEST(ReadWord, SkipsBlanksAndLineEndsAndConsumesOneCharacterAfter)
{
    StdinFeed in("  \n\n  y\nrest");
    char field[8];
    EXPECT_EQ(console::read_word(field, sizeof(field)), Read::ok);
    EXPECT_STREQ(field, "y");
    EXPECT_EQ(getc(stdin), 'r');
}

TEST(ReadWord, LeavesTheLineEndWhenAsked)
{
    StdinFeed in("1\n2\n");
    char field[8];
    EXPECT_EQ(console::read_word(field, sizeof(field), false), Read::ok);
    EXPECT_EQ(getc(stdin), '\n');
}

TEST(ReadWord, WordThatFillsTheFieldFitsOneMoreIsRefused)
{
    StdinFeed in("1234567\n12345678\n1\n");
    char field[8];
    EXPECT_EQ(console::read_word(field, sizeof(field)), Read::ok);
    EXPECT_STREQ(field, "1234567");
    // Refused whole: it never reads as its first seven characters.
    EXPECT_EQ(console::read_word(field, sizeof(field)), Read::too_long);
    EXPECT_STREQ(field, "");
    EXPECT_EQ(console::read_word(field, sizeof(field)), Read::ok);
    EXPECT_STREQ(field, "1");
}

TEST(ReadWord, EndOfInput)
{
    StdinFeed in(" \n ");
    char field[8] = "x";
    EXPECT_EQ(console::read_word(field, sizeof(field)), Read::eof);
    EXPECT_STREQ(field, "");
    StdinFeed last("y");
    EXPECT_EQ(console::read_word(field, sizeof(field)), Read::ok);
    EXPECT_STREQ(field, "y");
}

TEST(ReadLine, KeepsLineEndRefusesLongLinesAndReportsEnd)
{
    StdinFeed in("\n/data/work\n" + std::string(20, 'a') + "\nlast");
    char field[16];
    EXPECT_EQ(console::read_line(field, sizeof(field)), Read::ok);
    EXPECT_STREQ(field, "\n");
    EXPECT_EQ(console::read_line(field, sizeof(field)), Read::ok);
    EXPECT_STREQ(field, "/data/work\n");
    EXPECT_EQ(console::read_line(field, sizeof(field)), Read::too_long);
    EXPECT_STREQ(field, "");
    EXPECT_EQ(console::read_line(field, sizeof(field)), Read::ok);
    EXPECT_STREQ(field, "last");
    EXPECT_EQ(console::read_line(field, sizeof(field)), Read::eof);
}

TEST(ReadLine, LineOfExactlyFieldMinusOneFits)
{
    StdinFeed in(std::string(14, 'b') + "\n" + std::string(15, 'c') + "\n");
    char field[16];
    EXPECT_EQ(console::read_line(field, sizeof(field)), Read::ok);
    EXPECT_EQ(std::string(field), std::string(14, 'b') + "\n");
    EXPECT_EQ(console::read_line(field, sizeof(field)), Read::too_long);
}

TEST(YesNo, EnterAndWordsInAnyCaseOtherAnswersAskAgain)
{
    using console::YesNo;
    struct Case {
        std::string input;
        YesNo answer;
        int questions;
    };
    for (const Case &c :
         {Case{"\n", YesNo::yes, 1}, Case{" YeS \n", YesNo::yes, 1}, Case{"y", YesNo::yes, 1},
          Case{"nO\n", YesNo::no, 1}, Case{"N\n", YesNo::no, 1},
          Case{"ja\n\x1b[C\nn\n", YesNo::no, 3},
          Case{std::string(70, 'y') + "\ny\n", YesNo::yes, 2}, Case{"maybe\n", YesNo::eof, 2}}) {
        StdinFeed in(c.input);
        testing_support::StdoutCapture cap;
        YesNo got = console::ask_yes_no("Q? ");
        std::string out = cap.text();
        EXPECT_EQ(got, c.answer) << c.input;
        int questions = 0;
        for (size_t at = out.find("Q? "); at != std::string::npos; at = out.find("Q? ", at + 1))
            questions++;
        EXPECT_EQ(questions, c.questions) << out;
    }
}
