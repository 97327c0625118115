// A secret handed to a child through a file that no name in the file system
// reaches, so that it never stands on a command line (where any user's `ps`
// reads it) nor in the run's log.
#pragma once

#include <string>

// Holds text in an anonymous memory file, or where the kernel has none in a
// temporary file unlinked at once; whatever ends the process, nothing of it
// is left. The descriptor stays open across exec, so a child opens the text
// as path() (/dev/fd/N), from its start every time. The content is
// overwritten before the descriptor is closed.
class SecretFile {
  public:
    explicit SecretFile(const std::string &text);
    ~SecretFile();
    SecretFile(const SecretFile &) = delete;
    SecretFile &operator=(const SecretFile &) = delete;

    // False when the file could not be made or written.
    bool ok() const { return fd_ >= 0; }
    std::string path() const { return "/dev/fd/" + std::to_string(fd_); }

  private:
    void close_now();

    int fd_ = -1;
};
