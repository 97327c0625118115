#include "utils/file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool write_all(int fd, const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int open_regular(const std::string &path, std::string &why)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        why = errno == ELOOP ? "it is a symbolic link" : strerror(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        why = "it is not a regular file";
        return -1;
    }
    return fd;
}

bool read_regular(const std::string &path, size_t limit, std::string &text, std::string &why)
{
    int fd = open_regular(path, why);
    if (fd < 0)
        return false;
    text.clear();
    char chunk[8192];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = strerror(errno);
            close(fd);
            text.clear();
            return false;
        }
        if (n == 0)
            break;
        text.append(chunk, static_cast<size_t>(n));
        if (text.size() > limit) {
            close(fd);
            text.clear();
            why = "it is larger than " + std::to_string(limit) + " bytes";
            return false;
        }
    }
    close(fd);
    return true;
}

int make_and_open_dir(const std::string &dir, mode_t mode, bool &created, std::string &why)
{
    created = false;
    for (size_t pos = 1; pos <= dir.size(); pos++) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        created = mkdir(dir.substr(0, pos).c_str(), mode) == 0;
        if (!created && errno != EEXIST) {
            why = strerror(errno);
            return -1;
        }
    }
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        why = errno == ENOTDIR || errno == ELOOP ? "it is not a directory (a symbolic link?)"
                                                 : strerror(errno);
        return -1;
    }
    return fd;
}

std::string state_dir(const std::string &kind)
{
    const char *state = getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/ostrelle/" + kind;
    const char *home = getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.local/state/ostrelle/" + kind;
    return "";
}
