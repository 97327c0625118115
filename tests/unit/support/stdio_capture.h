// Redirections of the process's standard streams for unit tests: what a
// handler prints is captured, what it reads comes from a prepared text.
#pragma once

#include <string>

namespace testing_support {

// Sends descriptor 1 (or fd) to a temporary file until text() or destruction.
class StdoutCapture {
  public:
    explicit StdoutCapture(int fd = 1);
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    // Restores standard output and returns everything written meanwhile.
    std::string text();

  private:
    void finish();
    int fd_;
    int saved_fd_ = -1;
    int file_fd_ = -1;
    std::string text_;
};

// The same for descriptor 2.
class StderrCapture : public StdoutCapture {
  public:
    StderrCapture() : StdoutCapture(2) {}
};

// Makes descriptor 0 read the given bytes followed by end of input, until
// destruction. Standard input is made unbuffered, as the program makes it.
class StdinFeed {
  public:
    explicit StdinFeed(const std::string &input);
    ~StdinFeed();
    StdinFeed(const StdinFeed &) = delete;
    StdinFeed &operator=(const StdinFeed &) = delete;

  private:
    int saved_fd_ = -1;
};

// Makes descriptor 0 a terminal (a fresh pseudo-terminal nobody types on)
// until destruction.
class TerminalStdin {
  public:
    TerminalStdin();
    ~TerminalStdin();
    TerminalStdin(const TerminalStdin &) = delete;
    TerminalStdin &operator=(const TerminalStdin &) = delete;

  private:
    int saved_fd_ = -1;
    int master_fd_ = -1;
};

} // namespace testing_support
