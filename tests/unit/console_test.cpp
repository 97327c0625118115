// Word and line answers read from standard input.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "host/console.h"
#include "host/events.h"
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

// The events of --json: standard output keeps only them, one object a line,
// every string as text (a board serial with a line feed, an escape and a
// byte that is no UTF-8 cannot break the line or the document).
TEST(Events, OneObjectALineOnStandardOutputMessagesOnStandardError)
{
    int out[2], err[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(err), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(err[0]);
        if (!events::start())
            _exit(2);
        printf("a message\n");
        const events::BoardId board = {.serial = "7A\n3C\x1b[2J\xff", .usb_path = "1-2"};
        events::phase("flash", &board, "writing build", 2);
        events::failure("\x1b[31mCould not find a board\nPlease reconnect it\x1b[0m");
        events::result(6, nullptr, {{"flash", "fail"}}, events::last_failure());
        fflush(stdout);
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    auto read_all = [](int fd) {
        std::string text;
        char buf[512];
        ssize_t n;
        while ((n = read(fd, buf, sizeof(buf))) > 0)
            text.append(buf, static_cast<size_t>(n));
        close(fd);
        return text;
    };
    const std::string events_text = read_all(out[0]);
    const std::string messages = read_all(err[0]);
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(messages, "a message\n");
    EXPECT_EQ(events_text,
              "{\"event\":\"phase\",\"command\":\"flash\",\"board\":\"7A\\n3C\\u001b[2J\\\\xff\","
              "\"usb_path\":\"1-2\",\"phase\":\"writing build\",\"attempt\":2}\n"
              "{\"event\":\"result\",\"status\":6,\"commands\":[{\"command\":\"flash\",\"result\":"
              "\"fail\"}],\"reason\":\"Could not find a board\"}\n");
}
