// Framework SDK menu and the three installers: the neural processing SDK
// pushed to the board over adb, the Hexagon DSP SDK with its Linaro cross
// compiler installed on the host, and the FastCV installer run on the host.
// The vendor packages are placed by the user in <target>SDKs/.
//
// The target directory and typed paths go through host::quote; the globs
// stay outside the quotes so that the shell still expands them.
#include "core/commands.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/state.h"
#include "host/console.h"
#include "host/host.h"
#include "host/terminal.h"
#include "release/resource_server.h"

namespace {

// Name of the Linaro aarch64 cross compiler release, its archive and where
// the toolchain archive server keeps that archive.
constexpr const char *linaro_name = "gcc-linaro-4.9-2014.11-x86_64_aarch64-linux-gnu";
constexpr const char *linaro_archive = "gcc-linaro-4.9-2014.11-x86_64_aarch64-linux-gnu.tar.xz";
constexpr const char *linaro_path =
    "/archive/14.11/components/toolchain/binaries/aarch64-linux-gnu/"
    "gcc-linaro-4.9-2014.11-x86_64_aarch64-linux-gnu.tar.xz";

// One row of the SDK menu: the answer that picks it, the package it needs in
// the SDK directory and the installer that runs once a package is there.
struct SdkRow {
    const char *answer;
    const char *checking; // printed before the presence probe
    const char *package;  // glob below <target>SDKs/
    const char *name;     // "<name> found", "No <name> found in <target>SDKs directory"
    const char *list_failed;
    const char *no_status;
    int (*install)(void);
};

const SdkRow sdk_rows[] = {
    {.answer = "1",
     .checking = "Checking downloaded packages of Qualcomm® Neural Processing SDK for AI",
     .package = "snpe-*.zip",
     .name = "Qualcomm® Neural Processing SDK",
     .list_failed = "list snpe package internal error",
     .no_status = "list snpe return value internal error",
     .install = sdk_dl_snpe},
    {.answer = "2",
     .checking = "Checking downloaded packages of Hexagon DSP SDK",
     .package = "hexagon_*.zip",
     .name = "Hexagon DSP SDK",
     .list_failed = "list hexagon package internal error",
     .no_status = "list hexagon return value internal error",
     .install = sdk_dl_hexagon},
    {.answer = "3",
     .checking = "Checking downloaded packages of FastCV Computer Vision SDK",
     .package = "fastcv-*.bin",
     .name = "FastCV Computer Vision SDK",
     .list_failed = "list fastcv package internal error",
     .no_status = "list fastcv return value internal error",
     .install = sdk_dl_fastcv},
};

// The SDK directory as a shell word prefix: the quoted target directory
// followed by "SDKs", so a glob can be appended unquoted.
std::string sdk_dir()
{
    return host::quote(target_path) + "SDKs";
}

// Checks for the row's package and runs its installer when one is there.
int check_and_install(const SdkRow &row)
{
    puts(row.checking);
    host::Reply reply = host::probe("ls " + sdk_dir() + "/" + row.package + " > /dev/null 2>&1");
    if (!console::probe_answered(reply, row.list_failed, row.no_status))
        return 1;
    if (!reply.is("0\n")) {
        printf("%sNo %s found in %sSDKs directory%s\n\n", console::red, row.name, target_path,
               console::reset);
        return 1;
    }
    printf("%s%s found%s\n\n", console::green, row.name, console::reset);
    // The installer reports its own outcome; the menu has done its part.
    row.install();
    return 0;
}

} // namespace

int sdk_dl_sdks(int, char *[])
{
    char ans[8];
    {
        terminal::ModeGuard prompt(terminal::Mode::prompt);
        printf("%s*********************************************************************************"
               "************\n",
               console::yellow);
        puts("Install QC Framework SDKs to support the development");
        puts(
            "Please follow the README guide and download QC Framework SDKs from Qualcomm Developer "
            "Network");
        printf("*******************************************************************************"
               "**************%s\n\n",
               console::reset);
        puts("Available SDKs:\n1. Qualcomm® Neural Processing SDK for AI");
        puts("2. Hexagon DSP SDK");
        puts("3. FastCV Computer Vision SDK\n");
        console::discard_typed_ahead();
        printf("Select a number (1|2|3) to be installed or enter 'q' to main menu: ");
        // A word too long for the field comes back empty and so picks nothing.
        if (console::read_word(ans, sizeof(ans)) == console::Read::eof)
            printf("%s: sdk version internal error\n", __func__);
        printf("\n");
    }

    for (const SdkRow &row : sdk_rows) {
        if (strcmp(ans, row.answer) == 0)
            return check_and_install(row);
    }
    if (strcmp(ans, "q") == 0)
        return 0;
    printf("Unknown SDK, back to main menu\n");
    return 0;
}

int sdk_dl_snpe(void)
{
    char ans[8];
    {
        terminal::ModeGuard prompt(terminal::Mode::prompt);
        console::discard_typed_ahead();
        printf("Please power on the device and connect it to PC\nPress any key when done or enter "
               "'q' to quit: ");
        // A line too long for the field is read whole and refused, so none of
        // it is left over for the next reader; like any other answer but
        // "q" it lets the deployment go on.
        if (console::read_line(ans, sizeof(ans)) == console::Read::eof)
            printf("%s: device ready answer internal error\n", __func__);
    }
    if (strcmp(ans, "q\n") == 0)
        return 0;

    puts("Checking the device ...");
    if (host::run("sudo adb kill-server") < 0) {
        printf("%s: kill server internal error\n", __func__);
        return 1;
    }
    if (host::run("sudo adb devices") < 0) {
        printf("%s: adb devices internal error\n", __func__);
        return 1;
    }

    puts("Push SNPE package on board");
    host::Reply push = host::probe("sudo adb push " + sdk_dir() + "/snpe-*.zip /data/");
    if (!console::probe_answered(push, host::format("%s: adb push snpe internal error", __func__),
                                 "check adb push status internal error"))
        return 1;
    if (!push.is("0\n")) {
        printf("\n%sCopy SNPE package to device failed. Check errors above%s\n", console::red,
               console::reset);
        return 1;
    }
    printf("\n%sCopy SNPE package to device ... done%s\n", console::green, console::reset);

    puts("\nDecompress SNPE package");
    if (host::run("sudo adb shell unzip -o /data/snpe-*.zip -d /data/") < 0) {
        puts("decompress SNPE internal error");
        return 1;
    }

    puts("\nCopy SNPE library to /usr/lib on board");
    host::Reply copy =
        host::probe("sudo adb shell cp /data/snpe-*/lib/aarch64-linux-gcc4.9/*.so /usr/lib");
    if (!console::probe_answered(copy, host::format("%s: adb mv snpe lib internal error", __func__),
                                 "check adb mv lib internal error"))
        return 1;
    if (!copy.is("0\n")) {
        printf("\n%sCopy SNPE lib to /usr/lib failed. Check errors above%s\n", console::red,
               console::reset);
        return 1;
    }
    printf("\n%sCopy SNPE lib to /usr/lib ... done%s\n", console::green, console::reset);
    printf("%s*****************************************\n", console::green);
    puts("       SNPE build environment is ready");
    printf("*****************************************%s\n", console::reset);
    return 0;
}

namespace {

// Asks where the vendor installer put the Hexagon SDK until an absolute path
// is given. Returns 0 with hexagon_path set (always ending in "/"), or 1 when
// the user gives up with a bare Enter or standard input has ended.
int ask_hexagon_path(char (&hexagon_path)[512])
{
    terminal::ModeGuard prompt(terminal::Mode::prompt);
    char answer[512];
    char path[512];
    for (;;) {
        memset(answer, 0, sizeof(answer));
        memset(path, 0, sizeof(path));
        memset(hexagon_path, 0, sizeof(hexagon_path));
        printf("Enter the absolute path where you installed Hexagon SDK (press Enter to quit): ");
        console::Read read = console::read_line(answer, sizeof(answer));
        if (read == console::Read::eof) {
            // Asking again would only meet the same end of input.
            printf("%s: get hexagon sdk dir internal error\n", "sdk_dl_hexagon");
            return 1;
        }
        if (strcmp(answer, "\n") == 0) {
            puts("Need to enter the installation path of Hexagon SDK");
            return 1;
        }
        // A refused (too long) answer is empty and is asked for again.
        if (answer[0] == '/') {
            size_t len = strlen(answer);
            // The last line of the input may end without a line end; only a
            // line end is taken off, never a character of the path.
            if (answer[len - 1] == '\n')
                --len;
            memcpy(path, answer, len);
            snprintf(hexagon_path, sizeof(hexagon_path), path[len - 1] == '/' ? "%s" : "%s/", path);
            return 0;
        }
        printf("You are not entering an absolute path, please re-enter one.\n\n");
    }
}

} // namespace

int sdk_dl_hexagon(void)
{
    const std::string sdks = sdk_dir();

    puts("Downloading Linaro compiler ...");
    const std::string linaro_url = std::string(toolchain_url) + linaro_path;
    int fetched = host::run(resource::wget_cmd(sdks + "/", linaro_url, true));
    if (fetched < 0)
        printf("%s: download linaro internal error\n", __func__);
    else
        resource::explain_failure(host::exit_status(fetched), linaro_url);

    host::Reply extract = host::probe("tar -xf " + sdks + "/" + linaro_archive + " -C " + sdks);
    if (!console::probe_answered(extract, host::format("%s: unzip linaro internal error", __func__),
                                 "check unzip linaro internal error"))
        return 1;
    if (!extract.is("0\n")) {
        printf("%sExtract Linaro compiler failed. Check errors above%s\n", console::red,
               console::reset);
        return 1;
    }
    printf("%sExtract Linaro compiler ... done%s\n", console::green, console::reset);

    if (host::run("mv " + sdks + "/" + linaro_name + " " + sdks + "/linaro64") < 0) {
        puts("Could not change linaro name");
        return 1;
    }

    puts("\nPreparing for Hexagon DSP SDK installation ...");
    if (host::run("unzip -o " + sdks + "/hexagon_*.zip -d " + sdks + "/; tar -xf " + sdks +
                  "/Hexagon_*.tar -C " + sdks + "/") < 0) {
        puts("Could not unzip Hexagon SDK");
        return 1;
    }
    if (host::run("sudo chmod +x " + sdks + "/qualcomm_hexagon_sdk*.bin") < 0) {
        puts("Could not chmod hexgon sdk");
        return 1;
    }
    puts("\nInstalling Hexagon DSP SDK ...");
    // The vendor's installer holds the terminal until it ends; how it ends is
    // judged later by whether its installation directory is there.
    if (host::run(sdks + "/qualcomm_hexagon_sdk*.bin") < 0) {
        puts("Could not execute hexagon sdk bin");
        return 1;
    }

    char hexagon_path[512];
    if (ask_hexagon_path(hexagon_path) != 0)
        return 1;

    // The compiler goes into the tools directory one level below the
    // installation path, whatever the vendor named the level in between.
    host::Reply move =
        host::probe("mv " + sdks + "/linaro64 " + host::quote(hexagon_path) + "/*/tools/");
    if (!console::probe_answered(move, "mv linaro internal error",
                                 "check mv linaro internal error"))
        return 1;
    if (!move.is("0\n")) {
        printf("\n%sCopy Linaro compiler to Hexagon SDK tools failed. Check errors above%s\n",
               console::red, console::reset);
        return 1;
    }
    printf("\n%sCopy Linaro compiler to Hexagon SDK tools ... done%s\n", console::green,
           console::reset);
    printf("%s*****************************************\n", console::green);
    puts("         Hexagon DSP SDK is ready");
    printf("*****************************************%s\n", console::reset);
    return 0;
}

int sdk_dl_fastcv(void)
{
    console::YesNo installed;
    {
        terminal::ModeGuard prompt(terminal::Mode::prompt);
        puts("Hexagon DSP SDK needed to be installed first");
        // The same "[Y/n]" rules as every such question: Enter means yes.
        console::discard_typed_ahead();
        installed = console::ask_yes_no("Have you installed Hexagon DSP SDK [Y/n]? ");
        if (installed == console::YesNo::eof)
            printf("%s: check sdk installation internal error\n", __func__);
        printf("\n");
    }
    if (installed != console::YesNo::yes) {
        puts("Please install Hexagon DSP SDK first");
        return 0;
    }

    puts("Continue to install FastCV Computer Vision SDK");
    // The first path has one "/" too many ("<target>/SDKs"); harmless, and
    // kept so the command line stays as users have seen it.
    const std::string target = host::quote(target_path);
    if (host::run("sudo chmod +x " + target + "/SDKs/fastcv-installer-*.bin; " + target +
                  "SDKs/fastcv-installer-*.bin") < 0) {
        puts("Unable to execute fastcv installer");
        return 1;
    }
    printf("%s*****************************************\n", console::green);
    puts("          FastCV SDK setup finished");
    printf("*****************************************%s\n", console::reset);
    return 0;
}
