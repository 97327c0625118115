// What host preparation and `ostrelle doctor` both find out about the host,
// read-only: who we run as, which host packages exist under which name, and
// where the 64-bit Arm loader is. Host files are read through host_path, so
// the test-bed build can read a whole simulated host below a directory.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace probe {

// A host file's path as this build reads it: unchanged in the program; in the
// test-bed build below $OSTRELLE_TESTBED_ROOT when that variable is set.
std::string host_path(std::string_view path);

// Effective user id 0 (the test-bed build takes $OSTRELLE_TESTBED_UID when set).
bool is_root(void);
// The process belongs to group gid (test bed: $OSTRELLE_TESTBED_GROUPS, comma-separated).
bool in_group(gid_t gid);
// An executable file named tool in one of the directories of PATH.
bool on_path(std::string_view tool);
// "" as root, "sudo " when sudo is on PATH, nullptr when neither.
const char *root_prefix(void);

// -- host packages ----------------------------------------------------------

struct Package {
    bool installed = false; // apt-cache shows an installed version
    bool candidate = false; // apt-cache shows an install candidate
};
// Keyed by package name; a name apt-cache does not know is absent.
using PackageDb = std::map<std::string, Package, std::less<>>;

// Reads `apt-cache policy` output printed in the C locale.
PackageDb parse_policy(std::string_view text);
// Runs `apt-cache policy` for names (read-only, no network); empty when
// apt-cache is missing or prints nothing.
PackageDb query_packages(const std::vector<std::string> &names);

// A needed package whose name a release may have changed, and its successors.
struct Rename {
    const char *name;
    std::vector<const char *> successors;
};
// python -> python3 + python-is-python3, android-tools-adb -> adb.
const std::vector<Rename> &renames(void);
// Every name query_packages needs for resolve: the renamed ones and their successors.
std::vector<std::string> rename_names(void);
// The twelve packages the later steps need, in the order of the install line.
const std::vector<const char *> &needed_packages(void);

struct PackageNames {
    std::vector<std::string> check;   // all needed packages, each under its resolved name
    std::vector<std::string> install; // check less the unresolved ones
    std::vector<std::string> recheck; // check less adb and udev, as the install loop re-checks
    std::vector<std::string> python;  // python under its resolved name(s)
    // Needed names without an installable name: neither they nor their
    // successors are installed or have an install candidate. They keep
    // their own name in check.
    std::vector<const Rename *> unresolved;
};
// A name stays as it is when it is installed or has a candidate; otherwise
// its successors take its place when each of them is installed or has one.
PackageNames resolve(const PackageDb &db);
// Names joined by single blanks.
std::string join(const std::vector<std::string> &names);
// The successors of a rename joined by blanks.
std::string successors_text(const Rename &rename);

// -- the Arm loader -----------------------------------------------------------

inline constexpr const char *loader_link = "/lib/ld-linux-aarch64.so.1";
inline constexpr const char *cross_loader = "/usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1";

// path (as the host names it) is a 64-bit little-endian Arm ELF shared object.
bool is_arm_loader(const std::string &path);

struct Loader {
    enum State {
        ok,       // loader_link is, or leads to, an Arm loader
        missing,  // nothing at loader_link
        wrong,    // a link that dangles or leads elsewhere
        not_link, // a file that is neither a link nor an Arm loader
    } state = missing;
    std::string points_to; // what the link at loader_link holds (wrong)
    // The loader the installed cross C library ships, the soname link of
    // cross_loader followed to its file ("/usr/aarch64-linux-gnu/lib/ld-2.27.so"
    // on old releases); empty when there is none, or its path is not plain text.
    std::string shipped;
};
Loader loader(void);

// The loader-link command: links loader_link to target when readlink shows
// anything else; replace adds -f, for a link that is already there. sudo is
// "" or "sudo ".
std::string link_cmd(const std::string &target, bool replace, const char *sudo);

} // namespace probe
