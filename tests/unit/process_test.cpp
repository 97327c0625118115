// Child processes: argument lists reach the program untouched, every child
// leads its own process group, a signal's end is told apart from an exit, and
// several children are followed at once.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "host/host.h"
#include "host/process.h"
#include "support/stdio_capture.h"
#include "support/temp_dir.h"

using testing_support::StdoutCapture;
using testing_support::TempDir;

namespace {

host::Child argv_child(std::vector<std::string> argv)
{
    host::Child child;
    child.argv = std::move(argv);
    return child;
}

// Records what run_several reports.
struct Recorder : host::Watcher {
    std::map<size_t, std::string> out, reports;
    std::map<size_t, int> status;
    std::vector<size_t> order;

    void data(size_t i, From from, std::string_view bytes) override
    {
        (from == From::reports ? reports : out)[i] += bytes;
    }
    void ended(size_t i, int s) override
    {
        status[i] = s;
        order.push_back(i);
    }
};

} // namespace

TEST(Process, ArgumentListReachesTheProgramByteForByte)
{
    TempDir dir;
    const std::string planted = dir.path() + "/ran";
    const std::vector<std::string> hostile = {
        "$(touch " + planted + ")",
        "`touch " + planted + "`",
        "a'b\"c",
        "; touch " + planted,
        "*",
        "two words",
        "",
        "line\nfeed\x01\x7f",
    };
    std::vector<std::string> argv = {"printf", "[%s]"};
    argv.insert(argv.end(), hostile.begin(), hostile.end());
    std::string out;
    EXPECT_EQ(host::capture(argv_child(argv), out, 4096), 0);
    std::string expected;
    for (const std::string &word : hostile)
        expected += "[" + word + "]";
    EXPECT_EQ(out, expected);
    EXPECT_FALSE(std::filesystem::exists(planted));

    // The same through the runner, which logs and shows the list quoted.
    host::Reply reply = host::output(argv, 4096, host::Effect::reads);
    EXPECT_EQ(reply.line, expected);
    EXPECT_EQ(host::show({"udevadm", "-p", "a b", "it's"}), "udevadm -p 'a b' 'it'\\''s'");

    // Cut at max_bytes; a program that cannot be executed exits with 127.
    EXPECT_EQ(host::capture(argv_child({"printf", "abcdef"}), out, 3), 0);
    EXPECT_EQ(out, "abc");
    EXPECT_EQ(host::capture(argv_child({"/nonexistent/tool"}), out, 3), 127);
}

TEST(Process, ChildLeadsItsOwnGroupAndASignalsEndIsReportedAsSuch)
{
    host::Child child = argv_child({"sleep", "30"});
    child.in = host::Io::null;
    ASSERT_TRUE(host::start(child));
    EXPECT_EQ(getpgid(child.pid), child.pid);
    EXPECT_NE(getpgid(child.pid), getpgrp());
    ASSERT_EQ(kill(-child.pid, SIGTERM), 0);
    EXPECT_EQ(host::wait(child), 128 + SIGTERM);
    EXPECT_EQ(child.signal, SIGTERM);

    host::Child exits = argv_child({"sh", "-c", "exit 143"});
    ASSERT_TRUE(host::start(exits));
    EXPECT_EQ(host::wait(exits), 143);
    EXPECT_EQ(exits.signal, 0);
}

TEST(Process, SeveralAtOnceEachWithItsOutputReportsAndEnd)
{
    std::vector<host::Child> children;
    host::Child slow = argv_child({"sh", "-c", "sleep 0.3; printf slow"});
    slow.out = host::Io::pipe;
    slow.label = "slow";
    children.push_back(slow);
    host::Child fails = argv_child({"sh", "-c", "printf 'to err' >&2; exit 3"});
    fails.out = host::Io::pipe;
    fails.err = host::Io::to_out;
    fails.label = "fails";
    children.push_back(fails);
    host::Child body;
    body.body = [](int reports_fd) {
        // Its own group even as a copy of this program.
        dprintf(reports_fd, "%d\n", getpgrp() == getpid() ? 1 : 0);
        printf("from the copy");
        return 0;
    };
    body.out = host::Io::pipe;
    body.reports = true;
    body.label = "body";
    children.push_back(body);
    host::Child killed = argv_child({"sh", "-c", "kill -KILL $$"});
    killed.label = "killed";
    children.push_back(killed);

    Recorder seen;
    EXPECT_EQ(host::run_several(children, seen), 2u);
    EXPECT_EQ(seen.out[0], "slow");
    EXPECT_EQ(seen.out[1], "to err");
    EXPECT_EQ(seen.out[2], "from the copy");
    EXPECT_EQ(seen.reports[2], "1\n");
    EXPECT_EQ(seen.status, (std::map<size_t, int>{{0, 0}, {1, 3}, {2, 0}, {3, 128 + SIGKILL}}));
    // Followed at once: the slow one ends last, not first.
    ASSERT_EQ(seen.order.size(), 4u);
    EXPECT_EQ(seen.order.back(), 0u);
    for (const host::Child &child : children) {
        EXPECT_EQ(child.out_fd, -1);
        EXPECT_EQ(child.reports_fd, -1);
    }
}

TEST(Process, DryRunShowsAChangingListAndRunsAReadingOne)
{
    host::set_dry_run(true);
    StdoutCapture out;
    host::Reply changing = host::output({"touch", "/nonexistent/x y"}, 64, host::Effect::changes);
    host::Reply reading = host::output({"printf", "read"}, 64, host::Effect::reads);
    int on_terminal = host::run({"rm", "-r", "/nonexistent/dir"});
    int looked = host::run({"sh", "-c", "exit 4"}, host::Effect::reads);
    host::set_dry_run(false);
    EXPECT_EQ(out.text(), "would run: touch '/nonexistent/x y'\n"
                          "would run: rm -r /nonexistent/dir\n");
    EXPECT_EQ(changing.status, 0);
    EXPECT_EQ(reading.line, "read");
    EXPECT_EQ(on_terminal, 0);
    EXPECT_EQ(looked, 4);
}
