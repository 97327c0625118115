// Where the set-up dialogue gets its answers. Every question asks for "the
// answer to X": the option's value when the command line gave one; else the
// terminal, as the dialogue always asked. A run with commands whose standard
// input is not a terminal never reads answers from a pipe that was not meant
// for them: a question that no option answers stops the run with one line
// naming the option (status 2). A run without commands is the interactive
// program: a pipe of prepared answers is read as it always was.
#pragma once

#include <string>

#include "core/run_options.h"

namespace answers {

enum class Question {
    target,   // the target directory (-t); also answers its confirmations
    product,  // -p
    platform, // --platform
    release,  // -r
    email,    // --email
    password, // --password-file
    confirm,  // a confirmation (-y)
};

// Takes the command line's answers; called once before the set-up.
void configure(const options::Options &opts);

// True when the run has commands (it ends after them).
bool unattended(void);

// The option's answer to question, or nullptr when none was given.
const std::string *given(Question question);

// True when confirmations go on without asking (-y).
bool assume_yes(void);

// The release package given with --package (a file or an http(s) URL), or
// nullptr.
const std::string *package_source(void);

// The digest --package-sha256 gave (lower case), or nullptr.
const std::string *package_sha256(void);

// --lock-timeout: seconds to wait for a board another run holds (0: none).
int lock_timeout(void);

// --retries: how many times a flash that lost its board, or whose tool
// failed, is run again (0: never).
int retries(void);

// --board-timeout: seconds to wait for a lost board to come back in
// download mode before the next attempt.
int board_timeout(void);

// True with --no-boot-wait.
bool skip_boot_wait(void);

// True with --changed-only: a full flash sends only the images changed since
// the board's last receipt.
bool changed_only(void);

// True when questions may be asked on standard input: always without
// commands; with commands only on a terminal and without --no-input.
bool terminal_answers(void);

// Called before a question is asked on standard input: when questions may
// not be asked (terminal_answers), prints which option answers it and ends
// the program with status 2.
void can_ask_or_exit(Question question);

// The option that answers question, as the usage text names it.
const char *option_for(Question question);

} // namespace answers
