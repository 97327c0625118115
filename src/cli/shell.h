// The command shell: two constant command tables (one per platform), the
// line callback that splits a line into words and runs its command, and the
// shell phase that carries them on the event loop and the line editor.
#pragma once

// One row of a command table; a table ends with an all-null row.
struct sdk_cmd {
    const char *cmd;                        // the command word
    int (*handler)(int argc, char *argv[]); // gets the words after the command word
    const char *usage;                      // help text printed after the word
};

extern const sdk_cmd sdk_le_commands[]; // LE platform (platform != 1)
extern const sdk_cmd sdk_lu_commands[]; // LU platform (platform == 1)

// Splits cmd in place at blanks (' ' only) into at most 10 words; the tenth
// keeps the rest of the line. Returns the number of words.
int parse_cmd(char *cmd, char *argv[10]);
// Runs the row of the live table whose word is argv[0] (argc >= 1) and
// returns its result; an unknown word prints the help listing and gives 0.
int sdk_cmd_select(int argc, char *argv[]);

int sdk_help(int argc, char *argv[]); // lists the live table; 0
int sdk_quit(int argc, char *argv[]); // stops the event loop; 0

// Line editor callbacks: a completed non-empty line, and end of input.
void sdk_edit_cmd_cb(void *ctx, char *cmd);
void sdk_edit_eof_cb(void *ctx);

// The shell phase: runs until quit or end of input. 0, or -1 when the event
// loop cannot be set up.
int run_shell(void);
