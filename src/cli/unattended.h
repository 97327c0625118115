// Runs with commands: the list commands, which print what the resource
// server offers and exit, and the work commands (download, flash,
// toolchain), run in order after the set-up with exit statuses that say how
// the run went (app/exit_status.h).
#pragma once

#include "cli/options.h"

namespace unattended {

// Prints the list the command asks for (as JSON with --json) and returns the
// exit status: no host preparation, no sign-in.
int run_list(const options::Options &opts, options::Command command);

// Checks the whole command line of a run with commands before anything
// runs: product and platform against the catalog, the toolchain command
// against the platform, and, when no question may be asked on the
// terminal, every answer the set-up needs. Names every problem in one
// line and ends the run with status 2; returns when there is none.
void check_command_line(const options::Options &opts);

// Runs the work commands in order after the set-up; the first failure stops
// the rest. Returns the exit status.
int run_commands(const options::Options &opts);

// Records the set-up step a run with commands is in ("options", "host",
// "sign-in", "target", "release"), named by the result line should the run stop there;
// nullptr once the commands run.
void stopped_at(const char *stage);

// Prints the last line of a run with commands, for machines: "ostrelle-result: "
// and one JSON object {"status": N, "stopped_at": ..., "commands": [{"command":
// "download", "result": "pass" | "fail" | "not run"}, ...]}.
void print_result_line(const options::Options &opts, int status);

} // namespace unattended
