// Running shell commands: the real runner and the composition helpers.
#include "host/host.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "host/session_log.h"
#include "host/signals.h"

namespace host {

namespace {

// How a child's standard input and output are connected.
enum class Pipe {
    none,  // both the program's own (the terminal)
    read,  // its output comes to us through a pipe
    write, // its input is a pipe that we close at once
};

struct Child {
    pid_t pid = -1;
    int fd = -1; // our end of the pipe, if any
};

// Starts "/bin/sh -c cmd" in a process group of its own, as system and popen
// would start it, and reports it to the signal handling so that it ends with
// the program. pid -1 when it could not be started.
Child spawn(const std::string &cmd, Pipe pipe_kind)
{
    fflush(stdout);
    int fds[2] = {-1, -1};
    if (pipe_kind != Pipe::none && pipe2(fds, O_CLOEXEC) != 0)
        return {};
    // No handler may run between the fork and the recording of the group.
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    const bool hand_terminal = signals::owns_terminal();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        // The tool takes the terminal itself too (as the parent does for
        // it), so that it never reads or sets it from the background before
        // the parent has handed it over; SIGTTOU is still blocked here.
        if (hand_terminal)
            tcsetpgrp(STDIN_FILENO, getpid());
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE})
            signal(sig, SIG_DFL);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        if (pipe_kind == Pipe::read)
            dup2(fds[1], STDOUT_FILENO);
        else if (pipe_kind == Pipe::write)
            dup2(fds[0], STDIN_FILENO);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    Child child;
    if (pid > 0) {
        // Both sides set the group, so it exists whichever runs first.
        setpgid(pid, pid);
        signals::tool_started(pid, hand_terminal);
        child.pid = pid;
        if (pipe_kind == Pipe::read)
            child.fd = fds[0];
        else if (pipe_kind == Pipe::write)
            child.fd = fds[1];
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    for (int fd : fds) {
        if (fd >= 0 && fd != child.fd)
            close(fd);
    }
    return child;
}

// Waits for the child to end and returns its wait status (-1 when it cannot
// be waited for). A tool stopped by Ctrl-Z stops the program with it; a tool
// that owned the terminal and was ended by Ctrl-C or Ctrl-\ ends the program.
int wait_for(pid_t pid)
{
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WUNTRACED);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            signals::tool_ended();
            return -1;
        }
        if (WIFSTOPPED(status)) {
            signals::stop_with_tool(pid);
            continue;
        }
        break;
    }
    bool had_terminal = signals::tool_ended();
    if (had_terminal && WIFSIGNALED(status) &&
        (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT))
        signals::end_by(WTERMSIG(status));
    return status;
}

class RealRunner : public Runner {
  public:
    int system(const std::string &cmd) override
    {
        Child child = spawn(cmd, Pipe::none);
        if (child.pid < 0)
            return -1;
        return wait_for(child.pid);
    }

    Reply read(const std::string &cmd, size_t line_buffer) override
    {
        Reply reply;
        Child child = spawn(cmd, Pipe::read);
        if (child.pid < 0)
            return reply;
        reply.outcome = Outcome::no_line;
        FILE *out = fdopen(child.fd, "r");
        if (out && line_buffer > 1) {
            std::string buf(line_buffer, '\0');
            if (fgets(buf.data(), static_cast<int>(line_buffer), out)) {
                buf.resize(std::char_traits<char>::length(buf.c_str()));
                reply.outcome = Outcome::line;
                reply.line = std::move(buf);
            }
        }
        // Closed unread, as pclose would: the command then ends or is ended
        // by SIGPIPE, and is waited for.
        if (out)
            fclose(out);
        else
            close(child.fd);
        reply.status = exit_status(wait_for(child.pid));
        return reply;
    }

    Reply read_all(const std::string &cmd, size_t max_bytes) override
    {
        Reply reply;
        Child child = spawn(cmd, Pipe::read);
        if (child.pid < 0)
            return reply;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(child.fd, buf, sizeof(buf))) != 0) {
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            size_t room = max_bytes - std::min(max_bytes, reply.line.size());
            reply.line.append(buf, std::min(static_cast<size_t>(n), room));
        }
        close(child.fd);
        reply.outcome = reply.line.empty() ? Outcome::no_line : Outcome::line;
        reply.status = exit_status(wait_for(child.pid));
        return reply;
    }

    int write(const std::string &cmd) override
    {
        Child child = spawn(cmd, Pipe::write);
        if (child.pid < 0)
            return -1;
        close(child.fd);
        // A failed wait counts as a failure of the command, never as success.
        int status = exit_status(wait_for(child.pid));
        return status < 0 ? 255 : status;
    }
};

RealRunner real_runner;
Runner *current = &real_runner;

// A line must fit its buffer with the terminating NUL.
bool fits(const std::string &cmd, size_t buffer)
{
    return cmd.size() < buffer;
}

} // namespace

int exit_status(int wait_status)
{
    if (wait_status < 0)
        return -1;
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return -1;
}

void set_runner(Runner *runner)
{
    current = runner ? runner : &real_runner;
}

namespace {

// True during a dry run.
bool dry = false;

struct timespec started(void)
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// Writes a command line, its exit status and how long it took to the log.
void log_command(const std::string &cmd, int status, const struct timespec &start)
{
    struct timespec now = started();
    session_log::command(cmd, status,
                         static_cast<double>(now.tv_sec - start.tv_sec) +
                             static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9);
}

// Prints a line that a dry run does not run; true when that is the case.
bool skipped(const std::string &cmd, Effect effect)
{
    if (!dry || effect != Effect::changes)
        return false;
    printf("would run: %s\n", cmd.c_str());
    session_log::dry(cmd);
    return true;
}

Reply dry_reply(void)
{
    Reply reply;
    reply.outcome = Outcome::line;
    reply.line = "0\n";
    reply.status = 0;
    return reply;
}

} // namespace

void set_dry_run(bool on)
{
    dry = on;
}

bool dry_run(void)
{
    return dry;
}

int run(const std::string &cmd, size_t buffer, Effect effect)
{
    if (!fits(cmd, buffer))
        return -1;
    if (skipped(cmd, effect))
        return 0;
    struct timespec start = started();
    int result = current->system(cmd);
    log_command(cmd, exit_status(result), start);
    return result;
}

bool run_wait(const std::string &cmd, size_t buffer, Effect effect)
{
    return run_wait_status(cmd, buffer, effect) >= 0;
}

int run_wait_status(const std::string &cmd, size_t buffer, Effect effect)
{
    if (!fits(cmd, buffer))
        return -1;
    if (skipped(cmd, effect))
        return 0;
    struct timespec start = started();
    Reply reply = current->read(cmd, 0);
    log_command(cmd, reply.status, start);
    return reply.status;
}

Reply first_line(const std::string &cmd, size_t line_buffer, size_t buffer, Effect effect)
{
    if (!fits(cmd, buffer))
        return Reply{};
    if (skipped(cmd, effect))
        return dry_reply();
    struct timespec start = started();
    Reply reply = current->read(cmd, line_buffer);
    log_command(cmd, reply.status, start);
    return reply;
}

Reply output(const std::string &cmd, size_t max_bytes, size_t buffer, Effect effect)
{
    if (!fits(cmd, buffer))
        return Reply{};
    if (skipped(cmd, effect))
        return Reply{Outcome::no_line, {}, 0};
    struct timespec start = started();
    Reply reply = current->read_all(cmd, max_bytes);
    log_command(cmd, reply.status, start);
    return reply;
}

Reply probe(const std::string &cmd, size_t buffer, Effect effect)
{
    return first_line(cmd + "; echo $?", 512, buffer, effect);
}

bool pass_through(const std::string &cmd, size_t buffer, Effect effect)
{
    return pass_through_status(cmd, buffer, effect) >= 0;
}

int pass_through_status(const std::string &cmd, size_t buffer, Effect effect)
{
    if (!fits(cmd, buffer))
        return -1;
    if (skipped(cmd, effect))
        return 0;
    struct timespec start = started();
    int status = current->write(cmd);
    log_command(cmd, status, start);
    return status;
}

std::string format(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int len = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (len > 0) {
        out.resize(static_cast<size_t>(len) + 1);
        vsnprintf(out.data(), out.size(), fmt, ap2);
        out.resize(static_cast<size_t>(len));
    }
    va_end(ap2);
    return out;
}

std::string quote(std::string_view value)
{
    auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '@' || c == '%' || c == '+' || c == '=' || c == ':' || c == ',' ||
               c == '.' || c == '/' || c == '-';
    };
    bool all_plain = !value.empty();
    for (char c : value) {
        if (!plain(c)) {
            all_plain = false;
            break;
        }
    }
    if (all_plain)
        return std::string(value);
    std::string out = "'";
    for (char c : value) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

} // namespace host
