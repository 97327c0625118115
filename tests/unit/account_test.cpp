// Sign-in: the request body, the exchange through the runner and the
// judging of the account server's reply.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "host/answers.h"
#include "release/resource_server.h"
#include "setup/setup.h"
#include "support/fake_runner.h"
#include "support/stdio_capture.h"
#include "support/temp_dir.h"

using testing_support::FakeRunner;
using testing_support::StdinFeed;
using testing_support::StdoutCapture;

namespace {

host::Reply line(const std::string &text)
{
    host::Reply r;
    r.outcome = host::Outcome::line;
    r.line = text;
    return r;
}

struct Judged {
    int result;
    std::string out;
};

Judged judge(const host::Reply &reply)
{
    StdoutCapture cap;
    int result = judge_reply(reply);
    return {result, cap.text()};
}

const std::string ok_msg = "\033[32mSuccessful authentication.\033[0m\n\n";
const std::string none_msg = "\033[31mAccount doesn't exist.\033[0m\n";
const std::string wrong_msg = "\033[31mAccount or password is incorrect.\033[0m\n";
const std::string error_msg = "\033[31mAccount verification internal error.\033[0m\n";

} // namespace

TEST(Reply, StatusDecides)
{
    EXPECT_EQ(judge(line("{\"status\": 1, \"mail\": \"a@b.c\"}\n")).out, ok_msg);
    EXPECT_EQ(judge(line("{\"status\": 1}\n")).result, 0);
    EXPECT_EQ(judge(line("{\"status\": 0}\n")).out, none_msg);
    EXPECT_EQ(judge(line("{\"status\": -1}\n")).out, wrong_msg);
    EXPECT_EQ(judge(line("{\"status\": 0}\n")).result, 1);
    EXPECT_EQ(judge(line("{\"status\": -1}\n")).result, 1);
    // An answer that says nothing usable is told apart from a refusal.
    Judged other = judge(line("{\"status\": 2}\n"));
    EXPECT_EQ(other.result, 2);
    EXPECT_EQ(other.out, error_msg);
}

TEST(Reply, StatusAsTextCountsAsItsNumber)
{
    EXPECT_EQ(judge(line("{\"status\": \"1\"}\n")).result, 0);
    EXPECT_EQ(judge(line("{\"status\": \"-1\"}\n")).out, wrong_msg);
}

TEST(Reply, NotAnObjectOrNoStatusCountsAsNoAccount)
{
    for (const char *text :
         {"<html><body>Bad Gateway</body></html>\n", "{\"mail\": \"x\"}\n", "[1]\n", "1\n", "\n"}) {
        Judged j = judge(line(text));
        EXPECT_EQ(j.result, 1) << text;
        EXPECT_EQ(j.out, none_msg) << text;
    }
}

TEST(Reply, LineLongerThan127IsAnInternalError)
{
    std::string pad127 = "{\"status\": 1, \"x\": \"" + std::string(127 - 23, 'a') + "\"}\n";
    ASSERT_EQ(pad127.size(), 127u);
    EXPECT_EQ(judge(line(pad127)).result, 0);
    std::string pad128 = "{\"status\": 1, \"x\": \"" + std::string(128 - 23, 'a') + "\"}\n";
    EXPECT_EQ(judge(line(pad128)).out, error_msg);
    host::Reply none;
    none.outcome = host::Outcome::no_line;
    EXPECT_EQ(judge(none).out, error_msg);
    EXPECT_EQ(judge(host::Reply{}).out, error_msg);
}

TEST(Body, PlainValuesAsTypedSpecialOnesEncoded)
{
    EXPECT_EQ(sign_in_body("user@example.com", "secret"), "mail=user@example.com&pwd=secret");
    EXPECT_EQ(sign_in_body("a+b@x.org", "p&w=d %'\"x"),
              "mail=a%2Bb@x.org&pwd=p%26w%3Dd+%25%27%22x");
    EXPECT_EQ(sign_in_body("", "\x7f\x01"), "mail=&pwd=%7F%01");
}

TEST(SignIn, PasswordTravelsInAFileWithoutANameNeverOnTheCommandLine)
{
    FakeRunner fake;
    std::string body, path;
    nlink_t links = 1;
    fake.on_call = [&](const FakeRunner::Call &call) {
        const std::string prefix = "wget" + resource::tls_options() + " --post-file ";
        ASSERT_EQ(call.cmd.compare(0, prefix.size(), prefix), 0) << call.cmd;
        path = call.cmd.substr(prefix.size(), call.cmd.find(' ', prefix.size()) - prefix.size());
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        links = st.st_nlink;
        FILE *f = fopen(path.c_str(), "r");
        char buf[256] = {};
        body = fgets(buf, sizeof(buf), f) ? buf : "";
        fclose(f);
    };
    fake.push_read_line("{\"status\": 1}\n");
    StdinFeed in("\n\nme@x.org\nab\x7f\x7f\x7f"
                 "c&d\n");
    StdoutCapture cap;
    EXPECT_EQ(check_vl_user(), 0);
    std::string out = cap.text();
    ASSERT_EQ(fake.calls().size(), 1u);
    EXPECT_EQ(fake.calls()[0].cmd, "wget" + resource::tls_options() + " --post-file " + path +
                                       " https://127.0.0.1:8443/ldap.php -q -O - -T 30 -t 1");
    EXPECT_EQ(fake.calls()[0].line_buffer, 512u);
    // wget reads a descriptor of ours; no directory entry names the body.
    EXPECT_EQ(path.rfind("/dev/fd/", 0), 0u);
    EXPECT_EQ(links, 0u);
    EXPECT_EQ(body, "mail=me@x.org&pwd=c%26d");
    // Two empty lines asked again; DEL erases asterisks, never past the start.
    EXPECT_NE(out.find("Enter your Velmora user email: No input. Enter your Velmora user email "
                       "again: No input. Enter your Velmora user email again: "),
              std::string::npos);
    EXPECT_NE(out.find("Enter your Velmora password: **\b \b\b \b***\nConnecting as me@x.org ..."),
              std::string::npos)
        << out;
}

TEST(SignIn, ThreeFailuresEndTheSignIn)
{
    FakeRunner fake;
    fake.push_read_line("{\"status\": -1}\n");
    fake.push_read_line("{\"status\": 0}\n");
    fake.push_read_no_line();
    StdinFeed in("a\nb\nc\nd\ne\nf\n");
    StdoutCapture cap;
    // The last attempt got no usable answer.
    EXPECT_EQ(sign_in(), -2);
    std::string out = cap.text();
    EXPECT_EQ(fake.calls().size(), 3u);
    EXPECT_NE(out.find(error_msg + "Something wrong, try again.\n\n\033[31mNeed a valid user "
                                   "account, exiting the manager ...\033[0m\n"),
              std::string::npos)
        << out;
}

TEST(SignIn, RunWithCommandsTriesOnceAndSaysWhatHappenedOnce)
{
    testing_support::TempDir dir;
    dir.write("pw", "secret\n");
    chmod(dir.file("pw").c_str(), 0600);
    options::Options opts;
    opts.commands = {options::Command::download};
    opts.email = "me@x.org";
    opts.password_file = dir.file("pw");
    answers::configure(opts);
    struct Case {
        host::Reply reply;
        int result;
        std::string says;
    };
    host::Reply unreachable;
    unreachable.status = 4;
    const Case cases[] = {
        {line("{\"status\": -1}\n"), -1, "\033[31mThe sign-in as me@x.org was refused.\033[0m\n"},
        {unreachable, -2,
         "(exit status 4)\n\033[31mNot signed in: no answer from the account server.\033[0m\n"},
    };
    for (const Case &c : cases) {
        FakeRunner fake;
        fake.push_read(c.reply);
        StdoutCapture cap;
        EXPECT_EQ(sign_in(), c.result);
        std::string out = cap.text();
        EXPECT_EQ(fake.calls().size(), 1u);
        EXPECT_TRUE(out.ends_with(c.says)) << out;
        for (const char *dialogue :
             {"Something wrong", "Need a valid user account", "internal error"})
            EXPECT_EQ(out.find(dialogue), std::string::npos) << out;
    }
    answers::configure(options::Options{});
}

TEST(SignIn, FailedWgetIsNamedAndWhatItPrintedIsNoAnswer)
{
    FakeRunner fake;
    host::Reply reply = line("{\"status\": 1}\n");
    reply.status = 5;
    fake.push_read(reply);
    StdinFeed in("me@x.org\npw\n");
    StdoutCapture cap;
    // A server that could not be used is no refusal.
    EXPECT_EQ(check_vl_user(), 2);
    EXPECT_NE(cap.text().find(error_msg + "Fetching https://127.0.0.1:8443/ldap.php failed: the "
                                          "certificate of 127.0.0.1:8443 is not trusted"),
              std::string::npos);
}

TEST(SignIn, OverlongEmailAskedAgainOverlongPasswordFailsUnsent)
{
    FakeRunner fake;
    StdinFeed in(std::string(300, 'm') + "\nme@x.org\n" + std::string(256, 'p') + "\n");
    StdoutCapture cap;
    EXPECT_EQ(check_vl_user(), 1);
    std::string out = cap.text();
    EXPECT_TRUE(fake.commands().empty());
    EXPECT_NE(out.find("Enter your Velmora user email: Answer too long, at most 255 characters\n"
                       "Enter your Velmora user email again: Enter your Velmora password: "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(std::string(256, '*') + "\nConnecting as me@x.org ...\n\033[31mPassword "
                                               "too long, at most 255 characters.\033[0m\n"),
              std::string::npos);
}

TEST(SignInDeathTest, EndOfInputAtTheEmailEndsTheProgram)
{
    EXPECT_EXIT(
        {
            StdinFeed in("\n\n");
            check_vl_user();
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EXIT(
        {
            StdinFeed in("me@x.org\nsecr");
            check_vl_user();
        },
        testing::ExitedWithCode(1), "");
}

TEST(PasswordFile, FirstLineWholeOrRefusedNeverCutNorWaitedOnForEver)
{
    auto read_from = [](const std::string &data, int timeout_ms, std::string &got) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        EXPECT_EQ(write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
        close(fds[1]);
        char line[256];
        SecretRead result = read_secret_line(fds[0], line, timeout_ms);
        got = line;
        close(fds[0]);
        return result;
    };
    std::string got;
    EXPECT_EQ(read_from("s3cret pw\r\nnext line\n", 1000, got), SecretRead::ok);
    EXPECT_EQ(got, "s3cret pw");
    EXPECT_EQ(read_from("last line", 1000, got), SecretRead::ok);
    EXPECT_EQ(got, "last line");
    // A NUL byte would cut the password short: refused, nothing kept.
    EXPECT_EQ(read_from(std::string("abc\0def\n", 8), 1000, got), SecretRead::nul_byte);
    EXPECT_EQ(got, "");
    EXPECT_EQ(read_from(std::string(256, 'p') + "\n", 1000, got), SecretRead::too_long);
    EXPECT_EQ(read_from("\n", 1000, got), SecretRead::empty);

    // A FIFO that nobody writes ends the wait at the limit.
    char dir[] = "/tmp/ostrelle-fifo-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/pw";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    char line[256];
    EXPECT_EQ(read_secret_line(fd, line, 200), SecretRead::timed_out);
    close(fd);
    unlink(fifo.c_str());
    rmdir(dir);
}
