// The boards attached to this host as records: those waiting in download mode
// (found through sysfs and udev) and those adb lists once booted. A board is
// known by its USB path (the port of the USB tree it is plugged into, such as
// 1-2.3), which it keeps from download mode to its booted system; its
// download-mode serial port goes into dev_name for the flashing tools.
//
// Here too: the choice of the board a flashing sequence writes, the boards
// command, and flashing several boards at once.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/run_options.h"

namespace boards {

// A board waiting in download mode.
struct Board {
    std::string port;     // device node, such as /dev/ttyUSB0
    std::string usb_path; // such as 1-2.3; empty when its sysfs path shows none
    std::string serial;   // its USB serial number; may be empty
};

// A device listed by adb devices -l.
struct AdbDevice {
    std::string serial;
    std::string state;    // device, unauthorized, offline, recovery, ...
    std::string usb_path; // empty when adb reports none (a network device)
};

// -- Discovery (device.cpp) -------------------------------------------------

// Every board in download mode, in sysfs order, into found: the dev files
// of ttyUSB ports below the USB buses (find), the properties of each
// (udevadm), the download mode's vendor and product ids and a serial. A port
// whose properties are refused is named on standard error and left out. False after
// "Check usb device internal error" when the discovery cannot be started.
bool discover(std::vector<Board> &found);

// A device's udev properties as udevadm info -q property --export writes
// them, one KEY='VALUE' a line, read as text. udevadm does not escape
// values, so a value with a line feed shows as a line of another shape: such
// a device, or one with control bytes in a value or a key given twice, is
// refused whole (no values, refused says why).
struct UdevProperties {
    std::map<std::string, std::string> values;
    std::string refused; // empty when the properties were read

    std::string get(const std::string &key) const; // empty when missing
};
UdevProperties parse_udev_export(std::string_view text);

// The USB path in a sysfs device path: the last component of the form
// BUS-PORT[.PORT]... ("1-2.3" in .../usb1/1-2/1-2.3/1-2.3:1.0/ttyUSB0/...);
// empty when there is none.
std::string usb_path_of(std::string_view syspath);

// True when id is the board's serial, port or USB path.
bool matches(const Board &board, std::string_view id);

// "<port> (USB <path>, serial <serial>)", leaving out what is unknown.
std::string describe(const Board &board);

// The boards, one a line with two blanks before each, to out.
void list(FILE *out, const std::vector<Board> &found);

// -- The board of a flashing sequence (device.cpp) --------------------------

// From now on the sequences write only the board id names (serial, port or
// USB path); an empty id lifts that.
void pin(const std::string &id);
// The same for exactly this board (by its USB path, else its port).
void pin(const Board &board);

enum class Choice {
    board,    // dev_name holds the board's node; "Device found: ..." printed
    none,     // no board in download mode (or not the pinned one)
    declined, // several boards, and the user went back to the prompt
};

// Finds the board to flash: the pinned one; else the only one; else, with
// several, the user picks one by number, or a run with commands is refused
// with the list of boards (status 2). A node longer than dev_name holds is
// refused whole ("find_device: device name too long internal error").
Choice choose(void);

// The board chosen last; nullptr before any choice.
const Board *current(void);

// After the chosen board was told to restart: true, after "Device found:
// ...", when it is still in download mode.
bool still_in_download_mode(void);

// Whether board (known by its USB path, else its port) is in download mode
// now; with take, it becomes the chosen board ("Device found: ..."), its
// node in dev_name, as choose() does.
bool back_in_download_mode(const Board &board, bool take);

// In a run with commands whose flash command names no board: with several
// boards in download mode, prints them with the way to name one and returns
// false (the run stops with status 2).
bool choice_is_clear(void);

// -- adb (boards.cpp) ---------------------------------------------------------

// The devices of an adb devices -l listing (its header and notices skipped).
std::vector<AdbDevice> parse_adb_listing(std::string_view listing);

// Whether a listing written during the boot wait shows the flashed board:
// an entry on usb_path. When usb_path is empty or no entry carries a USB
// path, any entry counts: the second line, with its line end, is longer
// than one character.
bool booted_in_listing(std::string_view listing, const std::string &usb_path);

// The boards command: every board in download mode and every adb device,
// one row per USB path (as JSON with json). Returns the exit status.
int print_inventory(bool json);

// -- Flashing (flash_boards.cpp) ----------------------------------------------

// The flash command of a run with commands: with all or several ids, every
// named board at once (flash_boards); with one id, that board; else the
// board choose() finds. part: the full build (0 only when every board
// booted), or the CDT or NON-HLOS build alone (0 only when every board left
// download mode after the write); exit_status::board_busy when the only
// failures were boards another run holds.
int flash_command(const std::vector<std::string> &ids, bool all,
                  options::FlashPart part = options::FlashPart::full_build);

// Flashes the boards (all of those in download mode, or those ids name) in
// parallel, one child process each, with a live line per board and a closing
// table. 0 only when every board passed (as flash_command); board_busy when
// every board that did not was held by another run; else 1.
int flash_boards(const std::vector<std::string> &ids, bool all,
                 options::FlashPart part = options::FlashPart::full_build);

// Where a flashing sequence is. A board's child reports it to the parent as
// a value; the live line and the closing verdict come from one table.
enum class Phase : unsigned char {
    starting,
    not_found,     // the board is not (or no longer) in download mode
    loading,       // the programmer is being loaded
    erasing,       // with the storage part's number
    writing_cdt,   // the CDT
    writing_build, // the full build
    writing_non_hlos,
    waiting_for_boot,    // with the seconds waited, 0 before the first poll
    waiting_for_restart, // a CDT or NON-HLOS flash waits for the board to leave download mode
};
// The last phase: a report naming a higher value is not one of ours.
inline constexpr Phase last_phase = Phase::waiting_for_restart;

// What the live line shows for a phase ("erasing part 3", "waiting for the
// boot, 20s").
std::string phase_text(Phase phase, int number);

// The closing table's verdict on a board whose child ended with exit
// status (128 + n after signal n) in phase; boot_waited: the sequence was
// to wait for the boot.
std::string phase_verdict(Phase phase, int number, int status, bool boot_waited);

// In a board's child: tells the parent the sequence's phase (number: the
// part erased, the seconds waited) and whether it is writing the storage
// now. Does nothing elsewhere.
void report_phase(Phase phase, bool writing, int number = 0);

// The name of the board's own directories (its log directory below
// <release>/flash-logs/, its last receipt): its serial, else its USB path or
// port, as a plain file name.
std::string log_dir_name(const Board &board);

// The directory the flashing tools write their logs to: the board's own in
// a parallel flash, else the release directory (no final "/").
std::string log_dir(void);

} // namespace boards
