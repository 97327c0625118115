// Audit of the release's Debian packages: the digests of whatever lies in
// packages/deb-files/ are written afresh to utils/files/local_deb_checksum
// and counted against the official list utils/files/deb_checksum that came
// with the release. Only a surplus of entries is reported.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/types.h>

#include "app/commands.h"
#include "app/host.h"
#include "app/layout.h"
#include "app/state.h"
#include "utils/file.h"

namespace {

// Lines of the file at path as getline returns them (a last line without a
// line end counts too), or -1 when it cannot be opened.
long count_lines(const std::string &path)
{
    File f(fopen(path.c_str(), "r"));
    if (!f)
        return -1;
    long count = 0;
    char *line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, f.get()) >= 0)
        count++;
    free(line);
    return count;
}

} // namespace

int deb_checksum(void)
{
    const std::string sh_local = layout::release_arg("/utils/files/local_deb_checksum");
    const std::string sh_official = layout::release_arg("/utils/files/deb_checksum");
    const std::string sh_debs = layout::release_arg("/packages/deb-files");

    long deb_count = count_lines(layout::release_path("/utils/files/deb_checksum"));
    if (deb_count < 0) {
        // Without an official list every package counts as surplus.
        puts("deb_checksum read failed.");
        deb_count = 0;
    }

    if (host::run("if [ -e " + sh_local + " ]; then rm -fr " + sh_local + "; fi") < 0)
        return 1;
    if (host::run("cd " + sh_debs + "; for deb in `ls " + sh_debs + "`; do sha256sum $deb >> " +
                  sh_local + "; done") < 0)
        return 1;

    // No entry in the package directory leaves no local list at all.
    long local_deb_count = count_lines(layout::release_path("/utils/files/local_deb_checksum"));
    if (local_deb_count < 0) {
        puts("deb_checksum read failed.");
        return 1;
    }

    // diff's verdict is not used: a replaced or missing package is not
    // reported, only a surplus of entries is.
    if (!host::run_wait("diff " + sh_local + " " + sh_official + " > /dev/null")) {
        printf("%s: checksum files compare internal error\n", "deb_checksum");
        return 1;
    }

    return local_deb_count > deb_count ? 2 : 0;
}
