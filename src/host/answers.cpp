// The answer source of the set-up dialogue.
#include "host/answers.h"

#include <cstdio>
#include <unistd.h>

#include "core/exit_status.h"
#include "host/console.h"
#include "host/session_log.h"

namespace answers {

namespace {

// The command line's answers; empty strings stand for none given.
options::Options given_answers;
bool has_commands = false;

const std::string *value(const std::string &answer)
{
    return answer.empty() ? nullptr : &answer;
}

} // namespace

void configure(const options::Options &opts)
{
    given_answers = opts;
    has_commands = !opts.commands.empty();
}

bool unattended(void)
{
    return has_commands;
}

const std::string *given(Question question)
{
    switch (question) {
    case Question::target:
        return value(given_answers.target);
    case Question::product:
        return value(given_answers.product);
    case Question::platform:
        return value(given_answers.platform);
    case Question::release:
        return value(given_answers.release);
    case Question::email:
        return value(given_answers.email);
    case Question::password:
        return value(given_answers.password_file);
    case Question::confirm:
        return nullptr;
    }
    return nullptr;
}

bool assume_yes(void)
{
    return given_answers.yes;
}

const std::string *package_source(void)
{
    return value(given_answers.package);
}

const std::string *package_sha256(void)
{
    return value(given_answers.package_sha256);
}

int lock_timeout(void)
{
    return given_answers.lock_timeout;
}

int retries(void)
{
    return given_answers.retries;
}

int board_timeout(void)
{
    return given_answers.board_timeout;
}

bool skip_boot_wait(void)
{
    return given_answers.no_boot_wait;
}

bool changed_only(void)
{
    return given_answers.changed_only;
}

const char *option_for(Question question)
{
    switch (question) {
    case Question::target:
        return "--target DIR";
    case Question::product:
        return "--product NAME";
    case Question::platform:
        return "--platform NAME";
    case Question::release:
        return "--release NAME";
    case Question::email:
        return "--email ADDRESS";
    case Question::password:
        return "--password-file FILE";
    case Question::confirm:
        return "--yes";
    }
    return "";
}

bool terminal_answers(void)
{
    return !has_commands || (!given_answers.no_input && isatty(STDIN_FILENO));
}

void can_ask_or_exit(Question question)
{
    if (terminal_answers())
        return;
    console::refuse(std::string(given_answers.no_input ? "--no-input was given"
                                                       : "standard input is not a terminal") +
                    " and nothing answers this question: give " + option_for(question));
}

} // namespace answers
