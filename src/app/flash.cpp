// Command "2" (flash the full build) and the CDT and NON-HLOS flashing
// handlers. A board waiting in download mode is found by find_device; the
// programmer is loaded with QSaharaServer and the storage is erased and
// written with fh_loader, all as root through sudo. Every path lies in the
// release directory, target_path immediately followed by release_ver.
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/commands.h"
#include "app/console.h"
#include "app/host.h"
#include "app/pause.h"
#include "app/state.h"

namespace {

// The flashing tools' command lines are composed in buffers of this size;
// the longest of them carry the release directory twice.
constexpr size_t tool_buffer = 800;

// Length of a confirmation word's buffer: "y", "q", or a refused answer.
constexpr size_t answer_size = 8;

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// A path in the release directory, as it is used outside the shell.
std::string release_file(const char *suffix)
{
    return std::string(target_path) + release_ver + suffix;
}

// The same path made safe for a command line.
std::string release_arg(const char *suffix)
{
    return host::quote(release_file(suffix));
}

std::string port_arg()
{
    return host::quote(dev_name);
}

// The eMMC sequences run when the release carries an eMMC build.
bool emmc_selected()
{
    return access(release_file("/full_build/emmc").c_str(), F_OK) == 0;
}

// The yellow banner of a flashing dialogue; version_line takes the colour,
// the reset and release_ver, so the version itself is printed uncoloured.
void print_banner(const char *title, const char *version_line)
{
    const char *rule = "==================================================";
    printf("%s%s%s\n", console::yellow, rule, console::reset);
    printf("%s%s%s\n", console::yellow, title, console::reset);
    printf("%sThe flash process will take about 5 minutes%s\n", console::yellow, console::reset);
    printf(version_line, console::yellow, console::reset, release_ver);
    printf("%s%s%s\n\n", console::yellow, rule, console::reset);
}

// Reads the confirmation word after the caller has printed its banner in
// prompt mode, and restores the terminal. True only for exactly "y"; "q"
// returns quietly, anything else is reported.
bool confirmed(console::PromptMode &prompt, const char *read_error)
{
    printf("Enter 'y' to continue, 'q' to main menu: ");
    fflush(stdout);
    char ans[answer_size] = {};
    // A word longer than the buffer comes back empty and so matches nothing.
    if (console::read_word(ans, sizeof(ans)) == console::Read::eof)
        puts(read_error);
    prompt.restore();

    std::string answer = ans;
    if (answer == "y")
        return true;
    if (answer != "q")
        puts("\nUnknown option, return to main menu\n");
    return false;
}

// Loads the programmer into the board. Only an exit status of 0 lets the
// sequence touch the storage.
bool load_programmer(const std::string &cmd, const char *cannot_start, const char *no_line)
{
    host::Reply reply = host::probe(cmd, tool_buffer);
    if (!reply.started()) {
        puts(cannot_start);
        return false;
    }
    if (!reply.has_line()) {
        puts(no_line);
        return false;
    }
    if (!reply.is("0\n")) {
        puts("Initializing flash process failed\nPlease follow the README and reconnect your "
             "device to PC");
        return false;
    }
    return true;
}

// One fh_loader step of a sequence.
struct Step {
    const char *message; // printed before the pause; nullptr for none
    std::string cmd;
    const char *failure; // printed when the command cannot be started
};

// Refuses a sequence with a command line too long for its buffer before the
// board is touched: erasing the storage and then failing to start the write
// would leave the board without a system.
bool steps_fit(const std::vector<Step> &steps)
{
    for (const Step &step : steps) {
        if (step.cmd.size() >= tool_buffer) {
            puts(step.failure);
            return false;
        }
    }
    return true;
}

// The tool's own exit status is not examined: its progress and errors are on
// the terminal and the boot wait gives the verdict.
void run_steps(const std::vector<Step> &steps)
{
    for (const Step &step : steps) {
        if (step.message)
            puts(step.message);
        pause_for(1);
        if (host::run(step.cmd, tool_buffer) < 0)
            puts(step.failure);
    }
}

std::vector<Step> ufs_steps()
{
    static const char *const erase_messages[] = {
        "Erasing part0 ...",  "Erasing part1 ...", "Erasing part2 ...",
        "Erasting part3 ...", "Erasing part4 ...", "Erasing part5 ...",
    };
    static const char *const erase_failures[] = {
        "fh_loader erase part0 internal error", "fh_loader erase part1 internal error",
        "fh_loader erase part2 internal error", "fh_loader erase part3 internal error",
        "fh_loader erase part4 internal error", "fh_loader erase part5 internal error",
    };
    const std::string port = port_arg();
    std::vector<Step> steps;
    for (int part = 0; part < 6; part++) {
        std::string log = host::format("/erase%d.log", part);
        steps.push_back({erase_messages[part],
                         host::format("sudo fh_loader --port=%s --erase=%d --noprompt "
                                      "--showpercentagecomplete --memoryname=UFS --loglevel=1 "
                                      "--porttracename=%s",
                                      port.c_str(), part, release_arg(log.c_str()).c_str()),
                         erase_failures[part]});
    }
    steps.push_back({"Flashing full build ... ",
                     host::format("sudo fh_loader --port=%s "
                                  "--sendxml=rawprogram3_iot_qrd.xml,patch3.xml --search_path=%s "
                                  "--noprompt --showpercentagecomplete --memoryname=UFS "
                                  "--loglevel=1 --porttracename=%s",
                                  port.c_str(), release_arg("/cdt/").c_str(),
                                  release_arg("/flash_cdt_fullbuild.log").c_str()),
                     "flash cdt in full_build internal error"});
    steps.push_back(
        {nullptr,
         host::format("sudo fh_loader --port=%s "
                      "--sendxml=rawprogram_unsparse0.xml,rawprogram1.xml,rawprogram2.xml,"
                      "rawprogram3.xml,rawprogram4.xml,rawprogram5.xml,patch0.xml,patch1.xml,"
                      "patch2.xml,patch3.xml,patch4.xml,patch5.xml --search_path=%s --noprompt "
                      "--showpercentagecomplete --memoryname=UFS --loglevel=1 "
                      "--porttracename=%s --reset",
                      port.c_str(), release_arg("/full_build/ufs/").c_str(),
                      release_arg("/flash_image.log").c_str()),
         "flash full build internal error"});
    return steps;
}

std::vector<Step> emmc_steps()
{
    const std::string port = port_arg();
    std::vector<Step> steps;
    steps.push_back({"Erasing part0 ...",
                     host::format("sudo fh_loader --port=%s --erase=0 --noprompt "
                                  "--showpercentagecomplete --memoryname=eMMC --loglevel=1 "
                                  "--porttracename=%s",
                                  port.c_str(), release_arg("/erase0.log").c_str()),
                     "fh_loader erase part0 internal error"});
    steps.push_back({"Flashing full build ... ",
                     host::format("sudo fh_loader --port=%s --sendxml=rawprogram2.xml,patch2.xml "
                                  "--search_path=%s --noprompt --showpercentagecomplete "
                                  "--memoryname=eMMC --loglevel=1 --porttracename=%s",
                                  port.c_str(), release_arg("/cdt/").c_str(),
                                  release_arg("/flash_cdt_fullbuild.log").c_str()),
                     "flash cdt in full_build internal error"});
    steps.push_back({nullptr,
                     host::format("sudo fh_loader --port=%s "
                                  "--sendxml=rawprogram_unsparse0.xml,patch0.xml --search_path=%s "
                                  "--noprompt --showpercentagecomplete --memoryname=eMMC "
                                  "--loglevel=1 --porttracename=%s --reset",
                                  port.c_str(), release_arg("/full_build/emmc/").c_str(),
                                  release_arg("/flash_image.log").c_str()),
                     "flash full build internal error"});
    return steps;
}

// An adb listing is a header line, one line per device and an empty line:
// a second line longer than its line end is a device entry.
bool device_listed(FILE *listing)
{
    int c;
    while ((c = getc(listing)) != EOF && c != '\n') {
    }
    if (c == EOF)
        return false;
    size_t len = 0;
    while (len < 2 && (c = getc(listing)) != EOF) {
        len++;
        if (c == '\n')
            break;
    }
    return len > 1;
}

// Waits up to about 104 seconds for the restarted board to show up under
// adb, looking every 10 seconds after the first 5.
void wait_for_boot()
{
    printf("%sFlashing image ... done%s\n", console::green, console::reset);
    puts("Waiting for device to reboot ...");
    pause_for(5);

    const std::string poll = "adb devices > " + release_arg("/device_bootup.log");
    const std::string listing = release_file("/device_bootup.log");
    for (int i = 1; i < 100; i++) {
        if (i % 10 == 0) {
            if (!host::run_wait(poll)) {
                printf("%s: check device reboot internal error\n", "sdk_flash_full_helper");
                continue;
            }
            File file(fopen(listing.c_str(), "r"));
            if (!file)
                continue;
            if (device_listed(file.get())) {
                printf("\n\n%s================================================================="
                       "=======%s\n",
                       console::green, console::reset);
                printf("%sRobotics device is ready to use.%s\n", console::green, console::reset);
                printf("%sOpen another terminal and enter 'adb shell' to interact with your "
                       "device.%s\n",
                       console::green, console::reset);
                printf("%s=================================================================="
                       "======%s\n\n",
                       console::green, console::reset);
                return;
            }
            printf("Waiting for boot up, time elapsed: %ds\n", i);
        }
        pause_for(1);
    }
    printf("\n%sThere is something wrong happened in Boot up process%s\n", console::red,
           console::reset);
    printf("%sPlease restart your device manually or check out Troubleshoot in README%s\n",
           console::red, console::reset);
}

void report_no_board_full()
{
    printf("%sCould not find a Qualcomm device in QDL mode\n", console::red);
    printf("Please follow the README and reconnect your device%s\n", console::reset);
}

// The CDT and NON-HLOS texts carry their own spelling of the hint.
void report_no_board_partial()
{
    printf("%sCould not find a Qualcomm device in QDL mode\n", console::red);
    printf("Please follow the README nad reconnect your device%s\n", console::reset);
}

// A sequence that writes one set of partitions and then expects the board
// to have left download mode: the CDT (both storages) and NON-HLOS flashes.
struct PartialFlash {
    const char *helper;        // first field of the check's internal-error line
    const char *present_file;  // its presence in the release directory is tested
    const char *check_error;   // "%s: ..." with helper: the test could not run
    const char *missing_files; // red, target_path, release_ver, reset
    const char *title;         // printed when flashing starts
    const char *programmer;    // programmer image in the release directory
    const char *programmer_log;
    const char *load_cannot_start;
    const char *load_no_line;
    const char *flash_message;
    std::string (*flash_cmd)(); // composed once the board (dev_name) is found
    const char *flash_failure;
    const char *still_in_download_mode; // red
    const char *done;                   // green
};

int flash_partial(const PartialFlash &f)
{
    host::Reply present = host::first_line("ls " + release_arg(f.present_file), host::cmd_buffer);
    if (!present.started()) {
        printf(f.check_error, f.helper);
        return 1;
    }
    if (!find_device()) {
        report_no_board_partial();
        return 1;
    }
    if (!present.has_line()) {
        printf(f.missing_files, console::red, target_path, release_ver, console::reset);
        return 1;
    }
    const std::string flash = f.flash_cmd();
    if (!steps_fit({{nullptr, flash, f.flash_failure}}))
        return 1;

    puts(f.title);
    puts("Initializing flash...");
    pause_for(1);
    if (!load_programmer(host::format("sudo QSaharaServer -p %s -s 13:%s > %s", port_arg().c_str(),
                                      release_arg(f.programmer).c_str(),
                                      release_arg(f.programmer_log).c_str()),
                         f.load_cannot_start, f.load_no_line))
        return 1;

    puts(f.flash_message);
    pause_for(1);
    if (host::run(flash, tool_buffer) < 0)
        puts(f.flash_failure);

    puts("Waiting 10s for device to reboot ...");
    pause_for(10);
    // A board that restarted has left download mode.
    if (find_device()) {
        printf("%s%s%s\n", console::red, f.still_in_download_mode, console::reset);
        return 1;
    }
    printf("%s%s%s\n", console::green, f.done, console::reset);
    return 0;
}

std::string cdt_ufs_cmd()
{
    return host::format("sudo fh_loader --port=%s --sendxml=rawprogram3_iot_qrd.xml,patch3.xml "
                        "--search_path=%s --noprompt --showpercentagecomplete --memoryname=UFS "
                        "--loglevel=1 --porttracename=%s --reset",
                        port_arg().c_str(), release_arg("/cdt/").c_str(),
                        release_arg("/flash_cdt.log").c_str());
}

std::string cdt_emmc_cmd()
{
    return host::format("sudo fh_loader --port=%s --sendxml=rawprogram2.xml,patch2.xml "
                        "--search_path=%s --noprompt --showpercentagecomplete --memoryname=eMMC "
                        "--loglevel=1 --porttracename=%s --reset",
                        port_arg().c_str(), release_arg("/cdt/").c_str(),
                        release_arg("/flash_cdt.log").c_str());
}

std::string nonhlos_cmd()
{
    return host::format(
        "sudo fh_loader --port=%s "
        "--sendxml=rawprogram0.xml,rawprogram1.xml,rawprogram2.xml,rawprogram3.xml,"
        "rawprogram4.xml,rawprogram5.xml,patch0.xml,patch1.xml,patch2.xml,patch3.xml,patch4.xml,"
        "patch5.xml --search_path=%s --noprompt --showpercentagecomplete --memoryname=UFS "
        "--loglevel=1 --porttracename=%s --reset",
        port_arg().c_str(), release_arg("/non_hlos/ufs/").c_str(),
        release_arg("/flash_nonhlos.log").c_str());
}

// CDT flashing, both storage variants; helper is the variant's name.
int flash_cdt(bool emmc, const char *helper)
{
    return flash_partial({
        helper,
        emmc ? "/cdt/rawprogram2.xml" : "/cdt/rawprogram3_iot_qrd.xml",
        "%s: check cdt internal error\n",
        "%sCould not find the cdt files, please check files in %s%s/cdt%s\n",
        "Ostrelle flashing CDT...",
        "/cdt/prog_firehose_ddr.elf",
        "/QSahara_cdt.log",
        "QsaharaServer cdt cmd internal error",
        "get QSahara result internal error",
        "Flashing CDT ...",
        emmc ? cdt_emmc_cmd : cdt_ufs_cmd,
        "flash cdt internal error",
        "You may need to flash full build in order to boot up the device",
        "Flashing cdt ... done",
    });
}

} // namespace

int sdk_flash_full(int, char *[])
{
    console::PromptMode prompt;
    print_banner("Flash full build to Vavevuro device",
                 "%sCurrent image version to be flashed: %s%s\n");
    if (confirmed(prompt, "\n input version internal error"))
        sdk_flash_full_helper();
    return 0;
}

int sdk_flash_full_helper(void)
{
    const bool emmc = emmc_selected();
    host::Reply present =
        host::first_line("ls " + release_arg(emmc ? "/full_build/emmc/rawprogram_unsparse0.xml"
                                                  : "/full_build/ufs/rawprogram_unsparse0.xml"),
                         host::cmd_buffer);
    if (!present.started()) {
        printf("%s: check full_build internal error\n", "sdk_flash_full_helper");
        return 0;
    }
    // The board is checked before the verdict on the build.
    if (!find_device()) {
        report_no_board_full();
        return 0;
    }
    if (!present.has_line()) {
        if (emmc)
            printf("%sNeed to check %s%s/full_build/emmc/ or run command 1 to "
                   "download/regenerate image%s\n",
                   console::red, target_path, release_ver, console::reset);
        else
            printf("%sNeed to check %s%s/full_build/ufs/ or run command 1 to "
                   "download/regenerate image%s\n",
                   console::red, target_path, release_ver, console::reset);
        return 0;
    }

    const std::vector<Step> steps = emmc ? emmc_steps() : ufs_steps();
    if (!steps_fit(steps))
        return 0;

    puts("Ostrelle flashing full build...");
    puts("Initializing flash ...");
    pause_for(1);
    const std::string programmer =
        host::format("sudo QSaharaServer -p %s -s 13:%s > %s", port_arg().c_str(),
                     release_arg(emmc ? "/full_build/emmc/prog_firehose_ddr.elf"
                                      : "/full_build/ufs/prog_firehose_ddr.elf")
                         .c_str(),
                     release_arg("/QSahara_fullbuild.log").c_str());
    if (!load_programmer(programmer, "QsaharaServer cmd internal error",
                         "get QSahara result internal error"))
        return 0;

    run_steps(steps);
    wait_for_boot();
    return 0;
}

int sdk_flash_cdt(int, char *[])
{
    console::PromptMode prompt;
    print_banner("Flash CDT to Vavevuro device", "%sCurrent CDT version to be flashed: %s%s\n");
    if (confirmed(prompt, "\n input cdt version internal error")) {
        if (emmc_selected())
            sdk_flash_cdt_emmc_helper();
        else
            sdk_flash_cdt_ufs_helper();
    }
    return 0;
}

int sdk_flash_cdt_ufs_helper(void)
{
    return flash_cdt(false, "sdk_flash_cdt_ufs_helper");
}

int sdk_flash_cdt_emmc_helper(void)
{
    return flash_cdt(true, "sdk_flash_cdt_emmc_helper");
}

int sdk_flash_nonhlos(int, char *[])
{
    console::PromptMode prompt;
    print_banner("Flash NON-HLOS build to Vavevuro device",
                 "%sCurrent image version to be flashed: %s%s\n");
    // NON-HLOS images exist for UFS storage only: no storage selection.
    if (confirmed(prompt, "\n input version internal error"))
        sdk_flash_nonhlos_helper();
    return 0;
}

int sdk_flash_nonhlos_helper(void)
{
    return flash_partial({
        "sdk_flash_nonhlos_helper",
        "/non_hlos/ufs/rawprogram0.xml",
        "%s: check nonhlos internal error\n",
        "%sCould not find the NON-HLOS files, please check files in %s%s/non_hlos%s\n",
        "Ostrelle flashing NON-HLOS build...",
        "/non_hlos/ufs/prog_firehose_ddr.elf",
        "/QSahara_nonhlos.log",
        "QsaharaServer nonhlos cmd internal error",
        "get NON-HLOS QSahara result internal error",
        "Flashing NON-HLOS build...",
        nonhlos_cmd,
        "flash nonhlos internal error",
        "You may need to flash HLOS image in order to boot up the device",
        "Flashing NON-HLOS ... done",
    });
}
