// The completion record of a release directory.
#include "release/release_tree.h"

#include <algorithm>
#include <cctype>
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
#include <vector>

#include "core/safe_text.h"
#include "core/state.h"
#include "host/console.h"
#include "host/host.h"
#include "release/layout.h"

namespace release_tree {

namespace {

// The most of a record that is read: far more than the file lines of any
// release; a longer record is not one the program wrote.
constexpr size_t record_max = 4 * 1024 * 1024;

// The directories of a release whose files the flashes send to a board.
const char *const flashed_dirs[] = {"full_build", "cdt", "non_hlos"};

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

// A relative path as a record line holds it: "%", control bytes and DEL
// as %XX, so that every name is one line.
std::string encode_path(const std::string &path)
{
    std::string out;
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7f || c == '%') {
            char hex[4];
            snprintf(hex, sizeof(hex), "%%%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string path_of(const std::string &line);

// The file lines of the walk under way (nftw takes no context), and the
// length of the release directory's path with its "/".
std::vector<std::string> walk_lines;
size_t walk_prefix = 0;

int note_file(const char *path, const struct stat *st, int type, struct FTW *)
{
    if (type == FTW_D || type == FTW_DP)
        return 0;
    // What cannot be examined cannot be flashed either.
    if (type == FTW_NS || type == FTW_DNR)
        return 0;
    // The change time is the kernel's: unlike the modification time, no
    // user can set it back to what a record says.
    walk_lines.push_back(host::format(
        "%lld %lld.%09ld %lld.%09ld %s", static_cast<long long>(st->st_size),
        static_cast<long long>(st->st_mtim.tv_sec), static_cast<long>(st->st_mtim.tv_nsec),
        static_cast<long long>(st->st_ctim.tv_sec), static_cast<long>(st->st_ctim.tv_nsec),
        encode_path(path + walk_prefix).c_str()));
    return 0;
}

// "<size> <mtime> <ctime> <path>" (times as <seconds>.<nanoseconds>) for
// every entry but the
// directories below the flashed directories of the release, sorted by path.
std::vector<std::string> file_lines()
{
    const std::string release = layout::release_path();
    walk_lines.clear();
    walk_prefix = release.size() + 1;
    for (const char *dir : flashed_dirs) {
        const std::string top = release + "/" + dir;
        struct stat st {};
        if (lstat(top.c_str(), &st) == 0)
            nftw(top.c_str(), note_file, 32, FTW_PHYS);
    }
    std::vector<std::string> lines = std::move(walk_lines);
    walk_lines.clear();
    std::sort(lines.begin(), lines.end(),
              [](const std::string &a, const std::string &b) { return path_of(a) < path_of(b); });
    return lines;
}

// The record's text, or "" when it cannot be read (or is too long to be
// one the program wrote).
std::string read_record()
{
    int fd = open(record_path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return "";
    std::string text;
    char buf[65536];
    ssize_t n;
    while (text.size() <= record_max && (n = read(fd, buf, sizeof(buf))) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text.size() > record_max ? "" : text;
}

// Whether line has the shape of a file line: digits, and two times (digits,
// a dot, nine digits), each after a blank, then a blank and a path.
bool file_line(const std::string &line)
{
    size_t at = 0;
    auto digits = [&](size_t least, size_t most) {
        size_t start = at;
        while (at < line.size() && isdigit(static_cast<unsigned char>(line[at])) &&
               at - start < most)
            at++;
        return at - start >= least;
    };
    auto literal = [&](char c) { return at < line.size() && line[at++] == c; };
    auto time = [&] { return digits(1, 20) && literal('.') && digits(9, 9); };
    return digits(1, 20) && literal(' ') && time() && literal(' ') && time() && literal(' ') &&
           at < line.size();
}

// The path of a file line (after its size and times).
std::string path_of(const std::string &line)
{
    size_t at = std::string::npos;
    for (int blank = 0; blank < 3; blank++) {
        at = line.find(' ', at == std::string::npos ? 0 : at + 1);
        if (at == std::string::npos)
            return line;
    }
    return line.substr(at + 1);
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
    std::string text = std::string(check_sum) + "\n";
    for (const std::string &line : file_lines())
        text += line + "\n";
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
    const std::string text = read_record();
    const std::string first = std::string(check_sum) + "\n";
    if (text.compare(0, first.size(), first) != 0)
        return false;
    // Every further line is a file line, ended by its line feed.
    for (size_t at = first.size(); at < text.size();) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos || !file_line(text.substr(at, end - at)))
            return false;
        at = end + 1;
    }
    return true;
}

std::string changed_file()
{
    const std::string text = read_record();
    const size_t first_end = text.find('\n');
    if (first_end == std::string::npos || first_end + 1 == text.size())
        return "";
    std::vector<std::string> recorded;
    for (size_t at = first_end + 1; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        recorded.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    const std::vector<std::string> now = file_lines();
    // Both sorted by path: the first difference names the file.
    size_t i = 0, k = 0;
    while (i < recorded.size() || k < now.size()) {
        if (i < recorded.size() && k < now.size() && recorded[i] == now[k]) {
            i++;
            k++;
            continue;
        }
        const std::string was = i < recorded.size() ? path_of(recorded[i]) : "";
        const std::string is = k < now.size() ? path_of(now[k]) : "";
        if (i < recorded.size() && k < now.size() && was == is)
            return was + " differs from it (size, modification or change time)";
        if (k >= now.size() || (i < recorded.size() && was < is))
            return was + " is missing";
        return is + " is not in it";
    }
    return "";
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
    if (record_valid()) {
        const std::string changed = changed_file();
        if (changed.empty())
            return true;
        // The names came from the package.
        printf("%sThe release %s%s has changed since its completion record was written: %s. Run "
               "command 1 again%s\n",
               console::red, target_path, release_ver, printable(changed).c_str(), console::reset);
        return false;
    }
    const bool present = access(record_path().c_str(), F_OK) == 0;
    printf("%sThe release %s%s is not complete: %s. Run command 1 again%s\n", console::red,
           target_path, release_ver,
           present ? "its completion record names another package" : "it has no completion record",
           console::reset);
    return false;
}

} // namespace release_tree
