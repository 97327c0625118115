// Ostrelle's entry point: the set-up dialogue phase by phase, then the
// command shell until quit or end of input.
//
// Where the program ends, and with which status:
//   main, below          prepare_host's 1 or -1, -1 after three failed
//                        sign-ins, -1 for a declined or failed target
//                        directory, run_shell's 0 (or -1 without an event loop)
//   console::exit_at_end_of_input   1: standard input ended during a set-up
//                        answer or the password (console.cpp)
//   console::exit_program(1)  HOME missing or too long (target.cpp); a
//                        release list without a line (release.cpp)
#include <cstdio>

#include "app/setup.h"
#include "app/shell.h"
#include "app/standard_fds.h"

int main()
{
    // Before any file is opened: a closed standard descriptor would be
    // given to the first file the program opens.
    open_closed_standard_fds();
    // The line editor reads descriptor 0 itself: no answer bytes may wait
    // in a stdio buffer when the shell starts (a run driven by a pipe).
    setvbuf(stdin, nullptr, _IONBF, 0);

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
