// Discovery of the boards in Qualcomm's emergency download mode: USB serial
// ports (ttyUSB) with vendor id 05c6 and product id 9008, each with its USB
// path and serial number. The board a flashing sequence writes is chosen
// here, and its device node kept in dev_name for the flashing tools.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <glob.h>
#include <string>
#include <string_view>
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

// Where the USB serial ports are looked for: the dev files below every USB
// bus, as the shell would expand the pattern (sorted; the pattern itself when
// nothing matches, which find then reports as missing).
const char usb_buses[] = "/sys/bus/usb/devices/usb*/";

// The download mode's USB ids.
constexpr std::string_view qdl_vendor = "05c6";
constexpr std::string_view qdl_model = "9008";

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
    std::vector<std::string> find = {"find"};
    glob_t buses{};
    if (glob(usb_buses, 0, nullptr, &buses) == 0) {
        for (size_t i = 0; i < buses.gl_pathc; i++)
            find.push_back(buses.gl_pathv[i]);
    } else {
        find.push_back(usb_buses);
    }
    globfree(&buses);
    find.insert(find.end(), {"-name", "dev"});
    host::Reply reply = host::output(find, output_limit, host::Effect::reads);
    if (!reply.started()) {
        puts("Check usb device internal error");
        return false;
    }
    const std::string &text = reply.line;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        // A last line without its line end was cut by the read limit.
        if (end == std::string::npos)
            break;
        std::string_view devfile(text.data() + start, end - start);
        start = end + 1;
        if (devfile.find("ttyUSB") == std::string_view::npos || has_control_bytes(devfile))
            continue;
        std::string syspath(devfile);
        if (syspath.size() >= 4 && syspath.compare(syspath.size() - 4, 4, "/dev") == 0)
            syspath.resize(syspath.size() - 4);
        host::Reply props =
            host::output({"udevadm", "info", "-q", "property", "--export", "-p", syspath},
                         output_limit, host::Effect::reads);
        UdevProperties port = parse_udev_export(props.line);
        if (!port.refused.empty()) {
            fflush(stdout);
            fprintf(stderr, "ostrelle: the serial port at %s is left out: %s\n", syspath.c_str(),
                    port.refused.c_str());
            session_log::note("serial port left out: " + syspath + ": " + port.refused);
            continue;
        }
        if (port.get("ID_SERIAL").empty() || port.get("ID_VENDOR_ID") != qdl_vendor ||
            port.get("ID_MODEL_ID") != qdl_model)
            continue;
        Board board;
        board.port = port.get("DEVNAME");
        board.usb_path = usb_path_of(syspath);
        board.serial = port.get("ID_SERIAL_SHORT");
        if (board.serial.empty())
            board.serial = port.get("ID_SERIAL");
        // A port that passed the filter without a node name gives nothing to
        // flash through.
        if (board.port.empty())
            continue;
        found.push_back(board);
    }
    return true;
}

std::string UdevProperties::get(const std::string &key) const
{
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

UdevProperties parse_udev_export(std::string_view text)
{
    UdevProperties props;
    auto key_char = [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    std::string last_key;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            props.refused = "its properties end without a line end";
            break;
        }
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        size_t eq = line.find('=');
        std::string_view key = line.substr(0, eq);
        // udevadm writes each property as KEY='VALUE' on a line of its own
        // and does not escape the value: a line of any other shape is the
        // rest of a value that holds a line feed.
        bool shaped = eq != std::string_view::npos && eq > 0 &&
                      std::all_of(key.begin(), key.end(), key_char) && line.size() >= eq + 3 &&
                      line[eq + 1] == '\'' && line.back() == '\'';
        if (!shaped) {
            // The value cut by the line feed: the one this line begins, else
            // the one before it.
            bool begins = eq != std::string_view::npos && eq > 0 &&
                          std::all_of(key.begin(), key.end(), key_char) && line.size() > eq + 1 &&
                          line[eq + 1] == '\'';
            if (begins)
                last_key = std::string(key);
            props.refused = last_key.empty() ? "a property holds a line feed"
                                             : "property " + last_key + " holds a line feed";
            break;
        }
        std::string_view value = line.substr(eq + 2, line.size() - eq - 3);
        last_key = std::string(key);
        if (has_control_bytes(value)) {
            props.refused = "property " + last_key + " holds control bytes";
            break;
        }
        if (!props.values.emplace(last_key, std::string(value)).second) {
            props.refused = "property " + last_key + " is given twice";
            break;
        }
    }
    if (!props.refused.empty())
        props.values.clear();
    return props;
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
            report_phase(Phase::not_found, false);
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

bool back_in_download_mode(const Board &board, bool take_it)
{
    std::vector<Board> found;
    if (!discover(found))
        return false;
    for (const Board &other : found) {
        const bool same =
            board.usb_path.empty() ? other.port == board.port : other.usb_path == board.usb_path;
        if (same)
            return !take_it || take(other);
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
