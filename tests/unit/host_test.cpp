// Quoting and composition limits of the command runner.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "host/adb_server.h"
#include "host/host.h"
#include "host/progress.h"
#include "support/fake_runner.h"
#include "support/stdio_capture.h"

using testing_support::FakeRunner;
using testing_support::StdoutCapture;

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

TEST(Runner, DryRunShowsTheProbedCommandWithoutItsStatusEcho)
{
    FakeRunner fake;
    host::set_dry_run(true);
    StdoutCapture cap;
    host::Reply r = host::probe("mkdir -p /x/files/");
    host::Reply looked = host::probe("ls /x", host::cmd_buffer, host::Effect::reads);
    // A look at what the run would have made is neither run nor shown.
    host::Reply made =
        host::first_line("ls /x/files/made", 512, host::cmd_buffer, host::Effect::assumed);
    // Every other way of running a change is shown and answered as done too.
    EXPECT_EQ(host::run("rm -f /x/a"), 0);
    EXPECT_EQ(host::run_progress("wget b"), 0);
    EXPECT_EQ(host::run_logged("make c"), 0);
    EXPECT_EQ(host::run_wait_status("tar d"), 0);
    EXPECT_EQ(host::pass_through_status("sudo e"), 0);
    EXPECT_EQ(host::output("unzip f").outcome, host::Outcome::no_line);
    host::set_dry_run(false);
    EXPECT_EQ(cap.text(), "would run: mkdir -p /x/files/\nwould run: rm -f /x/a\n"
                          "would run: wget b\nwould run: make c\nwould run: tar d\n"
                          "would run: sudo e\nwould run: unzip f\n");
    // The change is answered as done; a probe that only reads still runs.
    EXPECT_TRUE(r.is("0\n"));
    EXPECT_TRUE(made.is("0\n"));
    EXPECT_EQ(looked.outcome, host::Outcome::no_line);
    EXPECT_EQ(fake.commands(), (std::vector<std::string>{"ls /x; echo $?"}));
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

namespace {

// The lines the filter keeps of a stream fed in pieces of at most piece bytes.
std::vector<std::string> kept(const std::string &stream, size_t piece)
{
    std::vector<std::string> lines;
    host::ProgressLines filter([&lines](const std::string &line) { lines.push_back(line); });
    for (size_t at = 0; at < stream.size(); at += piece)
        filter.feed(std::string_view(stream).substr(at, piece));
    filter.finish();
    return lines;
}

using Lines = std::vector<std::string>;

} // namespace

TEST(ProgressLines, RedrawnPercentagesBecomeALinePerPhaseAndTenPercentSteps)
{
    std::string stream = "Binary build date: Jun 25 2025\n";
    for (int p = 0; p <= 100; p += 3)
        stream += "\rfh_loader: erasing UFS part 0 " + std::to_string(p) + "%";
    stream += "\rfh_loader: erasing UFS part 0 100%\n";
    for (int p = 0; p <= 100; p += 7)
        stream += "\rfh_loader: programming rawprogram0.xml " + std::to_string(p) + ".5 %";
    // The same phase again from the start: a new round.
    stream += "\rfh_loader: erasing UFS part 0 3%\rfh_loader: erasing UFS part 0 5%";
    stream += "\nDownload Fail: Could not read from port\n\rlast 42%";
    const Lines expected = {
        "Binary build date: Jun 25 2025",
        "fh_loader: erasing UFS part 0 0%",
        "fh_loader: erasing UFS part 0 12%",
        "fh_loader: erasing UFS part 0 21%",
        "fh_loader: erasing UFS part 0 30%",
        "fh_loader: erasing UFS part 0 42%",
        "fh_loader: erasing UFS part 0 51%",
        "fh_loader: erasing UFS part 0 60%",
        "fh_loader: erasing UFS part 0 72%",
        "fh_loader: erasing UFS part 0 81%",
        "fh_loader: erasing UFS part 0 90%",
        "fh_loader: erasing UFS part 0 100%",
        "fh_loader: programming rawprogram0.xml 0.5 %",
        "fh_loader: programming rawprogram0.xml 14.5 %",
        "fh_loader: programming rawprogram0.xml 21.5 %",
        "fh_loader: programming rawprogram0.xml 35.5 %",
        "fh_loader: programming rawprogram0.xml 42.5 %",
        "fh_loader: programming rawprogram0.xml 56.5 %",
        "fh_loader: programming rawprogram0.xml 63.5 %",
        "fh_loader: programming rawprogram0.xml 70.5 %",
        "fh_loader: programming rawprogram0.xml 84.5 %",
        "fh_loader: programming rawprogram0.xml 91.5 %",
        "fh_loader: erasing UFS part 0 3%",
        "Download Fail: Could not read from port",
        // A last fragment without its line end still counts.
        "last 42%",
    };
    // However the tool's writes are cut, the same lines come out, none with
    // a carriage return.
    for (size_t piece : {stream.size(), size_t{1}, size_t{2}, size_t{5}, size_t{17}})
        EXPECT_EQ(kept(stream, piece), expected) << piece;
}

TEST(ProgressLines, ToolWithoutPercentagesKeepsItsLinesAndEachChangedRedraw)
{
    const std::string stream = "Waiting\rWaiting\rWaiting.\rWaiting.\r\r"
                               "same\nsame\n  \nERROR: 5 retries\n";
    EXPECT_EQ(kept(stream, 3), (Lines{"Waiting", "Waiting.", "same", "same", "ERROR: 5 retries"}));
    std::string phase;
    EXPECT_EQ(host::percentage("copy % of 2", phase), -1);
    EXPECT_EQ(phase, "copy % of 2");
    EXPECT_EQ(host::percentage("step 3/4  75%  (x)", phase), 75);
    EXPECT_EQ(phase, "step 3/4    (x)");
}

TEST(Runner, RealProgressRunIntoAFileGivesLinesAndTheToolsStatus)
{
    // Standard output captured into a file is not a terminal.
    StdoutCapture cap;
    int status = host::run_progress("printf 'a 1%%\\ra 5%%\\ra 10%%\\ra 12%%\\rdone\\n'; exit 3");
    EXPECT_EQ(cap.text(), "a 1%\na 10%\ndone\n");
    EXPECT_EQ(host::exit_status(status), 3);
}

TEST(AdbServer, StartedOnlyWhenNoneListensAndStoppedOnlyWhenStartedHere)
{
    using Argv = std::vector<std::vector<std::string>>;
    FakeRunner fake;
    adb_server::reset([](int) { return false; });
    adb_server::ensure();
    adb_server::ensure();
    adb_server::stop_if_started();
    adb_server::stop_if_started();
    EXPECT_EQ(fake.argv_calls(), (Argv{{"adb", "start-server"}, {"adb", "kill-server"}}));

    // One that was running before is left alone; so is one on a socket that
    // cannot be looked at.
    FakeRunner running;
    adb_server::reset([](int) { return true; });
    adb_server::ensure();
    adb_server::stop_if_started();
    setenv("ADB_SERVER_SOCKET", "localabstract:adb", 1);
    adb_server::reset([](int) { return false; });
    adb_server::ensure();
    adb_server::stop_if_started();
    EXPECT_TRUE(running.calls().empty());

    setenv("ADB_SERVER_SOCKET", "tcp:localhost:7001", 1);
    EXPECT_EQ(adb_server::port(), 7001);
    setenv("ADB_SERVER_SOCKET", "tcp:lab-host:7001", 1);
    EXPECT_EQ(adb_server::port(), 0);
    unsetenv("ADB_SERVER_SOCKET");
    setenv("ANDROID_ADB_SERVER_PORT", "6123", 1);
    EXPECT_EQ(adb_server::port(), 6123);
    setenv("ANDROID_ADB_SERVER_PORT", "61x", 1);
    EXPECT_EQ(adb_server::port(), 0);
    unsetenv("ANDROID_ADB_SERVER_PORT");
    EXPECT_EQ(adb_server::port(), 5037);
}

TEST(AdbServer, ListeningIsAConnectionToTheLoopbackPort)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&addr), len), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len), 0);
    const int port = ntohs(addr.sin_port);
    // Bound but not listening: nobody answers.
    EXPECT_FALSE(adb_server::listening(port));
    ASSERT_EQ(listen(fd, 1), 0);
    EXPECT_TRUE(adb_server::listening(port));
    close(fd);
}
