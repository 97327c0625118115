// Host preparation, target directory and release selection: the command
// lines they compose and how they react to what the commands report.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/catalog.h"
#include "core/state.h"
#include "host/answers.h"
#include "release/resource_server.h"
#include "release/ver_list.h"
#include "setup/setup.h"
#include "support/fake_runner.h"
#include "support/globals.h"
#include "support/host_root.h"
#include "support/stdio_capture.h"
#include "support/temp_dir.h"

using testing_support::FakeRunner;
using testing_support::Globals;
using testing_support::HostRoot;
using testing_support::ScopedEnv;
using testing_support::StdinFeed;
using testing_support::StdoutCapture;
using testing_support::TempDir;
using testing_support::TerminalStdin;
using Commands = std::vector<std::string>;

namespace {

// An argument list (no shell): its error output goes to /dev/null.
const std::string policy_cmd = "env LC_ALL=C apt-cache policy android-tools-adb adb python python3 "
                               "python-is-python3";
const std::string check_cmd =
    "dpkg -l android-tools-adb libc6-arm64-cross fakechroot fakeroot qemu-user-static wget udev "
    "unzip coreutils dpkg python kmod > /dev/null 2>&1; echo $?";
const std::string install_cmd =
    "sudo apt-get install android-tools-adb libc6-arm64-cross fakechroot fakeroot "
    "qemu-user-static wget udev unzip coreutils dpkg python kmod";
const std::string recheck_cmd =
    "dpkg -l libc6-arm64-cross fakechroot fakeroot qemu-user-static wget unzip coreutils dpkg "
    "python kmod > /dev/null 2>&1; echo $?";
const std::string link_cmd =
    "linkfile=`readlink /lib/ld-linux-aarch64.so.1`; if [ \"$linkfile\" != "
    "\"/usr/aarch64-linux-gnu/lib/ld-2.27.so\" ]; then sudo ln -s "
    "/usr/aarch64-linux-gnu/lib/ld-2.27.so /lib/ld-linux-aarch64.so.1; fi";
const std::string ld_2_27 = "/usr/aarch64-linux-gnu/lib/ld-2.27.so";

// apt-cache policy for the renamed packages as Ubuntu 18.04 and Debian 12
// print it (the fields the program reads).
const char *const bionic = "android-tools-adb:\n  Installed: (none)\n  Candidate: 5.1.1.r38-1.1\n"
                           "adb:\n  Installed: (none)\n  Candidate: 1:8.1.0+r23-5~18.04\n"
                           "python:\n  Installed: (none)\n  Candidate: 2.7.15~rc1-1\n"
                           "python3:\n  Installed: 3.6.7-1~18.04\n  Candidate: 3.6.7-1~18.04\n";
const char *const bookworm = "android-tools-adb:\n  Installed: (none)\n  Candidate: (none)\n"
                             "adb:\n  Installed: (none)\n  Candidate: 1:29.0.6-28\n"
                             "python:\n  Installed: (none)\n  Candidate: (none)\n"
                             "python3:\n  Installed: 3.11.2-1+b1\n  Candidate: 3.11.2-1+b1\n"
                             "python-is-python3:\n  Installed: (none)\n"
                             "  Candidate: 3.11.2-1+deb12u1\n";

std::string read_file(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// A temporary HOME for one test, restored afterwards with the globals.
class SetupTest : public testing::Test {
  protected:
    void SetUp() override
    {
        const char *old = getenv("HOME");
        old_home_ = old ? old : "";
        setenv("HOME", dir_.c_str(), 1);
        platform = 2;
        s_product = s_product_kt5;
        release_ver[0] = check_sum[0] = '\0';
    }
    void TearDown() override { setenv("HOME", old_home_.c_str(), 1); }
    TempDir home_;
    Globals globals_;
    const std::string dir_ = home_.path();
    std::string old_home_;
};

} // namespace

// A host for the preparation: its files with an 18.04 cross library, a
// user who is not root, and a sudo on PATH.
class HostPreparation : public testing::Test {
  protected:
    HostPreparation()
    {
        host_.cross_library(true);
        bin_.write("sudo", "");
        chmod(bin_.file("sudo").c_str(), 0755);
    }
    // Takes sudo off PATH.
    void without_sudo() { std::filesystem::remove(bin_.file("sudo")); }
    HostRoot host_;
    TempDir bin_;
    ScopedEnv path_{"PATH", bin_.path().c_str()};
};

TEST_F(HostPreparation, ReadyHostRunsNothingAsRoot)
{
    host_.link(ld_2_27);
    FakeRunner fake;
    fake.push_read_line(bionic);
    fake.push_read_line("0\n");
    StdoutCapture cap;
    EXPECT_EQ(prepare_host(), 0);
    EXPECT_EQ(fake.commands(), (Commands{policy_cmd, check_cmd}));
    EXPECT_EQ(cap.text(), "\nSetting up host system environment ...\n\n\033[32mPrecondition "
                          "Ubuntu packages installed\033[0m\n");
}

TEST_F(HostPreparation, OldUbuntuRunsTheOriginalLines)
{
    TerminalStdin terminal;
    FakeRunner fake;
    for (const char *reply : {bionic, "1\n", bionic, "0\n"})
        fake.push_read_line(reply);
    StdoutCapture cap;
    EXPECT_EQ(prepare_host(), 0);
    EXPECT_EQ(fake.commands(),
              (Commands{policy_cmd, check_cmd, "sudo apt-get update", policy_cmd,
                        "sudo apt-get install python", install_cmd, recheck_cmd, link_cmd}));
    EXPECT_EQ(cap.text(), "\nSetting up host system environment ...\n\nMissing precondition "
                          "Ubuntu packages, installing ...\n");
}

TEST_F(HostPreparation, CurrentHostsGetSuccessorsAndAptReadsNoInput)
{
    // Debian 12's cross library, and the link an older run left to nothing.
    HostRoot host;
    host.cross_library(false);
    host.link(ld_2_27);
    StdinFeed piped("user@example.com\n");
    FakeRunner fake;
    for (const char *reply : {bookworm, "1\n", bookworm, "0\n"})
        fake.push_read_line(reply);
    StdoutCapture cap;
    EXPECT_EQ(prepare_host(), 0);
    const std::string names = "adb libc6-arm64-cross fakechroot fakeroot qemu-user-static wget "
                              "udev unzip coreutils dpkg python3 python-is-python3 kmod";
    EXPECT_EQ(fake.commands(),
              (Commands{policy_cmd, "dpkg -l " + names + " > /dev/null 2>&1; echo $?",
                        "sudo apt-get update < /dev/null", policy_cmd,
                        "sudo apt-get install -y python3 python-is-python3 < /dev/null",
                        "sudo apt-get install -y " + names + " < /dev/null",
                        "dpkg -l libc6-arm64-cross fakechroot fakeroot qemu-user-static wget "
                        "unzip coreutils dpkg python3 python-is-python3 kmod > /dev/null 2>&1; "
                        "echo $?",
                        "linkfile=`readlink /lib/ld-linux-aarch64.so.1`; if [ \"$linkfile\" != "
                        "\"/usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1\" ]; then sudo ln -sf "
                        "/usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 "
                        "/lib/ld-linux-aarch64.so.1; fi"}));
}

TEST_F(HostPreparation, NoInputOrYesKeepsAptFromAskingOnTheTerminal)
{
    TerminalStdin terminal;
    for (bool no_input : {true, false}) {
        options::Options opts;
        opts.commands = {options::Command::download};
        (no_input ? opts.no_input : opts.yes) = true;
        answers::configure(opts);
        FakeRunner fake;
        for (const char *reply : {bionic, "1\n", bionic, "0\n"})
            fake.push_read_line(reply);
        StdoutCapture cap;
        prepare_host();
        answers::configure(options::Options{});
        EXPECT_EQ(fake.commands()[4], "sudo apt-get install -y python < /dev/null");
    }
}

TEST_F(HostPreparation, AsRootNothingGoesThroughSudo)
{
    host_.set_uid("0");
    without_sudo();
    TerminalStdin terminal;
    FakeRunner fake;
    for (const char *reply : {bionic, "1\n", bionic, "0\n"})
        fake.push_read_line(reply);
    StdoutCapture cap;
    int status = prepare_host();
    std::string out = cap.text();
    EXPECT_EQ(status, 0) << out;
    Commands expected{policy_cmd,
                      check_cmd,
                      "apt-get update",
                      policy_cmd,
                      "apt-get install python",
                      install_cmd.substr(5),
                      recheck_cmd,
                      "linkfile=`readlink /lib/ld-linux-aarch64.so.1`; if [ \"$linkfile\" != "
                      "\"/usr/aarch64-linux-gnu/lib/ld-2.27.so\" ]; then ln -s "
                      "/usr/aarch64-linux-gnu/lib/ld-2.27.so /lib/ld-linux-aarch64.so.1; fi"};
    EXPECT_EQ(fake.commands(), expected);
}

TEST_F(HostPreparation, WithoutSudoAndNotRootItSaysSo)
{
    without_sudo();
    FakeRunner fake;
    fake.push_read_line(bionic);
    fake.push_read_line("1\n");
    StdoutCapture cap;
    EXPECT_EQ(prepare_host(), -1);
    EXPECT_EQ(fake.commands(), (Commands{policy_cmd, check_cmd}));
    EXPECT_NE(cap.text().find("\033[31mNot running as root and sudo is not installed: the "
                              "precondition packages cannot be installed.\nAs root, run: apt-get "
                              "update && apt-get install android-tools-adb libc6-arm64-cross "
                              "fakechroot fakeroot qemu-user-static wget udev unzip coreutils dpkg "
                              "python kmod\nthen restart ostrelle\033[0m\n"),
              std::string::npos);
}

TEST_F(HostPreparation, APythonWithoutInstallableNameIsReportedOnce)
{
    // A release after python-is-python3: python3 is there, nothing installs "python".
    const char *renamed = "adb:\n  Installed: 1:34.0.4-1\n  Candidate: 1:34.0.4-1\n"
                          "python3:\n  Installed: 3.14.0-1\n  Candidate: 3.14.0-1\n";
    FakeRunner fake;
    for (const char *reply : {renamed, "1\n", renamed})
        fake.push_read_line(reply);
    StdoutCapture cap;
    EXPECT_EQ(prepare_host(), -1);
    EXPECT_EQ(fake.commands().size(), 4u) << "no install attempt";
    EXPECT_EQ(fake.commands()[1], "dpkg -l adb libc6-arm64-cross fakechroot fakeroot "
                                  "qemu-user-static wget udev unzip coreutils dpkg python kmod > "
                                  "/dev/null 2>&1; echo $?");
    std::string out = cap.text();
    EXPECT_NE(out.find("No install candidate for python, nor for python3 python-is-python3 "
                       "(apt-cache policy)\n\033[31mApt-get install precondition packages "
                       "failed\nPlease install python by hand and restart ostrelle\033[0m\n"),
              std::string::npos)
        << out;
}

TEST_F(HostPreparation, DryRunOnlyReadsAndShowsTheRest)
{
    TerminalStdin terminal;
    host::set_dry_run(true);
    FakeRunner fake;
    for (const char *reply : {bionic, "1\n", bionic})
        fake.push_read_line(reply);
    StdoutCapture cap;
    int status = prepare_host();
    host::set_dry_run(false);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(fake.commands(), (Commands{policy_cmd, check_cmd, policy_cmd}));
    EXPECT_NE(cap.text().find("installing ...\nwould run: sudo apt-get update\nwould run: sudo "
                              "apt-get install python\nwould run: " +
                              install_cmd + "\nwould run: " + link_cmd + "\n"),
              std::string::npos)
        << cap.text();
}

TEST_F(HostPreparation, ThreeFailedAttemptsGiveMinusOne)
{
    TerminalStdin terminal;
    FakeRunner fake;
    for (const char *l : {bionic, "1\n", bionic, "1\n", "1\n", "1\n"})
        fake.push_read_line(l);
    StdoutCapture cap;
    EXPECT_EQ(prepare_host(), -1);
    EXPECT_EQ(fake.commands(), (Commands{policy_cmd, check_cmd, "sudo apt-get update", policy_cmd,
                                         "sudo apt-get install python", install_cmd, recheck_cmd,
                                         install_cmd, recheck_cmd, install_cmd, recheck_cmd}));
    std::string out = cap.text();
    EXPECT_NE(out.find("\nMissing precondition Ubuntu packages, installing ...\n"),
              std::string::npos);
    EXPECT_NE(out.find("reinstalling ...\n\nMissing precondition Ubuntu packages, reinstalling "
                       "...\n\nMissing precondition Ubuntu packages, reinstalling ...\n\n\033[31m"
                       "Apt-get install precondition packages failed\nPlease check your internet "
                       "condition and restart ostrelle\033[0m\n"),
              std::string::npos)
        << out;
}

TEST_F(HostPreparation, RecheckPassingEndsTheLoopSilently)
{
    host_.link(ld_2_27);
    TerminalStdin terminal;
    FakeRunner fake;
    fake.push_read_line(bionic);
    fake.push_read_cannot_start(); // first check: the pipe does not open
    fake.push_read_line(bionic);
    fake.push_read_line("1\n");
    fake.push_read_line("0\n");
    fake.push_system(0);
    fake.push_system(-1); // python install cannot start
    StdoutCapture cap;
    EXPECT_EQ(prepare_host(), 0);
    EXPECT_EQ(fake.commands(), (Commands{policy_cmd, check_cmd, "sudo apt-get update", policy_cmd,
                                         "sudo apt-get install python", install_cmd, recheck_cmd,
                                         install_cmd, recheck_cmd}));
    std::string out = cap.text();
    EXPECT_NE(out.find("dpkg -l internal error\nInstall python2 internal error\n"),
              std::string::npos);
    EXPECT_EQ(out.find("installed"), std::string::npos);
    EXPECT_EQ(out.find("packages, installing ..."), std::string::npos);
}

TEST_F(HostPreparation, UnreadableChecksEndWithOne)
{
    {
        FakeRunner fake;
        fake.push_read_line(bionic);
        fake.push_read_no_line();
        StdoutCapture cap;
        EXPECT_EQ(prepare_host(), 1);
        EXPECT_EQ(fake.commands().size(), 2u);
        EXPECT_NE(cap.text().find("read dpkg return value internal error\n"), std::string::npos);
    }
    {
        FakeRunner fake;
        for (const char *l : {bionic, "1\n", bionic})
            fake.push_read_line(l);
        fake.push_read_cannot_start();
        StdoutCapture cap;
        EXPECT_EQ(prepare_host(), 1);
        EXPECT_EQ(fake.commands().back(), recheck_cmd);
        EXPECT_NE(cap.text().find("dpkg -l internal error\n"), std::string::npos);
    }
}

TEST_F(SetupTest, TargetPathAnsweredWritesStateFileWithoutAShell)
{
    FakeRunner fake;
    fake.push_read_line("0\n");
    StdinFeed in("data/work\n/data/it's here\ny\n");
    StdoutCapture cap;
    EXPECT_EQ(set_target_path(), 0);
    EXPECT_STREQ(target_path, "/data/it's here/");
    // Only the directory probe runs a command; the quote cannot break out.
    EXPECT_EQ(fake.commands(), Commands{"mkdir -p '/data/it'\\''s here/files/'; echo $?"});
    EXPECT_EQ(read_file(dir_ + "/ostrelle_dir.txt"), "/data/it's here/ \n");
    std::string out = cap.text();
    EXPECT_NE(out.find("(overwrites existing files, default: " + dir_ +
                       "/): \nYou are not entering an absolute path, please re-enter one.\n\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Proceed [Y/n]? Setting it up ... done\n"), std::string::npos);
}

TEST_F(SetupTest, StoredPathAcceptedSkipsPromptAndConfirmation)
{
    // The stored path is the whole line, blanks and all.
    std::ofstream(dir_ + "/ostrelle_dir.txt") << "/data/my work/ \n";
    FakeRunner fake;
    fake.push_read_line("0\n");
    StdinFeed in("y\n");
    StdoutCapture cap;
    EXPECT_EQ(set_target_path(), 0);
    EXPECT_STREQ(target_path, "/data/my work/");
    EXPECT_EQ(fake.commands(), Commands{"mkdir -p '/data/my work/files/'; echo $?"});
    EXPECT_EQ(read_file(dir_ + "/ostrelle_dir.txt"), "/data/my work/ \n");
    EXPECT_EQ(cap.text(), "Target directory stored: /data/my work/\nContinue with this "
                          "path(overwrites existing files) [Y/n]? Setting it up ... done\n");
}

TEST_F(SetupTest, MkdirFailureStartsOverAndEmptyAnswerKeepsTheDefault)
{
    FakeRunner fake;
    fake.push_read_line("1\n");
    fake.push_read_line("0\n");
    StdinFeed in("/a/b/\ny\nn\n\ny\n");
    StdoutCapture cap;
    EXPECT_EQ(set_target_path(), 0);
    // The first run stored nothing, the second starts from HOME again.
    EXPECT_EQ(std::string(target_path), dir_ + "/");
    EXPECT_EQ(fake.commands(),
              (Commands{"mkdir -p /a/b/files/; echo $?", "mkdir -p " + dir_ + "/files/; echo $?"}));
    EXPECT_NE(cap.text().find("Cannot create target directory, check error message above\n\n"
                              "Retry target directory setup\n"),
              std::string::npos);
}

TEST_F(SetupTest, DeclinedOrUnrunnableDirectoryStepGivesMinusOne)
{
    {
        FakeRunner fake;
        StdinFeed in("/x\nn\n");
        StdoutCapture cap;
        EXPECT_EQ(set_target_path(), -1);
        EXPECT_TRUE(fake.commands().empty());
        EXPECT_NE(cap.text().find("Setup Stopped\nFailed to set up SDK\nExit ostrelle now ...\n"),
                  std::string::npos);
    }
    {
        FakeRunner fake;
        fake.push_read_no_line();
        StdinFeed in("/x\nY\n");
        StdoutCapture cap;
        EXPECT_EQ(set_target_path(), -1);
        EXPECT_NE(cap.text().find("check mkdir return value internal error\nFailed to set up"),
                  std::string::npos);
    }
    {
        // A path too long for the command line is not cut into another one.
        FakeRunner fake;
        StdinFeed in("/" + std::string(505, 'p') + "\ny\n");
        StdoutCapture cap;
        EXPECT_EQ(set_target_path(), -1);
        EXPECT_TRUE(fake.commands().empty());
        EXPECT_NE(cap.text().find("mkdir cmd internal error\n"), std::string::npos);
    }
}

TEST_F(SetupTest, OverlongAnswersAreRefusedAndYesNoAsksAgain)
{
    FakeRunner fake;
    fake.push_read_line("0\n");
    StdinFeed in("/" + std::string(600, 'q') + "\n/ok\nyy\nj\x1b[A\n\n");
    StdoutCapture cap;
    EXPECT_EQ(set_target_path(), 0); // Enter takes the offered "Y"
    EXPECT_STREQ(target_path, "/ok/");
    const std::string proceed = "You are about to install the SDK to '/ok/'. Proceed [Y/n]? ";
    EXPECT_NE(cap.text().find("Answer too long, at most 511 characters\n"), std::string::npos);
    EXPECT_NE(cap.text().find(proceed + "Unknown answer 'yy', please answer y or n\n" + proceed +
                              "Answer contained control characters, please type it again\n" +
                              proceed + "Setting it up ... done\n"),
              std::string::npos)
        << cap.text();
}

TEST_F(SetupTest, RelativeStoredPathIsUnreadableAndTildeUserIsNoHome)
{
    std::ofstream(dir_ + "/ostrelle_dir.txt") << "data/work \n";
    FakeRunner fake;
    fake.push_read_line("0\n");
    StdinFeed in("No\n~other\n~/boards\n\n");
    StdoutCapture cap;
    EXPECT_EQ(set_target_path(), 0);
    EXPECT_EQ(std::string(target_path), dir_ + "/boards/");
    EXPECT_EQ(cap.text().find("set_target_path: read target dir file error\nTarget directory "
                              "stored: " +
                              dir_ + "/\n"),
              0u);
    EXPECT_NE(cap.text().find("You are not entering an absolute path"), std::string::npos);
}

TEST_F(SetupTest, RelativeHomeIsOfferedAsNoDefault)
{
    TempDir cwd;
    ASSERT_EQ(chdir(cwd.path().c_str()), 0);
    mkdir("rel", 0755);
    setenv("HOME", "rel", 1);
    FakeRunner fake;
    fake.push_read_line("0\n");
    StdinFeed in("\n~\n/abs\ny\n");
    StdoutCapture cap;
    EXPECT_EQ(set_target_path(), 0);
    EXPECT_STREQ(target_path, "/abs/");
    const std::string ask = "Enter absolute target directory for Image resources (overwrites "
                            "existing files): \n";
    const std::string refused = "You are not entering an absolute path, please re-enter one.\n\n";
    EXPECT_EQ(cap.text().find(ask + refused + ask + refused + ask), 0u) << cap.text();
}

TEST_F(SetupTest, MissingHomeEndsTheProgram)
{
    EXPECT_EXIT(
        {
            unsetenv("HOME");
            StdoutCapture cap;
            set_target_path();
        },
        testing::ExitedWithCode(1), "");
}

namespace {

// Plays wget: writes the list file where the download command would.
void serve_list(FakeRunner &fake, const std::string &content)
{
    fake.on_call = [content](const FakeRunner::Call &call) {
        if (call.cmd.find("wget ") == std::string::npos)
            return;
        std::string dir = std::string(target_path) + "files/";
        std::string url = call.cmd.substr(call.cmd.rfind('/') + 1);
        url.pop_back(); // the closing quote
        std::ofstream(dir + url) << content;
    };
}

struct Selected {
    int result;
    std::string out;
};

Selected select(FakeRunner &, const std::string &answers)
{
    StdinFeed in(answers);
    StdoutCapture cap;
    int result = check_version();
    return {result, cap.text()};
}

} // namespace

class ReleaseTest : public SetupTest {
  protected:
    void SetUp() override
    {
        SetupTest::SetUp();
        snprintf(target_path, sizeof(target_path), "%s/t/", dir_.c_str());
        mkdir((dir_ + "/t").c_str(), 0755);
        mkdir((dir_ + "/t/files").c_str(), 0755);
    }
    std::string wget_for(const std::string &file) const
    {
        return "ulimit -f 2049; wget --retry-connrefused -t 5 -T 30 -q -c --passive-ftp" +
               resource::tls_options() + " -P " + std::string(target_path) +
               "files/ 'https://127.0.0.1:8443/uploads/web/ostrelle/" + s_product + "/sdk/" + file +
               "'";
    }
};

TEST_F(ReleaseTest, FiveReleasesPromptAndFifthSelected)
{
    s_product = s_product_kt6;
    FakeRunner fake;
    serve_list(fake, "r5 a5\nr4 a4\nr3 a3\nr2 a2\nr1 a1\n");
    Selected s = select(fake, "01\n6\n 5\n");
    EXPECT_EQ(s.result, 0);
    EXPECT_EQ(platform, 1);
    EXPECT_STREQ(release_ver, "r1");
    EXPECT_STREQ(check_sum, "a1");
    EXPECT_EQ(fake.commands(), Commands{wget_for("kt6_lu_release_ver.txt")});
    const std::string prompt =
        "Select one number of available version ( 1 | 2 | 3 ...) to continue with: ";
    EXPECT_NE(s.out.find("Use platform: LU platform\nChecking current versions of release ...\n"
                         "Available versions: \n1: r5 (latest version)\n2: r4\n3: r3\n4: r2\n"
                         "5: r1\n\nRecommended version: r5\n\n" +
                         prompt +
                         "Unknown version '01', please pick one from available "
                         "versions\n" +
                         prompt + "Unknown version '6', please pick one from available versions\n" +
                         prompt + "Selected version: r1\n"),
              std::string::npos)
        << s.out;
    EXPECT_NE(s.out.find("\n\033[32m--------------------------------------------------------"
                         "\033[0m\n\033[32mSDK has been successfully set up and is ready to be "
                         "used\033[0m\n\033[32mType 'help' for commands\033[0m\n\033[32m------"
                         "--------------------------------------------------\033[0m\n"),
              std::string::npos);
}

TEST_F(ReleaseTest, PromptNumbersFollowTheCount)
{
    const char *const prompts[] = {"( 1 ) ", "( 1 | 2 ) ", "( 1 | 2 | 3 ) ", "( 1 | 2 | 3 ...) "};
    std::string list;
    for (int n = 1; n <= 4; n++) {
        list += "r" + std::to_string(n) + " s\n";
        s_product = s_product_kt1;
        FakeRunner fake;
        serve_list(fake, list);
        Selected s = select(fake, "1\n");
        EXPECT_EQ(s.result, 0);
        EXPECT_NE(s.out.find(prompts[n - 1]), std::string::npos) << s.out;
        // From the second run on, the old copy is removed before the fetch.
        EXPECT_EQ(fake.commands().size(), n == 1 ? 1u : 2u);
        if (n > 1) {
            EXPECT_EQ(fake.commands().front(),
                      "rm " + std::string(target_path) + "files/kt1_le_release_ver.txt");
        }
    }
}

TEST_F(ReleaseTest, Kt5DialogueChoosesTheTag)
{
    struct Case {
        const char *answers;
        const char *file;
        int platform;
    };
    for (const Case &c : {Case{"1\n3\n1\n", "kt5_lu1.0_release_ver.txt", 1},
                          Case{"1\n2\n", "kt5_lu2.0_release_ver.txt", 1},
                          Case{"2\n1\n", "kt5_le1.0_release_ver.txt", 2},
                          // Other answers are asked again.
                          Case{"7\n11111111\n\x1b[B\n2\n0\n2\n", "kt5_le2.0_release_ver.txt", 2}}) {
        platform = 0;
        FakeRunner fake;
        serve_list(fake, "r s\n");
        Selected s = select(fake, std::string(c.answers) + "1\n");
        EXPECT_EQ(s.result, 0) << c.answers;
        EXPECT_EQ(platform, c.platform) << c.answers;
        EXPECT_EQ(fake.commands().back(), wget_for(c.file)) << c.answers;
    }
}

// kt5's release lists are per generation, so --platform names one; plain LU
// or LE is refused with the four names (what --help and the manual say).
TEST(Catalog, Kt5PlatformNamesItsGeneration)
{
    const catalog::Product *kt5 = catalog::find_product("KT5");
    ASSERT_NE(kt5, nullptr);
    EXPECT_EQ(catalog::find_platform(*kt5, "LU"), nullptr);
    EXPECT_EQ(catalog::find_platform(*kt5, "LE"), nullptr);
    const catalog::Platform *le20 = catalog::find_platform(*kt5, "le2.0");
    ASSERT_NE(le20, nullptr);
    EXPECT_STREQ(le20->tag, "_le2.0_");
    EXPECT_EQ(catalog::platform_refusal("LU", "kt5"),
              "platform 'LU' does not fit kt5 (LU1.0, LU2.0, LE1.0, LE2.0)");
    // A product of one platform takes its family's plain name.
    const catalog::Platform *kt5n = catalog::find_platform(*catalog::find_product("kt5n"), "LU");
    ASSERT_NE(kt5n, nullptr);
    EXPECT_STREQ(kt5n->tag, "_lu2.0_");
}

TEST_F(ReleaseTest, MissingListAndUnstartableDownload)
{
    s_product = s_product_kt5n;
    {
        FakeRunner fake;
        Selected s = select(fake, "");
        EXPECT_EQ(s.result, 1);
        EXPECT_EQ(platform, 1);
        EXPECT_EQ(s.out, "Use platform: LU2.0 platform\nChecking current versions of release "
                         "...\n\n\033[31mDownload config file failed.\nCheck target directory "
                         "input or check the internet connection.\033[0m\n");
    }
    {
        FakeRunner fake;
        fake.push_read_cannot_start();
        Selected s = select(fake, "");
        EXPECT_EQ(s.result, -1);
        EXPECT_NE(s.out.find("download config file internal error.\n"), std::string::npos);
    }
    EXPECT_STREQ(release_ver, "");
}

TEST_F(ReleaseTest, ListBeyondItsLineBoundIsRefusedAndDeleted)
{
    s_product = s_product_kt1;
    FakeRunner fake;
    std::string lines;
    for (long n = 0; n <= list_max_lines; n++)
        lines += "r s\n";
    serve_list(fake, lines);
    Selected s = select(fake, "");
    EXPECT_EQ(s.result, 1);
    EXPECT_NE(s.out.find("Checking current versions of release ...\n\033[31mThe release list "
                         "has more than 10000 lines: refused and deleted\033[0m\n"),
              std::string::npos)
        << s.out;
    EXPECT_NE(access((std::string(target_path) + "files/kt1_le_release_ver.txt").c_str(), F_OK), 0);
    EXPECT_STREQ(release_ver, "");
}

TEST_F(ReleaseTest, NamesWithControlBytesAreShownEscapedAndRefused)
{
    s_product = s_product_kt1;
    FakeRunner fake;
    serve_list(fake, "\x1b[2Jr3 a3\nr2\x7f a2\nr1 a1\n");
    Selected s = select(fake, "1\n2\n3\n");
    EXPECT_EQ(s.result, 0);
    EXPECT_STREQ(release_ver, "r1");
    EXPECT_NE(s.out.find("1: \\x1b[2Jr3 (latest version)\n2: r2\\x7f\n3: r1\n\nRecommended "
                         "version: \\x1b[2Jr3\n"),
              std::string::npos)
        << s.out;
    EXPECT_NE(s.out.find("\033[31mRelease name '\\x1b[2Jr3' is not a usable file name, please "
                         "pick another version\033[0m\n"),
              std::string::npos);
    EXPECT_NE(s.out.find("Release name 'r2\\x7f' is not"), std::string::npos);
    EXPECT_EQ(s.out.find("\x1b[2J"), std::string::npos);
}

TEST_F(ReleaseTest, EmptyListEndsTheProgram)
{
    s_product = s_product_kt2;
    EXPECT_EXIT(
        {
            FakeRunner fake;
            serve_list(fake, "r1 no-line-feed");
            select(fake, "");
        },
        testing::ExitedWithCode(1), "");
}
