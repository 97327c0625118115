// Ostrelle's entry point: the set-up dialogue phase by phase, then the
// command shell until quit or end of input, or, with commands on the command
// line, the commands in order.
//
// Where the program ends, and with which status. What each status of a run
// with commands means is the table of core/exit_status.h; the manual page's
// EXIT STATUS describes them all for the user.
//   main, below          0 after --help or --version, 2 for a usage error;
//                        a list command's status; doctor's 0 or 1;
//                        without commands
//                        prepare_host's 1 or -1, -1 after three failed
//                        sign-ins, -1 for a declined or failed target
//                        directory, run_shell's 0 (or -1 without an event
//                        loop); with commands the statuses of exit_status.h
//   console::exit_at_end_of_input   1 (2 with commands): standard input
//                        ended during a set-up answer or the password
//   console::exit_program  HOME missing or too long: 1 (4 with commands),
//                        target.cpp; a release list without a line: 1 (5
//                        with commands), release.cpp
//   console::refuse      2: what the command line asked for cannot be done
//                        (a question no option answers without a terminal,
//                        a bad --target, --product, --platform, --release,
//                        --email or password file, several boards and no
//                        --board)
//   boards               2: a parallel flash naming boards that cannot be told
//                        apart (flash_boards.cpp, device.cpp)
//   signals.cpp          by the signal itself: SIGINT, SIGTERM, SIGHUP,
//                        SIGQUIT, or Ctrl-C/Ctrl-\ that reached a running tool
#include <cstdio>

#include "cli/doctor.h"
#include "cli/options.h"
#include "cli/shell.h"
#include "cli/unattended.h"
#include "core/exit_status.h"
#include "flash/receipt.h"
#include "host/adb_server.h"
#include "host/answers.h"
#include "host/console.h"
#include "host/events.h"
#include "host/host.h"
#include "host/session_log.h"
#include "host/signals.h"
#include "host/standard_fds.h"
#include "release/resource_server.h"
#include "setup/setup.h"

namespace {

options::Options opts;

// A run with commands ends with its result line, also when it ends through
// console::exit_program (a question nobody answers, end of input, ...).
void on_exit_program(int status)
{
    adb_server::stop_if_started();
    if (!opts.commands.empty() && !options::runs_alone(opts.commands[0]))
        unattended::print_result_line(opts, status);
}

// Every return of main after the options goes through here, so the log
// records the status and a run with commands ends with its result line.
int finish(int status)
{
    on_exit_program(status);
    fflush(stdout);
    session_log::close(status);
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    // Before any file is opened: a closed standard descriptor would be
    // given to the first file the program opens.
    open_closed_standard_fds();
    // Before anything changes the terminal: its attributes now are what
    // every ending signal puts back.
    signals::install();
    // The line editor reads descriptor 0 itself: no answer bytes may wait
    // in a stdio buffer when the shell starts (a run driven by a pipe).
    setvbuf(stdin, nullptr, _IONBF, 0);

    switch (options::parse(argc, argv, opts)) {
    case options::Parsed::done:
        return 0;
    case options::Parsed::usage_error:
        return exit_status::usage;
    case options::Parsed::run:
        break;
    }
    console::use_colours(options::colours_wanted(opts.colour));
    host::set_dry_run(opts.dry_run);
    // download and flash with --json: standard output carries the events alone.
    if (opts.json && !opts.commands.empty() && !options::runs_alone(opts.commands[0]) &&
        !events::start())
        return exit_status::failed;
    // The doctor only reads: it runs before the run's log is opened.
    if (!opts.commands.empty() && opts.commands[0] == options::Command::doctor)
        return finish(doctor_run(opts.json, opts.target.empty() ? nullptr : opts.target.c_str()));
    // The receipts are read only, too.
    if (!opts.commands.empty() && opts.commands[0] == options::Command::receipt)
        return finish(receipt::show_last(opts.boards, opts.json));
    if (!opts.commands.empty() && opts.commands[0] == options::Command::verify_receipt)
        return finish(receipt::verify_file(opts.receipt_file, opts.target, opts.json));
    session_log::open(opts.log, argc, argv);

    if (!opts.commands.empty() && options::is_list(opts.commands[0]))
        return finish(unattended::run_list(opts, opts.commands[0]));

    answers::configure(opts);
    console::set_exit_hook(on_exit_program);
    const bool with_commands = answers::unattended();
    // In a run with commands, input that ends before the set-up is answered
    // is a missing answer.
    if (with_commands)
        console::set_end_of_input_status(exit_status::usage);

    // Each set-up step is recorded as the stage a run with commands stops
    // at, whichever way it ends there.
    if (with_commands) {
        unattended::stopped_at("options");
        unattended::check_command_line(opts);
    }
    print_version();
    // Before the sign-in sends the password anywhere.
    const std::string trust = resource::trust_notice();
    if (!trust.empty())
        printf("%s%s%s\n", console::yellow, trust.c_str(), console::reset);
    unattended::stopped_at("host");
    int status = prepare_host();
    if (status != 0)
        return finish(with_commands ? exit_status::host : status);
    unattended::stopped_at("sign-in");
    int signed_in = sign_in();
    if (signed_in != 0) {
        if (!with_commands)
            return finish(-1);
        return finish(signed_in == -1 ? exit_status::sign_in : exit_status::server);
    }
    unattended::stopped_at("target");
    if (set_target_path() != 0)
        return finish(with_commands ? exit_status::host : -1);
    // Every outcome of the product and release choice leads to the shell;
    // an empty release list ends the program inside the choice.
    unattended::stopped_at("release");
    int selected = select_product();
    if (with_commands) {
        if (selected != 0)
            return finish(exit_status::server);
        unattended::stopped_at(nullptr);
        return finish(unattended::run_commands(opts));
    }
    return finish(run_shell());
}
