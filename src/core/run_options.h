// What the command line asked for, as one record handed to the phases: the
// answers given as options, the commands in order, and the run's switches.
// The parser that fills it is cli/options.h.
#pragma once

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
    receipt,        // "receipt": a board's last flash receipt
    verify_receipt, // "verify-receipt FILE": a receipt against its release directory
};

// What the flash command writes (--only).
enum class FlashPart {
    full_build, // the whole build, then the boot wait
    cdt,        // only the CDT
    non_hlos,   // only the NON-HLOS build
};

// What the command line asked for. Empty strings are answers not given.
struct Options {
    Colour colour = Colour::automatic;
    std::string target;         // -t, --target
    std::string product;        // -p, --product
    std::string platform;       // --platform
    std::string release;        // -r, --release ("latest": the first listed)
    std::string email;          // --email, or OSTRELLE_EMAIL
    std::string password_file;  // --password-file, or OSTRELLE_PASSWORD_FILE ("-": standard input)
    bool yes = false;           // -y, --yes: every confirmation goes on
    bool dry_run = false;       // -n, --dry-run
    bool json = false;          // --json
    bool no_input = false;      // --no-input: never read the terminal
    bool no_boot_wait = false;  // --no-boot-wait: flash ends after the last flashing step
    bool changed_only = false;  // --changed-only: flash sends only the images that changed
    std::string package;        // --package FILE|URL: the release package from there
    std::string package_sha256; // --package-sha256 HEX (lower case): the digest it must have
    int lock_timeout = 0;       // --lock-timeout SECONDS: wait for a board another run holds
    int retries = 0;            // --retries N: flash again after a lost board or a failed tool
    int board_timeout = 120;    // --board-timeout SECONDS: wait for a lost board to come back
    std::string log;            // --log FILE
    std::vector<std::string> boards; // -b, --board ID, in the order given
    bool all_boards = false;         // --all-boards
    std::vector<Command> commands;   // in the order given
    std::string receipt_file;        // verify-receipt's FILE

    // --only cdt|non-hlos: flash writes that part alone
    FlashPart only = FlashPart::full_build;
};

} // namespace options
