// Command "2" (flash the full build) and the CDT and NON-HLOS flashing
// handlers. The board waiting in download mode is chosen by boards::choose;
// the programmer is loaded with QSaharaServer and the storage is erased and
// written with fh_loader, all as root through sudo. Every path lies in the
// release directory, target_path immediately followed by release_ver; the
// tools' logs go there too, or, when several boards are flashed at once, into
// the board's own log directory.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/commands.h"
#include "core/exit_status.h"
#include "core/safe_text.h"
#include "core/state.h"
#include "flash/attempts.h"
#include "flash/board_lock.h"
#include "flash/boards.h"
#include "flash/pause.h"
#include "flash/receipt.h"
#include "host/adb_server.h"
#include "host/answers.h"
#include "host/console.h"
#include "host/events.h"
#include "host/host.h"
#include "host/signals.h"
#include "host/terminal.h"
#include "release/layout.h"
#include "release/release_tree.h"
#include "utils/file.h"

namespace {

// The flashing tools' command lines are composed in buffers of this size;
// the longest of them carry the release directory twice.
constexpr size_t tool_buffer = 800;

// Length of a confirmation word's buffer: "y", "q", or a refused answer.
constexpr size_t answer_size = 8;

// The board's storage, as fh_loader names it.
enum class Memory { ufs, emmc };

const char *memory_name(Memory memory)
{
    return memory == Memory::emmc ? "eMMC" : "UFS";
}

std::string port_arg()
{
    return host::quote(dev_name);
}

// A tool's log file (name starts with "/") in the log directory, quoted for
// a command line.
std::string log_arg(const char *name)
{
    return host::quote(boards::log_dir() + name);
}

// Makes each log file (names start with "/") a new empty file of this
// user's in the log directory, so that a tool running as root writes into
// nothing else: whatever was there, a link to a file elsewhere included, is
// removed first, and the file is created only where none is. The boot
// wait's listing (boot_listing) is only removed: its absence tells a poll
// that wrote nothing. True when all were made; otherwise says which could
// not be and is false. A dry run changes nothing.
bool fresh_logs(const std::vector<const char *> &names, const char *boot_listing = nullptr)
{
    if (host::dry_run())
        return true;
    for (const char *name : names) {
        const std::string path = boards::log_dir() + name;
        int fd = -1;
        if (unlink(path.c_str()) == 0 || errno == ENOENT)
            fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            printf("%sCould not make the log %s afresh: %s; nothing was flashed%s\n", console::red,
                   printable(path).c_str(), strerror(errno), console::reset);
            return false;
        }
        close(fd);
    }
    if (boot_listing && unlink((boards::log_dir() + boot_listing).c_str()) != 0 &&
        errno != ENOENT) {
        printf("%sCould not remove the old log %s: %s; nothing was flashed%s\n", console::red,
               printable(boards::log_dir() + boot_listing).c_str(), strerror(errno),
               console::reset);
        return false;
    }
    return true;
}

// The eMMC sequences run when the release carries an eMMC build.
bool emmc_selected()
{
    return file_exists(layout::release_path("/full_build/emmc"));
}

// The yellow banner of a flashing dialogue: title, and the kind of version
// ("image", "CDT") before the release name, which is printed uncoloured.
void print_banner(const char *title, const char *version_kind)
{
    const char *rule = "==================================================";
    printf("%s%s%s\n", console::yellow, rule, console::reset);
    printf("%s%s%s\n", console::yellow, title, console::reset);
    printf("%sThe flash process will take about 5 minutes%s\n", console::yellow, console::reset);
    printf("%sCurrent %s version to be flashed: %s%s\n", console::yellow, version_kind,
           console::reset, release_ver);
    printf("%s%s%s\n\n", console::yellow, rule, console::reset);
}

// Reads the confirmation word after the caller has printed its banner in
// prompt mode, and restores the terminal. True only for exactly "y"; "q"
// returns quietly, anything else is reported.
bool confirmed(terminal::ModeGuard &prompt, const char *read_error)
{
    // Only what is typed after the question answers it.
    console::discard_typed_ahead();
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

// Takes the chosen board's lock into hold for the rest of the flash: 0, or
// the handler's result when it cannot be had (board_busy when another run
// holds it). A dry run touches no board and takes no lock.
int hold_board(board_lock::Hold &hold)
{
    const boards::Board *board = boards::current();
    if (host::dry_run() || !board)
        return 0;
    switch (hold.take(*board, answers::lock_timeout())) {
    case board_lock::Result::held:
        return 0;
    case board_lock::Result::busy:
        return exit_status::board_busy;
    case board_lock::Result::failed:
        break;
    }
    return 1;
}

// The programmer load: QSaharaServer sends the programmer image (a path in
// the release directory) to the board and logs into log, as a status probe.
std::string qsahara_cmd(const char *programmer, const char *log)
{
    return "sudo QSaharaServer -p " + port_arg() + " -s 13:" + layout::release_arg(programmer) +
           " > " + log_arg(log);
}

// Loads the programmer into the board. Only an exit status of 0 lets the
// sequence touch the storage.
bool load_programmer(const std::string &cmd, const char *cannot_start, const char *no_line)
{
    boards::report_phase(boards::Phase::loading, false);
    receipt::add_tool_line(cmd);
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

// fh_loader's action that erases storage part n.
std::string erase(int part)
{
    return host::format("--erase=%d", part);
}

// fh_loader's action that sends the comma-separated XML descriptions xmls,
// found with their images in dir (a directory of the release, ending in "/").
std::string send(const char *xmls, const char *dir)
{
    return std::string("--sendxml=") + xmls + " --search_path=" + layout::release_arg(dir);
}

// Every fh_loader line: the board's port, the action, the storage, the log
// file in the release directory, and with reset the restart that ends a
// sequence.
std::string fh_loader(const std::string &action, Memory memory, const char *log, bool reset)
{
    return "sudo fh_loader --port=" + port_arg() + " " + action +
           " --noprompt --showpercentagecomplete --memoryname=" + memory_name(memory) +
           " --loglevel=1 --porttracename=" + log_arg(log) + (reset ? " --reset" : "");
}

// One fh_loader step of a sequence.
struct Step {
    const char *message; // printed before the pause; nullptr for none
    std::string cmd;
    const char *failure; // printed when the command cannot be started
    boards::Phase phase; // what a parallel flash shows while it runs
    int part = 0;        // the part an erase step erases
    const char *log;     // its log in the log directory (made afresh before the flash)
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

// The sequence goes on whatever a tool's exit status: its progress and
// errors are on the terminal and the boot wait gives the verdict; with
// stop_at_failure (a flash that may be run again) it ends at the first
// failed step instead. Returns whether every tool ended with status 0.
bool run_steps(const std::vector<Step> &steps, bool stop_at_failure = false)
{
    bool all_ok = true;
    // From the first erase on, an interrupted sequence leaves the storage
    // half-written.
    signals::set_board_writing(true);
    receipt::writing();
    for (const Step &step : steps) {
        boards::report_phase(step.phase, true, step.part);
        if (step.message)
            puts(step.message);
        pause_for(1);
        receipt::add_tool_line(step.cmd);
        int status = host::run_progress(step.cmd, tool_buffer);
        if (status < 0)
            puts(step.failure);
        if (status != 0)
            attempts::tool_failed();
        all_ok = all_ok && status == 0;
        if (!all_ok && stop_at_failure)
            break;
    }
    signals::set_board_writing(false);
    return all_ok;
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
    static const char *const erase_logs[] = {
        "/erase0.log", "/erase1.log", "/erase2.log", "/erase3.log", "/erase4.log", "/erase5.log",
    };
    std::vector<Step> steps;
    for (int part = 0; part < 6; part++)
        steps.push_back({.message = erase_messages[part],
                         .cmd = fh_loader(erase(part), Memory::ufs, erase_logs[part], false),
                         .failure = erase_failures[part],
                         .phase = boards::Phase::erasing,
                         .part = part,
                         .log = erase_logs[part]});
    steps.push_back({.message = "Flashing full build ... ",
                     .cmd = fh_loader(send("rawprogram3_iot_qrd.xml,patch3.xml", "/cdt/"),
                                      Memory::ufs, "/flash_cdt_fullbuild.log", false),
                     .failure = "flash cdt in full_build internal error",
                     .phase = boards::Phase::writing_cdt,
                     .log = "/flash_cdt_fullbuild.log"});
    steps.push_back(
        {.message = nullptr,
         .cmd = fh_loader(send("rawprogram_unsparse0.xml,rawprogram1.xml,rawprogram2.xml,"
                               "rawprogram3.xml,rawprogram4.xml,rawprogram5.xml,patch0.xml,"
                               "patch1.xml,patch2.xml,patch3.xml,patch4.xml,patch5.xml",
                               "/full_build/ufs/"),
                          Memory::ufs, "/flash_image.log", true),
         .failure = "flash full build internal error",
         .phase = boards::Phase::writing_build,
         .log = "/flash_image.log"});
    return steps;
}

std::vector<Step> emmc_steps()
{
    return {
        {.message = "Erasing part0 ...",
         .cmd = fh_loader(erase(0), Memory::emmc, "/erase0.log", false),
         .failure = "fh_loader erase part0 internal error",
         .phase = boards::Phase::erasing,
         .part = 0,
         .log = "/erase0.log"},
        {.message = "Flashing full build ... ",
         .cmd = fh_loader(send("rawprogram2.xml,patch2.xml", "/cdt/"), Memory::emmc,
                          "/flash_cdt_fullbuild.log", false),
         .failure = "flash cdt in full_build internal error",
         .phase = boards::Phase::writing_cdt,
         .log = "/flash_cdt_fullbuild.log"},
        {.message = nullptr,
         .cmd = fh_loader(send("rawprogram_unsparse0.xml,patch0.xml", "/full_build/emmc/"),
                          Memory::emmc, "/flash_image.log", true),
         .failure = "flash full build internal error",
         .phase = boards::Phase::writing_build,
         .log = "/flash_image.log"},
    };
}

// The descriptions a changed-only flash sends from one directory of the
// release: those written with the changed entries (absolute paths) and the
// directory's patch files as released; the list as one word of the line.
std::string send_changed(const std::vector<std::string> &written, const char *patches,
                         const char *dir)
{
    std::string list;
    for (const std::string &path : written)
        list += path + ",";
    list += patches;
    return "--sendxml=" + host::quote(list) + " --search_path=" + layout::release_arg(dir);
}

// The steps of a changed-only flash: no erase; the CDT only when one of its
// images changed; the build always, since its last step restarts the board.
std::vector<Step>
changed_steps(bool emmc,
              const std::vector<std::pair<std::string, std::vector<std::string>>> &written)
{
    const Memory memory = emmc ? Memory::emmc : Memory::ufs;
    std::vector<std::string> cdt, build;
    for (const auto &[dir, paths] : written)
        (dir == "cdt" ? cdt : build) = paths;
    std::vector<Step> steps;
    if (!cdt.empty())
        steps.push_back(
            {.message = nullptr,
             .cmd = fh_loader(send_changed(cdt, emmc ? "patch2.xml" : "patch3.xml", "/cdt/"),
                              memory, "/flash_cdt_fullbuild.log", false),
             .failure = "flash cdt in full_build internal error",
             .phase = boards::Phase::writing_cdt,
             .log = "/flash_cdt_fullbuild.log"});
    steps.push_back(
        {.message = nullptr,
         .cmd = fh_loader(send_changed(build,
                                       emmc ? "patch0.xml"
                                            : "patch0.xml,patch1.xml,patch2.xml,patch3.xml,"
                                              "patch4.xml,patch5.xml",
                                       emmc ? "/full_build/emmc/" : "/full_build/ufs/"),
                          memory, "/flash_image.log", true),
         .failure = "flash full build internal error",
         .phase = boards::Phase::writing_build,
         .log = "/flash_image.log"});
    return steps;
}

// What a flash of the full build sends: every image, or with changed_only
// set, only those changed since the board's last receipt.
struct FullPlan {
    std::vector<receipt::Image> images; // the release's, sent flags set
    std::string images_unknown;         // why they could not be read
    bool changed_only = false;
    size_t changed = 0;
    std::vector<std::pair<std::string, std::vector<std::string>>> written;
};

// Decides between the full sequence and a changed-only one: with
// --changed-only, or in the interactive run when the board has a receipt
// (after asking). The full sequence is said with its reason whenever a
// changed-only flash was asked for, or possible, and cannot be made.
FullPlan plan_full(bool emmc)
{
    FullPlan plan;
    if (!receipt::release_images(receipt::full_sources(emmc), plan.images, plan.images_unknown))
        plan.images.clear();
    const boards::Board *board = boards::current();
    if (!board)
        return plan;
    receipt::Receipt last;
    std::string why;
    const bool have_last = receipt::last_of(*board, last, why);
    const bool wanted = answers::changed_only();
    if (!wanted && (!have_last || answers::unattended()))
        return plan;
    std::string reason = why;
    if (have_last && !plan.images_unknown.empty())
        reason = "the release's images cannot be read: " + plan.images_unknown;
    else if (have_last)
        reason = receipt::compare(last, memory_name(emmc ? Memory::emmc : Memory::ufs), plan.images,
                                  plan.changed);
    const std::string board_dir =
        layout::release_path("/flash-logs/" + boards::log_dir_name(*board));
    // fh_loader splits its list of descriptions at commas.
    if (reason.empty() && board_dir.find(',') != std::string::npos)
        reason = "the board's log directory has a comma in its path";
    if (reason.empty() && !wanted) {
        terminal::ModeGuard prompt(terminal::Mode::prompt);
        console::discard_typed_ahead();
        const std::string question = host::format(
            "%zu of %zu images changed since this board's last flash; flash only those [Y/n]? ",
            plan.changed, plan.images.size());
        if (console::ask_yes_no(question) != console::YesNo::yes) {
            for (receipt::Image &image : plan.images)
                image.sent = true;
            return plan;
        }
    }
    if (reason.empty() && !receipt::write_changed(board_dir, plan.images, plan.written, why))
        reason = "cannot write the descriptions of the changed images: " + why;
    if (!reason.empty()) {
        printf("Flashing every image: %s\n", printable(reason).c_str());
        for (receipt::Image &image : plan.images)
            image.sent = true;
        return plan;
    }
    plan.changed_only = true;
    return plan;
}

// The listing a boot poll wrote, up to this many bytes.
constexpr size_t listing_limit = 64 * 1024;

std::string read_listing(FILE *file)
{
    std::string text;
    char chunk[4096];
    size_t n;
    while (text.size() < listing_limit && (n = fread(chunk, 1, sizeof(chunk), file)) > 0)
        text.append(chunk, n);
    return text;
}

// Waits up to about 104 seconds for the restarted board to show up under
// adb, looking every 10 seconds after the first 5. The board is known by its
// USB path: another device in the listing is not this board booted.
bool wait_for_boot()
{
    printf("%sFlashing image ... done%s\n", console::green, console::reset);
    // The caller watches the board's console itself (a board farm).
    if (answers::skip_boot_wait()) {
        puts("Not waiting for the board to boot (--no-boot-wait)");
        return true;
    }
    boards::report_phase(boards::Phase::waiting_for_boot, false);
    puts("Waiting for device to reboot ...");
    pause_for(5);

    const boards::Board *board = boards::current();
    const std::string usb_path = board ? board->usb_path : "";
    const std::string poll = "adb devices -l > " + log_arg("/device_bootup.log");
    const std::string listing = boards::log_dir() + "/device_bootup.log";
    // A dry run flashed nothing, so no board can boot: the poll is shown once,
    // and the run goes on as if the board had booted.
    if (host::dry_run()) {
        host::run_wait(poll);
        return true;
    }
    adb_server::ensure();
    for (int i = 1; i < 100; i++) {
        if (i % 10 == 0) {
            if (!host::run_wait(poll)) {
                printf("%s: check device reboot internal error\n", "sdk_flash_full_helper");
                continue;
            }
            File file(fopen(listing.c_str(), "r"));
            if (!file)
                continue;
            if (boards::booted_in_listing(read_listing(file.get()), usb_path)) {
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
                return true;
            }
            printf("Waiting for boot up, time elapsed: %ds\n", i);
            boards::report_phase(boards::Phase::waiting_for_boot, false, i);
        }
        pause_for(1);
    }
    printf("\n%sThere is something wrong happened in Boot up process%s\n", console::red,
           console::reset);
    events::failure("There is something wrong happened in Boot up process");
    printf("%sPlease restart your device manually or check out Troubleshoot in README%s\n",
           console::red, console::reset);
    return false;
}

// The CDT and NON-HLOS texts carry their own spelling of the hint.
void report_no_board_partial()
{
    printf("%sCould not find a Qualcomm device in QDL mode\n", console::red);
    printf("Please follow the README nad reconnect your device%s\n", console::reset);
    events::failure("Could not find a Qualcomm device in QDL mode");
    attempts::note(attempts::Outcome::no_board);
}

// Takes up a board: 0 when one is chosen, else the status to end with,
// after report_no_board when there is none and plainly when the user
// declines.
int without_board(void (*report_no_board)())
{
    switch (boards::choose()) {
    case boards::Choice::board:
        return 0;
    case boards::Choice::none:
        report_no_board();
        return exit_status::no_board;
    case boards::Choice::declined:
        break;
    }
    return 1;
}

// A sequence that writes one set of partitions and then expects the board
// to have left download mode: the CDT (both storages) and NON-HLOS flashes.
struct PartialFlash {
    const char *helper;       // first field of "<helper>: check <check> internal error"
    const char *check;        // what that line names: "cdt", "nonhlos"
    const char *present_file; // its presence in the release directory is tested
    const char *files_name;   // "Could not find the <files_name> files, ..."
    const char *files_dir;    // "... please check files in <release>/<files_dir>"
    const char *title;        // printed when flashing starts
    const char *programmer;   // programmer image in the release directory
    const char *programmer_log;
    const char *load_cannot_start;
    const char *load_no_line;
    const char *flash_message;
    boards::Phase phase; // of its flash step
    Memory memory;
    const char *xmls;       // descriptions sent to the board
    const char *search_dir; // where they and their images lie
    const char *flash_log;
    const char *flash_failure;
    const char *still_in_download_mode; // red
    const char *done;                   // green
};

int flash_partial(const PartialFlash &f)
{
    attempts::start();
    host::Reply present = host::first_line("ls " + layout::release_arg(f.present_file),
                                           host::cmd_buffer, host::cmd_buffer, host::Effect::reads);
    if (!present.started()) {
        printf("%s: check %s internal error\n", f.helper, f.check);
        return 1;
    }
    if (int status = without_board(report_no_board_partial))
        return status;
    if (!present.has_line()) {
        printf("%sCould not find the %s files, please check files in %s%s/%s%s\n", console::red,
               f.files_name, target_path, release_ver, f.files_dir, console::reset);
        return 1;
    }
    // Files of a release that was not unpacked whole are never written to
    // a board.
    if (!release_tree::complete_or_refuse())
        return 1;
    board_lock::Hold hold;
    if (int busy = hold_board(hold))
        return busy;
    // Composed once the board (dev_name) is known.
    const Step flash = {.message = nullptr,
                        .cmd = fh_loader(send(f.xmls, f.search_dir), f.memory, f.flash_log, true),
                        .failure = f.flash_failure,
                        .phase = f.phase,
                        .log = f.flash_log};
    if (!steps_fit({flash}))
        return 1;
    if (!release_tree::safe_for_root_or_refuse("the flashing tools") ||
        !fresh_logs({f.programmer_log, f.flash_log}))
        return 1;

    // The receipt of a partial flash tells a later changed-only flash that
    // the board no longer holds what its last full flash wrote.
    if (const boards::Board *board = boards::current()) {
        const bool cdt = strcmp(f.check, "cdt") == 0;
        receipt::begin(*board, memory_name(f.memory), cdt ? "cdt" : "non-hlos");
        std::vector<receipt::Image> images;
        std::string why;
        const receipt::Source source =
            cdt ? receipt::Source{"cdt", {f.present_file + strlen("/cdt/")}}
                : receipt::Source{"non_hlos/ufs",
                                  {"rawprogram0.xml", "rawprogram1.xml", "rawprogram2.xml",
                                   "rawprogram3.xml", "rawprogram4.xml", "rawprogram5.xml"}};
        if (!receipt::release_images({source}, images, why))
            images.clear();
        receipt::set_images(images, why);
    }
    puts(f.title);
    puts("Initializing flash...");
    pause_for(1);
    if (!load_programmer(qsahara_cmd(f.programmer, f.programmer_log), f.load_cannot_start,
                         f.load_no_line))
        return 1;

    puts(f.flash_message);
    const bool written = run_steps({flash});

    boards::report_phase(boards::Phase::waiting_for_restart, false);
    puts("Waiting 10s for device to reboot ...");
    pause_for(10);
    // A dry run restarted no board: the check would only find it again.
    if (host::dry_run())
        return 0;
    // A board that restarted has left download mode.
    if (boards::still_in_download_mode()) {
        receipt::finish("still in download mode");
        printf("%s%s%s\n", console::red, f.still_in_download_mode, console::reset);
        return 1;
    }
    // A board that dropped off USB in the middle of the write has left
    // download mode too, without having restarted.
    if (!written) {
        receipt::finish("write failed");
        printf("%sfh_loader failed: the %s files may be written only in part%s\n", console::red,
               f.files_name, console::reset);
        events::failure(host::format("fh_loader failed: the %s files may be written only in part",
                                     f.files_name));
        // Gone as its write failed: the lab's side (cable, power, hub).
        if (attempts::gone_at_tool_failure()) {
            attempts::note(attempts::Outcome::lost);
            return exit_status::no_board;
        }
        return 1;
    }
    receipt::finish("left download mode");
    printf("%s%s%s\n", console::green, f.done, console::reset);
    return 0;
}

// CDT flashing, both storage variants; helper is the variant's name.
int flash_cdt(bool emmc, const char *helper)
{
    return flash_partial({
        .helper = helper,
        .check = "cdt",
        .present_file = emmc ? "/cdt/rawprogram2.xml" : "/cdt/rawprogram3_iot_qrd.xml",
        .files_name = "cdt",
        .files_dir = "cdt",
        .title = "Ostrelle flashing CDT...",
        .programmer = "/cdt/prog_firehose_ddr.elf",
        .programmer_log = "/QSahara_cdt.log",
        .load_cannot_start = "QsaharaServer cdt cmd internal error",
        .load_no_line = "get QSahara result internal error",
        .flash_message = "Flashing CDT ...",
        .phase = boards::Phase::writing_cdt,
        .memory = emmc ? Memory::emmc : Memory::ufs,
        .xmls = emmc ? "rawprogram2.xml,patch2.xml" : "rawprogram3_iot_qrd.xml,patch3.xml",
        .search_dir = "/cdt/",
        .flash_log = "/flash_cdt.log",
        .flash_failure = "flash cdt internal error",
        .still_in_download_mode = "You may need to flash full build in order to boot up the device",
        .done = "Flashing cdt ... done",
    });
}

} // namespace

void report_no_board_full()
{
    printf("%sCould not find a Qualcomm device in QDL mode\n", console::red);
    printf("Please follow the README and reconnect your device%s\n", console::reset);
    events::failure("Could not find a Qualcomm device in QDL mode");
    attempts::note(attempts::Outcome::no_board);
}

int sdk_flash_full(int, char *[])
{
    terminal::ModeGuard prompt(terminal::Mode::prompt);
    print_banner("Flash full build to Vavevuro device", "image");
    if (confirmed(prompt, "\n input version internal error"))
        sdk_flash_full_helper();
    return 0;
}

int sdk_flash_full_helper(void)
{
    attempts::start();
    const bool emmc = emmc_selected();
    const char *storage = emmc ? "emmc" : "ufs";
    host::Reply present = host::first_line(
        "ls " + layout::release_arg(emmc ? "/full_build/emmc/rawprogram_unsparse0.xml"
                                         : "/full_build/ufs/rawprogram_unsparse0.xml"),
        host::cmd_buffer, host::cmd_buffer, host::Effect::reads);
    if (!present.started()) {
        printf("%s: check full_build internal error\n", "sdk_flash_full_helper");
        return 1;
    }
    // The board is checked before the verdict on the build.
    if (int status = without_board(report_no_board_full))
        return status;
    if (!present.has_line()) {
        printf("%sNeed to check %s%s/full_build/%s/ or run command 1 to download/regenerate "
               "image%s\n",
               console::red, target_path, release_ver, storage, console::reset);
        return 1;
    }
    // A release that was not unpacked (or repacked) whole, such as one whose
    // unpack was ended part way, is never written to a board.
    if (!release_tree::complete_or_refuse())
        return 1;

    // Held until the boot wait has ended, over every attempt.
    board_lock::Hold hold;
    if (int busy = hold_board(hold)) {
        attempts::note(busy == exit_status::board_busy ? attempts::Outcome::busy
                                                       : attempts::Outcome::failed);
        return busy;
    }
    // Root reads the release: only a tree nobody else may change.
    if (!release_tree::safe_for_root_or_refuse("the flashing tools"))
        return 1;
    // Every image, or only those changed since the board's last receipt.
    const FullPlan plan = plan_full(emmc);

    // The interactive handler ignores the verdict; a run with commands and a
    // parallel flash report it: not_booted, no_board for a board lost, and
    // board_busy for one another run holds.
    for (;;) {
        // Composed for the board's node of this attempt: a board that came
        // back may have come back on another one.
        const std::vector<Step> steps = plan.changed_only ? changed_steps(emmc, plan.written)
                                        : emmc            ? emmc_steps()
                                                          : ufs_steps();
        // The tools write logs that lead nowhere else.
        std::vector<const char *> logs = {"/QSahara_fullbuild.log"};
        for (const Step &step : steps)
            logs.push_back(step.log);
        if (!steps_fit(steps) || !fresh_logs(logs, "/device_bootup.log"))
            return 1;

        puts("Ostrelle flashing full build...");
        puts("Initializing flash ...");
        pause_for(1);
        if (const boards::Board *board = boards::current()) {
            receipt::begin(*board, memory_name(emmc ? Memory::emmc : Memory::ufs),
                           plan.changed_only ? "changed-only" : "full");
            receipt::set_images(plan.images, plan.images_unknown);
        }
        if (!load_programmer(qsahara_cmd(emmc ? "/full_build/emmc/prog_firehose_ddr.elf"
                                              : "/full_build/ufs/prog_firehose_ddr.elf",
                                         "/QSahara_fullbuild.log"),
                             "QsaharaServer cmd internal error",
                             "get QSahara result internal error")) {
            attempts::tool_failed();
            events::failure("Initializing flash process failed");
            if (attempts::again())
                continue;
            return attempts::status_of(attempts::outcome());
        }
        if (plan.changed_only)
            printf("Flashing the %zu of %zu images that changed since the board's last flash ...\n",
                   plan.changed, plan.images.size());
        const bool written = run_steps(steps, attempts::retrying());
        if (!written && attempts::retrying()) {
            if (attempts::again())
                continue;
            return attempts::status_of(attempts::outcome());
        }
        if (wait_for_boot()) {
            receipt::finish(answers::skip_boot_wait() ? "boot not waited for" : "booted");
            attempts::note(answers::skip_boot_wait() ? attempts::Outcome::flashed
                                                     : attempts::Outcome::booted);
            if (attempts::current() > 1)
                printf("The board %s on attempt %d of %d\n",
                       answers::skip_boot_wait() ? "was flashed" : "booted", attempts::current(),
                       attempts::allowed());
            return 0;
        }
        receipt::finish("not booted");
        // A step failed and the board never booted: lost, or a tool failed.
        if (!written) {
            attempts::again();
            return attempts::status_of(attempts::outcome());
        }
        attempts::note(attempts::Outcome::not_booted);
        return exit_status::not_booted;
    }
}

int sdk_flash_cdt(int, char *[])
{
    terminal::ModeGuard prompt(terminal::Mode::prompt);
    print_banner("Flash CDT to Vavevuro device", "CDT");
    if (confirmed(prompt, "\n input cdt version internal error"))
        sdk_flash_cdt_helper();
    return 0;
}

int sdk_flash_cdt_helper(void)
{
    return emmc_selected() ? sdk_flash_cdt_emmc_helper() : sdk_flash_cdt_ufs_helper();
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
    terminal::ModeGuard prompt(terminal::Mode::prompt);
    print_banner("Flash NON-HLOS build to Vavevuro device", "image");
    // NON-HLOS images exist for UFS storage only: no storage selection.
    if (confirmed(prompt, "\n input version internal error"))
        sdk_flash_nonhlos_helper();
    return 0;
}

int sdk_flash_nonhlos_helper(void)
{
    return flash_partial({
        .helper = "sdk_flash_nonhlos_helper",
        .check = "nonhlos",
        .present_file = "/non_hlos/ufs/rawprogram0.xml",
        .files_name = "NON-HLOS",
        .files_dir = "non_hlos",
        .title = "Ostrelle flashing NON-HLOS build...",
        .programmer = "/non_hlos/ufs/prog_firehose_ddr.elf",
        .programmer_log = "/QSahara_nonhlos.log",
        .load_cannot_start = "QsaharaServer nonhlos cmd internal error",
        .load_no_line = "get NON-HLOS QSahara result internal error",
        .flash_message = "Flashing NON-HLOS build...",
        .phase = boards::Phase::writing_non_hlos,
        .memory = Memory::ufs,
        .xmls = "rawprogram0.xml,rawprogram1.xml,rawprogram2.xml,rawprogram3.xml,rawprogram4.xml,"
                "rawprogram5.xml,patch0.xml,patch1.xml,patch2.xml,patch3.xml,patch4.xml,"
                "patch5.xml",
        .search_dir = "/non_hlos/ufs/",
        .flash_log = "/flash_nonhlos.log",
        .flash_failure = "flash nonhlos internal error",
        .still_in_download_mode = "You may need to flash HLOS image in order to boot up the device",
        .done = "Flashing NON-HLOS ... done",
    });
}
