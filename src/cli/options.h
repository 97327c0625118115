// The command line: one table of options, read with getopt_long, which also
// generates the usage text. Without arguments the program runs its
// interactive set-up and shell.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/run_options.h"

namespace options {

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

// The usage text (one screen), generated from the option and command tables.
void print_usage(FILE *out);

// The long name of every option of the table, in its order.
std::vector<std::string> option_names(void);

// Whether colour escapes are wanted: always, never, or (automatic) when
// standard output is a terminal and NO_COLOR is unset or empty.
bool colours_wanted(Colour colour);

} // namespace options
