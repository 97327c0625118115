// Terminal line editor on standard input: prompt, cursor movement, in-line
// editing, history with incremental search, and optional Tab completion. One
// editor per process; it runs inside the event loop's read callback.
#pragma once

typedef void (*edit_cmd_cb_t)(void *ctx, char *cmd);
typedef void (*edit_eof_cb_t)(void *ctx);
// Returns a heap array of heap strings ended by a null pointer, or null;
// the editor frees both with free().
typedef char **(*edit_completion_cb_t)(void *ctx, const char *cmd, int pos);
// Non-zero keeps the entry out of the history file.
typedef int (*edit_filter_cb_t)(void *ctx, const char *cmd);

// Who sets the terminal's mode for the editor. enter puts standard input
// into the editor's mode (ICANON and ECHO off, nothing else changed) and
// leave puts back what enter found; both get ctx. Without hooks (the
// default, or after a call with null hooks) the editor does both itself with
// tcgetattr and tcsetattr. Set before edit_init; kept until changed.
typedef void (*edit_terminal_cb_t)(void *ctx);
void edit_set_terminal_hooks(edit_terminal_cb_t enter, edit_terminal_cb_t leave, void *ctx);

// Takes the terminal into non-canonical, no-echo mode, registers descriptor 0
// with the event loop and prints the prompt ("<ps>> "). Always returns 0.
// cmd_cb and eof_cb must not be null; ps is kept, not copied.
int edit_init(edit_cmd_cb_t cmd_cb, edit_eof_cb_t eof_cb, edit_completion_cb_t completion_cb,
              void *ctx, const char *history_file, const char *ps);

// Writes the history file (when given), frees the history, blanks the prompt
// line, unregisters descriptor 0 and restores the terminal attributes.
void edit_deinit(const char *history_file, edit_filter_cb_t filter_cb);

// Reprints prompt and line, leaving the cursor at its place in the line.
void edit_redraw(void);

// Overwrites prompt and line with blanks (no flush).
void edit_clear_line(void);

// Internal: the read handler's work after its read(). Feeds one input byte
// (0..255) through the key decoder and the key bindings, or with
// EDIT_INPUT_END handles end of input (or a read error). For test drivers
// and fuzzers; the application never calls it.
#define EDIT_INPUT_END (-1)
void edit_process_input(int c);
