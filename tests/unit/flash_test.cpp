// The flashing sequences against a fake command runner: the command lines in
// their order, the pauses between them, and what the user reads. The
// release directory is a real temporary directory, since the storage choice
// and the boot listing are read from files.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/commands.h"
#include "core/exit_status.h"
#include "core/state.h"
#include "host/host.h"
#include "support/fake_runner.h"
#include "support/globals.h"
#include "support/host_root.h"
#include "support/stdio_capture.h"
#include "support/temp_dir.h"

using testing_support::FakeRunner;
using testing_support::Globals;
using testing_support::StdinFeed;
using testing_support::StdoutCapture;
using testing_support::TempDir;

namespace {

// Commands and pauses in the order they happened.
std::vector<std::string> events;

} // namespace

// The sequences pause with sleep(3); here a pause is only recorded, so the
// tests see where the pauses fall without waiting for them.
extern "C" unsigned int sleep(unsigned int seconds)
{
    events.push_back("sleep " + std::to_string(seconds));
    return 0;
}

namespace {

namespace fs = std::filesystem;

const std::string red = "\033[31m";
const std::string green = "\033[32m";
const std::string yellow = "\033[33m";
const std::string reset = "\033[0m";

class Flash : public ::testing::Test {
  protected:
    void SetUp() override
    {
        root = tmp.path();
        // The boards' locks (board_lock.h) in this test's own directory.
        fs::create_directories(root + "/run/lock");
        host_root.emplace("OSTRELLE_TESTBED_ROOT", root.c_str());
        // The boards' last receipts, too.
        state_home.emplace("XDG_STATE_HOME", (root + "/state").c_str());
        set_target(root + "/");
        strcpy(release_ver, "LU1.0");
        strcpy(check_sum, "c0ffee");
        make_dir("");
        complete();
        dev_name[0] = '\0';
        events.clear();
        runner.on_call = [this](const FakeRunner::Call &call) {
            events.push_back(call.cmd);
            if (call.cmd.rfind("adb devices -l > ", 0) == 0)
                answer_poll();
        };
    }

    void set_target(const std::string &dir)
    {
        ASSERT_LT(dir.size(), sizeof(target_path));
        strcpy(target_path, dir.c_str());
    }

    // The release directory as the sequences compose it.
    std::string rel() const { return std::string(target_path) + release_ver; }

    void make_dir(const std::string &suffix) { fs::create_directories(rel() + suffix); }

    // The completion record that command "1" leaves in a whole release.
    void complete() { std::ofstream(rel() + "/.ostrelle-complete") << check_sum << "\n"; }

    // The adb listing written at each poll: the board shows up at poll
    // number boot_at_poll (never when 0).
    void answer_poll()
    {
        polls++;
        if (!write_listing)
            return;
        std::ofstream out(rel() + "/device_bootup.log");
        out << "List of devices attached\n";
        if (boot_at_poll != 0 && polls >= boot_at_poll)
            out << "b0a4d6e1\tdevice\n";
        out << "\n";
    }

    // Replies up to the storage steps: presence check, board, programmer.
    void script_prelude(const std::string &status = "0\n")
    {
        runner.push_read_line("found\n");
        runner.push_read_line("/dev/ttyUSB0\n");
        runner.push_read_line(status);
    }

    std::vector<std::string> commands_of_kind(FakeRunner::Kind kind) const
    {
        std::vector<std::string> out;
        for (const auto &call : runner.calls()) {
            if (call.kind == kind)
                out.push_back(call.cmd);
        }
        return out;
    }

    int count_events(const std::string &event) const
    {
        int n = 0;
        for (const auto &e : events)
            n += e == event;
        return n;
    }

    TempDir tmp;
    Globals globals;
    std::string root;
    std::optional<testing_support::ScopedEnv> host_root;
    std::optional<testing_support::ScopedEnv> state_home;
    FakeRunner runner;
    int polls = 0;
    int boot_at_poll = 1;
    bool write_listing = true;
};

std::string ufs_erase(const std::string &dev, const std::string &rel, int part)
{
    return host::format("sudo fh_loader --port=%s --erase=%d --noprompt --showpercentagecomplete "
                        "--memoryname=UFS --loglevel=1 --porttracename=%s/erase%d.log",
                        dev.c_str(), part, rel.c_str(), part);
}

const char *discovery_prefix = "find ";

std::string banner_line()
{
    return "==================================================";
}

std::string long_line()
{
    return "========================================================================";
}

std::string success_box()
{
    return "\n\n" + green + long_line() + reset + "\n" + green +
           "Robotics device is ready to use." + reset + "\n" + green +
           "Open another terminal and enter 'adb shell' to interact with your device." + reset +
           "\n" + green + long_line() + reset + "\n\n";
}

TEST_F(Flash, UfsSequenceComposesEveryCommandWithPausesBetween)
{
    script_prelude();
    StdoutCapture out;
    EXPECT_EQ(sdk_flash_full_helper(), 0);
    const std::string text = out.text();

    const std::string r = rel();
    const std::string dev = "/dev/ttyUSB0";
    std::vector<std::string> expected = {
        "ls " + r + "/full_build/ufs/rawprogram_unsparse0.xml",
        "", // discovery, checked below
        "sleep 1",
        "sudo QSaharaServer -p /dev/ttyUSB0 -s 13:" + r +
            "/full_build/ufs/prog_firehose_ddr.elf > " + r + "/QSahara_fullbuild.log; echo $?",
    };
    for (int part = 0; part < 6; part++) {
        expected.push_back("sleep 1");
        expected.push_back(ufs_erase(dev, r, part));
    }
    expected.push_back("sleep 1");
    expected.push_back("sudo fh_loader --port=/dev/ttyUSB0 --sendxml=rawprogram3_iot_qrd.xml,"
                       "patch3.xml --search_path=" +
                       r +
                       "/cdt/ --noprompt --showpercentagecomplete --memoryname=UFS --loglevel=1 "
                       "--porttracename=" +
                       r + "/flash_cdt_fullbuild.log");
    expected.push_back("sleep 1");
    expected.push_back(
        "sudo fh_loader --port=/dev/ttyUSB0 --sendxml=rawprogram_unsparse0.xml,rawprogram1.xml,"
        "rawprogram2.xml,rawprogram3.xml,rawprogram4.xml,rawprogram5.xml,patch0.xml,patch1.xml,"
        "patch2.xml,patch3.xml,patch4.xml,patch5.xml --search_path=" +
        r +
        "/full_build/ufs/ --noprompt --showpercentagecomplete --memoryname=UFS --loglevel=1 "
        "--porttracename=" +
        r + "/flash_image.log --reset");
    expected.push_back("sleep 5");
    for (int i = 1; i <= 9; i++)
        expected.push_back("sleep 1");
    expected.push_back("adb devices -l > " + r + "/device_bootup.log");

    ASSERT_EQ(events.size(), expected.size());
    EXPECT_EQ(events[1].rfind(discovery_prefix, 0), 0u) << events[1];
    events[1] = "";
    EXPECT_EQ(events, expected);
    EXPECT_EQ(commands_of_kind(FakeRunner::Kind::system).size(), 8u);

    EXPECT_EQ(text, "Device found: /dev/ttyUSB0 (serial QDL_SERIAL)\n"
                    "Ostrelle flashing full build...\n"
                    "Initializing flash ...\n"
                    "Erasing part0 ...\nErasing part1 ...\nErasing part2 ...\n"
                    "Erasting part3 ...\nErasing part4 ...\nErasing part5 ...\n"
                    "Flashing full build ... \n" +
                        green + "Flashing image ... done" + reset +
                        "\n"
                        "Waiting for device to reboot ...\n" +
                        success_box());
}

TEST_F(Flash, EmmcBuildWinsOverUfsAndUsesItsOwnPaths)
{
    make_dir("/full_build/ufs");
    make_dir("/full_build/emmc");
    script_prelude();
    StdoutCapture out;
    sdk_flash_full_helper();
    const std::string text = out.text();

    const std::string r = rel();
    std::vector<std::string> expected = {
        "ls " + r + "/full_build/emmc/rawprogram_unsparse0.xml",
        "sudo QSaharaServer -p /dev/ttyUSB0 -s 13:" + r +
            "/full_build/emmc/prog_firehose_ddr.elf > " + r + "/QSahara_fullbuild.log; echo $?",
        "sudo fh_loader --port=/dev/ttyUSB0 --erase=0 --noprompt --showpercentagecomplete "
        "--memoryname=eMMC --loglevel=1 --porttracename=" +
            r + "/erase0.log",
        "sudo fh_loader --port=/dev/ttyUSB0 --sendxml=rawprogram2.xml,patch2.xml --search_path=" +
            r +
            "/cdt/ --noprompt --showpercentagecomplete --memoryname=eMMC --loglevel=1 "
            "--porttracename=" +
            r + "/flash_cdt_fullbuild.log",
        "sudo fh_loader --port=/dev/ttyUSB0 --sendxml=rawprogram_unsparse0.xml,patch0.xml "
        "--search_path=" +
            r +
            "/full_build/emmc/ --noprompt --showpercentagecomplete --memoryname=eMMC "
            "--loglevel=1 --porttracename=" +
            r + "/flash_image.log --reset",
        "adb devices -l > " + r + "/device_bootup.log",
    };
    std::vector<std::string> commands = runner.commands();
    ASSERT_EQ(commands.size(), expected.size() + 1);
    commands.erase(commands.begin() + 1); // discovery
    EXPECT_EQ(commands, expected);
    EXPECT_NE(text.find("Initializing flash ...\nErasing part0 ...\nFlashing full build ... \n" +
                        green + "Flashing image ... done"),
              std::string::npos)
        << text;
}

TEST_F(Flash, NoBoardIsReportedBeforeTheMissingBuild)
{
    runner.push_read_no_line(); // ls: no such file
    runner.push_read_no_line(); // no board
    StdoutCapture out;
    EXPECT_EQ(sdk_flash_full_helper(), exit_status::no_board);
    EXPECT_EQ(out.text(), red + "Could not find a Qualcomm device in QDL mode\n" +
                              "Please follow the README and reconnect your device" + reset + "\n");
    EXPECT_EQ(runner.calls().size(), 2u);
}

TEST_F(Flash, MissingBuildNamesTheChosenStorage)
{
    for (bool emmc : {false, true}) {
        if (emmc)
            make_dir("/full_build/emmc");
        events.clear();
        runner.push_read_no_line();
        runner.push_read_line("/dev/ttyUSB0\n");
        StdoutCapture out;
        EXPECT_EQ(sdk_flash_full_helper(), 1);
        const std::string dir = emmc ? "emmc" : "ufs";
        EXPECT_EQ(out.text(), "Device found: /dev/ttyUSB0 (serial QDL_SERIAL)\n" + red +
                                  "Need to check " + rel() + "/full_build/" + dir +
                                  "/ or run command 1 to download/regenerate image" + reset + "\n");
        EXPECT_EQ(events.size(), 2u);
    }
}

TEST_F(Flash, PresenceCheckThatCannotStartStopsAtOnce)
{
    runner.push_read_cannot_start();
    StdoutCapture out;
    EXPECT_EQ(sdk_flash_full_helper(), 1);
    EXPECT_EQ(out.text(), "sdk_flash_full_helper: check full_build internal error\n");
    EXPECT_EQ(runner.calls().size(), 1u);
}

TEST_F(Flash, ProgrammerLoadMustReportExactlyZero)
{
    struct Case {
        host::Reply reply;
        const char *message;
    };
    auto line = [](const char *text) {
        host::Reply r;
        r.outcome = host::Outcome::line;
        r.line = text;
        return r;
    };
    host::Reply no_line;
    no_line.outcome = host::Outcome::no_line;
    const char *failed = "Initializing flash process failed\n"
                         "Please follow the README and reconnect your device to PC\n";
    const Case cases[] = {
        {line("1\n"), failed},
        {line("0"), failed},
        {line("0 \n"), failed},
        {no_line, "get QSahara result internal error\n"},
        {host::Reply{}, "QsaharaServer cmd internal error\n"},
    };
    for (const Case &c : cases) {
        FakeRunner fresh;
        fresh.push_read_line("found\n");
        fresh.push_read_line("/dev/ttyUSB0\n");
        fresh.push_read(c.reply);
        StdoutCapture out;
        EXPECT_EQ(sdk_flash_full_helper(), 1);
        EXPECT_EQ(out.text(), std::string("Device found: /dev/ttyUSB0 (serial QDL_SERIAL)\n"
                                          "Ostrelle flashing full build...\n"
                                          "Initializing flash ...\n") +
                                  c.message);
        // The storage is not touched.
        EXPECT_EQ(fresh.calls().size(), 3u);
        for (const auto &call : fresh.calls())
            EXPECT_EQ(call.cmd.find("fh_loader"), std::string::npos);
    }
}

TEST_F(Flash, StepThatCannotStartIsReportedAndTheSequenceGoesOn)
{
    script_prelude();
    runner.push_system(0);
    runner.push_system(-1);
    runner.push_system(0);
    runner.push_system(0);
    runner.push_system(0);
    runner.push_system(0);
    runner.push_system(-1);
    runner.push_system(-1);
    StdoutCapture out;
    sdk_flash_full_helper();
    const std::string text = out.text();
    EXPECT_NE(text.find("Erasing part1 ...\nfh_loader erase part1 internal error\n"
                        "Erasing part2 ...\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Flashing full build ... \nflash cdt in full_build internal error\n"
                        "flash full build internal error\n" +
                        green + "Flashing image ... done"),
              std::string::npos)
        << text;
    EXPECT_EQ(commands_of_kind(FakeRunner::Kind::system).size(), 8u);
    EXPECT_NE(text.find("Robotics device is ready to use."), std::string::npos);
}

TEST_F(Flash, BoardThatNeverBootsIsPolledNineTimes)
{
    boot_at_poll = 0;
    script_prelude();
    StdoutCapture out;
    EXPECT_EQ(sdk_flash_full_helper(), exit_status::not_booted);
    const std::string text = out.text();

    std::string waits;
    for (int s = 10; s <= 90; s += 10)
        waits += "Waiting for boot up, time elapsed: " + std::to_string(s) + "s\n";
    const std::string tail = "Waiting for device to reboot ...\n" + waits + "\n" + red +
                             "There is something wrong happened in Boot up process" + reset + "\n" +
                             red +
                             "Please restart your device manually or check out Troubleshoot in "
                             "README" +
                             reset + "\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(polls, 9);
    // 1 before the programmer, 8 before the steps, 5 after, one per round.
    EXPECT_EQ(count_events("sleep 1"), 1 + 8 + 99);
    EXPECT_EQ(count_events("sleep 5"), 1);
}

TEST_F(Flash, BoardListedAtTheThirdPollEndsTheWait)
{
    boot_at_poll = 3;
    script_prelude();
    StdoutCapture out;
    EXPECT_EQ(sdk_flash_full_helper(), 0);
    const std::string text = out.text();
    EXPECT_NE(text.find("Waiting for device to reboot ...\n"
                        "Waiting for boot up, time elapsed: 10s\n"
                        "Waiting for boot up, time elapsed: 20s\n" +
                        success_box()),
              std::string::npos)
        << text;
    EXPECT_EQ(polls, 3);
    EXPECT_EQ(count_events("sleep 1"), 1 + 8 + 29);
}

TEST_F(Flash, PollThatCannotRunOrLeavesNoListingSkipsTheRound)
{
    boot_at_poll = 0;
    write_listing = false;
    script_prelude();
    for (int poll = 0; poll < 4; poll++)
        runner.push_read_cannot_start();
    StdoutCapture out;
    sdk_flash_full_helper();
    const std::string text = out.text();

    size_t reported = 0;
    for (size_t at = 0; (at = text.find("sdk_flash_full_helper: check device reboot internal "
                                        "error\n",
                                        at)) != std::string::npos;
         at++)
        reported++;
    EXPECT_EQ(reported, 4u);
    // No listing file: the round is skipped without a word.
    EXPECT_EQ(text.find("time elapsed"), std::string::npos);
    EXPECT_NE(text.find("There is something wrong happened in Boot up process"), std::string::npos);
    // Neither kind of skipped round pauses.
    EXPECT_EQ(count_events("sleep 1"), 1 + 8 + 90);
}

TEST_F(Flash, SecondListingLineLongerThanItsLineEndIsADevice)
{
    // A header alone, a header with the closing empty line and a last line
    // of one character without its line end list no device; a one-character
    // entry with its line end does.
    const char *listings[] = {"List of devices attached\n", "List of devices attached\n\n",
                              "List of devices attached\nx", "List of devices attached\nx\n"};
    const bool booted[] = {false, false, false, true};
    for (size_t n = 0; n < 4; n++) {
        FakeRunner fresh;
        fresh.push_read_line("found\n");
        fresh.push_read_line("/dev/ttyUSB0\n");
        fresh.push_read_line("0\n");
        const std::string body = listings[n];
        fresh.on_call = [&](const FakeRunner::Call &call) {
            if (call.cmd.rfind("adb devices", 0) == 0)
                std::ofstream(rel() + "/device_bootup.log") << body;
        };
        StdoutCapture out;
        sdk_flash_full_helper();
        EXPECT_EQ(out.text().find("Robotics device is ready") != std::string::npos, booted[n])
            << body;
    }
}

TEST_F(Flash, AnotherDeviceUnderAdbIsNotTheFlashedBoardBooted)
{
    for (const char *path : {"1-4", "1-2"}) {
        FakeRunner fresh;
        fresh.push_read_line("found\n");
        fresh.push_read_line("/dev/ttyUSB0\t/sys/bus/usb/devices/usb1/1-2/1-2:1.0/ttyUSB0\tAAA\n");
        fresh.push_read_line("0\n");
        fresh.on_call = [&](const FakeRunner::Call &call) {
            if (call.cmd.rfind("adb devices -l", 0) == 0)
                std::ofstream(rel() + "/device_bootup.log")
                    << "List of devices attached\nb0a4d6e1    device usb:" << path
                    << " transport_id:1\n\n";
        };
        StdoutCapture out;
        const bool ours = std::string(path) == "1-2";
        EXPECT_EQ(sdk_flash_full_helper(), ours ? 0 : exit_status::not_booted) << path;
        const std::string text = out.text();
        EXPECT_EQ(text.find("Robotics device is ready") != std::string::npos, ours) << path;
        EXPECT_EQ(text.find("There is something wrong happened") != std::string::npos, !ours);
    }
}

TEST_F(Flash, DryRunShowsOnePollAndGoesOnAsIfTheBoardHadBooted)
{
    boot_at_poll = 0;
    host::set_dry_run(true);
    runner.push_read_line("found\n");
    runner.push_read_line("/dev/ttyUSB0\n");
    StdoutCapture out;
    const int result = sdk_flash_full_helper();
    host::set_dry_run(false);
    const std::string text = out.text();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(polls, 0);
    EXPECT_NE(text.find("would run: adb devices -l > " + rel() + "/device_bootup.log\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("There is something wrong"), std::string::npos);
    EXPECT_EQ(text.find("Robotics device is ready"), std::string::npos);
}

TEST_F(Flash, PartialFlashWhoseToolFailedIsNoSuccessWhenTheBoardIsGone)
{
    runner.push_read_line("found\n");
    runner.push_read_line("/dev/ttyUSB0\n");
    runner.push_read_line("0\n");
    runner.push_read_no_line(); // the board dropped off USB in the write
    runner.on_call = [this](const FakeRunner::Call &call) {
        if (call.cmd.find("fh_loader") != std::string::npos)
            runner.push_system(1 << 8);
    };
    StdoutCapture out;
    EXPECT_EQ(sdk_flash_nonhlos_helper(), 1);
    const std::string text = out.text();
    EXPECT_TRUE(text.ends_with("Waiting 10s for device to reboot ...\n" + red +
                               "fh_loader failed: the NON-HLOS files may be written only in "
                               "part" +
                               reset + "\n"))
        << text;
}

TEST_F(Flash, DryRunOfAPartialFlashEndsWithoutTheRestartCheck)
{
    host::set_dry_run(true);
    runner.push_read_line("found\n");
    runner.push_read_line("/dev/ttyUSB0\n");
    StdoutCapture out;
    const int result = sdk_flash_nonhlos_helper();
    host::set_dry_run(false);
    const std::string text = out.text();
    EXPECT_EQ(result, 0);
    // The board was not restarted, so looking for it again would only find it.
    EXPECT_TRUE(text.ends_with("Waiting 10s for device to reboot ...\n")) << text;
    EXPECT_EQ(text.find("You may need"), std::string::npos);
}

TEST_F(Flash, CdtHelperTakesTheReleaseStorageAndGivesTheVerdict)
{
    make_dir("/full_build/emmc");
    runner.push_read_line("found\n");
    runner.push_read_line("/dev/ttyUSB0\n");
    runner.push_read_line("0\n");
    runner.push_read_line("/dev/ttyUSB0\n"); // still in download mode
    StdoutCapture out;
    EXPECT_EQ(sdk_flash_cdt_helper(), 1);
    const std::vector<std::string> commands = runner.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands[0], "ls " + rel() + "/cdt/rawprogram2.xml");
}

TEST_F(Flash, ReleaseWithoutItsCompletionRecordIsNeverFlashed)
{
    const std::string found = "Device found: /dev/ttyUSB0 (serial QDL_SERIAL)\n";
    const std::string missing = red + "The release " + rel() +
                                " is not complete: it has no completion record. Run command 1 "
                                "again" +
                                reset + "\n";
    const std::string other = red + "The release " + rel() +
                              " is not complete: its completion record names another package. "
                              "Run command 1 again" +
                              reset + "\n";
    fs::remove(rel() + "/.ostrelle-complete");
    for (int (*helper)() : {sdk_flash_full_helper, sdk_flash_cdt_ufs_helper,
                            sdk_flash_cdt_emmc_helper, sdk_flash_nonhlos_helper}) {
        FakeRunner fresh;
        fresh.push_read_line("found\n");
        fresh.push_read_line("/dev/ttyUSB0\n");
        StdoutCapture out;
        helper();
        EXPECT_EQ(out.text(), found + missing);
        // The presence check and the board search ran; nothing touched the board.
        EXPECT_EQ(fresh.calls().size(), 2u);
    }
    // A record of another package (an earlier release of the same name), or
    // one that the digest merely begins.
    for (const char *text : {"0ther\n", "c0ffee", "c0ffee\n\n"}) {
        std::ofstream(rel() + "/.ostrelle-complete") << text;
        FakeRunner fresh;
        fresh.push_read_line("found\n");
        fresh.push_read_line("/dev/ttyUSB0\n");
        StdoutCapture out;
        sdk_flash_full_helper();
        EXPECT_EQ(out.text(), found + other) << text;
        EXPECT_EQ(fresh.calls().size(), 2u);
    }
}

TEST_F(Flash, NothingRunsAsRootOnABoardOthersHoldOrFromATreeOthersCanChange)
{
    // Another run holds the board: every flash says so and leaves it alone.
    const int held = open((root + "/run/lock/ostrelle-board-serial-QDL_SERIAL.lock").c_str(),
                          O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    for (int (*helper)() :
         {sdk_flash_full_helper, sdk_flash_cdt_ufs_helper, sdk_flash_nonhlos_helper}) {
        FakeRunner fresh;
        fresh.push_read_line("found\n");
        fresh.push_read_line("/dev/ttyUSB0\n");
        StdoutCapture out;
        EXPECT_EQ(helper(), 8);
        EXPECT_EQ(out.text(), "Device found: /dev/ttyUSB0 (serial QDL_SERIAL)\nThe board "
                              "/dev/ttyUSB0 (serial QDL_SERIAL) is being flashed "
                              "by another run (its process is not visible here)\n" +
                                  red + "The board is busy: nothing was flashed" + reset + "\n");
        EXPECT_EQ(fresh.calls().size(), 2u);
    }
    close(held);

    chmod(rel().c_str(), 0777);
    FakeRunner fresh;
    fresh.push_read_line("found\n");
    fresh.push_read_line("/dev/ttyUSB0\n");
    StdoutCapture out;
    EXPECT_EQ(sdk_flash_full_helper(), 1);
    EXPECT_EQ(out.text(), "Device found: /dev/ttyUSB0 (serial QDL_SERIAL)\n" + red +
                              "Not running the flashing tools as root: " + rel() +
                              " is writable by group or others (mode 0777)" + reset +
                              "\nKeep the target directory where only you and root can write, "
                              "then run command 1 again\n");
    EXPECT_EQ(fresh.calls().size(), 2u);
    chmod(rel().c_str(), 0755);
}

TEST_F(Flash, OutsideValuesAreQuotedOnEveryCommandLine)
{
    set_target(root + "/my builds/");
    strcpy(release_ver, "LU'1");
    make_dir("");
    complete();
    FakeRunner fresh;
    fresh.on_call = runner.on_call;
    fresh.push_read_line("found\n");
    fresh.push_read_line("/dev/tty USB0\n");
    fresh.push_read_line("0\n");
    StdoutCapture out;
    sdk_flash_full_helper();
    out.text();

    const std::string q = "'" + root + "/my builds/LU'\\''1";
    const std::vector<std::string> commands = fresh.commands();
    ASSERT_EQ(commands.size(), 12u);
    EXPECT_EQ(commands[0], "ls " + q + "/full_build/ufs/rawprogram_unsparse0.xml'");
    EXPECT_EQ(commands[2], "sudo QSaharaServer -p '/dev/tty USB0' -s 13:" + q +
                               "/full_build/ufs/prog_firehose_ddr.elf' > " + q +
                               "/QSahara_fullbuild.log'; echo $?");
    EXPECT_EQ(commands[3], ufs_erase("'/dev/tty USB0'", q, 0) + "'");
    EXPECT_EQ(commands[11], "adb devices -l > " + q + "/device_bootup.log'");
}

TEST_F(Flash, SequenceTooLongForItsBufferIsRefusedBeforeTheBoardIsTouched)
{
    // The last step carries the release directory twice; the erase steps
    // would still fit.
    set_target(root + "/" + std::string(200, 'd') + "/");
    make_dir("");
    complete();
    script_prelude();
    StdoutCapture out;
    EXPECT_EQ(sdk_flash_full_helper(), 1);
    EXPECT_EQ(out.text(),
              "Device found: /dev/ttyUSB0 (serial QDL_SERIAL)\nflash full build internal error\n");
    EXPECT_EQ(runner.calls().size(), 2u);
}

// The confirmation dialogue of command "2".

std::string full_banner(const std::string &version)
{
    return yellow + banner_line() + reset + "\n" + yellow + "Flash full build to Vavevuro device" +
           reset + "\n" + yellow + "The flash process will take about 5 minutes" + reset + "\n" +
           yellow + "Current image version to be flashed: " + reset + version + "\n" + yellow +
           banner_line() + reset + "\n\n" + "Enter 'y' to continue, 'q' to main menu: ";
}

TEST_F(Flash, OnlyALowerCaseYStartsTheFullFlash)
{
    const char *refused[] = {"Y\n", "yes\n", "n\n", "yyyyyyyyyyy\n", "  y2\n"};
    for (const char *answer : refused) {
        FakeRunner fresh;
        StdinFeed in(answer);
        StdoutCapture out;
        EXPECT_EQ(sdk_flash_full(0, nullptr), 0);
        EXPECT_EQ(out.text(), full_banner("LU1.0") + "\nUnknown option, return to main menu\n\n")
            << answer;
        EXPECT_TRUE(fresh.calls().empty()) << answer;
    }

    {
        FakeRunner fresh;
        StdinFeed in("q\n");
        StdoutCapture out;
        EXPECT_EQ(sdk_flash_full(0, nullptr), 0);
        EXPECT_EQ(out.text(), full_banner("LU1.0"));
        EXPECT_TRUE(fresh.calls().empty());
    }

    {
        FakeRunner fresh;
        fresh.push_read_cannot_start();
        StdinFeed in(" y\n");
        StdoutCapture out;
        EXPECT_EQ(sdk_flash_full(0, nullptr), 0);
        EXPECT_EQ(out.text(), full_banner("LU1.0") +
                                  "sdk_flash_full_helper: check full_build internal error\n");
        EXPECT_EQ(fresh.calls().size(), 1u);
    }
}

TEST_F(Flash, EndOfInputAtTheConfirmationIsAnUnknownOption)
{
    StdinFeed in("");
    StdoutCapture out;
    EXPECT_EQ(sdk_flash_full(0, nullptr), 0);
    EXPECT_EQ(out.text(), full_banner("LU1.0") + "\n input version internal error\n"
                                                 "\nUnknown option, return to main menu\n\n");
    EXPECT_TRUE(runner.calls().empty());
}

// CDT and NON-HLOS.

TEST_F(Flash, CdtUfsFlashesAndSeesTheBoardLeaveDownloadMode)
{
    runner.push_read_line("found\n");
    runner.push_read_line("/dev/ttyUSB0\n");
    runner.push_read_line("0\n");
    runner.push_read_no_line(); // board gone after the reset
    StdinFeed in("y\n");
    StdoutCapture out;
    EXPECT_EQ(sdk_flash_cdt(0, nullptr), 0);
    const std::string text = out.text();

    const std::string r = rel();
    std::vector<std::string> expected = {
        "ls " + r + "/cdt/rawprogram3_iot_qrd.xml",
        "",
        "sleep 1",
        "sudo QSaharaServer -p /dev/ttyUSB0 -s 13:" + r + "/cdt/prog_firehose_ddr.elf > " + r +
            "/QSahara_cdt.log; echo $?",
        "sleep 1",
        "sudo fh_loader --port=/dev/ttyUSB0 --sendxml=rawprogram3_iot_qrd.xml,patch3.xml "
        "--search_path=" +
            r +
            "/cdt/ --noprompt --showpercentagecomplete --memoryname=UFS --loglevel=1 "
            "--porttracename=" +
            r + "/flash_cdt.log --reset",
        "sleep 10",
        "",
    };
    ASSERT_EQ(events.size(), expected.size());
    EXPECT_EQ(events[1].rfind(discovery_prefix, 0), 0u);
    EXPECT_EQ(events[7], events[1]);
    events[1] = events[7] = "";
    EXPECT_EQ(events, expected);

    EXPECT_EQ(text, yellow + banner_line() + reset + "\n" + yellow +
                        "Flash CDT to Vavevuro device" + reset + "\n" + yellow +
                        "The flash process will take about 5 minutes" + reset + "\n" + yellow +
                        "Current CDT version to be flashed: " + reset + "LU1.0\n" + yellow +
                        banner_line() + reset + "\n\n" +
                        "Enter 'y' to continue, 'q' to main menu: "
                        "Device found: /dev/ttyUSB0 (serial QDL_SERIAL)\n"
                        "Ostrelle flashing CDT...\n"
                        "Initializing flash...\n"
                        "Flashing CDT ...\n"
                        "Waiting 10s for device to reboot ...\n" +
                        green + "Flashing cdt ... done" + reset + "\n");
}

TEST_F(Flash, CdtEmmcVariantAndABoardThatStaysInDownloadMode)
{
    make_dir("/full_build/emmc");
    runner.push_read_line("found\n");
    runner.push_read_line("/dev/ttyUSB0\n");
    runner.push_read_line("0\n");
    runner.push_read_line("/dev/ttyUSB0\n");
    StdinFeed in("y\n");
    StdoutCapture out;
    sdk_flash_cdt(0, nullptr);
    const std::string text = out.text();

    const std::string r = rel();
    const std::vector<std::string> commands = runner.commands();
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[0], "ls " + r + "/cdt/rawprogram2.xml");
    EXPECT_EQ(commands[2], "sudo QSaharaServer -p /dev/ttyUSB0 -s 13:" + r +
                               "/cdt/prog_firehose_ddr.elf > " + r + "/QSahara_cdt.log; echo $?");
    EXPECT_EQ(commands[3],
              "sudo fh_loader --port=/dev/ttyUSB0 --sendxml=rawprogram2.xml,patch2.xml "
              "--search_path=" +
                  r +
                  "/cdt/ --noprompt --showpercentagecomplete --memoryname=eMMC "
                  "--loglevel=1 --porttracename=" +
                  r + "/flash_cdt.log --reset");
    const std::string tail =
        "Waiting 10s for device to reboot ...\nDevice found: /dev/ttyUSB0 (serial QDL_SERIAL)\n" +
        red + "You may need to flash full build in order to boot up the device" + reset + "\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(Flash, CdtStopsWithItsOwnTexts)
{
    {
        runner.push_read_no_line();
        runner.push_read_no_line();
        StdoutCapture out;
        EXPECT_NE(sdk_flash_cdt_ufs_helper(), 0);
        EXPECT_EQ(out.text(), red + "Could not find a Qualcomm device in QDL mode\n" +
                                  "Please follow the README nad reconnect your device" + reset +
                                  "\n");
    }
    {
        FakeRunner fresh;
        fresh.push_read_no_line();
        fresh.push_read_line("/dev/ttyUSB0\n");
        StdoutCapture out;
        sdk_flash_cdt_emmc_helper();
        EXPECT_EQ(out.text(), "Device found: /dev/ttyUSB0 (serial QDL_SERIAL)\n" + red +
                                  "Could not find the cdt files, please check files in " + rel() +
                                  "/cdt" + reset + "\n");
    }
    {
        FakeRunner fresh;
        fresh.push_read_cannot_start();
        StdoutCapture out;
        sdk_flash_cdt_emmc_helper();
        EXPECT_EQ(out.text(), "sdk_flash_cdt_emmc_helper: check cdt internal error\n");
    }
    {
        FakeRunner fresh;
        fresh.push_read_line("found\n");
        fresh.push_read_line("/dev/ttyUSB0\n");
        fresh.push_read_cannot_start();
        StdoutCapture out;
        sdk_flash_cdt_ufs_helper();
        EXPECT_NE(out.text().find("Initializing flash...\nQsaharaServer cdt cmd internal error\n"),
                  std::string::npos);
        EXPECT_EQ(fresh.calls().size(), 3u);
    }
    {
        FakeRunner fresh;
        fresh.push_read_line("found\n");
        fresh.push_read_line("/dev/ttyUSB0\n");
        fresh.push_read_line("0\n");
        fresh.push_system(-1);
        StdoutCapture out;
        sdk_flash_cdt_ufs_helper();
        EXPECT_NE(out.text().find("Flashing CDT ...\nflash cdt internal error\n"
                                  "Waiting 10s for device to reboot ...\n"),
                  std::string::npos);
    }
    {
        FakeRunner fresh;
        StdinFeed in("yes\n");
        StdoutCapture out;
        sdk_flash_cdt(0, nullptr);
        EXPECT_NE(out.text().find("\nUnknown option, return to main menu\n\n"), std::string::npos);
        EXPECT_TRUE(fresh.calls().empty());
    }
    {
        FakeRunner fresh;
        StdinFeed in("");
        StdoutCapture out;
        sdk_flash_cdt(0, nullptr);
        EXPECT_NE(out.text().find("\n input cdt version internal error\n"), std::string::npos);
    }
}

TEST_F(Flash, NonHlosTargetsUfsEvenBesideAnEmmcBuild)
{
    make_dir("/full_build/emmc");
    runner.push_read_line("found\n");
    runner.push_read_line("/dev/ttyUSB0\n");
    runner.push_read_line("0\n");
    runner.push_read_no_line();
    StdinFeed in("y\n");
    StdoutCapture out;
    EXPECT_EQ(sdk_flash_nonhlos(0, nullptr), 0);
    const std::string text = out.text();

    const std::string r = rel();
    const std::vector<std::string> commands = runner.commands();
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[0], "ls " + r + "/non_hlos/ufs/rawprogram0.xml");
    EXPECT_EQ(commands[2], "sudo QSaharaServer -p /dev/ttyUSB0 -s 13:" + r +
                               "/non_hlos/ufs/prog_firehose_ddr.elf > " + r +
                               "/QSahara_nonhlos.log; echo $?");
    EXPECT_EQ(commands[3],
              "sudo fh_loader --port=/dev/ttyUSB0 --sendxml=rawprogram0.xml,rawprogram1.xml,"
              "rawprogram2.xml,rawprogram3.xml,rawprogram4.xml,rawprogram5.xml,patch0.xml,"
              "patch1.xml,patch2.xml,patch3.xml,patch4.xml,patch5.xml --search_path=" +
                  r +
                  "/non_hlos/ufs/ --noprompt --showpercentagecomplete --memoryname=UFS "
                  "--loglevel=1 --porttracename=" +
                  r + "/flash_nonhlos.log --reset");
    EXPECT_EQ(count_events("sleep 10"), 1);

    EXPECT_EQ(text, yellow + banner_line() + reset + "\n" + yellow +
                        "Flash NON-HLOS build to Vavevuro device" + reset + "\n" + yellow +
                        "The flash process will take about 5 minutes" + reset + "\n" + yellow +
                        "Current image version to be flashed: " + reset + "LU1.0\n" + yellow +
                        banner_line() + reset + "\n\n" +
                        "Enter 'y' to continue, 'q' to main menu: "
                        "Device found: /dev/ttyUSB0 (serial QDL_SERIAL)\n"
                        "Ostrelle flashing NON-HLOS build...\n"
                        "Initializing flash...\n"
                        "Flashing NON-HLOS build...\n"
                        "Waiting 10s for device to reboot ...\n" +
                        green + "Flashing NON-HLOS ... done" + reset + "\n");
}

TEST_F(Flash, NonHlosStopsWithItsOwnTexts)
{
    {
        runner.push_read_line("found\n");
        runner.push_read_no_line();
        StdoutCapture out;
        sdk_flash_nonhlos_helper();
        EXPECT_EQ(out.text(), red + "Could not find a Qualcomm device in QDL mode\n" +
                                  "Please follow the README nad reconnect your device" + reset +
                                  "\n");
    }
    {
        FakeRunner fresh;
        fresh.push_read_no_line();
        fresh.push_read_line("/dev/ttyUSB0\n");
        StdoutCapture out;
        sdk_flash_nonhlos_helper();
        EXPECT_EQ(out.text(), "Device found: /dev/ttyUSB0 (serial QDL_SERIAL)\n" + red +
                                  "Could not find the NON-HLOS files, please check files in " +
                                  rel() + "/non_hlos" + reset + "\n");
    }
    {
        FakeRunner fresh;
        fresh.push_read_cannot_start();
        StdoutCapture out;
        sdk_flash_nonhlos_helper();
        EXPECT_EQ(out.text(), "sdk_flash_nonhlos_helper: check nonhlos internal error\n");
    }
    const char *programmer_failures[][2] = {
        {"", "get NON-HLOS QSahara result internal error\n"},
        {"start", "QsaharaServer nonhlos cmd internal error\n"},
    };
    for (const auto &failure : programmer_failures) {
        FakeRunner fresh;
        fresh.push_read_line("found\n");
        fresh.push_read_line("/dev/ttyUSB0\n");
        if (failure[0][0])
            fresh.push_read_cannot_start();
        else
            fresh.push_read_no_line();
        StdoutCapture out;
        sdk_flash_nonhlos_helper();
        EXPECT_NE(out.text().find(std::string("Initializing flash...\n") + failure[1]),
                  std::string::npos);
        EXPECT_EQ(fresh.calls().size(), 3u);
    }
    {
        FakeRunner fresh;
        fresh.push_read_line("found\n");
        fresh.push_read_line("/dev/ttyUSB0\n");
        fresh.push_read_line("0\n");
        fresh.push_read_line("/dev/ttyUSB0\n");
        fresh.push_system(-1);
        StdoutCapture out;
        sdk_flash_nonhlos_helper();
        const std::string text = out.text();
        EXPECT_NE(text.find("Flashing NON-HLOS build...\nflash nonhlos internal error\n"
                            "Waiting 10s for device to reboot ...\nDevice found: /dev/ttyUSB0 "
                            "(serial QDL_SERIAL)\n" +
                            red +
                            "You may need to flash HLOS image in order to boot up the device" +
                            reset + "\n"),
                  std::string::npos)
            << text;
    }
}

} // namespace

TEST_F(Flash, BoardWithAReceiptIsAskedWhetherToSendOnlyTheChangedImages)
{
    // A release whose descriptions place two images.
    auto description = [](const std::string &entries) {
        return "<?xml version=\"1.0\" ?>\n<data>\n" + entries + "</data>\n";
    };
    auto write = [](const std::string &path, const std::string &text) {
        std::ofstream(path) << text;
    };
    make_dir("/cdt");
    make_dir("/full_build/ufs");
    write(
        rel() + "/cdt/rawprogram3_iot_qrd.xml",
        description("  <program filename=\"cdt.bin\" label=\"cdt\" physical_partition_number=\"3\" "
                    "start_sector=\"262\" num_partition_sectors=\"32\"/>\n"));
    write(rel() + "/cdt/cdt.bin", "cdt\n");
    write(rel() + "/full_build/ufs/rawprogram_unsparse0.xml",
          description("  <program filename=\"boot.img\" label=\"boot_a\" "
                      "physical_partition_number=\"0\" start_sector=\"8\"/>\n"));
    for (int n = 1; n < 6; n++)
        write(rel() + "/full_build/ufs/rawprogram" + std::to_string(n) + ".xml", description(""));
    write(rel() + "/full_build/ufs/boot.img", "boot 1\n");

    // The first flash leaves the board's receipt; no question before it.
    script_prelude();
    {
        StdoutCapture out;
        EXPECT_EQ(sdk_flash_full_helper(), 0);
        EXPECT_EQ(out.text().find("[Y/n]"), std::string::npos);
    }

    // "n" keeps the full sequence. Enter takes the changed-only flash: no
    // erase, one write of the changed entry with the release's patches, then
    // the restart and the boot wait. Each time the boot image has changed
    // since the flash before.
    for (const char *answer : {"n\n", "\n"}) {
        write(rel() + "/full_build/ufs/boot.img", std::string("boot after ") + answer);
        FakeRunner fresh;
        fresh.on_call = runner.on_call;
        fresh.push_read_line("found\n");
        fresh.push_read_line("/dev/ttyUSB0\n");
        fresh.push_read_line("0\n");
        StdinFeed in(answer);
        StdoutCapture out;
        EXPECT_EQ(sdk_flash_full_helper(), 0);
        const std::string text = out.text();
        EXPECT_NE(text.find("Device found: /dev/ttyUSB0 (serial QDL_SERIAL)\n1 of 2 images "
                            "changed since this board's last flash; flash only those [Y/n]? "),
                  std::string::npos)
            << text;
        const std::vector<std::string> tools = [&] {
            std::vector<std::string> out;
            for (const auto &call : fresh.calls()) {
                if (call.kind == FakeRunner::Kind::system)
                    out.push_back(call.cmd);
            }
            return out;
        }();
        if (answer[0] == 'n') {
            EXPECT_EQ(tools.size(), 8u) << text;
            continue;
        }
        const std::string xml = rel() + "/flash-logs/QDL_SERIAL/changed-full_build-ufs-"
                                        "rawprogram_unsparse0.xml";
        ASSERT_EQ(tools.size(), 1u) << text;
        EXPECT_EQ(tools[0], "sudo fh_loader --port=/dev/ttyUSB0 --sendxml=" + xml +
                                ",patch0.xml,patch1.xml,patch2.xml,patch3.xml,patch4.xml,"
                                "patch5.xml --search_path=" +
                                rel() +
                                "/full_build/ufs/ --noprompt --showpercentagecomplete "
                                "--memoryname=UFS --loglevel=1 --porttracename=" +
                                rel() + "/flash_image.log --reset");
        std::ifstream sent(xml);
        std::stringstream body;
        body << sent.rdbuf();
        EXPECT_NE(body.str().find("filename=\"boot.img\""), std::string::npos);
        EXPECT_EQ(body.str().find("cdt.bin"), std::string::npos);
        EXPECT_NE(text.find("Flashing the 1 of 2 images that changed since the board's last "
                            "flash ...\n"),
                  std::string::npos);
    }
}
