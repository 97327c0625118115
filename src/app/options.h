// The command line: one table of options, read with getopt_long, which also
// generates the usage text. Without arguments the program runs its
// interactive set-up and shell.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace options {

enum class Colour { automatic, always, never };

// Commands given as arguments; they run instead of the interactive program.
enum class Command {
    doctor, // read-only check of the host
};

// What the command line asked for.
struct Options {
    Colour colour = Colour::automatic;
    bool json = false;             // --json: results as one JSON object
    std::vector<Command> commands; // in the order given
};

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
