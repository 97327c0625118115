// The completion record of a release directory.
#include "app/release_tree.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "app/console.h"
#include "app/layout.h"
#include "app/state.h"

namespace release_tree {

namespace {

// Longer than any record the program writes, so that a longer file never
// matches.
constexpr size_t record_max = sizeof(check_sum) + 1;

} // namespace

std::string record_path()
{
    return layout::release_path("/.ostrelle-complete");
}

bool write_record()
{
    const std::string path = record_path();
    const std::string tmp = path + ".new";
    const std::string text = std::string(check_sum) + "\n";
    // Written beside and renamed over, so a record is whole or absent.
    unlink(tmp.c_str());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int error = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        printf("%sCould not write the completion record %s: %s%s\n", console::red, path.c_str(),
               strerror(error), console::reset);
    }
    return ok;
}

bool record_valid()
{
    if (check_sum[0] == '\0')
        return false;
    int fd = open(record_path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[record_max + 1];
    size_t len = 0;
    ssize_t n;
    while (len < sizeof(buf) && (n = read(fd, buf + len, sizeof(buf) - len)) > 0)
        len += static_cast<size_t>(n);
    close(fd);
    return std::string(buf, len) == std::string(check_sum) + "\n";
}

bool complete_or_refuse()
{
    if (record_valid())
        return true;
    const bool present = access(record_path().c_str(), F_OK) == 0;
    printf("%sThe release %s%s is not complete: %s. Run command 1 again%s\n", console::red,
           target_path, release_ver,
           present ? "its completion record names another package" : "it has no completion record",
           console::reset);
    return false;
}

} // namespace release_tree
