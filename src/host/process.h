// Child processes: the one way this program starts, waits for and follows
// the processes it runs. A child is a record: what it runs (an argument
// list, a shell line, or a function of this program in a forked copy), how
// its standard streams are connected, and, once started, its pid and our
// ends of its pipes. Every child leads a process group of its own, so that
// ending it ends whatever it started too, and the signal handling knows it
// while it runs.
//
// An argument list reaches the program exactly as given: nothing is parsed
// by a shell, so a value from outside can never become a command. A shell
// line is for the command lines the program is meant to compose as text.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace host {

// How one standard stream of a child is connected.
enum class Io {
    inherit, // the program's own (the terminal)
    null,    // /dev/null
    pipe,    // a pipe whose other end is ours (in_fd, out_fd or err_fd)
    to_out,  // standard error only: wherever standard output goes
    log,     // standard error only, for capture: each line into the run's log
};

struct Child {
    // What runs; exactly one of the three is set. argv[0] is looked up on
    // PATH. body runs in a forked copy of this program and its return value
    // is the child's exit status; it gets the write end of the reports pipe
    // (-1 without reports).
    std::vector<std::string> argv;
    std::string shell;
    std::function<int(int reports_fd)> body;

    Io in = Io::inherit;
    Io out = Io::inherit;
    Io err = Io::inherit;
    // A pipe apart from the standard streams for body to tell us about its
    // progress (reports_fd is our end).
    bool reports = false;

    // One of several at once (run_several, or started with several set):
    // recorded under label with the signal handling's board children, never
    // handed the terminal, and ended by SIGTERM should this program die.
    // Otherwise the child is the one tool running now: it gets the terminal
    // while it runs when the program owns it, and a Ctrl-C or Ctrl-Z that
    // reaches it is the program's too.
    bool several = false;
    std::string label;

    // Filled by start and wait.
    pid_t pid = -1;
    int in_fd = -1;
    int out_fd = -1;
    int err_fd = -1;
    int reports_fd = -1;
    int slot = -1;   // in the signal handling's table of several children
    int signal = 0;  // the signal that ended it; 0 when it exited
    int status = -1; // exit status once waited for: 128 + n after signal n
};

// Starts the child. Standard output is flushed first so our messages keep
// their place before the child's. False when no process could be started
// (no pipe, no fork, or all slots of several children taken); an argument
// list whose program cannot be executed gives a child that exits with 127.
bool start(Child &child);

// Closes our ends of the child's pipes that are still open.
void close_pipes(Child &child);

// Waits for the child to end (closing nothing) and returns its exit status,
// also kept in child.status: 128 + n when signal n ended it, -1 when it could
// not be waited for.
int wait(Child &child);

// What run_several tells its caller while the children run.
class Watcher {
  public:
    enum class From { out, err, reports };
    virtual ~Watcher() = default;
    // Bytes child i wrote on one of its pipes.
    virtual void data(size_t i, From from, std::string_view bytes) = 0;
    // Child i has ended (status as wait gives it) and its pipes are read
    // to their end and closed.
    virtual void ended(size_t i, int status) = 0;
    // Called after every wake-up, at least every 200 milliseconds.
    virtual void tick() {}
};

// Starts every child not started yet (as one of several) and follows all of
// them until each has ended, reading their pipes as they write. A child that
// cannot be started is reported ended with status -1. Returns how many
// children did not end with status 0.
size_t run_several(std::vector<Child> &children, Watcher &watcher);

// The child's whole standard output (standard error stays the program's, or
// with Io::log goes line by line into the run's log), up to max_bytes of it; the rest is read and
// dropped. out gets it; the result is the exit status, -1 when it could not be started.
int capture(Child child, std::string &out, size_t max_bytes);

// True in a forked copy of this program that runs a body: its parent reads
// its output as it comes and makes its own lines of the tools' progress, so
// the tools' output reaches it unchanged.
bool in_body_child(void);

// An argument list shown as one line, each word quoted as quote() does.
std::string show(const std::vector<std::string> &argv);

} // namespace host
