#include "support/stdio_capture.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <unistd.h>

namespace testing_support {

namespace {

// The real standard output while a capture holds descriptor 1, else -1.
int real_stdout = -1;

// GoogleTest prints a failure on standard output as it happens; during a
// capture that lands in the captured text, and a failing test would show
// no reason. This prints it on the real standard output as well.
class FailuresPastCapture : public testing::EmptyTestEventListener {
    void OnTestPartResult(const testing::TestPartResult &result) override
    {
        if (real_stdout < 0 || !result.failed())
            return;
        dprintf(real_stdout, "%s:%d: Failure (while standard output was captured)\n%s\n",
                result.file_name() ? result.file_name() : "unknown", result.line_number(),
                result.message());
    }
};

const bool failures_past_capture = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new FailuresPastCapture);
    return true;
}();

} // namespace

StdoutCapture::StdoutCapture(int fd) : fd_(fd)
{
    fflush(stdout);
    fflush(stderr);
    char name[] = "/tmp/ostrelle-stdout-XXXXXX";
    file_fd_ = mkstemp(name);
    if (file_fd_ < 0)
        abort();
    unlink(name);
    saved_fd_ = dup(fd_);
    dup2(file_fd_, fd_);
    if (real_stdout < 0 && fd_ == STDOUT_FILENO)
        real_stdout = saved_fd_;
}

StdoutCapture::~StdoutCapture()
{
    finish();
}

void StdoutCapture::finish()
{
    if (saved_fd_ < 0)
        return;
    fflush(stdout);
    fflush(stderr);
    dup2(saved_fd_, fd_);
    if (real_stdout == saved_fd_)
        real_stdout = -1;
    close(saved_fd_);
    saved_fd_ = -1;
    lseek(file_fd_, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(file_fd_, buf, sizeof(buf))) > 0)
        text_.append(buf, static_cast<size_t>(n));
    close(file_fd_);
    file_fd_ = -1;
}

std::string StdoutCapture::text()
{
    finish();
    return text_;
}

StdinFeed::StdinFeed(const std::string &input)
{
    char name[] = "/tmp/ostrelle-stdin-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        abort();
    unlink(name);
    if (write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        abort();
    lseek(fd, 0, SEEK_SET);
    saved_fd_ = dup(STDIN_FILENO);
    dup2(fd, STDIN_FILENO);
    close(fd);
    setvbuf(stdin, nullptr, _IONBF, 0);
    __fpurge(stdin);
    clearerr(stdin);
}

StdinFeed::~StdinFeed()
{
    dup2(saved_fd_, STDIN_FILENO);
    close(saved_fd_);
    __fpurge(stdin);
    clearerr(stdin);
}

TerminalStdin::TerminalStdin()
{
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_fd_ < 0 || grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0)
        abort();
    int slave = open(ptsname(master_fd_), O_RDWR | O_NOCTTY);
    if (slave < 0)
        abort();
    saved_fd_ = dup(STDIN_FILENO);
    dup2(slave, STDIN_FILENO);
    close(slave);
}

TerminalStdin::~TerminalStdin()
{
    dup2(saved_fd_, STDIN_FILENO);
    close(saved_fd_);
    close(master_fd_);
}

} // namespace testing_support
