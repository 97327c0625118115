// Command "3" (LE): the release's SDK toolchain. The product's toolchain
// list is fetched afresh, the selected release's entry names the package and
// its digest; the package is fetched into <release>/sdk_toolchain unless it
// is there, proved (fetched again up to three times while it differs,
// deleted when it stays wrong) and unpacked beside itself.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/console.h"
#include "app/host.h"
#include "app/resource_server.h"
#include "app/state.h"
#include "app/ver_list.h"
#include "utils/os.h"

namespace {

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};

// Reads the list at path and copies the entry of release into name and
// digest. Prints why and returns false when there is none.
bool find_entry(const std::string &path, char (&name)[64], char (&digest)[128])
{
    std::unique_ptr<FILE, FileCloser> list(fopen(path.c_str(), "r"));
    if (!list) {
        printf("\n%sChecking toolchain_ver failed.\n", console::red);
        printf("Check the internet connection or Troubleshoot in README%s\n", console::reset);
        return false;
    }
    long count = count_line_feeds(list.get());
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
    const std::string list_path = std::string(target_path) + "files/" + list_name;
    // A stale copy would be continued by "-c" instead of replaced.
    if (os_file_exists(list_path.c_str()) &&
        !host::run_wait("rm " + host::quote(target_path) + "files/" + list_name)) {
        puts("remove toolchain_ver internal error.");
        return -1;
    }
    if (host::run(resource::fetch_cmd(host::quote(target_path) + "files/", list_name, false)) < 0) {
        puts("Download le sdk toolchain internal error");
        return 1;
    }

    char toolchain_name[64];
    char toolchain_checksum[128];
    if (!find_entry(list_path, toolchain_name, toolchain_checksum))
        return 1;

    const std::string zip_name = std::string(toolchain_name) + "-sdk.zip";
    const std::string sh_dir =
        host::quote(target_path) + host::quote(release_ver) + "/sdk_toolchain";
    const std::string sh_zip = sh_dir + "/" + host::quote(zip_name);
    const std::string fetch = resource::fetch_cmd(sh_dir, zip_name, true);

    // wget creates the sdk_toolchain directory.
    if (!os_file_exists(
            (std::string(target_path) + release_ver + "/sdk_toolchain/" + zip_name).c_str()) &&
        !host::run_wait(fetch)) {
        printf("%s: download toolchain internal error\n", "sdk_le_toolchain");
        return 1;
    }

    std::string digest;
    if (!resource::read_package_digest("sdk_le_toolchain", sh_zip, digest))
        return 1;
    for (int retry_count = 0; digest != toolchain_checksum && retry_count < resource::max_refetches;
         retry_count++) {
        puts("\nDownloaded toolchain is different from the offical one");
        puts("\nDownloading toolchain again ...");
        if (!host::run_wait(fetch)) {
            printf("%s: download toolchain internal error\n", "sdk_le_toolchain");
            return 1;
        }
        if (!resource::read_package_digest("sdk_le_toolchain", sh_zip, digest))
            return 1;
    }

    if (digest != toolchain_checksum) {
        printf("%sDownload toolchain error, check your internet condition%s\n", console::red,
               console::reset);
        puts("Removing corrupted file");
        // Deleted so that the next command "3" fetches it afresh.
        if (host::run("rm " + sh_zip) < 0) {
            printf("%s: remove corrupted file internal error\n", "sdk_le_toolchain");
        }
        return 1;
    }

    puts("Extracting files ...");
    int unzipped = host::pass_through_status("unzip -o " + sh_zip + " -d " + sh_dir);
    if (unzipped < 0) {
        printf("%s: unzip sdk toolchain internal error\n", "sdk_le_toolchain");
        return 1;
    }
    if (!resource::unpacked(unzipped)) {
        printf("%sExtracting LE SDK toolchain failed, check errors above%s\n", console::red,
               console::reset);
        return 1;
    }
    printf("%sDownload LE SDK toolchain complete%s\n", console::green, console::reset);
    return 0;
}
