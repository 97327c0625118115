// Command "3" (LE): the release's SDK toolchain. The product's toolchain
// list is fetched afresh, the selected release's entry names the package and
// its digest; the package is fetched into <release>/sdk_toolchain unless it
// is there, proved (fetched again up to three times while it differs,
// deleted when it stays wrong) and unpacked beside itself.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/commands.h"
#include "core/state.h"
#include "host/console.h"
#include "host/host.h"
#include "release/layout.h"
#include "release/package.h"
#include "release/resource_server.h"
#include "release/ver_list.h"

namespace {

// Fetches the toolchain list and copies the entry of release into name and
// digest. Prints why and returns the command's result when there is none:
// -1 when the old list cannot be removed, else 1.
int find_entry(char (&name)[64], char (&digest)[128])
{
    const std::string list_name = std::string(s_product) + toolchain_ver;
    resource::List list = resource::fetch_list({.dir = layout::list_dir(),
                                                .dir_arg = layout::list_dir_arg(),
                                                .file_name = list_name,
                                                .run = resource::ListSource::Run::system});
    switch (list.error) {
    case resource::ListError::none:
        break;
    case resource::ListError::cannot_remove:
        puts("remove toolchain_ver internal error.");
        return -1;
    case resource::ListError::cannot_start:
        puts("Download le sdk toolchain internal error");
        return 1;
    case resource::ListError::not_fetched:
        printf("\n%sChecking toolchain_ver failed.\n", console::red);
        printf("Check the internet connection or Troubleshoot in README%s\n", console::reset);
        resource::explain_list_failure(list, "toolchain list");
        return 1;
    case resource::ListError::too_many_lines:
        printf("%sThe toolchain list has more than %ld lines: refused and deleted%s\n",
               console::red, list_max_lines, console::reset);
        return 1;
    case resource::ListError::unreadable:
        printf("%s: getline internal error\n", "sdk_le_toolchain");
        return 1;
    }
    if (list.entries.empty()) {
        puts("No released version found\n");
        return 1;
    }
    // A record left without a name (a line with no field) belongs to no
    // release, not even to an empty release name.
    for (const avail_ver &ver : list.entries) {
        if (ver.ver_name[0] != '\0' && strcmp(ver.ver_name, release_ver) == 0) {
            memcpy(name, ver.ver_name, sizeof(name));
            memcpy(digest, ver.sha256sum, sizeof(digest));
            return 0;
        }
    }
    printf("%sNo LE SDK for this release '%s', check with support team%s\n\n", console::red,
           release_ver, console::reset);
    return 1;
}

} // namespace

int sdk_le_toolchain(int, char *[])
{
    puts("Downloading LE SDK toolchain ...");
    puts("Checking the resources ...");

    char toolchain_name[64];
    char toolchain_checksum[128];
    if (int result = find_entry(toolchain_name, toolchain_checksum); result != 0)
        return result;

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
