// Signal handlers, the terminal's start attributes and the running tool's
// process group. Only async-signal-safe calls run inside the handlers.
#include "host/signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/terminal.h"

namespace signals {

namespace {

// The running tool's process id, which is also its process group; 0 when no
// tool runs.
volatile sig_atomic_t tool_pid = 0;
// 1 while the running tool owns the terminal.
volatile sig_atomic_t tool_has_terminal = 0;
// 1 while a flashing sequence writes the board's storage.
volatile sig_atomic_t board_writing = 0;

const int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The children of a parallel flash, one per board. pid 0 marks a free slot;
// the label is written before the pid is set, so a handler that sees the pid
// also sees the label.
struct BoardChild {
    volatile sig_atomic_t pid;
    volatile sig_atomic_t writing;
    char label[64];
};
BoardChild board_children[max_board_children];
// 1 in a board's child of a parallel flash.
volatile sig_atomic_t in_board_child = 0;

// Standard input is a terminal and this program's group is its foreground
// group: then a tool may be given the terminal.
bool own_terminal(void)
{
    return terminal::have_start() && terminal::in_foreground();
}

void take_terminal_back(void)
{
    if (!tool_has_terminal)
        return;
    sigset_t old;
    terminal::block_ttou(&old);
    tcsetpgrp(STDIN_FILENO, getpgrp());
    sigprocmask(SIG_SETMASK, &old, nullptr);
    tool_has_terminal = 0;
}

// Gives sig its default action and raises it with sig unblocked: the
// program ends or stops as it would without a handler. Should it come back
// (continued after a stop), the mask it found is in force again.
void raise_default(int sig)
{
    signal(sig, SIG_DFL);
    sigset_t just, old;
    sigemptyset(&just);
    sigaddset(&just, sig);
    sigprocmask(SIG_UNBLOCK, &just, &old);
    raise(sig);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void on_stop(int);

// Stops (SIGTSTP) go to on_stop.
void catch_stops(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTSTP, &sa, nullptr);
}

// Sleeps for a hundredth of a second.
void tick(void)
{
    struct timespec hundredth = {0, 10 * 1000 * 1000};
    nanosleep(&hundredth, nullptr);
}

// Ends the running tool's group: SIGTERM (and SIGCONT, should it be
// stopped), up to three seconds for the tool to end, then SIGKILL for
// whatever of the group is left, and the tool is waited for.
void end_tool(void)
{
    pid_t pid = tool_pid;
    if (pid <= 0)
        return;
    kill(-pid, SIGTERM);
    kill(-pid, SIGCONT);
    bool ended = false;
    for (int i = 0; i < 300 && !ended; i++) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            ended = true;
        } else {
            tick();
        }
    }
    kill(-pid, SIGKILL);
    if (!ended) {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    // The rest of the group (a tool's own children) goes with SIGKILL; give
    // the kernel a moment to tear it down before the program is gone.
    for (int i = 0; i < 100 && kill(-pid, 0) == 0; i++)
        tick();
    tool_pid = 0;
}

// Ends every board's child: SIGTERM (and SIGCONT) to each group, so that each
// child ends its running tool (which takes it up to about four seconds) and
// then itself; up to six seconds for all of them, then SIGKILL for the rest.
// Returns whether any board was being written.
bool end_board_children(void)
{
    bool any = false;
    bool writing = false;
    for (BoardChild &child : board_children) {
        pid_t pid = child.pid;
        if (pid <= 0)
            continue;
        any = true;
        writing = writing || child.writing;
        kill(-pid, SIGTERM);
        kill(-pid, SIGCONT);
    }
    if (!any)
        return false;
    bool reaped[max_board_children] = {};
    for (int round = 0; round < 600; round++) {
        bool left = false;
        for (int i = 0; i < max_board_children; i++) {
            pid_t pid = board_children[i].pid;
            if (pid <= 0 || reaped[i])
                continue;
            int status;
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid || (r < 0 && errno == ECHILD))
                reaped[i] = true;
            else
                left = true;
        }
        if (!left)
            break;
        tick();
    }
    for (int i = 0; i < max_board_children; i++) {
        pid_t pid = board_children[i].pid;
        if (pid <= 0)
            continue;
        kill(-pid, SIGKILL);
        if (!reaped[i]) {
            int status;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    return writing;
}

void report_half_written_boards(void)
{
    terminal::write_out("\n");
    terminal::write_out(terminal::red);
    terminal::write_out(
        "Interrupted while these boards were being written; they may be half-written:\n");
    for (const BoardChild &child : board_children) {
        if (child.pid > 0 && child.writing) {
            terminal::write_out("  ");
            terminal::write_out(child.label);
            terminal::write_out("\n");
        }
    }
    terminal::write_out("Put them back into download mode and flash them again.");
    terminal::write_out(terminal::reset);
    terminal::write_out("\n");
}

[[noreturn]] void end_program_by(int sig)
{
    end_tool();
    const bool boards_writing = end_board_children();
    take_terminal_back();
    terminal::restore_start();
    // A board's child leaves the telling to the parent, which reads its
    // output no more.
    if (boards_writing)
        report_half_written_boards();
    if (board_writing && !in_board_child) {
        terminal::write_out("\n");
        terminal::write_out(terminal::red);
        terminal::write_out(
            "Interrupted while the board was being written: it may be half-written.\n"
            "Put the board back into download mode and run command \"2\" again.");
        terminal::write_out(terminal::reset);
        terminal::write_out("\n");
    }
    raise_default(sig);
    // A signal whose default action does not end the process (none of the
    // four) would land here.
    _exit(128 + sig);
}

void on_ending_signal(int sig)
{
    end_program_by(sig);
}

void on_stop(int)
{
    int saved_errno = errno;
    terminal::before_stop();

    raise_default(SIGTSTP);
    // Continued.
    catch_stops();
    terminal::after_continue();
    errno = saved_errno;
}

} // namespace

void install(void)
{
    terminal::save_start();

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_ending_signal;
    sigemptyset(&sa.sa_mask);
    // One ending at a time: the others wait until the program is gone.
    for (int sig : ending_signals)
        sigaddset(&sa.sa_mask, sig);
    sigaddset(&sa.sa_mask, SIGTSTP);
    for (int sig : ending_signals)
        sigaction(sig, &sa, nullptr);

    catch_stops();
}

bool owns_terminal(void)
{
    return own_terminal();
}

void tool_started(pid_t pid, bool hand_terminal)
{
    tool_pid = pid;
    if (!hand_terminal)
        return;
    // The tool may have taken the terminal already; either way it is the
    // tool's now, and the program takes it back when the tool has ended.
    sigset_t old;
    terminal::block_ttou(&old);
    tcsetpgrp(STDIN_FILENO, pid);
    tool_has_terminal = 1;
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

bool tool_ended(void)
{
    bool had = tool_has_terminal;
    take_terminal_back();
    tool_pid = 0;
    return had;
}

void stop_with_tool(pid_t pid)
{
    take_terminal_back();
    raise(SIGTSTP);
    // Continued: the tool gets the terminal back and goes on.
    if (own_terminal()) {
        sigset_t old;
        terminal::block_ttou(&old);
        if (tcsetpgrp(STDIN_FILENO, pid) == 0)
            tool_has_terminal = 1;
        sigprocmask(SIG_SETMASK, &old, nullptr);
    }
    kill(-pid, SIGCONT);
}

void end_by(int sig)
{
    sigset_t block;
    sigemptyset(&block);
    for (int s : ending_signals)
        sigaddset(&block, s);
    sigprocmask(SIG_BLOCK, &block, nullptr);
    end_program_by(sig);
}

void set_board_writing(bool writing)
{
    board_writing = writing ? 1 : 0;
}

int board_child_started(pid_t pid, const char *label)
{
    for (int i = 0; i < max_board_children; i++) {
        BoardChild &child = board_children[i];
        if (child.pid != 0)
            continue;
        size_t len = strnlen(label, sizeof(child.label) - 1);
        memcpy(child.label, label, len);
        child.label[len] = '\0';
        child.writing = 0;
        child.pid = pid;
        return i;
    }
    return -1;
}

void board_child_writing(int slot, bool writing)
{
    if (slot >= 0 && slot < max_board_children)
        board_children[slot].writing = writing ? 1 : 0;
}

void board_child_ended(int slot)
{
    if (slot >= 0 && slot < max_board_children) {
        board_children[slot].writing = 0;
        board_children[slot].pid = 0;
    }
}

void become_board_child(void)
{
    for (BoardChild &child : board_children) {
        child.pid = 0;
        child.writing = 0;
    }
    in_board_child = 1;
    // The terminal is the parent's: the child never hands it to a tool nor
    // puts attributes back.
    terminal::forget_start();
    tool_has_terminal = 0;
}

} // namespace signals
