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
#include <unistd.h>
#include <vector>

#include "core/state.h"

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

void line(const std::string &text)
{
    if (!log_file)
        return;
    fprintf(log_file, "%s\n", text.c_str());
    fflush(log_file);
}

// Creates dir (mode 0700) and its parents; an existing last directory is
// made private.
bool make_private_dir(const std::string &dir)
{
    for (size_t pos = 1; pos <= dir.size(); pos++) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return chmod(dir.c_str(), 0700) == 0;
}

// Removes the oldest run logs of dir beyond the newest `kept`. Their names
// begin with the start time, so name order is age order.
void prune(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    while (struct dirent *entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name.rfind("ostrelle-", 0) == 0 && name.size() > 4 &&
            name.compare(name.size() - 4, 4, ".log") == 0)
            names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i + kept < names.size(); i++)
        unlink((dir + "/" + names[i]).c_str());
}

} // namespace

std::string directory(void)
{
    const char *state = getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/ostrelle/logs";
    const char *home = getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.local/state/ostrelle/logs";
    return "";
}

bool open(const std::string &path, int argc, char *argv[])
{
    std::string target = path;
    std::string dir;
    if (target.empty()) {
        dir = directory();
        if (dir.empty() || !make_private_dir(dir)) {
            fprintf(stderr, "ostrelle: cannot create the log directory %s\n",
                    dir.empty() ? "(no HOME)" : dir.c_str());
            return false;
        }
        char name[64];
        time_t now = time(nullptr);
        struct tm tm_utc {};
        gmtime_r(&now, &tm_utc);
        char stamp[32];
        strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &tm_utc);
        snprintf(name, sizeof(name), "ostrelle-%s-%d.log", stamp, static_cast<int>(getpid()));
        target = dir + "/" + name;
    }
    // A new file of the log directory is the program's own; a file given
    // with --log is the user's: it may be a link (/dev/stdout) or a device,
    // and only a regular file of this user's is emptied and made private.
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (dir.empty() ? 0 : O_EXCL | O_NOFOLLOW);
    int fd = ::open(target.c_str(), flags, 0600);
    if (fd < 0) {
        fprintf(stderr, "ostrelle: cannot write the log %s: %s\n", target.c_str(), strerror(errno));
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid()) {
        if (ftruncate(fd, 0) != 0 || fchmod(fd, 0600) != 0) {
            fprintf(stderr, "ostrelle: cannot write the log %s: %s\n", target.c_str(),
                    strerror(errno));
            ::close(fd);
            return false;
        }
    } else if (S_ISREG(st.st_mode)) {
        fprintf(stderr, "ostrelle: the log %s belongs to another user\n", target.c_str());
        ::close(fd);
        return false;
    }
    log_file = fdopen(fd, "w");
    if (!log_file) {
        ::close(fd);
        return false;
    }
    if (!dir.empty())
        prune(dir);

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
}

void dry(const std::string &text)
{
    line("would run: " + text);
}

void note(const std::string &text)
{
    line(text);
}

void close(int exit_status)
{
    if (!log_file)
        return;
    // The status as the shell sees it: exit() keeps the low eight bits, so
    // -1 is 255.
    line("exit status " + std::to_string(exit_status & 0xff) + " at " + now_text());
    fclose(log_file);
    log_file = nullptr;
}

} // namespace session_log
