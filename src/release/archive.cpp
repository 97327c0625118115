// A package's entries listed and judged, unpacked into a private staging
// directory, and moved into place without following any symbolic link.
#include "release/archive.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/safe_text.h"
#include "host/console.h"
#include "host/host.h"
#include "release/package.h"

namespace archive {

namespace {

// Staging directories are made in the directory they fill under this name
// and a random tail; one left by a run that was ended part way is removed
// by the next unpack there.
constexpr const char *staging_prefix = ".ostrelle-unpack-";

// Refused entries named one by one before the rest is only counted.
constexpr size_t refusals_shown = 5;

// A descriptor closed on scope exit.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

  private:
    int fd_;
};

// The directory name in parent, opened without following a symbolic link.
int open_dir_at(int parent, const char *name)
{
    return openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The names in the directory dirfd (without "." and ".."), read before the
// caller changes the directory.
bool names_in(int dirfd, std::vector<std::string> &names)
{
    int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR *dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return false;
    }
    names.clear();
    while (struct dirent *e = readdir(dir)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    closedir(dir);
    return true;
}

// Where a walk below failed: the name and errno.
struct Failure {
    std::string name;
    int error = 0;

    bool set(const std::string &what)
    {
        name = what;
        error = errno;
        return false;
    }
};

// Removes name in parent and, for a directory, everything below it.
// Directories are made writable first: a package may bring read-only ones.
bool remove_at(int parent, const std::string &name, Failure &failure)
{
    struct stat st {};
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT || failure.set(name);
    if (S_ISDIR(st.st_mode)) {
        if ((st.st_mode & 0700) != 0700)
            fchmodat(parent, name.c_str(), (st.st_mode & 07777) | 0700, 0);
        Fd dir(open_dir_at(parent, name.c_str()));
        std::vector<std::string> names;
        if (!dir.ok() || !names_in(dir.get(), names))
            return failure.set(name);
        for (const std::string &entry : names) {
            if (!remove_at(dir.get(), entry, failure))
                return false;
        }
        if (unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0)
            return failure.set(name);
        return true;
    }
    if (unlinkat(parent, name.c_str(), 0) != 0)
        return failure.set(name);
    return true;
}

// Takes group and other write permission from name in parent and all below
// it; directories keep (or get) full permission for their owner, so that a
// later unpack can replace what they hold. Entries of other owners (what a
// build run as root left) cannot be changed and are left alone.
bool tighten_at(int parent, const std::string &name, Failure &failure)
{
    struct stat st {};
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return failure.set(name);
    if (S_ISLNK(st.st_mode) || st.st_uid != geteuid())
        return true;
    mode_t mode = st.st_mode & 07777;
    mode_t wanted = mode & ~static_cast<mode_t>(022);
    if (S_ISDIR(st.st_mode))
        wanted |= 0700;
    if (wanted != mode && fchmodat(parent, name.c_str(), wanted, 0) != 0)
        return failure.set(name);
    if (!S_ISDIR(st.st_mode))
        return true;
    Fd dir(open_dir_at(parent, name.c_str()));
    std::vector<std::string> names;
    if (!dir.ok() || !names_in(dir.get(), names))
        return failure.set(name);
    for (const std::string &entry : names) {
        if (!tighten_at(dir.get(), entry, failure)) {
            failure.name = name + "/" + failure.name;
            return false;
        }
    }
    return true;
}

// Moves everything in from into to. A directory that to does not have
// moves whole; one it has is merged entry by entry; anything else replaces
// the entry of its name, which is never followed when it is a symbolic
// link. What to holds that from does not stays.
bool merge_into(int from, int to, Failure &failure)
{
    std::vector<std::string> names;
    if (!names_in(from, names))
        return failure.set(".");
    for (const std::string &name : names) {
        struct stat src {};
        struct stat dst {};
        if (fstatat(from, name.c_str(), &src, AT_SYMLINK_NOFOLLOW) != 0)
            return failure.set(name);
        bool present = fstatat(to, name.c_str(), &dst, AT_SYMLINK_NOFOLLOW) == 0;
        if (!present && errno != ENOENT)
            return failure.set(name);
        if (present && S_ISDIR(src.st_mode) && S_ISDIR(dst.st_mode)) {
            Fd sub_from(open_dir_at(from, name.c_str()));
            Fd sub_to(open_dir_at(to, name.c_str()));
            if (!sub_from.ok() || !sub_to.ok())
                return failure.set(name);
            if (!merge_into(sub_from.get(), sub_to.get(), failure)) {
                failure.name = name + "/" + failure.name;
                return false;
            }
            continue;
        }
        // A directory where the package has a file, or the other way round,
        // goes first: rename replaces only entries of the same kind.
        if (present && S_ISDIR(src.st_mode) != S_ISDIR(dst.st_mode) &&
            !remove_at(to, name, failure))
            return false;
        if (renameat(from, name.c_str(), to, name.c_str()) != 0)
            return failure.set(name);
    }
    return true;
}

// Removes the staging directories that runs ended part way left in dirfd.
void remove_stale_staging(int dirfd)
{
    std::vector<std::string> names;
    if (!names_in(dirfd, names))
        return;
    for (const std::string &name : names) {
        struct stat st {};
        if (name.rfind(staging_prefix, 0) == 0 &&
            fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
            st.st_uid == geteuid()) {
            Failure ignored;
            remove_at(dirfd, name, ignored);
        }
    }
}

// This run's staging directory, removed however the unpack ends.
class Staging {
  public:
    Staging(int dirfd, const std::string &dir) : dirfd_(dirfd)
    {
        path_ = dir + staging_prefix + "XXXXXX";
        if (!mkdtemp(path_.data()))
            path_.clear();
    }
    ~Staging()
    {
        if (!path_.empty()) {
            Failure ignored;
            remove_at(dirfd_, path_.substr(path_.rfind('/') + 1), ignored);
        }
    }
    Staging(const Staging &) = delete;
    Staging &operator=(const Staging &) = delete;
    bool ok() const { return !path_.empty(); }
    const std::string &path() const { return path_; }

  private:
    int dirfd_;
    std::string path_;
};

bool read_file(const std::string &path, std::string &text)
{
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return false;
    char buf[65536];
    size_t n;
    text.clear();
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        text.append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

void report_move_failure(const std::string &dir, const Failure &failure)
{
    printf("%sCould not move %s into %s: %s%s\n", console::red, printable(failure.name).c_str(),
           printable(dir).c_str(), strerror(failure.error), console::reset);
}

} // namespace

bool parse_listing(std::string_view listing, std::vector<Entry> &entries)
{
    entries.clear();
    std::vector<std::string_view> lines;
    while (!listing.empty()) {
        size_t end = listing.find('\n');
        lines.push_back(listing.substr(0, end));
        listing = end == std::string_view::npos ? std::string_view() : listing.substr(end + 1);
    }
    constexpr std::string_view size_line = "Zip file size: ";
    constexpr std::string_view count_text = "number of entries: ";
    size_t header = 0;
    while (header < lines.size() && lines[header].rfind(size_line, 0) != 0)
        header++;
    if (header == lines.size())
        return false;
    size_t at = lines[header].find(count_text);
    if (at == std::string_view::npos)
        return false;
    char *end = nullptr;
    std::string count_str(lines[header].substr(at + count_text.size()));
    unsigned long long count = strtoull(count_str.c_str(), &end, 10);
    if (end == count_str.c_str() || count > lines.size() - header - 1)
        return false;

    for (size_t i = 1; i <= count; i++) {
        std::string_view line = lines[header + i];
        // Mode, version, system, size, type, method and time stamp, then one
        // blank and the name, which may itself begin with blanks.
        size_t pos = 0;
        for (int field = 0; field < 7; field++) {
            while (pos < line.size() && line[pos] == ' ')
                pos++;
            if (pos == line.size())
                return false;
            while (pos < line.size() && line[pos] != ' ')
                pos++;
        }
        if (pos + 1 >= line.size())
            return false;
        entries.push_back({std::string(line.substr(pos + 1)), line[0]});
    }
    return true;
}

Refusal judge(const Entry &entry, std::string_view prefix)
{
    const std::string &name = entry.name;
    if (!name.empty() && (name[0] == '/' || name[0] == '\\'))
        return Refusal::absolute;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(start, end - start, "..") == 0)
            return Refusal::parent;
        start = end + 1;
    }
    if (!prefix.empty() && name.compare(0, prefix.size(), prefix) != 0)
        return Refusal::outside;
    if (entry.type == 'l')
        return Refusal::symlink;
    return Refusal::none;
}

std::string reason(Refusal refusal, std::string_view prefix)
{
    switch (refusal) {
    case Refusal::outside:
        return "lies outside " + printable(prefix);
    case Refusal::absolute:
        return "is an absolute path";
    case Refusal::parent:
        return "contains a \"..\" component";
    case Refusal::symlink:
        return "is a symbolic link";
    case Refusal::none:
        break;
    }
    return "";
}

bool tighten(const std::string &path)
{
    Failure failure;
    struct stat st {};
    // A package without entries leaves no directory to tighten.
    if (lstat(path.c_str(), &st) != 0 && errno == ENOENT)
        return true;
    if (tighten_at(AT_FDCWD, path, failure))
        return true;
    printf("%sCould not take write permission for group and others from %s: %s%s\n", console::red,
           printable(failure.name).c_str(), strerror(failure.error), console::reset);
    return false;
}

Result unpack(const Unpack &job)
{
    Fd dir(open(job.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.ok())
        return Result::cannot_start;
    remove_stale_staging(dir.get());
    Staging staging(dir.get(), job.dir);
    if (!staging.ok())
        return Result::cannot_start;

    // The listing is judged whole before unzip writes anything.
    const std::string listing = staging.path() + "/listing";
    int listed =
        host::run_wait_status("unzip -Z -T -s " + job.zip_arg + " > " + host::quote(listing));
    if (listed < 0)
        return Result::cannot_start;
    std::string text;
    std::vector<Entry> entries;
    if (!package::unpacked(listed) || !read_file(listing, text) || !parse_listing(text, entries))
        return Result::failed;
    size_t refused = 0;
    for (const Entry &entry : entries) {
        Refusal refusal = judge(entry, job.prefix);
        if (refusal == Refusal::none)
            continue;
        if (++refused <= refusals_shown)
            printf("%sRefused package entry '%s': it %s%s\n", console::red,
                   printable(entry.name).c_str(), reason(refusal, job.prefix).c_str(),
                   console::reset);
    }
    if (refused > refusals_shown)
        printf("%s... and %zu more refused entries%s\n", console::red, refused - refusals_shown,
               console::reset);
    if (refused > 0) {
        printf("%sThe package is refused: nothing of it is unpacked%s\n", console::red,
               console::reset);
        return Result::refused;
    }

    const std::string tree = staging.path() + "/tree";
    if (mkdir(tree.c_str(), 0700) != 0)
        return Result::cannot_start;
    // On a terminal unzip lists every entry there itself; a pipe or a log
    // gets one line, and the listing (with its staging paths) goes to the
    // run's log.
    const std::string unzip = "unzip -o " + job.zip_arg + " -d " + host::quote(tree);
    const bool terminal = host::output_is_terminal();
    int unzipped = terminal ? host::pass_through_status(unzip) : host::run_logged(unzip);
    if (unzipped < 0)
        return Result::cannot_start;
    if (!package::unpacked(unzipped) || !tighten(tree))
        return Result::failed;

    // From here on the directory changes: whatever said it was complete no
    // longer does, until its owner writes it again.
    if (!job.record.empty())
        unlink(job.record.c_str());
    Fd from(open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    Failure failure;
    if (!from.ok())
        failure.set(tree);
    if (!from.ok() || !merge_into(from.get(), dir.get(), failure)) {
        report_move_failure(job.dir, failure);
        return Result::failed;
    }
    if (!tighten(job.dir + job.prefix))
        return Result::failed;
    if (!terminal)
        printf("unzip: %zu %s unpacked into %s\n", entries.size(),
               entries.size() == 1 ? "entry" : "entries", printable(job.dir).c_str());
    return Result::ok;
}

} // namespace archive
