// The completion record of a release directory.
#include "release/release_tree.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/safe_text.h"
#include "core/state.h"
#include "host/console.h"
#include "host/host.h"
#include "release/layout.h"

namespace release_tree {

namespace {

// Longer than any record the program writes, so that a longer file never
// matches.
constexpr size_t record_max = sizeof(check_sum) + 1;

// True when gid is this user's own group: the user's primary group, with no
// other member and no other account's primary group. Its write bit lets
// nobody else in (the umask 002 of hosts that give each user such a group).
bool private_group(gid_t gid)
{
    if (gid != getgid())
        return false;
    const struct passwd *me = getpwuid(getuid());
    const struct group *group = getgrgid(gid);
    if (!me || !group)
        return false;
    for (char *const *member = group->gr_mem; *member; member++) {
        if (strcmp(*member, me->pw_name) != 0)
            return false;
    }
    bool alone = true;
    setpwent();
    while (const struct passwd *account = getpwent()) {
        if (account->pw_gid == gid && account->pw_uid != me->pw_uid)
            alone = false;
    }
    endpwent();
    return alone;
}

// The reason why an entry with these attributes may not be trusted, or "".
std::string reason_for(const struct stat &st)
{
    if (st.st_uid != getuid() && st.st_uid != 0)
        return "belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    if (S_ISLNK(st.st_mode))
        return "";
    const mode_t writers = private_group(st.st_gid) ? 002 : 022;
    if ((st.st_mode & writers) == 0)
        return "";
    if (S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) && st.st_uid == 0)
        return "";
    char mode[8];
    snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string("is writable by group or others (mode ") + mode + ")";
}

// The first entry of a walk that may not be trusted, and why (nftw takes
// no context).
std::string walk_path;
std::string walk_reason;

int check_entry(const char *path, const struct stat *st, int type, struct FTW *)
{
    if (type == FTW_NS || type == FTW_DNR) {
        walk_path = path;
        walk_reason = "cannot be read";
        return 1;
    }
    std::string why = reason_for(*st);
    if (why.empty())
        return 0;
    walk_path = path;
    walk_reason = why;
    return 1;
}

} // namespace

std::string record_path()
{
    return layout::release_path("/.ostrelle-complete");
}

bool write_record()
{
    const std::string path = record_path();
    if (host::dry_run()) {
        printf("would write %s\n", path.c_str());
        return true;
    }
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

std::string untrusted_reason(const std::string &path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return std::string("cannot be examined: ") + strerror(errno);
    return reason_for(st);
}

bool safe_for_root_or_refuse(const char *what)
{
    const std::string release = layout::release_path();
    walk_path = release;
    walk_reason.clear();
    struct stat st {};
    if (lstat(release.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        walk_reason = "is a symbolic link";
    // The directories above, as they really are: whoever may rename one of
    // them may put a tree of their own in the release's place.
    char *real = realpath(target_path, nullptr);
    std::string above = real ? real : "";
    free(real);
    if (above.empty() && walk_reason.empty())
        walk_reason = std::string("cannot be examined: ") + strerror(errno);
    while (walk_reason.empty() && !above.empty()) {
        walk_path = above;
        walk_reason = untrusted_reason(above);
        above = above.substr(0, above.rfind('/'));
    }
    if (walk_reason.empty()) {
        walk_path = "/";
        walk_reason = untrusted_reason("/");
    }
    if (walk_reason.empty())
        nftw(release.c_str(), check_entry, 32, FTW_PHYS);
    if (walk_reason.empty())
        return true;
    // The path may hold names that came from the package.
    printf("%sNot running %s as root: %s %s%s\n", console::red, what, printable(walk_path).c_str(),
           walk_reason.c_str(), console::reset);
    printf("Keep the target directory where only you and root can write, then run command 1 "
           "again\n");
    return false;
}

void warn_if_shared(const std::string &dir)
{
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0)
        return;
    const std::string why = reason_for(st);
    if (why.empty())
        return;
    printf("%sWarning: %s %s: others can change what is kept there, so command 1 will not run "
           "a release's build script from it as root%s\n",
           console::yellow, dir.c_str(), why.c_str(), console::reset);
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
