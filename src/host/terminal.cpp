// The terminal's start attributes, its modes, and the stop and continue of
// the program. Only async-signal-safe calls run in the functions that the
// signal handlers call.
#include "host/terminal.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "utils/file.h"

namespace terminal {

const char *red = "\033[31m";
const char *green = "\033[32m";
const char *yellow = "\033[33m";
const char *reset = "\033[0m";

void use_colours(bool on)
{
    red = on ? "\033[31m" : "";
    green = on ? "\033[32m" : "";
    yellow = on ? "\033[33m" : "";
    reset = on ? "\033[0m" : "";
}

namespace {

// The attributes of standard input when the program started; valid while
// have_start_attrs is 1.
struct termios start_attrs;
volatile sig_atomic_t have_start_attrs = 0;

// The mode in force when the program was stopped, put back on continue;
// valid while have_stop_mode is 1. Only the stop handler touches these, and
// one stop runs at a time.
struct termios stop_mode;
volatile sig_atomic_t have_stop_mode = 0;

// The question waiting for an answer: question_len bytes of question_text,
// none when 0. Written only with SIGTSTP blocked, so the stop handler never
// sees it half-written.
char question_text[512];
volatile sig_atomic_t question_len = 0;

// Stops the program has come back from.
volatile sig_atomic_t stop_count = 0;

// The editor's mode while the line editor runs.
ModeGuard *editor_mode = nullptr;

void set_attrs(const struct termios &attrs)
{
    sigset_t old;
    block_ttou(&old);
    tcsetattr(STDIN_FILENO, TCSANOW, &attrs);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// Runs with SIGTSTP blocked, so that the stop handler sees the question
// either before or after the change.
class TstpBlocked {
  public:
    TstpBlocked()
    {
        sigset_t tstp;
        sigemptyset(&tstp);
        sigaddset(&tstp, SIGTSTP);
        sigprocmask(SIG_BLOCK, &tstp, &old_);
    }
    ~TstpBlocked() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    TstpBlocked(const TstpBlocked &) = delete;
    TstpBlocked &operator=(const TstpBlocked &) = delete;

  private:
    sigset_t old_;
};

} // namespace

void save_start(void)
{
    if (tcgetattr(STDIN_FILENO, &start_attrs) == 0)
        have_start_attrs = 1;
}

bool have_start(void)
{
    return have_start_attrs != 0;
}

void restore_start(void)
{
    if (have_start_attrs)
        set_attrs(start_attrs);
}

void forget_start(void)
{
    have_start_attrs = 0;
}

ModeGuard::ModeGuard(Mode mode)
{
    if (tcgetattr(STDIN_FILENO, &saved_) != 0)
        return;
    active_ = true;
    struct termios attrs = saved_;
    switch (mode) {
    case Mode::prompt:
        attrs.c_lflag |= ICANON | ECHO;
        break;
    case Mode::hidden:
        attrs.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        attrs.c_cc[VMIN] = 1;
        attrs.c_cc[VTIME] = 0;
        break;
    case Mode::editor:
        attrs.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        break;
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &attrs);
}

ModeGuard::~ModeGuard()
{
    restore();
}

void ModeGuard::restore()
{
    if (!active_)
        return;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    active_ = false;
}

void enter_editor_mode(void *)
{
    delete editor_mode;
    editor_mode = new ModeGuard(Mode::editor);
}

void leave_editor_mode(void *)
{
    delete editor_mode;
    editor_mode = nullptr;
}

void set_question(const char *text)
{
    TstpBlocked blocked;
    size_t len = strnlen(text, sizeof(question_text) - 1);
    question_len = 0;
    memcpy(question_text, text, len);
    question_len = static_cast<sig_atomic_t>(len);
}

void clear_question(void)
{
    TstpBlocked blocked;
    question_len = 0;
}

void before_stop(void)
{
    have_stop_mode = have_start_attrs && tcgetattr(STDIN_FILENO, &stop_mode) == 0;
    restore_start();
}

void after_continue(void)
{
    stop_count = stop_count + 1;
    if (!have_stop_mode)
        return;
    set_attrs(stop_mode);
    have_stop_mode = 0;
    // Continued in the background the program says nothing now: the
    // question stays as it was until the answer is read.
    if (question_len == 0 || !in_foreground())
        return;
    tcflush(STDIN_FILENO, TCIFLUSH);
    static const char notice[] =
        "\nContinued after a stop: what was typed of this answer was dropped, type it again\n";
    write_out(notice, sizeof(notice) - 1);
    write_out(question_text, static_cast<size_t>(question_len));
}

unsigned long stops(void)
{
    return static_cast<unsigned long>(stop_count);
}

bool in_foreground(void)
{
    pid_t fg = tcgetpgrp(STDIN_FILENO);
    return fg >= 0 && fg == getpgrp();
}

void block_ttou(sigset_t *old)
{
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, old);
}

void write_out(const char *text, size_t len)
{
    write_all(STDOUT_FILENO, text, len);
}

void write_out(const char *text)
{
    write_out(text, strlen(text));
}

} // namespace terminal
