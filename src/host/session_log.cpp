// Writing the run's log and keeping the log directory to its newest files.
#include "host/session_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include "core/safe_text.h"
#include "core/state.h"
#include "utils/file.h"

namespace session_log {

namespace {

// Log files kept in the log directory, the new one included.
constexpr size_t kept = 20;

// The open log; null without one.
FILE *log_file = nullptr;

std::string now_text(void)
{
    char text[32];
    time_t now = time(nullptr);
    struct tm tm_utc {};
    gmtime_r(&now, &tm_utc);
    strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm_utc);
    return text;
}

// Every line is one line of text: outside values in it (answers, command
// lines, the arguments) show their control characters escaped and URLs their
// credentials removed.
void line(const std::string &text)
{
    if (!log_file)
        return;
    fprintf(log_file, "%s\n", printable(without_credentials(text)).c_str());
    fflush(log_file);
}

// A tool's lines wait here for the line of the command that printed them.
std::vector<std::string> tool_lines;

void write_tool_lines(void)
{
    for (const std::string &text : tool_lines)
        line("  | " + text);
    tool_lines.clear();
}

// Opens dir, creating it (mode 0700) and its parents. The last directory is
// opened without following a link and must be this user's own and private:
// one just created is made so, an existing one is never changed. Its
// descriptor, or -1 after setting why.
int open_private_dir(const std::string &dir, std::string &why)
{
    bool created = false;
    int fd = make_and_open_dir(dir, 0700, created, why);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_uid != geteuid()) {
        why = "it belongs to another user";
    } else if ((st.st_mode & 07777) != 0700 && !created) {
        char text[64];
        snprintf(text, sizeof(text), "it is not private (mode %04o); chmod 700 it",
                 static_cast<unsigned>(st.st_mode & 07777));
        why = text;
    } else if ((st.st_mode & 07777) != 0700 && fchmod(fd, 0700) != 0) {
        why = strerror(errno);
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

// Whether name is one the program gives its logs:
// "ostrelle-YYYYMMDD-HHMMSS-PID.log".
bool log_name(const std::string &name)
{
    const std::string shape = "ostrelle-########-######-";
    if (name.size() <= shape.size() + 4 || name.compare(name.size() - 4, 4, ".log") != 0)
        return false;
    for (size_t i = 0; i < name.size() - 4; i++) {
        bool digit = name[i] >= '0' && name[i] <= '9';
        if (i < shape.size() ? (shape[i] == '#' ? !digit : name[i] != shape[i]) : !digit)
            return false;
    }
    return true;
}

// Removes the oldest run logs of the directory dir_fd beyond the newest
// `kept`: regular files of this user's with the program's own names. Their
// names begin with the start time, so name order is age order. Takes dir_fd.
void prune(int dir_fd)
{
    DIR *d = fdopendir(dir_fd);
    if (!d) {
        ::close(dir_fd);
        return;
    }
    std::vector<std::string> names;
    while (struct dirent *entry = readdir(d)) {
        struct stat st {};
        std::string name = entry->d_name;
        if (log_name(name) && fstatat(dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && st.st_uid == geteuid())
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i + kept < names.size(); i++)
        unlinkat(dirfd(d), names[i].c_str(), 0);
    closedir(d);
}

// Whether st is the file of standard output or standard error.
bool standard_stream(const struct stat &st, int &which)
{
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat out {};
        if (fstat(fd, &out) == 0 && out.st_dev == st.st_dev && out.st_ino == st.st_ino) {
            which = fd;
            return true;
        }
    }
    return false;
}

// Opens the file given with --log: it is the user's, so it is never reached
// through a link (but /dev/stdout and the like name standard output), and
// only a regular file of this user's, the user's own terminal, /dev/null or
// standard output or error will do. A regular file is emptied and made private;
// standard output is written where it stands, never emptied. -1 after the
// message.
int open_given(const std::string &target)
{
    struct stat st {};
    int stream = -1;
    if (lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (stat(target.c_str(), &st) == 0 && standard_stream(st, stream))
            return fcntl(stream, F_DUPFD_CLOEXEC, 3);
        fprintf(stderr, "ostrelle: the log %s is a symbolic link; give the file itself\n",
                target.c_str());
        return -1;
    }
    // Not blocking: a FIFO that nobody reads is refused below, not waited on.
    int fd = ::open(target.c_str(),
                    O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    const char *refusal = nullptr;
    const char *special = "is not a regular file, nor this user's terminal or standard output";
    if (fd < 0 && errno == ENXIO) {
        // A FIFO (or socket) with no reader.
        fprintf(stderr, "ostrelle: the log %s %s\n", target.c_str(), special);
        return -1;
    }
    if (fd < 0) {
        fprintf(stderr, "ostrelle: cannot write the log %s: %s\n", target.c_str(), strerror(errno));
        return -1;
    }
    if (fstat(fd, &st) != 0) {
        refusal = "cannot be examined";
    } else if (standard_stream(st, stream)) {
        ::close(fd);
        return fcntl(stream, F_DUPFD_CLOEXEC, 3);
    } else if (S_ISREG(st.st_mode)) {
        if (st.st_uid != geteuid())
            refusal = "belongs to another user";
        else if (ftruncate(fd, 0) != 0 || fchmod(fd, 0600) != 0)
            refusal = strerror(errno);
    } else if (!(S_ISCHR(st.st_mode) &&
                 ((isatty(fd) && st.st_uid == geteuid()) || st.st_rdev == makedev(1, 3)))) {
        refusal = special;
    }
    if (refusal) {
        fprintf(stderr, "ostrelle: the log %s %s\n", target.c_str(), refusal);
        ::close(fd);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

} // namespace

std::string directory(void)
{
    return state_dir("logs");
}

bool open(const std::string &path, int argc, char *argv[])
{
    int fd = -1;
    int dir_fd = -1;
    if (!path.empty()) {
        fd = open_given(path);
        if (fd < 0)
            return false;
    } else {
        std::string dir = directory();
        std::string why = "(no HOME)";
        if (!dir.empty())
            dir_fd = open_private_dir(dir, why);
        if (dir_fd < 0) {
            fprintf(stderr, "ostrelle: cannot create the log directory %s%s%s\n",
                    dir.empty() ? "" : dir.c_str(), dir.empty() ? "" : ": ", why.c_str());
            return false;
        }
        char name[64];
        time_t now = time(nullptr);
        struct tm tm_utc {};
        gmtime_r(&now, &tm_utc);
        char stamp[32];
        strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &tm_utc);
        snprintf(name, sizeof(name), "ostrelle-%s-%d.log", stamp, static_cast<int>(getpid()));
        // A new file of the program's own, in the directory just checked.
        fd = openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            fprintf(stderr, "ostrelle: cannot write the log %s/%s: %s\n", dir.c_str(), name,
                    strerror(errno));
            ::close(dir_fd);
            return false;
        }
    }
    // Appending keeps lines written through standard output in order.
    log_file = fdopen(fd, "a");
    if (!log_file) {
        ::close(fd);
        if (dir_fd >= 0)
            ::close(dir_fd);
        return false;
    }
    if (dir_fd >= 0)
        prune(dir_fd);

    line(std::string("ostrelle ") + sdk_ver + " run started " + now_text());
    std::string args = "arguments:";
    for (int i = 1; i < argc; i++) {
        args += ' ';
        args += argv[i];
    }
    line(args);
    return true;
}

void answer(const char *question, const std::string &value, const char *source)
{
    line(std::string("answer ") + question + " (" + source + "): " + value);
}

void command(const std::string &text, int status, double seconds)
{
    char tail[64];
    snprintf(tail, sizeof(tail), "  -> status %d after %.2f s", status, seconds);
    line("run: " + text);
    line(tail);
    write_tool_lines();
}

void dry(const std::string &text)
{
    line("would run: " + text);
}

void output(const std::string &text)
{
    if (log_file)
        tool_lines.push_back(text);
}

void note(const std::string &text)
{
    write_tool_lines();
    line(text);
}

void close(int exit_status)
{
    if (!log_file)
        return;
    write_tool_lines();
    // The status as the shell sees it: exit() keeps the low eight bits, so
    // -1 is 255.
    line("exit status " + std::to_string(exit_status & 0xff) + " at " + now_text());
    fclose(log_file);
    log_file = nullptr;
}

} // namespace session_log
