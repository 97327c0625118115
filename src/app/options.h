// The command line: one table of options, read with getopt_long, which also
// generates the usage text. Without arguments the program runs its
// interactive set-up and shell.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace options {

enum class Colour { automatic, always, never };

// A command given on the command line.
enum class Command {
    download,       // command "1"
    flash,          // command "2"
    toolchain,      // command "3" (LE)
    list_products,  // "list products"
    list_platforms, // "list platforms" (needs --product)
    list_releases,  // "list releases" (needs --product and --platform)
    boards,         // "boards": the boards in download mode and the adb devices
    doctor,         // read-only check of the host (no set-up)
};

// What the command line asked for. Empty strings are answers not given.
struct Options {
    Colour colour = Colour::automatic;
    std::string target;        // -t, --target
    std::string product;       // -p, --product
    std::string platform;      // --platform
    std::string release;       // -r, --release ("latest": the first listed)
    std::string email;         // --email, or OSTRELLE_EMAIL
    std::string password_file; // --password-file, or OSTRELLE_PASSWORD_FILE ("-": standard input)
    bool yes = false;          // -y, --yes: every confirmation goes on
    bool dry_run = false;      // -n, --dry-run
    bool json = false;         // --json
    bool no_input = false;     // --no-input: never read the terminal
    bool no_boot_wait = false; // --no-boot-wait: flash ends after the last flashing step
    std::string package;       // --package FILE|URL: the release package from there
    std::string log;           // --log FILE
    std::vector<std::string> boards; // -b, --board ID, in the order given
    bool all_boards = false;         // --all-boards
    std::vector<Command> commands;   // in the order given
};

// The command's word(s) as the user types them ("download", "list releases").
const char *command_name(Command command);

// True for the commands that only print a list (list ..., boards): no host
// preparation, no sign-in.
bool is_list(Command command);

// True for the commands that run on their own, without the set-up: the list
// commands and doctor.
bool runs_alone(Command command);

enum class Parsed {
    run,         // go on with the program
    done,        // --help or --version printed: exit 0
    usage_error, // a line naming the problem printed on standard error: exit 2
};

// Reads argv into opts; prints help, version and errors itself.
Parsed parse(int argc, char *argv[], Options &opts);

// The usage text, generated from the option table and the command tables.
void print_usage(FILE *out);

// Whether colour escapes are wanted: always, never, or (automatic) when
// standard output is a terminal and NO_COLOR is unset or empty.
bool colours_wanted(Colour colour);

} // namespace options
