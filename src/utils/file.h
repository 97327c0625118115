// Files as owned objects, the one test for a file's presence, and the
// descriptor-level reads and writes the program shares.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/types.h>

#include "utils/os.h"

struct FileCloser {
    void operator()(FILE *f) const
    {
        if (f)
            fclose(f);
    }
};

// A stdio stream closed when it goes out of scope.
using File = std::unique_ptr<FILE, FileCloser>;

// True when path can be opened for reading (a directory counts too).
inline bool file_exists(const std::string &path)
{
    return os_file_exists(path.c_str()) == 1;
}

// Writes all size bytes to fd, going on after interruptions by a signal.
// False, with errno set, when a write fails (EIO when it writes nothing).
bool write_all(int fd, const void *data, size_t size);

// Opens the regular file at path for reading, without following a final
// symbolic link and without waiting on a FIFO, and returns the descriptor
// (close-on-exec, non-blocking). -1, with why, for a link, a special file or
// one that cannot be opened.
int open_regular(const std::string &path, std::string &why);

// The whole of the regular file at path (opened as open_regular does), up to
// limit bytes. False, with why, when it cannot be opened or read or is
// larger.
bool read_regular(const std::string &path, size_t limit, std::string &text, std::string &why);

// Makes dir and its missing parents with mode and opens it (close-on-exec)
// without following a link as its last component; created tells whether
// that last one was made here. -1, with why, when it cannot.
int make_and_open_dir(const std::string &dir, mode_t mode, bool &created, std::string &why);

// The program's state directory for one kind of record:
// $XDG_STATE_HOME/ostrelle/<kind>, or ~/.local/state/ostrelle/<kind>; empty
// when neither names an absolute path.
std::string state_dir(const std::string &kind);
