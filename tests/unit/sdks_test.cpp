// The framework SDK menu and installers against a fake command runner: the
// command lines they compose, how they judge the replies, and their answers.
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "core/commands.h"
#include "core/state.h"
#include "release/resource_server.h"
#include "support/fake_runner.h"
#include "support/stdio_capture.h"

using testing_support::FakeRunner;
using Strings = std::vector<std::string>;

namespace {

struct Seen {
    int result;
    std::string out;
};

// Calls fn with input on standard input; what it printed is in Seen::out.
template <typename Fn> Seen call(Fn fn, const std::string &input, const char *target = "/t/")
{
    snprintf(target_path, sizeof(target_path), "%s", target);
    testing_support::StdinFeed feed(input);
    testing_support::StdoutCapture capture;
    int result = fn();
    return {result, capture.text()};
}

int menu()
{
    return sdk_dl_sdks(0, nullptr);
}

bool has(const std::string &out, const std::string &text)
{
    return out.find(text) != std::string::npos;
}

const std::string stars93(93, '*');
const std::string stars41(41, '*');

} // namespace

TEST(SdkMenu, PrintsTheMenuAndQuitsOnQ)
{
    FakeRunner fake;
    Seen r = call(menu, "q\n");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.out, "\033[33m" + stars93 +
                         "\nInstall QC Framework SDKs to support the development\n"
                         "Please follow the README guide and download QC Framework SDKs from "
                         "Qualcomm Developer Network\n" +
                         stars93 +
                         "\033[0m\n\nAvailable SDKs:\n1. Qualcomm® Neural Processing SDK for AI\n"
                         "2. Hexagon DSP SDK\n3. FastCV Computer Vision SDK\n\n"
                         "Select a number (1|2|3) to be installed or enter 'q' to main menu: \n");
    EXPECT_TRUE(fake.calls().empty());
}

TEST(SdkMenu, OtherAnswersGoBackToTheMenu)
{
    // "1234567" fills the field exactly; "12345678" is one too long and must
    // not be taken for a shorter answer.
    for (const char *input : {"4\n", "Q\n", "11\n", "1234567\n", "12345678\n", ""}) {
        FakeRunner fake;
        Seen r = call(menu, input);
        EXPECT_EQ(r.result, 0) << input;
        EXPECT_TRUE(r.out.ends_with(": \nUnknown SDK, back to main menu\n") ||
                    r.out.ends_with(": sdk_dl_sdks: sdk version internal error\n\n"
                                    "Unknown SDK, back to main menu\n"))
            << r.out;
        EXPECT_EQ(has(r.out, "internal error"), *input == '\0') << input;
        EXPECT_TRUE(fake.calls().empty()) << input;
    }
}

TEST(SdkMenu, ProbesEachRowAndJudgesTheReply)
{
    struct Row {
        const char *answer, *glob, *name, *list_failed, *no_status;
    } rows[] = {
        {"1", "snpe-*.zip", "Qualcomm® Neural Processing SDK", "list snpe package internal error",
         "list snpe return value internal error"},
        {"2", "hexagon_*.zip", "Hexagon DSP SDK", "list hexagon package internal error",
         "list hexagon return value internal error"},
        {"3", "fastcv-*.bin", "FastCV Computer Vision SDK", "list fastcv package internal error",
         "list fastcv return value internal error"},
    };
    for (const Row &row : rows) {
        std::string probe =
            std::string("ls '/my sdk/'SDKs/") + row.glob + " > /dev/null 2>&1; echo $?";
        {
            FakeRunner fake;
            fake.push_read_line("2\n");
            Seen r = call(menu, row.answer + std::string("\n"), "/my sdk/");
            EXPECT_EQ(r.result, 1);
            EXPECT_EQ(fake.commands(), Strings{probe});
            EXPECT_TRUE(r.out.ends_with(std::string("\033[31mNo ") + row.name +
                                        " found in /my sdk/SDKs directory\033[0m\n\n"))
                << r.out;
        }
        {
            FakeRunner fake;
            fake.push_read_cannot_start();
            Seen r = call(menu, row.answer + std::string("\n"));
            EXPECT_EQ(r.result, 1);
            EXPECT_TRUE(r.out.ends_with(std::string(row.list_failed) + "\n")) << r.out;
        }
        {
            FakeRunner fake;
            fake.push_read_no_line();
            Seen r = call(menu, row.answer + std::string("\n"));
            EXPECT_EQ(r.result, 1);
            EXPECT_TRUE(r.out.ends_with(std::string(row.no_status) + "\n")) << r.out;
        }
    }
}

TEST(SdkMenu, AFoundPackageRunsItsInstallerWhoseFailureStillGivesZero)
{
    FakeRunner fake;
    fake.push_read_line("0\n");
    fake.push_system(-1);
    Seen r = call(menu, "3\ny\n");
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(has(r.out, "\033[32mFastCV Computer Vision SDK found\033[0m\n\n"
                           "Hexagon DSP SDK needed to be installed first\n"))
        << r.out;
    EXPECT_TRUE(r.out.ends_with("Unable to execute fastcv installer\n")) << r.out;
}

TEST(Snpe, QuitsOnQAloneAndDeploysOtherwise)
{
    FakeRunner fake;
    EXPECT_EQ(call(sdk_dl_snpe, "q\n").result, 0);
    EXPECT_TRUE(fake.calls().empty());

    // "Q", "qq", an empty line, a line too long for the field (which must be read
    // whole, not left for the next reader) and end of input all go on.
    for (const char *input : {"Q\n", "qq\n", "\n", "q234567890\nnext\n", ""}) {
        FakeRunner deploy;
        deploy.push_read_line("0\n");
        deploy.push_read_line("0\n");
        Seen r = call(
            [] {
                int result = sdk_dl_snpe();
                char rest[16] = "";
                fputs(fgets(rest, sizeof(rest), stdin) ? rest : "<eof>", stdout);
                return result;
            },
            input, "/my sdk/");
        EXPECT_EQ(r.result, 0) << input;
        EXPECT_EQ(deploy.commands(),
                  (Strings{"sudo adb kill-server", "sudo adb devices",
                           "sudo adb push '/my sdk/'SDKs/snpe-*.zip /data/; echo $?",
                           "sudo adb shell unzip -o /data/snpe-*.zip -d /data/",
                           "sudo adb shell cp /data/snpe-*/lib/aarch64-linux-gcc4.9/*.so /usr/lib; "
                           "echo $?"}));
        EXPECT_EQ(has(r.out, "sdk_dl_snpe: device ready answer internal error\n"), *input == '\0');
        EXPECT_TRUE(r.out.ends_with("       SNPE build environment is ready\n" + stars41 +
                                    "\033[0m\n" + (has(input, "next") ? "next\n" : "<eof>")))
            << r.out;
    }
}

TEST(Snpe, EachFailingStepStopsWithOne)
{
    struct Case {
        std::vector<int> systems; // results of the system calls in order
        std::vector<host::Reply> replies;
        const char *ends;
        size_t commands;
    };
    auto line = [](const char *text) { return host::Reply{host::Outcome::line, text}; };
    const host::Reply none{host::Outcome::no_line, ""}, dead{};
    const Case cases[] = {
        {{-1}, {}, "sdk_dl_snpe: kill server internal error\n", 1},
        {{0, -1}, {}, "sdk_dl_snpe: adb devices internal error\n", 2},
        {{}, {dead}, "sdk_dl_snpe: adb push snpe internal error\n", 3},
        {{}, {none}, "check adb push status internal error\n", 3},
        // A tool that reports before the status line counts as failed.
        {{}, {line("error: no devices/emulators found\n")}, "Check errors above\033[0m\n", 3},
        {{0, 0, -1}, {line("0\n")}, "\ndecompress SNPE internal error\n", 4},
        {{}, {line("0\n"), dead}, "sdk_dl_snpe: adb mv snpe lib internal error\n", 5},
        {{}, {line("0\n"), none}, "check adb mv lib internal error\n", 5},
        {{},
         {line("0\n"), line("1\n")},
         "\033[31mCopy SNPE lib to /usr/lib failed. Check "
         "errors above\033[0m\n",
         5},
    };
    for (const Case &c : cases) {
        FakeRunner fake;
        for (int result : c.systems)
            fake.push_system(result);
        for (const host::Reply &reply : c.replies)
            fake.push_read(reply);
        Seen r = call(sdk_dl_snpe, "\n");
        EXPECT_EQ(r.result, 1) << c.ends;
        EXPECT_TRUE(r.out.ends_with(c.ends)) << r.out;
        EXPECT_EQ(fake.calls().size(), c.commands) << c.ends;
    }
}

TEST(Hexagon, ComposesEveryStepAndAsksUntilAnAbsolutePath)
{
    const std::string linaro = "gcc-linaro-4.9-2014.11-x86_64_aarch64-linux-gnu";
    const std::string long_path = "/" + std::string(600, 'x') + "\n";
    for (const std::string &input : {std::string("/opt/hex sdk\n"), std::string("/opt/hex sdk/\n"),
                                     "sdk\n" + long_path + "/opt/hex sdk"}) {
        FakeRunner fake;
        fake.push_read_line("0\n");
        fake.push_read_line("0\n");
        Seen r = call(sdk_dl_hexagon, input);
        EXPECT_EQ(r.result, 0) << input;
        EXPECT_EQ(fake.commands(),
                  (Strings{
                      "wget --retry-connrefused -t 5 -T 30 -q -c --passive-ftp" +
                          resource::tls_options() +
                          " --show-progress -P /t/SDKs/ "
                          "'http://127.0.0.1:8480/archive/14.11/components/toolchain/binaries/"
                          "aarch64-linux-gnu/" +
                          linaro + ".tar.xz'",
                      "tar -xf /t/SDKs/" + linaro + ".tar.xz -C /t/SDKs; echo $?",
                      "mv /t/SDKs/" + linaro + " /t/SDKs/linaro64",
                      "unzip -o /t/SDKs/hexagon_*.zip -d /t/SDKs/; tar -xf /t/SDKs/Hexagon_*.tar "
                      "-C /t/SDKs/",
                      "sudo chmod +x /t/SDKs/qualcomm_hexagon_sdk*.bin",
                      "/t/SDKs/qualcomm_hexagon_sdk*.bin",
                      "mv /t/SDKs/linaro64 '/opt/hex sdk/'/*/tools/; echo $?",
                  }));
        const std::string again = "(press Enter to quit): You are not entering an absolute path, "
                                  "please re-enter one.\n\n";
        EXPECT_EQ(
            has(r.out, again + "Enter the absolute path where you installed Hexagon SDK " + again),
            input[0] == 's')
            << r.out;
        EXPECT_TRUE(r.out.ends_with("         Hexagon DSP SDK is ready\n" + stars41 + "\033[0m\n"));
    }
}

TEST(Hexagon, StopsWithOneOnEnterEndOfInputAndFailedSteps)
{
    struct Case {
        std::string input;
        std::vector<int> systems; // results of the system calls in order
        std::vector<host::Reply> replies;
        const char *ends;
    };
    auto line = [](const char *text) { return host::Reply{host::Outcome::line, text}; };
    const host::Reply none{host::Outcome::no_line, ""}, dead{};
    const Case cases[] = {
        {"\n",
         {},
         {line("0\n")},
         "(press Enter to quit): Need to enter the installation path "
         "of Hexagon SDK\n"},
        {"",
         {},
         {line("0\n")},
         "(press Enter to quit): sdk_dl_hexagon: get hexagon sdk dir "
         "internal error\n"},
        // A download that cannot start is reported and the unpacking judges.
        {"/h\n",
         {-1},
         {dead},
         "download linaro internal error\nsdk_dl_hexagon: unzip linaro "
         "internal error\n"},
        {"/h\n", {}, {none}, "check unzip linaro internal error\n"},
        {"/h\n", {0, -1}, {line("0\n")}, "done\033[0m\nCould not change linaro name\n"},
        {"/h\n", {0, 0, -1}, {line("0\n")}, "installation ...\nCould not unzip Hexagon SDK\n"},
        {"/h\n", {0, 0, 0, -1}, {line("0\n")}, "installation ...\nCould not chmod hexgon sdk\n"},
        {"/h\n", {0, 0, 0, 0, -1}, {line("0\n")}, "SDK ...\nCould not execute hexagon sdk bin\n"},
        {"/h\n",
         {},
         {line("2\n")},
         "\033[31mExtract Linaro compiler failed. Check errors "
         "above\033[0m\n"},
        {"/h\n", {}, {line("0\n"), dead}, "quit): mv linaro internal error\n"},
        {"/h\n", {}, {line("0\n"), none}, "quit): check mv linaro internal error\n"},
        {"/h\n",
         {},
         {line("0\n"), line("1\n")},
         "\n\033[31mCopy Linaro compiler to Hexagon SDK "
         "tools failed. Check errors above\033[0m\n"},
    };
    for (const Case &c : cases) {
        FakeRunner fake;
        for (int result : c.systems)
            fake.push_system(result);
        for (const host::Reply &reply : c.replies)
            fake.push_read(reply);
        Seen r = call(sdk_dl_hexagon, c.input);
        EXPECT_EQ(r.result, 1) << c.ends;
        EXPECT_TRUE(r.out.ends_with(c.ends)) << r.out;
    }
}

TEST(Fastcv, RunsTheInstallerOnlyAfterYes)
{
    for (const std::string &input :
         {std::string("n\n"), std::string("No\n"), std::string(), std::string(600, 'y')}) {
        FakeRunner fake;
        Seen r = call(sdk_dl_fastcv, input);
        EXPECT_EQ(r.result, 0);
        EXPECT_TRUE(r.out.ends_with("? \nPlease install Hexagon DSP SDK first\n") ||
                    r.out.ends_with("? sdk_dl_fastcv: check sdk installation internal error\n\n"
                                    "Please install Hexagon DSP SDK first\n"))
            << r.out;
        EXPECT_TRUE(fake.calls().empty()) << input;
    }
    for (const char *input : {"y\n", "Y\n", "yes\n", "\n"}) {
        FakeRunner fake;
        Seen r = call(sdk_dl_fastcv, input, "/my sdk/");
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(fake.commands(), Strings{"sudo chmod +x '/my sdk/'/SDKs/fastcv-installer-*.bin; "
                                           "'/my sdk/'SDKs/fastcv-installer-*.bin"});
        EXPECT_TRUE(r.out.ends_with("Continue to install FastCV Computer Vision SDK\n\033[32m" +
                                    stars41 + "\n          FastCV SDK setup finished\n" + stars41 +
                                    "\033[0m\n"));
    }
}
