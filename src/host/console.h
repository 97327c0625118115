// Talking to the user: questions, the two ways of reading an answer from
// standard input, and the set-up dialogue's answer helpers, which may end
// the program. The terminal's modes belong to host/terminal.h.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "host/host.h"
#include "host/terminal.h"

struct json_object;

namespace console {

// The colour escapes and their switch belong to the terminal's owner.
using terminal::green;
using terminal::red;
using terminal::reset;
using terminal::use_colours;
using terminal::yellow;

// Prints a question and makes it the one that a stop and continue prints
// again, until the next answer is read (read_word, read_line and the ask
// helpers below).
void ask(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

enum class Read {
    ok,       // the field holds the answer
    too_long, // the answer did not fit: it was read whole and refused; field empty
    eof,      // end of input (or a read error) before any answer; field empty
};

// Reads one word the way scanf("%s") does: blanks and line ends before it are
// skipped, the word ends at the next white-space character. With consume_end
// that character (normally the line end) is consumed too, as a getc after the
// scanf would. field holds size bytes, so a word of size - 1 characters fits.
Read read_word(char *field, size_t size, bool consume_end = true);

// Reads one line the way fgets does, line end kept, into size bytes. A longer
// line is read to its end and refused. A last line without a line end is ok.
Read read_line(char *field, size_t size);

// True when a typed answer holds a control byte (safe_text's rule) before
// its line end. Arrow and other special keys typed at a prompt send such
// bytes.
bool answer_has_control_bytes(std::string_view answer);

// On a terminal, drops the keys typed ahead, so that only what is typed after
// the question shows answers it. Prepared answers in a pipe stay as they are.
void discard_typed_ahead(void);

// The set-up dialogue's answers. Each flushes standard output first, so the
// question shows before the read. At end of input the dialogue cannot go on
// and asking again would never end: "<who>: <what> internal error" and the
// end-of-input line are printed and the program ends with status 1. An answer
// that does not fit, or that holds control bytes, is refused with a notice:
// the field is left empty and false returned.
bool ask_word_or_exit(char *field, size_t size, const char *who, const char *what,
                      bool consume_end = true);
bool ask_line_or_exit(char *field, size_t size, const char *who, const char *what);

enum class YesNo { yes, no, eof };

// A "[Y/n]" question: asks question, reads one line and judges it. Enter
// takes the capitalised answer, yes; y, yes, n and no count in any case,
// blanks around them allowed. Any other answer prints why it is refused and
// the question is asked again; eof at end of input.
YesNo ask_yes_no(const std::string &question);
// The same in the set-up dialogue: true for yes; at end of input the program
// ends as with ask_word_or_exit.
bool ask_yes_no_or_exit(const std::string &question, const char *who, const char *what);

// A status probe's reply with no verdict in it says so: cannot_start is
// printed as a line when the probe could not be started, no_line when it
// printed nothing, and false returned. True when there is a line to judge.
bool probe_answered(const host::Reply &reply, const std::string &cannot_start, const char *no_line);

// Prints doc (a json-c object, released here) as one JSON document on
// standard output: what --json asks for.
void print_json(json_object *doc);

// Refuses what the command line asked for: "ostrelle: <text>" on standard
// error, in the run's log, and the program ends with the usage status (2).
[[noreturn]] void refuse(const std::string &text);

// Ends the program with status after flushing standard output, running the
// exit hook first (main's: the result line of a run with commands), closing
// the run's log and giving the terminal back its start attributes.
[[noreturn]] void exit_program(int status);
void set_exit_hook(void (*hook)(int status));
// Says that the input has ended and ends the program with status 1, or the
// status set with set_end_of_input_status.
[[noreturn]] void exit_at_end_of_input(void);
void set_end_of_input_status(int status);

} // namespace console
