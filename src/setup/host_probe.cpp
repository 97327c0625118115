// Read-only probes of the host shared by host preparation and the doctor.
#include "setup/host_probe.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/state.h"
#include "host/host.h"

namespace probe {

namespace {

// A test-bed setting; never read by the program itself.
const char *testbed_setting(const char *name)
{
    if (!testbed_build)
        return nullptr;
    const char *value = getenv(name);
    return value && *value ? value : nullptr;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool has_candidate_or_installed(const PackageDb &db, std::string_view name)
{
    auto it = db.find(name);
    return it != db.end() && (it->second.installed || it->second.candidate);
}

// What the link at path (as the host names it) holds; empty when it is no link.
std::string read_link(const std::string &path)
{
    char buf[PATH_MAX];
    ssize_t n = readlink(host_path(path).c_str(), buf, sizeof(buf) - 1);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

// Follows the links of path's last component, a relative link against the
// directory of the link; the path finally reached, as the host names it.
std::string follow(std::string path)
{
    for (int hops = 0; hops < 16; hops++) {
        std::string target = read_link(path);
        if (target.empty())
            return path;
        if (target.front() != '/')
            target = path.substr(0, path.rfind('/') + 1) + target;
        path = std::move(target);
    }
    return path;
}

// A text that needs no quoting on a command line (see host::quote).
bool plain(const std::string &text)
{
    return !text.empty() && host::quote(text) == text;
}

} // namespace

std::string host_path(std::string_view path)
{
    const char *root = testbed_setting("OSTRELLE_TESTBED_ROOT");
    std::string out = root ? root : "";
    out += path;
    return out;
}

bool is_root(void)
{
    if (const char *uid = testbed_setting("OSTRELLE_TESTBED_UID"))
        return strcmp(uid, "0") == 0;
    return geteuid() == 0;
}

bool in_group(gid_t gid)
{
    if (const char *groups = testbed_setting("OSTRELLE_TESTBED_GROUPS")) {
        std::string_view rest = groups;
        while (!rest.empty()) {
            size_t comma = rest.find(',');
            std::string one(rest.substr(0, comma));
            if (!one.empty() && strtoul(one.c_str(), nullptr, 10) == gid)
                return true;
            rest = comma == std::string_view::npos ? "" : rest.substr(comma + 1);
        }
        return false;
    }
    if (getegid() == gid)
        return true;
    int n = getgroups(0, nullptr);
    if (n <= 0)
        return false;
    std::vector<gid_t> list(static_cast<size_t>(n));
    n = getgroups(n, list.data());
    for (int i = 0; i < n; i++) {
        if (list[static_cast<size_t>(i)] == gid)
            return true;
    }
    return false;
}

bool on_path(std::string_view tool)
{
    const char *path = getenv("PATH");
    std::string_view rest = path ? path : "";
    while (true) {
        size_t colon = rest.find(':');
        std::string dir(rest.substr(0, colon));
        std::string file = (dir.empty() ? std::string(".") : dir) + "/" + std::string(tool);
        struct stat st {};
        if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(file.c_str(), X_OK) == 0)
            return true;
        if (colon == std::string_view::npos)
            return false;
        rest.remove_prefix(colon + 1);
    }
}

const char *root_prefix(void)
{
    if (is_root())
        return "";
    return on_path("sudo") ? "sudo " : nullptr;
}

// -- host packages ----------------------------------------------------------

PackageDb parse_policy(std::string_view text)
{
    PackageDb db;
    Package *current = nullptr;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? "" : text.substr(end + 1);
        if (line.empty())
            continue;
        // A stanza starts with "name:" at the left margin; notices such as
        // "N: Unable to locate package x" have text after the colon.
        if (line.front() != ' ') {
            current = nullptr;
            if (line.back() == ':' && line.find(' ') == std::string_view::npos)
                current = &db[std::string(line.substr(0, line.size() - 1))];
            continue;
        }
        if (!current)
            continue;
        std::string_view field = trim(line);
        for (auto [key, flag] : {std::pair{std::string_view("Installed:"), &current->installed},
                                 std::pair{std::string_view("Candidate:"), &current->candidate}}) {
            if (field.substr(0, key.size()) == key) {
                std::string_view value = trim(field.substr(key.size()));
                *flag = !value.empty() && value != "(none)";
            }
        }
    }
    return db;
}

PackageDb query_packages(const std::vector<std::string> &names)
{
    // The C locale keeps the field names apt-cache prints in English.
    std::vector<std::string> argv = {"env", "LC_ALL=C", "apt-cache", "policy"};
    argv.insert(argv.end(), names.begin(), names.end());
    host::Reply reply = host::output(argv, 65536, host::Effect::reads, host::Io::null);
    if (!reply.has_line())
        return {};
    return parse_policy(reply.line);
}

const std::vector<Rename> &renames(void)
{
    // Release scripts run "python", so python 3 comes with the package that
    // installs that command.
    static const std::vector<Rename> table = {
        {"android-tools-adb", {"adb"}},
        {"python", {"python3", "python-is-python3"}},
    };
    return table;
}

std::vector<std::string> rename_names(void)
{
    std::vector<std::string> names;
    for (const Rename &r : renames()) {
        names.emplace_back(r.name);
        for (const char *s : r.successors)
            names.emplace_back(s);
    }
    return names;
}

const std::vector<const char *> &needed_packages(void)
{
    static const std::vector<const char *> names = {"android-tools-adb",
                                                    "libc6-arm64-cross",
                                                    "fakechroot",
                                                    "fakeroot",
                                                    "qemu-user-static",
                                                    "wget",
                                                    "udev",
                                                    "unzip",
                                                    "coreutils",
                                                    "dpkg",
                                                    "python",
                                                    "kmod"};
    return names;
}

PackageNames resolve(const PackageDb &db)
{
    PackageNames out;
    for (const char *name : needed_packages()) {
        std::vector<std::string> chosen{name};
        bool resolved = true;
        for (const Rename &r : renames()) {
            if (strcmp(r.name, name) != 0 || has_candidate_or_installed(db, name))
                continue;
            bool successors = true;
            for (const char *s : r.successors)
                successors = successors && has_candidate_or_installed(db, s);
            if (successors) {
                chosen.assign(r.successors.begin(), r.successors.end());
            } else {
                resolved = false;
                out.unresolved.push_back(&r);
            }
        }
        // The install loop's re-check leaves adb and udev out on purpose: an
        // install attempt that cannot provide them still lets the set-up go on.
        bool optional = strcmp(name, "android-tools-adb") == 0 || strcmp(name, "udev") == 0;
        for (const std::string &c : chosen) {
            out.check.push_back(c);
            if (resolved)
                out.install.push_back(c);
            if (!optional)
                out.recheck.push_back(c);
            if (strcmp(name, "python") == 0)
                out.python.push_back(c);
        }
    }
    return out;
}

std::string join(const std::vector<std::string> &names)
{
    std::string out;
    for (const std::string &n : names) {
        if (!out.empty())
            out += ' ';
        out += n;
    }
    return out;
}

std::string successors_text(const Rename &rename)
{
    return join(std::vector<std::string>(rename.successors.begin(), rename.successors.end()));
}

// -- the Arm loader -----------------------------------------------------------

bool is_arm_loader(const std::string &path)
{
    int fd = open(host_path(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    unsigned char h[20];
    ssize_t n = read(fd, h, sizeof(h));
    close(fd);
    // ELF magic, 64-bit, little-endian, a shared object (type 3) for
    // AArch64 (machine 183).
    return n == static_cast<ssize_t>(sizeof(h)) && memcmp(h, "\177ELF", 4) == 0 && h[4] == 2 &&
           h[5] == 1 && h[16] == 3 && h[17] == 0 && h[18] == 183 && h[19] == 0;
}

Loader loader(void)
{
    Loader out;
    std::string shipped = follow(cross_loader);
    if (plain(shipped) && is_arm_loader(shipped))
        out.shipped = shipped;

    struct stat st {};
    if (lstat(host_path(loader_link).c_str(), &st) != 0) {
        out.state = errno == ENOENT ? Loader::missing : Loader::not_link;
        return out;
    }
    if (is_arm_loader(follow(loader_link))) {
        out.state = Loader::ok;
    } else if (S_ISLNK(st.st_mode)) {
        out.state = Loader::wrong;
        out.points_to = read_link(loader_link);
    } else {
        out.state = Loader::not_link;
    }
    return out;
}

std::string link_cmd(const std::string &target, bool replace, const char *sudo)
{
    return host::format("linkfile=`readlink %s`; if [ \"$linkfile\" != \"%s\" ]; then %sln -s%s "
                        "%s %s; fi",
                        loader_link, target.c_str(), sudo, replace ? "f" : "", target.c_str(),
                        loader_link);
}

} // namespace probe
