// Running shell commands: the real runner and the composition helpers.
#include "app/host.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace host {

namespace {

struct PipeCloser {
    void operator()(FILE *f) const { pclose(f); }
};
using Pipe = std::unique_ptr<FILE, PipeCloser>;

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
        Pipe pipe(popen(cmd.c_str(), "r"));
        if (!pipe)
            return reply;
        reply.outcome = Outcome::no_line;
        if (line_buffer > 1) {
            std::string buf(line_buffer, '\0');
            if (fgets(buf.data(), static_cast<int>(line_buffer), pipe.get())) {
                buf.resize(std::char_traits<char>::length(buf.c_str()));
                reply.outcome = Outcome::line;
                reply.line = std::move(buf);
            }
        }
        return reply;
    }

    bool write(const std::string &cmd) override
    {
        fflush(stdout);
        Pipe pipe(popen(cmd.c_str(), "w"));
        return pipe != nullptr;
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
    if (!fits(cmd, buffer))
        return false;
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
