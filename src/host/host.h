// The one place that runs commands. Every command line of the application
// goes through here, in one of the ways below, as do the argument lists of
// what the program runs for itself; the children themselves are started by
// host/process.h. Standard output is
// flushed before any child starts, so our messages and the tools' output keep
// their order; every pipe is closed on every path; a composed line that does
// not fit its command buffer is refused (reported as "could not start")
// rather than cut into a different command.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "host/process.h"

namespace host {

// Size of a command-line buffer: a line holds at most cmd_buffer - 1 characters.
inline constexpr size_t cmd_buffer = 512;

// What a command line does to the host. `changes`: it installs, downloads a
// package, unpacks, removes, moves, runs as root or touches a board. `reads`:
// a probe that only looks, the download of a list, the sign-in. Every line is
// written to the run's log with its exit status and duration; in a dry run a
// `changes` line is printed as "would run: <line>" instead, and answers as if
// it had succeeded (status 0, a probe's line "0\n"). `assumed`: a look at
// what the run itself has made by then (a script or an image the unpack or
// the repack brings); a dry run made none of it, so it neither runs nor
// shows the line and answers as `changes` does.
enum class Effect { changes, reads, assumed };

void set_dry_run(bool on);
bool dry_run(void);

enum class Outcome {
    cannot_start, // the pipe or shell could not be started (or the line was too long)
    no_line,      // the command ran but printed no line
    line,         // the first line is in Reply::line
};

struct Reply {
    Outcome outcome = Outcome::cannot_start;
    std::string line; // first output line as fgets stored it, line end kept
    // The command's exit status once it has ended (128 + n when signal n
    // ended it); -1 when it could not be started or waited for.
    int status = -1;

    bool started() const { return outcome != Outcome::cannot_start; }
    bool has_line() const { return outcome == Outcome::line; }
    // True when the first line is exactly text (for example "0\n").
    bool is(std::string_view text) const { return has_line() && line == text; }
};

// system(3): returns its result; below 0 when the shell could not be started.
int run(const std::string &cmd, size_t buffer = cmd_buffer, Effect effect = Effect::changes);

// The same for a tool that redraws its progress (fh_loader): on a terminal
// it writes there itself; when the program's standard output is anything
// else, the tool's output is made into lines (host/progress.h) on its way
// there, so that a pipe or a log gets no carriage-return fragments. In a
// board's child of a flash of several boards the parent makes the lines.
int run_progress(const std::string &cmd, size_t buffer = cmd_buffer,
                 Effect effect = Effect::changes);

// The shell line with its standard output into the run's log, line by line
// under the command line (standard error stays the program's): for a tool
// whose listing is for the record only. Its exit status, -1 when it could
// not be started.
int run_logged(const std::string &cmd, size_t buffer = cmd_buffer, Effect effect = Effect::changes);

// Whether the program's standard output is a terminal: where it is not (a
// pipe, a log file), tools' listings and redrawn progress are kept from it.
bool output_is_terminal(void);

// Pipe opened for reading and closed unread, which waits for the command.
// False when the pipe could not be opened.
bool run_wait(const std::string &cmd, size_t buffer = cmd_buffer, Effect effect = Effect::changes);
// The same, giving the command's exit status (-1 when it could not be started).
int run_wait_status(const std::string &cmd, size_t buffer = cmd_buffer,
                    Effect effect = Effect::changes);

// Pipe opened for reading; the first output line is read into a buffer of
// line_buffer bytes (so at most line_buffer - 1 characters), then closed.
Reply first_line(const std::string &cmd, size_t line_buffer, size_t buffer = cmd_buffer,
                 Effect effect = Effect::changes);

// Pipe opened for reading; the whole output, at most max_bytes of it (the
// rest is read and dropped), lands in reply.line, line ends kept. Outcome
// line when anything was printed, no_line when nothing was.
Reply output(const std::string &cmd, size_t max_bytes = 65536, size_t buffer = cmd_buffer,
             Effect effect = Effect::changes);

// The same for an argument list, run without a shell: every word reaches
// the program exactly as given. The run's log and a dry run show the list
// as one line, its words quoted as quote() does.
// err: where its standard error goes: by default into the run's log, so
// that a probe's complaints ("No such file or directory", a daemon's start
// notice) never reach the screen; or the terminal, /dev/null, or with the
// output read.
Reply output(const std::vector<std::string> &argv, size_t max_bytes = 65536,
             Effect effect = Effect::changes, Io err = Io::log);

// An argument list on the program's own terminal, waited for: its exit
// status (128 + n after signal n), -1 when it could not be started.
int run(const std::vector<std::string> &argv, Effect effect = Effect::changes);

// Status probe: cmd with "; echo $?" appended, first line read into 512 bytes.
// Compare with reply.is("0\n") (or "2\n" for an ls absence test).
Reply probe(const std::string &cmd, size_t buffer = cmd_buffer, Effect effect = Effect::changes);

// Pass-through: pipe opened for writing and closed at once, so the tool
// writes to the terminal itself; the close waits for it to end.
// False when the pipe could not be opened.
bool pass_through(const std::string &cmd, size_t buffer = cmd_buffer,
                  Effect effect = Effect::changes);

// The same for a tool whose verdict matters: -1 when the pipe could not be
// opened, else the command's exit status (128 + n when signal n ended it).
int pass_through_status(const std::string &cmd, size_t buffer = cmd_buffer,
                        Effect effect = Effect::changes);

// The exit status in a wait status (what run returns): 128 + n when signal n
// ended the command, -1 for a wait status below 0 or one that holds neither.
int exit_status(int wait_status);

// printf-style composition.
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Makes a value from outside the program safe on a command line: a value of
// letters, digits and _ @ % + = : , . / - stays exactly as it is; anything
// else is single-quoted (an embedded ' becomes '\''). The empty value is ''.
std::string quote(std::string_view value);

// The seam for unit tests: the real runner starts children through
// host/process.h as system and popen would start them; a test
// installs a fake that records command lines and returns scripted results.
class Runner {
  public:
    virtual ~Runner() = default;
    virtual int system(const std::string &cmd) = 0;
    // As system, for run_progress. A fake that does not override it
    // answers as system does.
    virtual int system_progress(const std::string &cmd) { return system(cmd); }
    // Whether the program's standard output is a terminal (output_is_terminal).
    // A fake that does not override it plays one.
    virtual bool output_is_terminal() { return true; }
    // Pipe for reading; with line_buffer > 0 one fgets into that many bytes;
    // then closed, and the command's exit status kept in the reply.
    virtual Reply read(const std::string &cmd, size_t line_buffer) = 0;
    // Pipe for reading, everything it prints (up to max_bytes) kept in the
    // reply. A fake that does not override it answers as read does.
    virtual Reply read_all(const std::string &cmd, size_t max_bytes)
    {
        return read(cmd, max_bytes);
    }
    // An argument list, no shell: everything it prints (up to max_bytes).
    virtual Reply read_argv(const std::vector<std::string> &argv, size_t max_bytes, Io err) = 0;
    // An argument list on the terminal: its exit status, -1 when not started.
    virtual int run_argv(const std::vector<std::string> &argv) = 0;
    // Pipe for writing, closed at once. -1 when it could not be opened,
    // else the command's exit status as pass_through_status gives it.
    virtual int write(const std::string &cmd) = 0;
};

// Installs runner (not owned); nullptr restores the real one.
void set_runner(Runner *runner);

} // namespace host
