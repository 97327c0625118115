// Audit of the release's Debian packages: the digests of whatever lies in
// packages/deb-files/ are written afresh to utils/files/local_deb_checksum
// and judged by content against the official list utils/files/deb_checksum
// that came with the release: every entry of the directory must carry a
// digest of the official list, and every official package must be there.
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

#include "core/commands.h"
#include "core/safe_text.h"
#include "core/state.h"
#include "host/console.h"
#include "host/host.h"
#include "release/layout.h"
#include "utils/file.h"

namespace {

// What the last audit found, named in the warning of the repack.
std::vector<std::string> not_official; // entries whose digest the official list lacks
std::vector<std::string> missing;      // official packages without an entry of their digest
std::vector<std::string> changed;      // names in both: an official package replaced

// One line as sha256sum prints it: digest, two blanks (or a blank and "*"),
// name. A name holding a line feed or a backslash comes escaped, the line
// then beginning with a backslash.
bool parse_sum_line(std::string line, std::string &digest, std::string &name)
{
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    bool escaped = !line.empty() && line[0] == '\\';
    if (escaped)
        line.erase(0, 1);
    size_t blank = line.find(' ');
    if (blank == std::string::npos || blank + 2 > line.size())
        return false;
    digest = line.substr(0, blank);
    std::string raw = line.substr(blank + 2);
    name.clear();
    for (size_t i = 0; i < raw.size(); i++) {
        if (escaped && raw[i] == '\\' && i + 1 < raw.size()) {
            name += raw[i + 1] == 'n' ? '\n' : raw[i + 1];
            i++;
        } else {
            name += raw[i];
        }
    }
    return true;
}

// The digest lines of the list at path as (digest, name) pairs, or false
// when it cannot be opened. Lines of another form are left out.
bool read_sums(const std::string &path, std::vector<std::pair<std::string, std::string>> &sums)
{
    File f(fopen(path.c_str(), "r"));
    if (!f)
        return false;
    sums.clear();
    char *line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, f.get()) >= 0) {
        std::string digest, name;
        if (parse_sum_line(line, digest, name))
            sums.emplace_back(digest, name);
    }
    free(line);
    return true;
}

// The names in directory path, without "." and "..".
std::vector<std::string> entries_of(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (struct dirent *e = readdir(dir)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

} // namespace

int deb_checksum(void)
{
    const std::string sh_local = layout::release_arg("/utils/files/local_deb_checksum");
    const std::string sh_official = layout::release_arg("/utils/files/deb_checksum");
    const std::string sh_debs = layout::release_arg("/packages/deb-files");
    not_official.clear();
    missing.clear();
    changed.clear();

    std::vector<std::pair<std::string, std::string>> official;
    if (!read_sums(layout::release_path("/utils/files/deb_checksum"), official)) {
        // Without an official list no package is official.
        puts("deb_checksum read failed.");
    }

    if (host::run("if [ -e " + sh_local + " ]; then rm -fr " + sh_local + "; fi") < 0)
        return 1;
    if (host::run("cd " + sh_debs + "; for deb in `ls " + sh_debs + "`; do sha256sum $deb >> " +
                  sh_local + "; done") < 0)
        return 1;
    // A dry run wrote no local list to judge: the audit goes on as if it had
    // found nothing to report.
    if (host::dry_run())
        return 0;

    // No entry in the package directory leaves no local list at all.
    std::vector<std::pair<std::string, std::string>> local;
    if (!read_sums(layout::release_path("/utils/files/local_deb_checksum"), local)) {
        puts("deb_checksum read failed.");
        return 1;
    }

    // diff's verdict is not used: the contents are judged below.
    if (!host::run_wait("diff " + sh_local + " " + sh_official + " > /dev/null")) {
        printf("%s: checksum files compare internal error\n", "deb_checksum");
        return 1;
    }

    std::set<std::string> official_digests;
    for (const auto &[digest, name] : official) {
        if (!digest.empty())
            official_digests.insert(digest);
    }
    std::set<std::string> present_digests;
    std::map<std::string, std::string> digest_of; // name -> digest, from the local list
    for (const auto &[digest, name] : local) {
        present_digests.insert(digest);
        digest_of[name] = digest;
    }
    // Every entry of the directory, hidden ones and those the loop could not
    // digest (a directory, a name with blanks) included, must carry an
    // official digest.
    std::set<std::string> names;
    for (const std::string &name : entries_of(layout::release_path("/packages/deb-files")))
        names.insert(name);
    for (const auto &[name, digest] : digest_of)
        names.insert(name);
    for (const std::string &name : names) {
        auto it = digest_of.find(name);
        if (it == digest_of.end() || official_digests.count(it->second) == 0)
            not_official.push_back(name);
    }
    std::set<std::string> absent;
    for (const auto &[digest, name] : official) {
        if (!digest.empty() && present_digests.count(digest) == 0)
            absent.insert(name);
    }
    // A name that is both is an official package replaced by another file.
    std::vector<std::string> foreign;
    for (const std::string &name : not_official) {
        if (absent.erase(name))
            changed.push_back(name);
        else
            foreign.push_back(name);
    }
    not_official = foreign;
    missing.assign(absent.begin(), absent.end());

    return not_official.empty() && missing.empty() && changed.empty() ? 0 : 2;
}

void print_deb_findings(void)
{
    for (const std::string &name : changed)
        printf("%sReplaced official package: %s%s\n", console::red, printable(name).c_str(),
               console::reset);
    for (const std::string &name : not_official)
        printf("%sNot in the official list: %s%s\n", console::red, printable(name).c_str(),
               console::reset);
    for (const std::string &name : missing)
        printf("%sOfficial package missing: %s%s\n", console::red, printable(name).c_str(),
               console::reset);
}
