// Command "3" (LE): the release's SDK toolchain. The product's toolchain
// list is fetched afresh, the selected release's entry names the package and
// its digest; the package is fetched into <release>/sdk_toolchain unless it
// is there, proved (fetched again up to three times while it differs,
// deleted when it stays wrong) and unpacked beside itself.
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/commands.h"
#include "core/state.h"
#include "host/console.h"
#include "host/host.h"
#include "release/layout.h"
#include "release/package.h"
#include "release/resource_server.h"
#include "release/ver_list.h"
#include "utils/file.h"

namespace {

// Reads the list at path and copies the entry of release into name and
// digest. Prints why and returns false when there is none; explain prints
// why the fetch failed when the list is missing.
template <typename Explain>
bool find_entry(const std::string &path, char (&name)[64], char (&digest)[128], Explain explain)
{
    File list(fopen(path.c_str(), "r"));
    if (!list) {
        printf("\n%sChecking toolchain_ver failed.\n", console::red);
        printf("Check the internet connection or Troubleshoot in README%s\n", console::reset);
        explain();
        return false;
    }
    long count = count_line_feeds(list.get());
    if (count > list_max_lines) {
        printf("%sThe toolchain list has more than %ld lines: refused and deleted%s\n",
               console::red, list_max_lines, console::reset);
        list.reset();
        unlink(path.c_str());
        return false;
    }
    if (count == 0) {
        puts("No released version found\n");
        return false;
    }
    rewind(list.get());
    std::vector<avail_ver> vers;
    if (read_avail_vers(list.get(), count, vers) != 0) {
        printf("%s: getline internal error\n", "sdk_le_toolchain");
        return false;
    }
    // A record left without a name (a line with no field) belongs to no
    // release, not even to an empty release name.
    for (const avail_ver &ver : vers) {
        if (ver.ver_name[0] != '\0' && strcmp(ver.ver_name, release_ver) == 0) {
            memcpy(name, ver.ver_name, sizeof(name));
            memcpy(digest, ver.sha256sum, sizeof(digest));
            return true;
        }
    }
    printf("%sNo LE SDK for this release '%s', check with support team%s\n\n", console::red,
           release_ver, console::reset);
    return false;
}

} // namespace

int sdk_le_toolchain(int, char *[])
{
    puts("Downloading LE SDK toolchain ...");
    puts("Checking the resources ...");

    const std::string list_name = std::string(s_product) + toolchain_ver;
    const std::string list_path = layout::list_dir() + list_name;
    // A stale copy would be continued by "-c" instead of replaced.
    if (file_exists(list_path) &&
        !host::run_wait("rm " + host::quote(list_path), host::cmd_buffer, host::Effect::reads)) {
        puts("remove toolchain_ver internal error.");
        return -1;
    }
    int fetched = host::run(resource::list_fetch_cmd(layout::list_dir_arg(), list_name),
                            host::cmd_buffer, host::Effect::reads);
    if (fetched < 0) {
        puts("Download le sdk toolchain internal error");
        return 1;
    }
    // A list that wget did not fetch completely, or an oversized one, is
    // deleted here and so never read.
    const int status = host::exit_status(fetched);
    const resource::ListFetch judged = resource::judge_list(status, list_path);

    char toolchain_name[64];
    char toolchain_checksum[128];
    if (!find_entry(list_path, toolchain_name, toolchain_checksum, [&] {
            resource::explain_list_failure(judged, status, resource::file_url(list_name),
                                           "toolchain list");
        }))
        return 1;

    const std::string zip_name = std::string(toolchain_name) + "-sdk.zip";
    const std::string dir_arg = layout::release_arg("/sdk_toolchain");
    package::Job job{
        .who = "sdk_le_toolchain",
        .path = layout::release_path("/sdk_toolchain/" + zip_name),
        .path_arg = layout::release_arg("/sdk_toolchain/" + zip_name),
        // wget creates the sdk_toolchain directory.
        .fetch = resource::fetch_cmd(dir_arg, zip_name, true),
        .url = resource::file_url(zip_name),
        .digest = toolchain_checksum,
        .unpack_dir = layout::release_path("/sdk_toolchain/"),
        .top = "",
        .record = "",
        .announce_fetch = nullptr,
        .fetch_step = "download toolchain",
        .differs_noun = "toolchain",
        .again_noun = "toolchain",
        .error_noun = "toolchain",
        .verified_green = nullptr,
        .unpacking = "Extracting files ...",
        .unzip_step = "unzip sdk toolchain",
        .unpack_failed = "Extracting LE SDK toolchain failed, check errors above",
        .unpacked_plain = nullptr,
        .unpacked_green = "Download LE SDK toolchain complete",
    };
    return package::fetch_verify_unpack(job);
}
