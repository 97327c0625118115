// The doctor's checks. Host files are read through probe::host_path; the
// only commands run are apt-cache policy and wget --spider.
#include "cli/doctor.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <json-c/json.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "core/safe_text.h"
#include "core/state.h"
#include "host/console.h"
#include "host/host.h"
#include "release/resource_server.h"
#include "setup/host_probe.h"
#include "setup/setup.h"

namespace doctor {

namespace {

// Release packages are a few GiB; unpacking and the system image rebuild
// need about three times a package's size. A package already in the target
// directory that is larger counts instead of this figure.
constexpr unsigned long long assumed_package = 4ULL << 30;
constexpr int space_factor = 3;
// More than this between our clock and the server's breaks nothing yet, but
// it is worth setting right.
constexpr long clock_tolerance = 300;
// 2025-01-01 00:00:00 UTC: no correct clock shows an earlier time.
constexpr time_t clock_floor = 1735689600;

const char *const udev_rule_file = "/etc/udev/rules.d/51-ostrelle-qdl.rules";
const char *const udev_rule = "SUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"05c6\", "
                              "ATTRS{idProduct}==\"9008\", MODE=\"0666\", "
                              "ENV{ID_MM_DEVICE_IGNORE}=\"1\"";

Check pass(const char *name, std::string detail)
{
    return {name, Verdict::pass, std::move(detail), {}};
}

Check fail(const char *name, std::string detail, std::string fix)
{
    return {name, Verdict::fail, std::move(detail), std::move(fix)};
}

Check skip(const char *name, std::string detail)
{
    return {name, Verdict::skip, "cannot check: " + std::move(detail), {}};
}

// A fix that needs root, as this user can run it: as is for root, each
// command of an "a && b" line through sudo where sudo is installed, else
// to be run as root, as host preparation says it.
std::string as_root(const std::string &commands)
{
    if (probe::is_root())
        return commands;
    if (!probe::on_path("sudo")) {
        // Run by root, $USER would name root: the user is named instead.
        std::string named = commands;
        const char *user = getenv("USER");
        if (const struct passwd *pw = getpwuid(geteuid()))
            user = pw->pw_name;
        for (size_t at; user && *user && (at = named.find("$USER")) != std::string::npos;)
            named.replace(at, 5, host::quote(user));
        return "as root, run: " + named;
    }
    std::string out;
    std::string_view rest = commands;
    while (true) {
        size_t and_then = rest.find(" && ");
        out += "sudo ";
        out += rest.substr(0, and_then);
        if (and_then == std::string_view::npos)
            return out;
        out += " && ";
        rest.remove_prefix(and_then + 4);
    }
}

// Hosts of the .example domain, which the default build compiles in as
// server placeholders, never resolve.
bool placeholder(const char *url)
{
    std::string_view host = url;
    size_t scheme = host.find("://");
    if (scheme != std::string_view::npos)
        host.remove_prefix(scheme + 3);
    host = host.substr(0, host.find_first_of(":/"));
    constexpr std::string_view reserved = ".example";
    return host.size() >= reserved.size() &&
           host.compare(host.size() - reserved.size(), reserved.size(), reserved) == 0;
}

const char *const real_urls_fix =
    "build with the real servers: cmake -S . -B build -DOSTRELLE_ACCOUNT_URL=https://... "
    "-DOSTRELLE_RESOURCE_URL=https://... -DOSTRELLE_TOOLCHAIN_URL=http://... && cmake --build "
    "build (see Installing in the README)";

std::vector<std::string> list_dir(const std::string &host_dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(probe::host_path(host_dir).c_str())) {
        while (struct dirent *e = readdir(d)) {
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool dir_exists(const std::string &host_dir)
{
    struct stat st {};
    return stat(probe::host_path(host_dir).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The first line of a host file, without its line end; empty when unreadable.
std::string first_line(const std::string &host_file)
{
    std::ifstream f(probe::host_path(host_file));
    std::string line;
    std::getline(f, line);
    return line;
}

std::string lower(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string gib(unsigned long long bytes)
{
    return host::format("%.1f GiB", static_cast<double>(bytes) / (1ULL << 30));
}

// -- udev rules and groups ----------------------------------------------------

struct UdevRules {
    std::string access_file; // a rule that names 05c6:9008
    bool mm_ignore = false;  // such a rule also tells ModemManager to keep off
    bool any_dir = false;    // udev has a rules directory at all
};

UdevRules udev_rules(void)
{
    UdevRules out;
    for (const char *dir :
         {"/etc/udev/rules.d", "/run/udev/rules.d", "/lib/udev/rules.d", "/usr/lib/udev/rules.d"}) {
        if (!dir_exists(dir))
            continue;
        out.any_dir = true;
        for (const std::string &name : list_dir(dir)) {
            if (name.size() < 6 || name.compare(name.size() - 6, 6, ".rules") != 0)
                continue;
            std::string file = std::string(dir) + "/" + name;
            std::ifstream f(probe::host_path(file));
            std::string line;
            while (std::getline(f, line)) {
                std::string l = lower(line);
                size_t start = l.find_first_not_of(" \t");
                if (start == std::string::npos || l[start] == '#')
                    continue;
                if (l.find("05c6") == std::string::npos || l.find("9008") == std::string::npos)
                    continue;
                if (out.access_file.empty())
                    out.access_file = file;
                if (l.find("id_mm_device_ignore") != std::string::npos)
                    out.mm_ignore = true;
            }
        }
    }
    return out;
}

// Group name and id pairs of /etc/group.
std::vector<std::pair<std::string, gid_t>> groups(void)
{
    std::vector<std::pair<std::string, gid_t>> out;
    std::ifstream f(probe::host_path("/etc/group"));
    std::string line;
    while (std::getline(f, line)) {
        size_t a = line.find(':');
        size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos)
            continue;
        out.emplace_back(line.substr(0, a),
                         static_cast<gid_t>(strtoul(line.c_str() + b + 1, nullptr, 10)));
    }
    return out;
}

std::string group_name(gid_t gid)
{
    for (const auto &[name, id] : groups()) {
        if (id == gid)
            return name;
    }
    return std::to_string(gid);
}

// -- the checks -----------------------------------------------------------------

Check check_packages(const probe::PackageDb &db)
{
    const char *name = "packages";
    if (db.empty())
        return skip(name, "apt-cache printed nothing (not a Debian or Ubuntu host?)");
    probe::PackageNames names = probe::resolve(db);
    std::vector<std::string> missing;
    for (const std::string &p : names.install) {
        auto it = db.find(p);
        if (it == db.end() || !it->second.installed)
            missing.push_back(p);
    }
    if (missing.empty() && names.unresolved.empty())
        return pass(name, "installed: " + probe::join(names.check));
    std::string detail;
    std::string fix;
    if (!missing.empty()) {
        detail = "missing: " + probe::join(missing);
        fix = as_root("apt-get install " + probe::join(missing));
    }
    for (const probe::Rename *r : names.unresolved) {
        detail += detail.empty() ? "" : "; ";
        detail += host::format("no install candidate for %s, nor for %s", r->name,
                               probe::successors_text(*r).c_str());
    }
    if (!names.unresolved.empty()) {
        fix += fix.empty() ? "" : "; ";
        fix += as_root("apt-get update") + ", then check the package sources in /etc/apt/";
    }
    return fail(name, detail, fix);
}

Check check_loader(void)
{
    const char *name = "loader-link";
    probe::Loader l = probe::loader();
    std::string link = probe::loader_link;
    if (l.state == probe::Loader::ok)
        return pass(name, link + " leads to an aarch64 loader");
    std::string found;
    switch (l.state) {
    case probe::Loader::missing:
        found = link + " is missing";
        break;
    case probe::Loader::wrong:
        found = link + " points to " + l.points_to + ", which is no aarch64 loader";
        break;
    default:
        found = link + " is a file but no aarch64 loader";
        break;
    }
    if (l.shipped.empty())
        return fail(name, found + "; /usr/aarch64-linux-gnu/lib has no aarch64 loader",
                    as_root("apt-get install libc6-arm64-cross"));
    std::string fix = "ln -s" + std::string(l.state == probe::Loader::wrong ? "f " : " ") +
                      l.shipped + " " + link;
    if (l.state == probe::Loader::not_link)
        fix = "mv " + link + " " + link + ".old && " + fix;
    return fail(name, found, as_root(fix));
}

Check check_tools(const probe::PackageDb &db)
{
    const char *name = "tools";
    const char *tools[] = {"wget", "unzip", "sha256sum", "adb", "QSaharaServer", "fh_loader"};
    std::vector<std::string> missing;
    std::vector<std::string> packages;
    bool qdl = false;
    for (const char *tool : tools) {
        if (probe::on_path(tool))
            continue;
        missing.emplace_back(tool);
        if (strcmp(tool, "QSaharaServer") == 0 || strcmp(tool, "fh_loader") == 0) {
            qdl = true;
        } else if (strcmp(tool, "sha256sum") == 0) {
            packages.emplace_back("coreutils");
        } else if (strcmp(tool, "adb") == 0) {
            // adb's package under this host's name for it (the first needed package).
            packages.push_back(probe::resolve(db).check.front());
        } else {
            packages.emplace_back(tool);
        }
    }
    if (missing.empty())
        return pass(name, "on PATH: wget unzip sha256sum adb QSaharaServer fh_loader");
    std::string fix;
    if (!packages.empty())
        fix = as_root("apt-get install " + probe::join(packages));
    if (qdl) {
        fix += fix.empty() ? "" : "; ";
        fix += "put Qualcomm's QDL tools QSaharaServer and fh_loader in a directory on PATH "
               "(/usr/local/bin)";
    }
    return fail(name, "not on PATH: " + probe::join(missing), fix);
}

Check check_device_access(const UdevRules &rules)
{
    const char *name = "device-access";
    if (probe::is_root())
        return pass(name, "running as root");
    if (!rules.access_file.empty())
        return pass(name, "udev rule for 05c6:9008 in " + rules.access_file);
    std::string group;
    gid_t gid = 0;
    bool known = false;
    for (const std::string &entry : list_dir("/dev")) {
        if (entry.compare(0, 6, "ttyUSB") != 0)
            continue;
        struct stat st {};
        if (stat(probe::host_path("/dev/" + entry).c_str(), &st) == 0) {
            gid = st.st_gid;
            group = group_name(gid) + " (owner of /dev/" + entry + ")";
            known = true;
            break;
        }
    }
    if (!known) {
        // No serial port now: dialout owns them on Debian and Ubuntu.
        for (const auto &[n, id] : groups()) {
            if (n == "dialout") {
                gid = id;
                group = "dialout";
                known = true;
            }
        }
    }
    if (!known && !rules.any_dir)
        return skip(name, "no udev rules directory and no dialout group");
    if (known && probe::in_group(gid))
        return pass(name, "member of group " + group);
    std::string g = known ? group.substr(0, group.find(' ')) : "dialout";
    return fail(name, "no udev rule for USB 05c6:9008 and not a member of group " + g,
                as_root("usermod -aG " + g + " $USER") + " (then log in again), or the file " +
                    udev_rule_file + " with the line: " + udev_rule);
}

Check check_modem_manager(const UdevRules &rules)
{
    const char *name = "modemmanager";
    if (!dir_exists("/proc"))
        return skip(name, "no /proc");
    bool running = false;
    for (const std::string &entry : list_dir("/proc")) {
        if (!std::all_of(entry.begin(), entry.end(), [](char c) { return isdigit(c); }))
            continue;
        if (first_line("/proc/" + entry + "/comm") == "ModemManager") {
            running = true;
            break;
        }
    }
    if (!running)
        return pass(name, "ModemManager is not running");
    if (rules.mm_ignore)
        return pass(name, "ModemManager is running; a udev rule keeps it off 05c6:9008");
    return fail(name,
                "ModemManager is running and may take the serial port of a board in "
                "download mode",
                as_root("systemctl stop ModemManager") +
                    ", or add ENV{ID_MM_DEVICE_IGNORE}=\"1\" to a udev rule for 05c6:9008 (" +
                    std::string(udev_rule_file) + ")");
}

Check check_qcserial(void)
{
    const char *name = "qcserial";
    const std::string usb = "/sys/bus/usb/devices";
    if (!dir_exists(usb))
        return skip(name, "no " + usb);
    std::vector<std::string> entries = list_dir(usb);
    std::vector<std::string> unbound;
    std::string bound;
    for (const std::string &dev : entries) {
        if (first_line(usb + "/" + dev + "/idVendor") != "05c6" ||
            first_line(usb + "/" + dev + "/idProduct") != "9008")
            continue;
        std::string driver;
        for (const std::string &intf : entries) {
            if (intf.compare(0, dev.size() + 1, dev + ":") != 0)
                continue;
            char buf[256];
            std::string link = probe::host_path(usb + "/" + intf + "/driver");
            ssize_t n = readlink(link.c_str(), buf, sizeof(buf) - 1);
            if (n > 0) {
                std::string target(buf, static_cast<size_t>(n));
                driver = target.substr(target.rfind('/') + 1);
            }
        }
        if (driver.empty())
            unbound.push_back(dev);
        else if (bound.empty())
            bound = "board in download mode at " + dev + " is bound to " + driver;
    }
    if (!unbound.empty())
        return fail(name,
                    "board in download mode at " + probe::join(unbound) +
                        " has no driver (qcserial not bound), so no /dev/ttyUSB port",
                    as_root("modprobe qcserial") + ", then reconnect the board");
    if (!bound.empty())
        return pass(name, bound);
    return skip(name, "no board in download mode (USB 05c6:9008) is connected");
}

Check check_space(const char *target)
{
    const char *name = "free-space";
    std::string dir = target ? target : stored_target_path();
    if (dir.empty())
        return skip(name,
                    "no target directory stored yet (~/" + std::string(tardir_filename) + ")");
    unsigned long long package = assumed_package;
    const char *what = "assumed";
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            struct stat st {};
            if (n.size() > 4 && n.compare(n.size() - 4, 4, ".zip") == 0 &&
                stat((dir + "/" + n).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                static_cast<unsigned long long>(st.st_size) > package) {
                package = static_cast<unsigned long long>(st.st_size);
                what = "largest in the directory";
            }
        }
        closedir(d);
    }
    // The directory may not exist yet: the first run creates it below its
    // nearest existing directory, whose file system and permissions count.
    std::string at = dir;
    bool exists = true;
    struct stat st {};
    while (stat(at.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        exists = false;
        if (at == "/" || at.empty())
            return skip(name, "cannot read the file system of " + dir);
        while (at.size() > 1 && at.back() == '/')
            at.pop_back();
        at = at.substr(0, at.rfind('/') + 1);
    }
    struct statvfs vfs {};
    if (statvfs(at.c_str(), &vfs) != 0)
        return skip(name, "cannot read the file system of " + dir);
    std::string where = exists ? dir
                               : dir +
                                     " does not exist yet; at its nearest existing "
                                     "directory " +
                                     at + ": ";
    if (!exists && access(at.c_str(), W_OK | X_OK) != 0)
        return fail(
            name, where + "not writable, so the first run cannot create it",
            "choose a target directory below one you can write, or create it: " +
                as_root("mkdir -p " + host::quote(dir) + " && chown $USER " + host::quote(dir)));
    unsigned long long free = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
    unsigned long long need = package * space_factor;
    std::string detail = exists ? host::format("%s free at %s", gib(free).c_str(), dir.c_str())
                                : where + gib(free) + " free";
    detail += host::format(", %s needed (%d x %s release package, %s)", gib(need).c_str(),
                           space_factor, gib(package).c_str(), what);
    if (free >= need)
        return pass(name, detail);
    return fail(name, detail,
                "remove old releases (<release>.zip and <release>/) from " + dir +
                    ", or choose a target directory on a larger disk");
}

Check check_server(const char *name, const char *url)
{
    std::string target = std::string(url) + "/";
    if (placeholder(url))
        return fail(name,
                    target + " is a placeholder compiled into this build and reaches no server",
                    real_urls_fix);
    if (!tls_verify)
        return fail(name,
                    target + " is not verified: this build does not check the servers' "
                             "certificates",
                    "build ostrelle with OSTRELLE_TLS_VERIFY=ON");
    const std::string ca = resource::ca_file();
    const std::string refusal = resource::ca_file_refusal(ca);
    if (!refusal.empty())
        return fail(name,
                    target + " is not checked against the certificate authority file " +
                        printable(ca) + " named by OSTRELLE_CA_FILE: " + refusal,
                    "keep a copy of your own that only you may write, chmod 644 it and point "
                    "OSTRELLE_CA_FILE at it");
    // The certificate is checked as the downloads check it (the system's
    // authorities, or OSTRELLE_CA_FILE for a lab mirror).
    std::vector<std::string> wget = {"wget"};
    for (const std::string &option : resource::tls_args())
        wget.push_back(option);
    wget.insert(wget.end(), {"--spider", "-q", "-T", "10", "-t", "1", target});
    host::Reply reply = host::output(wget, 4096, host::Effect::reads, host::Io::null);
    int status = reply.started() ? reply.status : -1;
    switch (status) {
    case 0:
    case 8: // the server answered, with an error page for this path
        return pass(name, target + " answers; its certificate is trusted");
    case 5:
        return fail(name, target + " answers, but its certificate is not trusted",
                    "copy the CA certificate of the server to /usr/local/share/ca-certificates/ "
                    "(a .crt file) and run " +
                        as_root("update-ca-certificates") +
                        ", or for a lab mirror set OSTRELLE_CA_FILE to "
                        "its CA certificate; also check the clock");
    case 4:
        return fail(name, target + " cannot be reached (network failure)",
                    "check the network connection and the proxy (https_proxy), then: wget "
                    "--spider " +
                        host::quote(target));
    case -1:
    case 127:
        return skip(name, "wget cannot be run");
    default:
        return fail(name, host::format("%s: wget ended with status %d", target.c_str(), status),
                    "wget --spider " + host::quote(target) + " shows why");
    }
}

Check check_clock(void)
{
    const char *name = "clock";
    time_t now = time(nullptr);
    char local[32];
    strftime(local, sizeof(local), "%Y-%m-%d %H:%M:%S UTC", gmtime(&now));
    if (now < clock_floor)
        return fail(name, std::string("the clock says ") + local + ", which cannot be right",
                    as_root("timedatectl set-ntp true") +
                        ", or set it: " + as_root("date -u -s 'YYYY-MM-DD HH:MM:SS'"));
    if (placeholder(resource_url))
        return skip(name,
                    std::string("the resource server's URL is a placeholder; the clock says ") +
                        local);
    // A wrong clock is exactly what makes certificate checks fail, so the
    // server's time is read without them; nothing else of the reply is used.
    std::string target = std::string(resource_url) + "/";
    host::Reply reply = host::output(
        {"wget", "-S", "--spider", "-T", "10", "-t", "1", "--no-check-certificate", target}, 65536,
        host::Effect::reads, host::Io::to_out);
    std::optional<time_t> server = server_date(reply.line);
    if (!server)
        return skip(name, std::string("no time from the resource server; the clock says ") + local);
    long diff = static_cast<long>(difftime(now, *server));
    long off = diff < 0 ? -diff : diff;
    if (off <= clock_tolerance)
        return pass(name, host::format("%s, %ld s from the resource server's clock", local, off));
    char theirs[32];
    strftime(theirs, sizeof(theirs), "%Y-%m-%d %H:%M:%S", gmtime(&*server));
    return fail(name,
                host::format("the clock says %s, %ld min %s the resource server's", local, off / 60,
                             diff < 0 ? "behind" : "ahead of"),
                as_root("timedatectl set-ntp true") +
                    ", or set it: " + as_root("date -u -s '" + std::string(theirs) + "'"));
}

const char *verdict_word(Verdict v)
{
    return v == Verdict::pass ? "ok" : v == Verdict::fail ? "FAIL" : "skip";
}

} // namespace

std::optional<time_t> server_date(std::string_view wget_output)
{
    while (!wget_output.empty()) {
        size_t end = wget_output.find('\n');
        std::string line(wget_output.substr(0, end));
        wget_output = end == std::string_view::npos ? "" : wget_output.substr(end + 1);
        size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line.compare(at, 5, "Date:") != 0)
            continue;
        struct tm tm {};
        const char *rest = strptime(line.c_str() + at + 5, " %a, %d %b %Y %H:%M:%S GMT", &tm);
        if (rest)
            return timegm(&tm);
    }
    return std::nullopt;
}

std::vector<Check> run_checks(const char *target)
{
    std::vector<std::string> names = probe::rename_names();
    for (const char *p : probe::needed_packages()) {
        if (std::find(names.begin(), names.end(), p) == names.end())
            names.emplace_back(p);
    }
    probe::PackageDb db = probe::query_packages(names);
    UdevRules rules = udev_rules();
    return {check_packages(db),
            check_loader(),
            check_tools(db),
            check_device_access(rules),
            check_modem_manager(rules),
            check_qcserial(),
            check_space(target),
            check_server("account-server", account_url),
            check_server("resource-server", resource_url),
            check_clock()};
}

void print_text(const std::vector<Check> &checks)
{
    for (const Check &c : checks) {
        const char *colour = c.verdict == Verdict::pass   ? console::green
                             : c.verdict == Verdict::fail ? console::red
                                                          : console::yellow;
        printf("%s%-4s%s %-15s %s", colour, verdict_word(c.verdict), console::reset, c.name,
               c.detail.c_str());
        if (!c.fix.empty())
            printf("; fix: %s", c.fix.c_str());
        printf("\n");
    }
}

void print_json(const std::vector<Check> &checks)
{
    json_object *root = json_object_new_object();
    json_object *list = json_object_new_array();
    bool ok = true;
    for (const Check &c : checks) {
        ok = ok && c.verdict != Verdict::fail;
        json_object *o = json_object_new_object();
        json_object_object_add(o, "name", json_object_new_string(c.name));
        json_object_object_add(o, "verdict",
                               json_object_new_string(c.verdict == Verdict::pass   ? "pass"
                                                      : c.verdict == Verdict::fail ? "fail"
                                                                                   : "skip"));
        json_object_object_add(o, "detail", json_object_new_string(c.detail.c_str()));
        json_object_object_add(o, "fix",
                               c.fix.empty() ? nullptr : json_object_new_string(c.fix.c_str()));
        json_object_array_add(list, o);
    }
    json_object_object_add(root, "ok", json_object_new_boolean(ok));
    json_object_object_add(root, "checks", list);
    console::print_json(root);
}

} // namespace doctor

int doctor_run(bool json, const char *target)
{
    std::vector<doctor::Check> checks = doctor::run_checks(target);
    if (json)
        doctor::print_json(checks);
    else
        doctor::print_text(checks);
    fflush(stdout);
    for (const doctor::Check &c : checks) {
        if (c.verdict == doctor::Verdict::fail)
            return 1;
    }
    return 0;
}
