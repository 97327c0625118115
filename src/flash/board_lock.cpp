// The per-board flashing locks.
#include "flash/board_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "core/safe_text.h"
#include "core/state.h"
#include "host/console.h"
#include "utils/file.h"

namespace board_lock {

namespace {

// Where the lock files are: /run/lock. The test-bed build never uses the
// host's: it takes the simulated host's root, else the current directory
// (a unit test's own temporary directory).
std::string lock_dir()
{
    if (!testbed_build)
        return "/run/lock";
    const char *root = getenv("OSTRELLE_TESTBED_ROOT");
    return root && *root ? std::string(root) + "/run/lock" : ".";
}

std::string file_name_part(std::string text)
{
    for (char &c : text) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-')
            c = '_';
    }
    return text;
}

// Opens a lock file without following a link and without O_CREAT on a file
// that is there already: the kernel refuses O_CREAT on another user's file
// in a sticky directory such as /run/lock, and flock needs no write access.
int open_lock_file(const std::string &path)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            // Others must be able to open it too, whatever this run's umask.
            fchmod(fd, 0644);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// The command line of process pid, its arguments separated by blanks, or "".
std::string command_line(long pid)
{
    File file(fopen(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), "re"));
    if (!file)
        return "";
    std::string text;
    char chunk[512];
    size_t n;
    while (text.size() < 4096 && (n = fread(chunk, 1, sizeof(chunk), file.get())) > 0)
        text.append(chunk, n);
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    for (char &c : text) {
        if (c == '\0')
            c = ' ';
    }
    return text;
}

} // namespace

std::vector<std::string> lock_files(const boards::Board &board, const std::string &dir)
{
    std::vector<std::string> files;
    if (!board.usb_path.empty())
        files.push_back(dir + "/ostrelle-board-usb-" + file_name_part(board.usb_path) + ".lock");
    if (!board.serial.empty())
        files.push_back(dir + "/ostrelle-board-serial-" + file_name_part(board.serial) + ".lock");
    if (files.empty())
        files.push_back(dir + "/ostrelle-board-port-" + file_name_part(board.port) + ".lock");
    return files;
}

std::string holder_of(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return "its process is not visible here";
    char id[64];
    snprintf(id, sizeof(id), "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
             static_cast<unsigned long>(st.st_ino));
    File locks(fopen("/proc/locks", "re"));
    char line[256];
    while (locks && fgets(line, sizeof(line), locks.get())) {
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; a waiter's line
        // has "->" after the number.
        char kind[16], mode[16], access[16], file[64];
        long pid = 0;
        if (strstr(line, "->") ||
            sscanf(line, "%*s %15s %15s %15s %ld %63s", kind, mode, access, &pid, file) != 5)
            continue;
        if (strcmp(kind, "FLOCK") != 0 || strcmp(file, id) != 0 || pid <= 0 || pid == getpid())
            continue;
        const std::string command = command_line(pid);
        return "process " + std::to_string(pid) +
               (command.empty() ? "" : ": " + printable(command));
    }
    return "its process is not visible here";
}

Hold::~Hold()
{
    for (int fd : fds_)
        close(fd);
}

Result Hold::take(const boards::Board &board, int wait_seconds)
{
    const std::string dir = lock_dir();
    // Always in the same order, so two runs never hold one lock each.
    for (const std::string &path : lock_files(board, dir)) {
        int fd = open_lock_file(path);
        if (fd < 0) {
            printf("%sCould not open the board's lock %s: %s; nothing was flashed%s\n",
                   console::red, path.c_str(), strerror(errno), console::reset);
            return Result::failed;
        }
        fds_.push_back(fd);
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            continue;
        printf("The board %s is being flashed by another run (%s)\n",
               boards::describe(board).c_str(), holder_of(fd).c_str());
        if (wait_seconds > 0) {
            printf("Waiting up to %d s for it ...\n", wait_seconds);
            fflush(stdout);
        }
        bool got = false;
        for (int waited = 0; waited < wait_seconds && !got; waited++) {
            sleep(1);
            got = flock(fd, LOCK_EX | LOCK_NB) == 0;
        }
        if (!got) {
            printf("%sThe board is busy: nothing was flashed%s\n", console::red, console::reset);
            return Result::busy;
        }
    }
    return Result::held;
}

} // namespace board_lock
