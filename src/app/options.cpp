// The option table, its parser and the usage text made from it.
#include "app/options.h"

#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "app/shell.h"
#include "app/state.h"

namespace options {

namespace {

enum OptionId {
    opt_help = 'h',
    opt_version = 'V',
    opt_color = 256,
    opt_json,
};

// One option: its names, the name of its value in the usage text (nullptr
// when it takes none), and what it does.
struct OptionRow {
    const char *long_name;
    int id;         // the short letter, or a number above 255 for long-only
    const char *arg;
    const char *help;
};

const OptionRow option_rows[] = {
    {.long_name = "help", .id = opt_help, .arg = nullptr, .help = "print this help and exit"},
    {.long_name = "version", .id = opt_version, .arg = nullptr,
     .help = "print the version and exit"},
    {.long_name = "color", .id = opt_color, .arg = "WHEN",
     .help = "colour escapes: auto (the default: only when standard output is a terminal "
             "and NO_COLOR is unset or empty), always or never"},
    {.long_name = "json", .id = opt_json, .arg = nullptr,
     .help = "print the results of doctor as one JSON object"},
};

// A command given as an argument: its name and what it does.
struct CommandRow {
    const char *name;
    Command command;
    const char *help;
};

const CommandRow command_rows[] = {
    {.name = "doctor", .command = Command::doctor,
     .help = "check the host for everything the commands need (packages, loader link, tools, "
             "access to the board in download mode, ModemManager, qcserial, free space, the "
             "servers and their certificates, the clock); one line per check with its fix; "
             "reads only, needs no root; exit status 0 when all pass, 1 otherwise"},
};

void try_help(void)
{
    fprintf(stderr, "Try 'ostrelle --help'.\n");
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
                  "product, the platform and the release; then it offers a command prompt.",
                  0, 0);
    print_wrapped(out, "Given a command (below), it runs that instead and ends.", 0, 0);
    fprintf(out, "\nOptions:\n");
    for (const OptionRow &row : option_rows) {
        char names[64];
        if (row.id < 256)
            snprintf(names, sizeof(names), "  -%c, --%s%s%s", row.id, row.long_name,
                     row.arg ? "=" : "", row.arg ? row.arg : "");
        else
            snprintf(names, sizeof(names), "      --%s%s%s", row.long_name, row.arg ? "=" : "",
                     row.arg ? row.arg : "");
        size_t len = strlen(names);
        if (len >= 24) {
            fprintf(out, "%s\n%24s", names, "");
            print_wrapped(out, row.help, 24, 24);
        } else {
            fprintf(out, "%-24s", names);
            print_wrapped(out, row.help, 24, 24);
        }
    }
    fprintf(out, "\nCommands:\n");
    for (const CommandRow &row : command_rows) {
        fprintf(out, "  %-22s", row.name);
        print_wrapped(out, row.help, 24, 24);
    }
    print_commands(out, "LE", sdk_le_commands);
    print_commands(out, "LU", sdk_lu_commands);
    fprintf(out, "\nFiles:\n");
    fprintf(out, "  ~/%-21s the target directory, remembered between runs\n", tardir_filename);
    fprintf(out, "  %-23s the release; the tools' logs (repack.log, sparse.log,\n"
                 "  %-23s flash_image.log, device_bootup.log, ...) go there\n",
            "<target>/<release>/", "");
    fprintf(out, "\nExit status:\n");
    print_wrapped(out,
                  "0 after the prompt; 1 when a host package check cannot be read, the release "
                  "list is empty or input ends during the set-up; 255 when host packages cannot "
                  "be installed, the sign-in fails three times or the target directory is "
                  "declined; 2 for a usage error; 128+n when ended by signal n. doctor: 0 when "
                  "every check passes, 1 when one finds a problem.",
                  2, 0);
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
        case opt_json:
            opts.json = true;
            break;
        case opt_color:
            if (strcmp(optarg, "auto") == 0) {
                opts.colour = Colour::automatic;
            } else if (strcmp(optarg, "always") == 0) {
                opts.colour = Colour::always;
            } else if (strcmp(optarg, "never") == 0) {
                opts.colour = Colour::never;
            } else {
                fprintf(stderr, "ostrelle: invalid value '%s' for --color (auto, always or never)\n",
                        optarg);
                try_help();
                return Parsed::usage_error;
            }
            break;
        case ':': {
            const char *arg = argv[optind - 1];
            if (optopt != 0 && optopt < 256)
                fprintf(stderr, "ostrelle: option '-%c' needs a value\n", optopt);
            else
                fprintf(stderr, "ostrelle: option '%s' needs a value\n", arg);
            try_help();
            return Parsed::usage_error;
        }
        default: {
            const char *arg = argv[optind - 1];
            if (optopt != 0)
                fprintf(stderr, "ostrelle: unknown option '-%c'\n", optopt);
            else
                fprintf(stderr, "ostrelle: unknown option '%.*s'\n",
                        static_cast<int>(strcspn(arg, "=")), arg);
            try_help();
            return Parsed::usage_error;
        }
        }
    }
    for (; optind < argc; optind++) {
        const CommandRow *found = nullptr;
        for (const CommandRow &row : command_rows) {
            if (strcmp(row.name, argv[optind]) == 0)
                found = &row;
        }
        if (!found) {
            fprintf(stderr, "ostrelle: unknown command '%s'\n", argv[optind]);
            try_help();
            return Parsed::usage_error;
        }
        opts.commands.push_back(found->command);
    }
    return Parsed::run;
}

} // namespace options
