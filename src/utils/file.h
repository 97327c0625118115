// Files as owned objects, and the one test for a file's presence.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

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
