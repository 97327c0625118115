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

#include "host/process.h"
#include "host/progress.h"
#include "host/session_log.h"

namespace host {

namespace {

// A shell line as a child record: /bin/sh -c cmd, as system and popen run it.
Child shell_child(const std::string &cmd)
{
    Child child;
    child.shell = cmd;
    return child;
}

// Waits for the child and gives the wait status system would give: the
// caller reads it through exit_status.
int wait_status_of(Child &child)
{
    wait(child);
    if (child.status < 0)
        return -1;
    return child.signal ? child.signal : child.status << 8;
}

class RealRunner : public Runner {
  public:
    int system(const std::string &cmd) override
    {
        Child child = shell_child(cmd);
        if (!start(child))
            return -1;
        return wait_status_of(child);
    }

    bool output_is_terminal() override { return isatty(STDOUT_FILENO); }

    int system_progress(const std::string &cmd) override
    {
        // A board's child of a flash of several boards: the parent reads
        // every percentage for its live line.
        if (output_is_terminal() || in_body_child())
            return system(cmd);
        Child child = shell_child(cmd);
        child.out = Io::pipe;
        if (!start(child))
            return -1;
        ProgressLines lines([](const std::string &line) {
            printf("%s\n", line.c_str());
            fflush(stdout);
        });
        char buf[4096];
        ssize_t n;
        while ((n = ::read(child.out_fd, buf, sizeof(buf))) != 0) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;
            lines.feed(std::string_view(buf, static_cast<size_t>(n)));
        }
        lines.finish();
        close_pipes(child);
        return wait_status_of(child);
    }

    Reply read(const std::string &cmd, size_t line_buffer) override
    {
        Reply reply;
        Child child = shell_child(cmd);
        child.out = Io::pipe;
        if (!start(child))
            return reply;
        reply.outcome = Outcome::no_line;
        FILE *out = fdopen(child.out_fd, "r");
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
        if (out) {
            fclose(out);
            child.out_fd = -1;
        }
        close_pipes(child);
        reply.status = wait(child);
        return reply;
    }

    Reply read_all(const std::string &cmd, size_t max_bytes) override
    {
        return read_child(shell_child(cmd), max_bytes);
    }

    Reply read_argv(const std::vector<std::string> &argv, size_t max_bytes, Io err) override
    {
        Child child;
        child.argv = argv;
        child.err = err;
        return read_child(child, max_bytes);
    }

    int run_argv(const std::vector<std::string> &argv) override
    {
        Child child;
        child.argv = argv;
        if (!start(child))
            return -1;
        return wait(child);
    }

  private:
    static Reply read_child(const Child &child, size_t max_bytes)
    {
        Reply reply;
        reply.status = capture(child, reply.line, max_bytes);
        if (reply.status < 0)
            return Reply{};
        reply.outcome = reply.line.empty() ? Outcome::no_line : Outcome::line;
        return reply;
    }

    int write(const std::string &cmd) override
    {
        Child child = shell_child(cmd);
        child.in = Io::pipe;
        if (!start(child))
            return -1;
        close_pipes(child);
        // A failed wait counts as a failure of the command, never as success.
        int status = wait(child);
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

// What run_logged keeps of a tool's output for the log; the rest is read
// and dropped.
constexpr size_t logged_bytes = 4 << 20;

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
    if (!dry || effect == Effect::reads)
        return false;
    if (effect == Effect::changes)
        printf("would run: %s\n", cmd.c_str());
    session_log::dry(cmd);
    return true;
}

// Runs cmd through body, which returns the result and sets the exit status
// to log, unless it is longer than buffer (not_run) or a dry run leaves it
// out (dry); the log gets its status and how long it took.
template <typename Result, typename Body>
Result logged(const std::string &cmd, size_t buffer, Effect effect, Result not_run, Result dry,
              Body body)
{
    if (!fits(cmd, buffer))
        return not_run;
    if (skipped(cmd, effect))
        return dry;
    struct timespec start = started();
    int status = 0;
    Result result = body(status);
    log_command(cmd, status, start);
    return result;
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
    return logged(cmd, buffer, effect, -1, 0, [&](int &status) {
        int result = current->system(cmd);
        status = exit_status(result);
        return result;
    });
}

int run_progress(const std::string &cmd, size_t buffer, Effect effect)
{
    return logged(cmd, buffer, effect, -1, 0, [&](int &status) {
        int result = current->system_progress(cmd);
        status = exit_status(result);
        return result;
    });
}

int run_logged(const std::string &cmd, size_t buffer, Effect effect)
{
    return logged(cmd, buffer, effect, -1, 0, [&](int &status) {
        Reply reply = current->read_all(cmd, logged_bytes);
        std::string_view text = reply.line;
        while (!text.empty()) {
            size_t end = text.find('\n');
            session_log::output(std::string(text.substr(0, end)));
            text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        }
        status = reply.status;
        return reply.status;
    });
}

bool output_is_terminal(void)
{
    return current->output_is_terminal();
}

bool run_wait(const std::string &cmd, size_t buffer, Effect effect)
{
    return run_wait_status(cmd, buffer, effect) >= 0;
}

int run_wait_status(const std::string &cmd, size_t buffer, Effect effect)
{
    return logged(cmd, buffer, effect, -1, 0, [&](int &status) {
        status = current->read(cmd, 0).status;
        return status;
    });
}

Reply first_line(const std::string &cmd, size_t line_buffer, size_t buffer, Effect effect)
{
    return logged(cmd, buffer, effect, Reply{}, dry_reply(), [&](int &status) {
        Reply reply = current->read(cmd, line_buffer);
        status = reply.status;
        return reply;
    });
}

Reply output(const std::string &cmd, size_t max_bytes, size_t buffer, Effect effect)
{
    return logged(cmd, buffer, effect, Reply{}, Reply{Outcome::no_line, {}, 0}, [&](int &status) {
        Reply reply = current->read_all(cmd, max_bytes);
        status = reply.status;
        return reply;
    });
}

Reply output(const std::vector<std::string> &argv, size_t max_bytes, Effect effect, Io err)
{
    const std::string shown = show(argv);
    if (argv.empty())
        return Reply{};
    if (skipped(shown, effect))
        return Reply{Outcome::no_line, {}, 0};
    struct timespec start = started();
    Reply reply = current->read_argv(argv, max_bytes, err);
    log_command(shown, reply.status, start);
    return reply;
}

int run(const std::vector<std::string> &argv, Effect effect)
{
    const std::string shown = show(argv);
    if (argv.empty())
        return -1;
    if (skipped(shown, effect))
        return 0;
    struct timespec start = started();
    int status = current->run_argv(argv);
    log_command(shown, status, start);
    return status;
}

Reply probe(const std::string &cmd, size_t buffer, Effect effect)
{
    const std::string line = cmd + "; echo $?";
    // A dry run shows the command that would change something, not the
    // status report the program reads from it.
    if (dry && effect != Effect::reads && fits(line, buffer)) {
        skipped(cmd, effect);
        return dry_reply();
    }
    return first_line(line, 512, buffer, effect);
}

bool pass_through(const std::string &cmd, size_t buffer, Effect effect)
{
    return pass_through_status(cmd, buffer, effect) >= 0;
}

int pass_through_status(const std::string &cmd, size_t buffer, Effect effect)
{
    return logged(cmd, buffer, effect, -1, 0, [&](int &status) {
        status = current->write(cmd);
        return status;
    });
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
