// The log of a run: one file per run in $XDG_STATE_HOME/ostrelle/logs/
// (~/.local/state/ostrelle/logs/ by default; the directory 0700, the file
// 0600, the 20 newest kept), or the file given with --log. It holds the start
// time and the arguments, every answer (never the password), every host
// command line with its exit status and duration, and each command's verdict.
// Without an open log every call does nothing.
#pragma once

#include <string>

namespace session_log {

// Opens the log: at path when it is not empty, else a new file in the log
// directory. False, after a line on standard error, when it cannot be
// opened; the run goes on without a log.
bool open(const std::string &path, int argc, char *argv[]);

// An answer to a set-up question and where it came from ("option",
// "terminal", "stored", ...).
void answer(const char *question, const std::string &value, const char *source);

// A command line the program ran, its exit status (-1 when it could not be
// started) and how long it took.
void command(const std::string &line, int status, double seconds);

// A command line a dry run did not run.
void dry(const std::string &line);

// A line a tool wrote that is kept from the screen (a probe's standard
// error, an unpack's listing): written under the line of the command that
// printed it, once that command has ended.
void output(const std::string &text);

// A line of the program's own (a verdict, a refusal, the end).
void note(const std::string &text);

// Records the exit status as the shell sees it (its low eight bits) and
// closes the log.
void close(int exit_status);

// The log directory for this user: $XDG_STATE_HOME/ostrelle/logs, or
// $HOME/.local/state/ostrelle/logs; empty when neither can be found.
std::string directory(void);

} // namespace session_log
