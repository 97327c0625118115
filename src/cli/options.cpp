// The option table, its parser and the usage text made from it.
#include "cli/options.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "cli/shell.h"
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
};

// One option: its names, the name of its value in the usage text (nullptr
// when it takes none), and what it does.
struct OptionRow {
    const char *long_name;
    int id; // the short letter, or a number above 255 for long-only
    const char *arg;
    const char *help;
};

const OptionRow option_rows[] = {
    {.long_name = "help", .id = opt_help, .arg = nullptr, .help = "print this help and exit"},
    {.long_name = "version",
     .id = opt_version,
     .arg = nullptr,
     .help = "print the version and exit"},
    {.long_name = "target",
     .id = opt_target,
     .arg = "DIR",
     .help = "the target directory (absolute; created and remembered as the dialogue does)"},
    {.long_name = "product",
     .id = opt_product,
     .arg = "NAME",
     .help = "the product: kt1, kt2, kt3gen2, kt5, kt5n, kt6 or mx7200 (any case)"},
    {.long_name = "platform",
     .id = opt_platform,
     .arg = "NAME",
     .help = "the platform: LU or LE; for kt5 also LU1.0, LU2.0, LE1.0 or LE2.0"},
    {.long_name = "release",
     .id = opt_release,
     .arg = "NAME",
     .help = "a release name from the release list, or latest for its first entry"},
    {.long_name = "email",
     .id = opt_email,
     .arg = "ADDRESS",
     .help = "the account's e-mail address (also OSTRELLE_EMAIL)"},
    {.long_name = "password-file",
     .id = opt_password_file,
     .arg = "FILE",
     .help = "a file of yours (not readable by group or others) whose first line is the "
             "password; - for the first line of standard input, unechoed on a terminal (also "
             "OSTRELLE_PASSWORD_FILE)"},
    {.long_name = "yes",
     .id = opt_yes,
     .arg = nullptr,
     .help = "answer every confirmation with its go-on answer"},
    {.long_name = "dry-run",
     .id = opt_dry_run,
     .arg = nullptr,
     .help = "change nothing: print every command line that would install, download a "
             "package, unpack, remove, move, run as root or touch a board as \"would run: "
             "<line>\" and go on as if it had succeeded"},
    {.long_name = "no-input",
     .id = opt_no_input,
     .arg = nullptr,
     .help = "never read answers from the terminal: a question that no option answers "
             "stops the run (status 2), as it does when standard input is not a terminal"},
    {.long_name = "package",
     .id = opt_package,
     .arg = "FILE|URL",
     .help = "take the release package from a local file or an http(s) URL instead of the "
             "resource server (a lab's own build); the release is --release or the file name "
             "without .zip, and the package's own SHA-256 is what it is checked against"},
    {.long_name = "no-boot-wait",
     .id = opt_no_boot_wait,
     .arg = nullptr,
     .help = "flash ends after the last flashing step (the board restarts) without waiting "
             "for it under adb, for a caller that watches the board's console itself"},
    {.long_name = "json",
     .id = opt_json,
     .arg = nullptr,
     .help = "print the result of list, boards or doctor as one JSON document"},
    {.long_name = "log",
     .id = opt_log,
     .arg = "FILE",
     .help = "write the run's log to FILE (a file of yours, not a link; or standard output) "
             "instead of the log directory"},
    {.long_name = "board",
     .id = opt_board,
     .arg = "ID",
     .help = "flash the board with this serial, port or USB path (see boards); given more "
             "than once, flash those boards at once"},
    {.long_name = "all-boards",
     .id = opt_all_boards,
     .arg = nullptr,
     .help = "flash every board in download mode at once"},
    {.long_name = "color",
     .id = opt_color,
     .arg = "WHEN",
     .help = "colour escapes: auto (the default: only when standard output is a terminal "
             "and NO_COLOR is unset or empty), always or never"},
};

// One command of the command line: its words and what it does.
struct CommandRow {
    Command command;
    const char *words;
    const char *help;
};

const CommandRow command_rows[] = {
    {.command = Command::download,
     .words = "download",
     .help = "download, verify and unpack the release (prompt command 1; on LU also the "
             "system image repack)"},
    {.command = Command::flash,
     .words = "flash",
     .help = "flash the full build onto the board in download mode and wait for it to boot "
             "(prompt command 2); with several boards attached name one with --board, or "
             "flash several at once with --board ... --board or --all-boards"},
    {.command = Command::toolchain,
     .words = "toolchain",
     .help = "(LE) download the release's SDK toolchain (prompt command 3)"},
    {.command = Command::list_products,
     .words = "list products",
     .help = "print the products and their platforms"},
    {.command = Command::list_platforms,
     .words = "list platforms",
     .help = "print the platforms of --product"},
    {.command = Command::list_releases,
     .words = "list releases",
     .help = "print the releases of --product on --platform, latest first"},
    {.command = Command::boards,
     .words = "boards",
     .help = "print the boards in download mode (port, USB path, serial) and the adb "
             "devices (serial, USB path), one row per USB path"},
    {.command = Command::doctor,
     .words = "doctor",
     .help = "check the host for everything the commands need (packages, loader link, tools, "
             "access to the board in download mode, ModemManager, qcserial, free space at "
             "--target or the stored target directory, the "
             "servers and their certificates, the clock): one line per check with its fix; "
             "reads only, needs no root, writes nothing; exit status 0 when no check fails, "
             "1 otherwise"},
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

// The option as it was written: a long one without its "=value", or "-c".
std::string written_option(const char *arg, int letter)
{
    if (strncmp(arg, "--", 2) == 0)
        return std::string(arg, strcspn(arg, "="));
    return std::string("-") + static_cast<char>(letter);
}

// Prints text wrapped at 79 columns, every line indented by indent blanks,
// the first line starting at column start.
void print_wrapped(FILE *out, const char *text, size_t indent, size_t start)
{
    if (start < indent) {
        fprintf(out, "%*s", static_cast<int>(indent - start), "");
        start = indent;
    }
    size_t col = start;
    const char *p = text;
    while (*p) {
        const char *end = strchr(p, ' ');
        size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
        if (col > indent && col + 1 + len > 79) {
            fprintf(out, "\n%*s", static_cast<int>(indent), "");
            col = indent;
        } else if (col > indent) {
            fputc(' ', out);
            col++;
        }
        fprintf(out, "%.*s", static_cast<int>(len), p);
        col += len;
        p += len;
        while (*p == ' ')
            p++;
    }
    fputc('\n', out);
}

void print_commands(FILE *out, const char *platform_name, const sdk_cmd *table)
{
    fprintf(out, "\nCommands at the prompt on %s:\n", platform_name);
    for (const sdk_cmd *row = table; row->cmd; row++)
        fprintf(out, "  %-6s%s\n", row->cmd, row->usage);
}

} // namespace

void print_usage(FILE *out)
{
    fprintf(out, "Usage: ostrelle [OPTION]... [COMMAND]...\n");
    print_wrapped(out,
                  "Downloads, verifies and unpacks release images for Vavevuro product boards, "
                  "rebuilds the system image of the Ubuntu-based platform (LU) and flashes "
                  "boards waiting in Qualcomm download mode. It prepares the host packages, "
                  "signs in with a Velmora account, and asks for the target directory, the "
                  "product, the platform and the release; then it offers a command prompt. "
                  "With commands it runs them in order after the set-up and exits; each "
                  "question whose option is given is not asked.",
                  0, 0);
    fprintf(out, "\nOptions:\n");
    for (const OptionRow &row : option_rows) {
        char names[64];
        if (row.id < 256)
            snprintf(names, sizeof(names), "  -%c, --%s%s%s", row.id, row.long_name,
                     row.arg ? " " : "", row.arg ? row.arg : "");
        else
            snprintf(names, sizeof(names), "      --%s%s%s", row.long_name,
                     row.arg ? (row.id == opt_color ? "=" : " ") : "", row.arg ? row.arg : "");
        if (strlen(names) >= 24)
            fprintf(out, "%s\n%24s", names, "");
        else
            fprintf(out, "%-24s", names);
        print_wrapped(out, row.help, 24, 24);
    }
    fprintf(out, "\nCommands:\n");
    for (const CommandRow &row : command_rows) {
        fprintf(out, "  %-22s", row.words);
        print_wrapped(out, row.help, 24, 24);
    }
    print_commands(out, "LE", sdk_le_commands);
    print_commands(out, "LU", sdk_lu_commands);
    fprintf(out, "\nFiles:\n");
    fprintf(out, "  ~/%-21s the target directory, remembered between runs\n", tardir_filename);
    fprintf(out,
            "  %-23s the release; the tools' logs (repack.log, sparse.log,\n"
            "  %-23s flash_image.log, device_bootup.log, ...) go there\n",
            "<target>/<release>/", "");
    fprintf(out,
            "  <target>/<release>/flash-logs/<board>/\n"
            "  %-23s each board's logs when several are flashed at once,\n"
            "  %-23s with what its flash printed (output.log)\n",
            "", "");
    fprintf(out,
            "  $XDG_STATE_HOME/ostrelle/logs/ (~/.local/state/ostrelle/logs/)\n"
            "  %-23s a log of every run (the 20 newest are kept)\n",
            "");
    fprintf(out, "\nExit status:\n");
    print_wrapped(out,
                  "Without commands: 0 after the prompt; 1 when a host package check cannot be "
                  "read, the release list is empty, HOME is missing or input ends during the "
                  "set-up; 255 when host packages cannot be installed, the sign-in fails three "
                  "times, the target directory is declined or cannot be set up, or the prompt "
                  "cannot start. With commands: 0 when every command succeeded; 1 when a "
                  "command failed (the commands after it do not run); 2 when a question has "
                  "no answer (no option for it and no terminal, or input ended); 3 when the "
                  "sign-in was refused; 4 when the host is not ready (packages, HOME, the "
                  "target directory); 5 when a server could not be used. doctor: 0 when no "
                  "check fails, 1 otherwise. Always: 2 for a usage error; 128+n when ended by "
                  "signal n.",
                  2, 0);
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
    return is_list(command) || command == Command::doctor;
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
    int c;
    while ((c = getopt_long(argc, argv, shortopts.c_str(), longopts, nullptr)) != -1) {
        switch (c) {
        case opt_help:
            print_usage(stdout);
            return Parsed::done;
        case opt_version:
            printf("ostrelle %s\n", sdk_ver);
            return Parsed::done;
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
        case opt_package:
            opts.package = optarg;
            break;
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
    }
    bool flash = false;
    for (Command command : opts.commands)
        flash = flash || command == Command::flash;
    if ((!opts.boards.empty() || opts.all_boards) && !flash) {
        return usage_error("--board and --all-boards go with the flash command");
    }
    if (!opts.boards.empty() && opts.all_boards) {
        return usage_error("--board and --all-boards exclude each other");
    }
    if (!opts.package.empty() && std::find(opts.commands.begin(), opts.commands.end(),
                                           Command::download) == opts.commands.end()) {
        return usage_error("--package needs the download command");
    }
    if (opts.no_input && opts.commands.empty()) {
        return usage_error("--no-input needs a command (download, flash, toolchain)");
    }
    bool json_command = false;
    for (Command command : opts.commands)
        json_command = json_command || runs_alone(command);
    if (opts.json && !json_command)
        return usage_error("--json goes with list, boards or doctor");
    for (Command command : opts.commands) {
        if (runs_alone(command) && opts.commands.size() > 1) {
            return usage_error("'%s' runs on its own", command_name(command));
        }
    }
    return Parsed::run;
}

} // namespace options
