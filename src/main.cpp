// Ostrelle's entry point: the set-up dialogue phase by phase, then the
// command shell until quit or end of input.
//
// Where the program ends, and with which status:
//   main, below          0 after --help or --version, 2 for a usage error,
//                        doctor's 0 or 1 when commands were given,
//                        prepare_host's 1 or -1, -1 after three failed
//                        sign-ins, -1 for a declined or failed target
//                        directory, run_shell's 0 (or -1 without an event loop)
//   console::exit_at_end_of_input   1: standard input ended during a set-up
//                        answer or the password (console.cpp)
//   console::exit_program(1)  HOME missing or too long (target.cpp); a
//                        release list without a line (release.cpp)
//   signals.cpp          by the signal itself: SIGINT, SIGTERM, SIGHUP,
//                        SIGQUIT, or Ctrl-C/Ctrl-\\ that reached a running tool
#include <cstdio>

#include "app/console.h"
#include "app/doctor.h"
#include "app/options.h"
#include "app/setup.h"
#include "app/shell.h"
#include "app/signals.h"

int main(int argc, char *argv[])
{
    // Before anything changes the terminal: its attributes now are what
    // every ending signal puts back.
    signals::install();
    // The line editor reads descriptor 0 itself: no answer bytes may wait
    // in a stdio buffer when the shell starts (a run driven by a pipe).
    setvbuf(stdin, nullptr, _IONBF, 0);

    options::Options opts;
    switch (options::parse(argc, argv, opts)) {
    case options::Parsed::done:
        return 0;
    case options::Parsed::usage_error:
        return 2;
    case options::Parsed::run:
        break;
    }
    console::use_colours(options::colours_wanted(opts.colour));

    // Commands given as arguments run instead of the interactive program.
    if (!opts.commands.empty()) {
        int result = 0;
        for (options::Command command : opts.commands) {
            switch (command) {
            case options::Command::doctor:
                if (doctor_run(opts.json) != 0)
                    result = 1;
                break;
            }
        }
        return result;
    }

    print_version();
    int status = prepare_host();
    if (status != 0)
        return status;
    if (sign_in() != 0)
        return -1;
    if (set_target_path() != 0)
        return -1;
    // Every outcome of the product and release choice leads to the shell;
    // an empty release list ends the program inside the choice.
    select_product();
    return run_shell();
}
