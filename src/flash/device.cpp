// Discovery of the boards in Qualcomm's emergency download mode: USB serial
// ports (ttyUSB) with vendor id 05c6 and product id 9008, each with its USB
// path and serial number. The board a flashing sequence writes is chosen
// here, and its device node kept in dev_name for the flashing tools.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/commands.h"
#include "core/exit_status.h"
#include "core/safe_text.h"
#include "core/state.h"
#include "flash/boards.h"
#include "host/answers.h"
#include "host/console.h"
#include "host/host.h"
#include "host/session_log.h"
#include "host/terminal.h"

namespace boards {

namespace {

// Walks the dev files of every USB serial port in sysfs, loads the port's
// udev properties and prints, for each port that has a serial and the
// download-mode ids, its DEVNAME, its sysfs path and its USB serial number
// (the short form when udev has one), separated by tabs, one port a line, in
// sysfs order. The script runs under the system shell, which may be dash, so
// the filter uses plain POSIX tests. The properties are cleared for every
// port so that a port without one of them cannot inherit the value of the
// port before it.
const char discovery_script[] =
    "for sysdevpath in $(find /sys/bus/usb/devices/usb*/ -name dev | grep ttyUSB);do "
    "syspath=\"${sysdevpath%/dev}\"; "
    "unset ID_SERIAL ID_SERIAL_SHORT ID_VENDOR_ID ID_MODEL_ID DEVNAME; "
    "eval \"$(udevadm info -q property --export -p $syspath)\"; "
    "[ -z \"$ID_SERIAL\" ] || [ \"${ID_VENDOR_ID}\" != \"05c6\" ] || "
    "[ \"${ID_MODEL_ID}\" != \"9008\" ] && continue; "
    "printf '%s\\t%s\\t%s\\n' \"${DEVNAME}\" \"$syspath\" \"${ID_SERIAL_SHORT:-$ID_SERIAL}\"; "
    "done";

// The discovery's output is read up to this many bytes: a line of about a
// few hundred bytes for each of many boards.
constexpr size_t output_limit = 64 * 1024;

// Length of the board-number answer's buffer.
constexpr size_t answer_size = 8;

// What the sequences are told to write: a board named on the command line
// (any of its names), or one board of a parallel flash (its USB path, else
// its port). Empty id: no board is named.
struct Wanted {
    enum class By { any_name, usb_path, port } by = By::any_name;
    std::string id;
};
Wanted wanted;

// The board of the running (or last) sequence; valid when chosen is true.
Board chosen_board;
bool chosen = false;

bool is_wanted(const Board &board)
{
    switch (wanted.by) {
    case Wanted::By::usb_path:
        return board.usb_path == wanted.id;
    case Wanted::By::port:
        return board.port == wanted.id;
    case Wanted::By::any_name:
        break;
    }
    return matches(board, wanted.id);
}

// Puts the board's node into dev_name and says so. A node that does not fit
// is refused whole: cut short it could name another device.
bool take(const Board &board)
{
    if (board.port.size() >= sizeof(dev_name)) {
        printf("%s: device name too long internal error\n", "find_device");
        return false;
    }
    memcpy(dev_name, board.port.c_str(), board.port.size() + 1);
    chosen_board = board;
    chosen = true;
    printf("Device found: %s\n", describe(board).c_str());
    return true;
}

// Says, on standard error, that a run with commands cannot tell which of
// the boards to flash, and how to name one.
void say_unnamed(const std::vector<Board> &found)
{
    fflush(stdout);
    fprintf(stderr,
            "ostrelle: %zu boards are in download mode; name the one to flash with "
            "--board ID (its serial, port or USB path), or flash them all with "
            "--all-boards:\n",
            found.size());
    list(stderr, found);
    session_log::note("several boards and none named: give --board ID or --all-boards");
}

// Lists the boards and asks which one to flash. nullptr when the user goes
// back (q, or end of input).
const Board *ask(const std::vector<Board> &found)
{
    printf("%zu boards are waiting in download mode:\n", found.size());
    for (size_t i = 0; i < found.size(); i++)
        printf("  %zu: %s\n", i + 1, describe(found[i]).c_str());
    terminal::ModeGuard prompt(terminal::Mode::prompt);
    // Only what is typed after the question answers it.
    console::discard_typed_ahead();
    for (;;) {
        printf("Select one number of board ( 1 - %zu ) to flash, 'q' to main menu: ", found.size());
        fflush(stdout);
        char ans[answer_size] = {};
        console::Read read = console::read_word(ans, sizeof(ans));
        if (read == console::Read::eof) {
            printf("\n");
            return nullptr;
        }
        if (strcmp(ans, "q") == 0)
            return nullptr;
        char *end = nullptr;
        unsigned long n = isdigit(static_cast<unsigned char>(ans[0])) ? strtoul(ans, &end, 10) : 0;
        if (end && *end == '\0' && n >= 1 && n <= found.size())
            return &found[n - 1];
        printf("No board has the number %s\n", ans);
    }
}

} // namespace

bool discover(std::vector<Board> &found)
{
    found.clear();
    host::Reply reply =
        host::output(discovery_script, output_limit, host::cmd_buffer, host::Effect::reads);
    if (!reply.started()) {
        puts("Check usb device internal error");
        return false;
    }
    if (!reply.has_line())
        return true;
    const std::string &text = reply.line;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        // A last line without its line end was cut by the read limit.
        if (end == std::string::npos)
            break;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        Board board;
        size_t tab = line.find('\t');
        board.port = line.substr(0, tab);
        if (tab != std::string::npos) {
            size_t tab2 = line.find('\t', tab + 1);
            board.usb_path = usb_path_of(line.substr(tab + 1, tab2 - tab - 1));
            if (tab2 != std::string::npos)
                board.serial = line.substr(tab2 + 1);
        }
        // A port that passed the filter without a node name gives nothing to
        // flash through; names with control characters are not shown or used.
        if (board.port.empty() || has_control_bytes(board.port) || has_control_bytes(board.serial))
            continue;
        found.push_back(board);
    }
    return true;
}

std::string usb_path_of(std::string_view syspath)
{
    std::string_view found;
    while (!syspath.empty()) {
        size_t slash = syspath.find('/');
        std::string_view part = syspath.substr(0, slash);
        syspath = slash == std::string_view::npos ? std::string_view() : syspath.substr(slash + 1);
        // BUS-PORT[.PORT]...: digits, a dash, then digits separated by dots.
        size_t dash = part.find('-');
        if (dash == 0 || dash == std::string_view::npos || dash + 1 == part.size())
            continue;
        bool ok = true;
        for (size_t i = 0; i < part.size() && ok; i++) {
            char c = part[i];
            if (i < dash)
                ok = isdigit(static_cast<unsigned char>(c));
            else if (i > dash)
                ok = isdigit(static_cast<unsigned char>(c)) ||
                     (c == '.' && part[i - 1] != '.' && part[i - 1] != '-' && i + 1 < part.size());
        }
        if (ok)
            found = part;
    }
    return std::string(found);
}

bool matches(const Board &board, std::string_view id)
{
    return !id.empty() && (id == board.serial || id == board.port || id == board.usb_path);
}

std::string describe(const Board &board)
{
    std::string text = board.port;
    std::string details;
    if (!board.usb_path.empty())
        details = "USB " + board.usb_path;
    if (!board.serial.empty())
        details += (details.empty() ? "serial " : ", serial ") + board.serial;
    if (!details.empty())
        text += " (" + details + ")";
    return text;
}

void list(FILE *out, const std::vector<Board> &found)
{
    for (const Board &board : found)
        fprintf(out, "  %s\n", describe(board).c_str());
}

void pin(const std::string &id)
{
    wanted = {Wanted::By::any_name, id};
}

void pin(const Board &board)
{
    if (!board.usb_path.empty())
        wanted = {Wanted::By::usb_path, board.usb_path};
    else
        wanted = {Wanted::By::port, board.port};
}

Choice choose(void)
{
    std::vector<Board> found;
    if (!discover(found))
        return Choice::none;
    if (!wanted.id.empty()) {
        std::vector<Board> named;
        for (const Board &board : found) {
            if (is_wanted(board))
                named.push_back(board);
        }
        if (named.size() != 1) {
            if (named.empty())
                printf("No board in download mode is %s\n", wanted.id.c_str());
            else
                printf("%s names %zu boards; name one by its USB path or port\n", wanted.id.c_str(),
                       named.size());
            report_phase("not found", false);
            return Choice::none;
        }
        return take(named[0]) ? Choice::board : Choice::none;
    }
    if (found.empty())
        return Choice::none;
    if (found.size() == 1)
        return take(found[0]) ? Choice::board : Choice::none;
    if (answers::unattended()) {
        say_unnamed(found);
        console::exit_program(exit_status::usage);
    }
    const Board *picked = ask(found);
    if (!picked)
        return Choice::declined;
    return take(*picked) ? Choice::board : Choice::none;
}

const Board *current(void)
{
    return chosen ? &chosen_board : nullptr;
}

bool still_in_download_mode(void)
{
    std::vector<Board> found;
    if (!discover(found))
        return false;
    for (const Board &board : found) {
        // The board is known by its USB path when it has one; the node may
        // be another after the restart.
        bool same =
            chosen && (chosen_board.usb_path.empty() ? board.port == chosen_board.port
                                                     : board.usb_path == chosen_board.usb_path);
        if (same) {
            printf("Device found: %s\n", describe(board).c_str());
            return true;
        }
    }
    return false;
}

bool choice_is_clear(void)
{
    std::vector<Board> found;
    if (!discover(found) || found.size() < 2)
        return true;
    say_unnamed(found);
    return false;
}

} // namespace boards

int find_device(void)
{
    return boards::choose() == boards::Choice::board ? 1 : 0;
}
