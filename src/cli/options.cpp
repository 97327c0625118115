// The option table, its parser and the usage text made from it.
#include "cli/options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "core/safe_text.h"
#include "core/state.h"

namespace options {

namespace {

enum OptionId {
    opt_help = 'h',
    opt_version = 'V',
    opt_target = 't',
    opt_product = 'p',
    opt_release = 'r',
    opt_yes = 'y',
    opt_dry_run = 'n',
    opt_board = 'b',
    opt_color = 256,
    opt_platform,
    opt_email,
    opt_password_file,
    opt_json,
    opt_log,
    opt_all_boards,
    opt_no_input,
    opt_no_boot_wait,
    opt_package,
    opt_only,
    opt_package_sha256,
    opt_lock_timeout,
    opt_changed_only,
    opt_retries,
    opt_board_timeout,
};

// One option: its names, the name of its value (nullptr when it takes
// none), and its line in --help (nullptr: the manual page alone describes
// it, so that --help stays one screen).
struct OptionRow {
    const char *long_name;
    int id; // the short letter, or a number above 255 for long-only
    const char *arg;
    const char *help;
};

const OptionRow option_rows[] = {
    {.long_name = "help", .id = opt_help, .arg = nullptr, .help = nullptr},
    {.long_name = "version", .id = opt_version, .arg = nullptr, .help = nullptr},
    {.long_name = "target", .id = opt_target, .arg = "DIR", .help = "the target directory"},
    {.long_name = "product",
     .id = opt_product,
     .arg = "NAME",
     .help = "kt1, kt2, kt3gen2, kt5, kt5n, kt6 or mx7200"},
    {.long_name = "platform",
     .id = opt_platform,
     .arg = "NAME",
     .help = "LU or LE; kt5: LU1.0, LU2.0, LE1.0 or LE2.0"},
    {.long_name = "release",
     .id = opt_release,
     .arg = "NAME",
     .help = "a release of the release list, or latest"},
    {.long_name = "email", .id = opt_email, .arg = "ADDRESS", .help = nullptr},
    {.long_name = "password-file", .id = opt_password_file, .arg = "FILE", .help = nullptr},
    {.long_name = "yes",
     .id = opt_yes,
     .arg = nullptr,
     .help = "answer every confirmation with its go-on answer"},
    {.long_name = "dry-run",
     .id = opt_dry_run,
     .arg = nullptr,
     .help = "print each line that would change something; run none"},
    {.long_name = "no-input", .id = opt_no_input, .arg = nullptr, .help = nullptr},
    {.long_name = "package", .id = opt_package, .arg = "FILE|URL", .help = nullptr},
    {.long_name = "package-sha256", .id = opt_package_sha256, .arg = "HEX", .help = nullptr},
    {.long_name = "no-boot-wait", .id = opt_no_boot_wait, .arg = nullptr, .help = nullptr},
    {.long_name = "only", .id = opt_only, .arg = "PART", .help = nullptr},
    {.long_name = "changed-only", .id = opt_changed_only, .arg = nullptr, .help = nullptr},
    {.long_name = "json", .id = opt_json, .arg = nullptr, .help = nullptr},
    {.long_name = "log", .id = opt_log, .arg = "FILE", .help = nullptr},
    {.long_name = "board",
     .id = opt_board,
     .arg = "ID",
     .help = "the board to flash: serial, port or USB path"},
    {.long_name = "lock-timeout", .id = opt_lock_timeout, .arg = "SECONDS", .help = nullptr},
    {.long_name = "retries", .id = opt_retries, .arg = "N", .help = nullptr},
    {.long_name = "board-timeout", .id = opt_board_timeout, .arg = "SECONDS", .help = nullptr},
    {.long_name = "all-boards", .id = opt_all_boards, .arg = nullptr, .help = nullptr},
    {.long_name = "color", .id = opt_color, .arg = "WHEN", .help = nullptr},
};

// One command of the command line: its words and its line in --help
// (nullptr: only in the manual page).
struct CommandRow {
    Command command;
    const char *words;
    const char *help;
};

const CommandRow command_rows[] = {
    {.command = Command::download,
     .words = "download",
     .help = "download, verify and unpack the release (LU: also repack)"},
    {.command = Command::flash,
     .words = "flash",
     .help = "flash the board in download mode, wait for it to boot"},
    {.command = Command::toolchain,
     .words = "toolchain",
     .help = "(LE) download the release's SDK toolchain"},
    {.command = Command::list_products,
     .words = "list products",
     .help = "the products and their platforms"},
    {.command = Command::list_platforms,
     .words = "list platforms",
     .help = "the platforms of --product"},
    {.command = Command::list_releases,
     .words = "list releases",
     .help = "the releases of --product on --platform"},
    {.command = Command::boards,
     .words = "boards",
     .help = "the boards in download mode and the adb devices"},
    {.command = Command::doctor,
     .words = "doctor",
     .help = "check the host for what the commands need (reads only)"},
    // The manual page alone describes these, so that --help stays one screen.
    {.command = Command::receipt, .words = "receipt", .help = nullptr},
    {.command = Command::verify_receipt, .words = "verify-receipt", .help = nullptr},
};

// Says what is wrong with the command line, and where to look.
Parsed usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

Parsed usage_error(const char *fmt, ...)
{
    // The message quotes the command line: shown as text on one line.
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int len = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string text(len > 0 ? static_cast<size_t>(len) : 0, '\0');
    vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    fprintf(stderr, "ostrelle: %s\nTry 'ostrelle --help'.\n",
            printable(without_credentials(text)).c_str());
    return Parsed::usage_error;
}

// 64 hexadecimal digits, as sha256sum prints a digest.
bool valid_sha256(const char *text)
{
    size_t n = 0;
    while (isxdigit(static_cast<unsigned char>(text[n])))
        n++;
    return n == 64 && text[n] == '\0';
}

// The option as it was written: a long one without its "=value", or "-c".
std::string written_option(const char *arg, int letter)
{
    if (strncmp(arg, "--", 2) == 0)
        return std::string(arg, strcspn(arg, "="));
    return std::string("-") + static_cast<char>(letter);
}

} // namespace

void print_usage(FILE *out)
{
    fprintf(out, "Usage: ostrelle [OPTION]... [COMMAND]...\n");
    fprintf(out, "Downloads, verifies and flashes release images for Vavevuro product boards;\n"
                 "without commands it asks its questions, then offers a command prompt.\n");
    fprintf(out, "\nCommands:\n");
    for (const CommandRow &row : command_rows) {
        if (row.help)
            fprintf(out, "  %-17s%s\n", row.words, row.help);
    }
    fprintf(out, "\nCommon options:\n");
    for (const OptionRow &row : option_rows) {
        if (!row.help)
            continue;
        char names[40];
        if (row.id < 256)
            snprintf(names, sizeof(names), "-%c, --%s%s%s", row.id, row.long_name,
                     row.arg ? " " : "", row.arg ? row.arg : "");
        else
            snprintf(names, sizeof(names), "    --%s%s%s", row.long_name, row.arg ? " " : "",
                     row.arg ? row.arg : "");
        fprintf(out, "  %-22s%s\n", names, row.help);
    }
    fprintf(out, "\nEvery option, the files and the exit statuses: man ostrelle (ostrelle(1)).\n");
}

std::vector<std::string> option_names(void)
{
    std::vector<std::string> names;
    for (const OptionRow &row : option_rows)
        names.push_back(row.long_name);
    return names;
}

const char *command_name(Command command)
{
    for (const CommandRow &row : command_rows) {
        if (row.command == command)
            return row.words;
    }
    return "";
}

bool is_list(Command command)
{
    return command == Command::list_products || command == Command::list_platforms ||
           command == Command::list_releases || command == Command::boards;
}

bool runs_alone(Command command)
{
    return is_list(command) || command == Command::doctor || command == Command::receipt ||
           command == Command::verify_receipt;
}

bool colours_wanted(Colour colour)
{
    if (colour == Colour::always)
        return true;
    if (colour == Colour::never)
        return false;
    const char *no_color = getenv("NO_COLOR");
    return isatty(STDOUT_FILENO) && (!no_color || !*no_color);
}

Parsed parse(int argc, char *argv[], Options &opts)
{
    constexpr size_t rows = sizeof(option_rows) / sizeof(option_rows[0]);
    struct option longopts[rows + 1];
    std::string shortopts = ":";
    for (size_t i = 0; i < rows; i++) {
        const OptionRow &row = option_rows[i];
        longopts[i] = {row.long_name, row.arg ? required_argument : no_argument, nullptr, row.id};
        if (row.id < 256) {
            shortopts += static_cast<char>(row.id);
            if (row.arg)
                shortopts += ':';
        }
    }
    longopts[rows] = {nullptr, 0, nullptr, 0};

    opterr = 0;
    optind = 1;
    // --help and --version act once the whole line has been read: an unknown
    // option beside them is still a usage error.
    bool help = false;
    bool version = false;
    int c;
    while ((c = getopt_long(argc, argv, shortopts.c_str(), longopts, nullptr)) != -1) {
        switch (c) {
        case opt_help:
            help = true;
            break;
        case opt_version:
            version = true;
            break;
        case opt_target:
            opts.target = optarg;
            break;
        case opt_product:
            opts.product = optarg;
            break;
        case opt_platform:
            opts.platform = optarg;
            break;
        case opt_release:
            opts.release = optarg;
            break;
        case opt_email:
            opts.email = optarg;
            break;
        case opt_password_file:
            opts.password_file = optarg;
            break;
        case opt_yes:
            opts.yes = true;
            break;
        case opt_dry_run:
            opts.dry_run = true;
            break;
        case opt_json:
            opts.json = true;
            break;
        case opt_no_input:
            opts.no_input = true;
            break;
        case opt_no_boot_wait:
            opts.no_boot_wait = true;
            break;
        case opt_changed_only:
            opts.changed_only = true;
            break;
        case opt_package:
            opts.package = optarg;
            break;
        case opt_only:
            if (strcmp(optarg, "cdt") == 0) {
                opts.only = FlashPart::cdt;
            } else if (strcmp(optarg, "non-hlos") == 0) {
                opts.only = FlashPart::non_hlos;
            } else {
                return usage_error("invalid value '%s' for --only (cdt or non-hlos)", optarg);
            }
            break;
        case opt_package_sha256:
            if (!valid_sha256(optarg))
                return usage_error("invalid value '%s' for --package-sha256 (64 hexadecimal "
                                   "digits)",
                                   optarg);
            opts.package_sha256 = optarg;
            for (char &c : opts.package_sha256)
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            break;
        case opt_lock_timeout: {
            char *end = nullptr;
            errno = 0;
            const long seconds = strtol(optarg, &end, 10);
            if (!isdigit(static_cast<unsigned char>(optarg[0])) || *end || errno || seconds > 86400)
                return usage_error("invalid value '%s' for --lock-timeout (seconds, 0 to "
                                   "86400)",
                                   optarg);
            opts.lock_timeout = static_cast<int>(seconds);
            break;
        }
        case opt_retries:
        case opt_board_timeout: {
            const bool retries = c == opt_retries;
            const long most = retries ? 100 : 86400;
            char *end = nullptr;
            errno = 0;
            const long value = strtol(optarg, &end, 10);
            if (!isdigit(static_cast<unsigned char>(optarg[0])) || *end || errno || value > most)
                return usage_error("invalid value '%s' for --%s (%s, 0 to %ld)", optarg,
                                   retries ? "retries" : "board-timeout",
                                   retries ? "a count" : "seconds", most);
            (retries ? opts.retries : opts.board_timeout) = static_cast<int>(value);
            break;
        }
        case opt_log:
            opts.log = optarg;
            break;
        case opt_board:
            if (!*optarg) {
                return usage_error("option '--board' needs a value");
            }
            // A serial, port or USB path is plain text; the flashing
            // messages show the value as given.
            if (printable(optarg) != optarg) {
                return usage_error("invalid value '%s' for --board: not a serial, port or USB path",
                                   optarg);
            }
            opts.boards.push_back(optarg);
            break;
        case opt_all_boards:
            opts.all_boards = true;
            break;
        case opt_color:
            if (strcmp(optarg, "auto") == 0) {
                opts.colour = Colour::automatic;
            } else if (strcmp(optarg, "always") == 0) {
                opts.colour = Colour::always;
            } else if (strcmp(optarg, "never") == 0) {
                opts.colour = Colour::never;
            } else {
                return usage_error("invalid value '%s' for --color (auto, always or never)",
                                   optarg);
            }
            break;
        case ':':
            return usage_error("option '%s' needs a value",
                               written_option(argv[optind - 1], optopt).c_str());
        default: {
            const char *arg = argv[optind - 1];
            std::string name = written_option(arg, optopt);
            // A long option that exists but was given a value it does not take.
            if (strchr(arg, '=') && optopt != 0)
                return usage_error("option '%s' takes no value", name.c_str());
            return usage_error("unknown option '%s'", name.c_str());
        }
        }
    }
    if (help) {
        print_usage(stdout);
        return Parsed::done;
    }
    if (version) {
        printf("ostrelle %s\n", sdk_ver);
        return Parsed::done;
    }
    if (opts.email.empty()) {
        if (const char *mail = getenv("OSTRELLE_EMAIL"))
            opts.email = mail;
    }
    if (opts.password_file.empty()) {
        if (const char *file = getenv("OSTRELLE_PASSWORD_FILE"))
            opts.password_file = file;
    }
    for (int i = optind; i < argc; i++) {
        std::string word = argv[i];
        if (word == "list") {
            std::string what = i + 1 < argc ? argv[i + 1] : "";
            const CommandRow *found = nullptr;
            for (const CommandRow &row : command_rows) {
                if (is_list(row.command) && ("list " + what) == row.words)
                    found = &row;
            }
            if (!found) {
                return usage_error("list what? products, platforms or releases");
            }
            opts.commands.push_back(found->command);
            i++;
            continue;
        }
        const CommandRow *found = nullptr;
        for (const CommandRow &row : command_rows) {
            if (word == row.words)
                found = &row;
        }
        if (!found) {
            return usage_error("unknown command '%s'", argv[i]);
        }
        opts.commands.push_back(found->command);
        if (found->command == Command::verify_receipt) {
            if (i + 1 >= argc || !*argv[i + 1])
                return usage_error("verify-receipt needs the receipt FILE");
            opts.receipt_file = argv[++i];
        }
    }
    bool flash = false, receipt = false;
    for (Command command : opts.commands) {
        flash = flash || command == Command::flash;
        receipt = receipt || command == Command::receipt;
    }
    if (opts.all_boards && !flash) {
        return usage_error("--board and --all-boards go with the flash command");
    }
    if (!opts.boards.empty() && !flash && !receipt) {
        return usage_error("--board goes with the flash and receipt commands");
    }
    if (opts.changed_only && (!flash || opts.only != FlashPart::full_build)) {
        return usage_error("--changed-only goes with the flash command of the full build");
    }
    if (!opts.boards.empty() && opts.all_boards) {
        return usage_error("--board and --all-boards exclude each other");
    }
    if (opts.only != FlashPart::full_build && !flash) {
        return usage_error("--only goes with the flash command");
    }
    if (!opts.package.empty() && std::find(opts.commands.begin(), opts.commands.end(),
                                           Command::download) == opts.commands.end()) {
        return usage_error("--package needs the download command");
    }
    if (!opts.package_sha256.empty() && opts.package.empty()) {
        return usage_error("--package-sha256 goes with --package");
    }
    if (opts.no_input && opts.commands.empty()) {
        return usage_error("--no-input needs a command (download, flash, toolchain)");
    }
    // --json: the list's document, or the event stream of download and flash.
    bool json_command = !opts.commands.empty();
    for (Command command : opts.commands)
        json_command = json_command && (runs_alone(command) || command == Command::download ||
                                        command == Command::flash);
    if (opts.json && !json_command)
        return usage_error("--json goes with list, boards, doctor, receipt, verify-receipt, "
                           "download or flash");
    if ((opts.retries > 0 || opts.board_timeout != Options().board_timeout) && !flash)
        return usage_error("--retries and --board-timeout go with the flash command");
    for (Command command : opts.commands) {
        if (runs_alone(command) && opts.commands.size() > 1) {
            return usage_error("'%s' runs on its own", command_name(command));
        }
    }
    return Parsed::run;
}

} // namespace options
