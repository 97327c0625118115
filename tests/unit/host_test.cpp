// Quoting and composition limits of the command runner.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/host.h"
#include "support/fake_runner.h"

using testing_support::FakeRunner;

namespace {

// What /bin/sh makes of a quoted value: the single word printf receives.
std::string through_shell(const std::string &value)
{
    std::string cmd = "printf '%s' " + host::quote(value);
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

} // namespace

TEST(Quote, PlainValuesStayExactlyAsTheyAre)
{
    for (const char *v : {"/home/user/work/", "user@example.com", "kt5_lu2.0_release-1.0",
                          "a%b+c=d:e,f", "0123456789abcdef"})
        EXPECT_EQ(host::quote(v), v);
}

TEST(Quote, TortureStringSurvivesTheShellAsOneWord)
{
    const std::string torture = "a b'c\"d$(touch x)`id`;e|f&g*h?i\\j\nk\tl'";
    std::string quoted = host::quote(torture);
    EXPECT_EQ(quoted.front(), '\'');
    EXPECT_EQ(through_shell(torture), torture);
    EXPECT_EQ(through_shell("'"), "'");
    EXPECT_EQ(host::quote(""), "''");
    EXPECT_EQ(through_shell(""), "");
}

TEST(Runner, LineThatDoesNotFitItsBufferIsRefusedUnrun)
{
    FakeRunner fake;
    std::string fits(511, 'x');
    std::string too_long(512, 'x');
    EXPECT_EQ(host::run(fits), 0);
    EXPECT_LT(host::run(too_long), 0);
    EXPECT_FALSE(host::run_wait(too_long));
    EXPECT_FALSE(host::pass_through(too_long));
    EXPECT_FALSE(host::first_line(too_long, 65).started());
    EXPECT_TRUE(host::run(too_long, 800) >= 0);
    // The probe's tail counts against the buffer too.
    EXPECT_FALSE(host::probe(std::string(505, 'x')).started());
    EXPECT_EQ(fake.commands(), (std::vector<std::string>{fits, too_long}));
}

TEST(Runner, ProbeAppendsStatusEchoAndReadsIntoLineBuffer)
{
    FakeRunner fake;
    fake.push_read_line("0\n");
    host::Reply r = host::probe("mkdir -p /x/files/");
    EXPECT_TRUE(r.is("0\n"));
    ASSERT_EQ(fake.calls().size(), 1u);
    EXPECT_EQ(fake.calls()[0].cmd, "mkdir -p /x/files/; echo $?");
    EXPECT_EQ(fake.calls()[0].line_buffer, 512u);
}

TEST(Runner, RealRunnerTellsLineNoLineAndFirstLineOnly)
{
    host::Reply r = host::first_line("printf 'one\\ntwo\\n'", 512);
    EXPECT_TRUE(r.is("one\n"));
    EXPECT_EQ(host::first_line("true", 512).outcome, host::Outcome::no_line);
    // A digest read into 65 bytes keeps exactly 64 characters.
    r = host::first_line("printf '%070d\\n' 0", 65);
    EXPECT_EQ(r.line, std::string(64, '0'));
    EXPECT_TRUE(host::probe("false").is("1\n"));
}

TEST(Runner, RealPassThroughReportsTheToolsExitStatus)
{
    EXPECT_EQ(host::pass_through_status("true"), 0);
    EXPECT_EQ(host::pass_through_status("exit 9"), 9);
    EXPECT_EQ(host::pass_through_status("kill -KILL $$"), 128 + 9);
    EXPECT_EQ(host::pass_through_status(std::string(512, 'x')), -1);
    EXPECT_TRUE(host::pass_through("exit 9"));
}
