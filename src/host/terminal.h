// The one owner of the terminal on standard input: the attributes it had
// when the program started, every mode the program puts it in (an answer
// read as an echoed line, a hidden answer, the line editor's keys), and
// their restoring at exit, on a stop and on an ending signal; also the
// colour escapes written to it. The functions marked async-signal-safe are
// the ones the signal handlers call.
#pragma once

#include <csignal>
#include <cstddef>
#include <termios.h>

namespace terminal {

// Colour escapes; all empty strings once colours are turned off.
extern const char *red;    // failures, "\033[31m"
extern const char *green;  // success, "\033[32m"
extern const char *yellow; // banners, choices, notices, "\033[33m"
extern const char *reset;  // "\033[0m"

// Turns the colour escapes on (the default) or off.
void use_colours(bool on);

// -- the start attributes -----------------------------------------------------

// Remembers the attributes of standard input; called once at the start,
// before anything changes them. Nothing is remembered when standard input is
// not a terminal, and everything below is then harmless and does nothing.
void save_start(void);
// True when the start attributes are remembered. Async-signal-safe.
bool have_start(void);
// Puts the start attributes back, also from a background process group.
// Async-signal-safe; harmless twice.
void restore_start(void);
// In a board's child of a parallel flash: the terminal is the parent's, so
// this process never sets it again.
void forget_start(void);

// -- modes ----------------------------------------------------------------------

enum class Mode {
    prompt, // canonical input and echo on: an answer typed as an ordinary line
    hidden, // canonical input and echo off, one byte at a time: a password
    editor, // canonical input and echo off, nothing else changed: the line editor
};

// Puts standard input into mode until restore() or destruction, which put
// back the attributes found at construction. Signal keys keep working in
// every mode. Restoring twice is harmless.
class ModeGuard {
  public:
    explicit ModeGuard(Mode mode);
    ~ModeGuard();
    ModeGuard(const ModeGuard &) = delete;
    ModeGuard &operator=(const ModeGuard &) = delete;
    void restore();

  private:
    struct termios saved_ {};
    bool active_ = false;
};

// The line editor's mode, in the shape of the editor's terminal hooks
// (edit_set_terminal_hooks): enter takes the editor's mode and leave puts
// back what enter found. ctx is not used.
void enter_editor_mode(void *ctx);
void leave_editor_mode(void *ctx);

// -- questions --------------------------------------------------------------------

// Text is the question now waiting for an answer on the terminal (copied,
// cut to 511 bytes), until clear_question. A stop and continue prints it
// again.
void set_question(const char *text);
void clear_question(void);

// -- stop and continue ----------------------------------------------------------

// The two halves of a stop (SIGTSTP): before_stop remembers the mode in
// force and puts the start attributes back; after_continue puts that mode
// back. At a question, after_continue also drops what was typed of the
// answer (a stop key has the terminal drop it already; any other stop would
// leave it unseen in the line), says so and prints the question again.
// Both async-signal-safe.
void before_stop(void);
void after_continue(void);
// How many stops the program has come back from: a reader that holds part of
// an answer itself (the hidden password) starts it over when this changes.
unsigned long stops(void);

// -- what the signal handlers share -------------------------------------------

// Standard input is a terminal whose foreground group is this program's.
// Async-signal-safe.
bool in_foreground(void);
// Blocks SIGTTOU, keeping the mask before in old: tcsetpgrp and tcsetattr
// from a group that is not (or no longer) in the foreground would stop the
// program with it, and the change is wanted. Async-signal-safe.
void block_ttou(sigset_t *old);
// Writes len bytes of text to standard output, again after an interrupted
// write, until all are written or a write fails. Async-signal-safe.
void write_out(const char *text, size_t len);
// The same for a NUL-terminated text.
void write_out(const char *text);

} // namespace terminal
