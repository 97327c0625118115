// The program's answer to signals and its hold on the terminal while tools
// run. Every tool runs in a process group of its own; while it runs it owns
// the terminal (when the program owns it), so the keys the user types reach
// the tool, and the program takes the terminal back afterwards.
//
// On SIGINT, SIGTERM, SIGHUP and SIGQUIT, in every phase, the running tool's
// group (and, while several boards are flashed at once, every board's child
// with its tools) is ended and waited for, the terminal gets back the
// attributes it had when the program started, and the program ends by the
// same signal. SIGTSTP
// puts those attributes back before the program stops; on continuing the
// program's own mode comes back, and a question waiting for its answer is
// asked again (host/terminal.h).
#pragma once

#include <sys/types.h>

namespace signals {

// Called once at the start, before anything changes the terminal: has the
// terminal's owner remember the attributes of standard input and installs
// the handlers.
void install(void);

// The host runner reports each tool it starts (pid is also its process
// group) and its end. tool_started hands the terminal to the tool when
// hand_terminal (owns_terminal, asked before the tool was started);
// tool_ended takes it back and returns whether it had been handed over.
void tool_started(pid_t pid, bool hand_terminal);
bool tool_ended(void);

// True when standard input is a terminal whose foreground group is this
// program's: a tool started now is handed the terminal.
bool owns_terminal(void);

// A tool that owned the terminal stopped (Ctrl-Z reached it): the program
// takes the terminal back, restores the start attributes and stops too; once
// continued it restores its own mode, hands the terminal back and continues
// the tool.
void stop_with_tool(pid_t pid);

// A tool that owned the terminal was ended by SIGINT or SIGQUIT: the key was
// meant for the whole program, which now ends as if the signal had reached it.
[[noreturn]] void end_by(int sig);

// While set, an interrupt first says that the board may be half-written and
// how to recover.
void set_board_writing(bool writing);

// Flashing several boards at once: each board's sequence runs in a child
// process that leads a process group of its own and runs its tools in
// groups of their own. An ending signal sends SIGTERM to every child, which
// ends its running tool and then itself; children still there after six
// seconds are killed. The boards whose children were writing are named as
// possibly half-written.
inline constexpr int max_board_children = 64;

// Records a board's child (pid, also its group) under label (cut to 63
// characters). Returns its slot, or -1 when all slots are taken. Call with
// the ending signals blocked, between the fork and their unblocking.
int board_child_started(pid_t pid, const char *label);
// Whether the child's sequence is writing the board's storage now.
void board_child_writing(int slot, bool writing);
// The child has ended and been waited for.
void board_child_ended(int slot);

// Called in a board's child right after the fork: the parent owns the
// terminal and the other children, and tells the user what was interrupted.
void become_board_child(void);

} // namespace signals
