// Running shell commands: the real runner and the composition helpers.
#include "app/host.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

namespace host {

namespace {

// The exit status of a wait status, 128 + n for a command ended by signal n.
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

class RealRunner : public Runner {
  public:
    int system(const std::string &cmd) override
    {
        fflush(stdout);
        return ::system(cmd.c_str());
    }

    Reply read(const std::string &cmd, size_t line_buffer) override
    {
        fflush(stdout);
        Reply reply;
        FILE *pipe = popen(cmd.c_str(), "r");
        if (!pipe)
            return reply;
        reply.outcome = Outcome::no_line;
        if (line_buffer > 1) {
            std::string buf(line_buffer, '\0');
            if (fgets(buf.data(), static_cast<int>(line_buffer), pipe)) {
                buf.resize(std::char_traits<char>::length(buf.c_str()));
                reply.outcome = Outcome::line;
                reply.line = std::move(buf);
            }
        }
        reply.status = exit_status(pclose(pipe));
        return reply;
    }

    int write(const std::string &cmd) override
    {
        fflush(stdout);
        FILE *pipe = popen(cmd.c_str(), "w");
        if (!pipe)
            return -1;
        // A failed wait counts as a failure of the command, never as success.
        int status = exit_status(pclose(pipe));
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

void set_runner(Runner *runner)
{
    current = runner ? runner : &real_runner;
}

int run(const std::string &cmd, size_t buffer)
{
    if (!fits(cmd, buffer))
        return -1;
    return current->system(cmd);
}

bool run_wait(const std::string &cmd, size_t buffer)
{
    if (!fits(cmd, buffer))
        return false;
    return current->read(cmd, 0).started();
}

int run_wait_status(const std::string &cmd, size_t buffer)
{
    if (!fits(cmd, buffer))
        return -1;
    Reply reply = current->read(cmd, 0);
    return reply.started() ? reply.status : -1;
}

Reply first_line(const std::string &cmd, size_t line_buffer, size_t buffer)
{
    if (!fits(cmd, buffer))
        return Reply{};
    return current->read(cmd, line_buffer);
}

Reply probe(const std::string &cmd, size_t buffer)
{
    return first_line(cmd + "; echo $?", 512, buffer);
}

bool pass_through(const std::string &cmd, size_t buffer)
{
    return pass_through_status(cmd, buffer) >= 0;
}

int pass_through_status(const std::string &cmd, size_t buffer)
{
    if (!fits(cmd, buffer))
        return -1;
    return current->write(cmd);
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
