// Release package: fetched from the resource server unless it is already in
// the target directory, proved against the digest the release list gave for
// it (fetched again up to three times while it differs, deleted when it stays
// wrong), and unpacked next to itself.
#include <cstdio>
#include <string>

#include "app/commands.h"
#include "app/console.h"
#include "app/host.h"
#include "app/resource_server.h"
#include "app/state.h"
#include "utils/os.h"

namespace {

// Runs the package fetch and waits for it; false (after the message) when
// it could not be started.
bool fetch_package()
{
    std::string cmd =
        resource::fetch_cmd(host::quote(target_path), std::string(release_ver) + ".zip", true);
    if (!host::run_wait(cmd)) {
        printf("%s: downloading image package internal error\n", "sdk_dl_img_pkg");
        return false;
    }
    return true;
}

} // namespace

int sdk_dl_img_pkg(int, char *[])
{
    const std::string path = std::string(target_path) + release_ver + ".zip";
    // The same package as shell text.
    const std::string package =
        host::quote(target_path) + host::quote(std::string(release_ver) + ".zip");

    if (!os_file_exists(path.c_str())) {
        puts("\nDownloading resources ...");
        if (!fetch_package())
            return 1;
    }

    std::string digest;
    if (!resource::read_package_digest("sdk_dl_img_pkg", package, digest))
        return 1;
    // "-c" lets a re-download complete a package that a broken connection
    // cut short; a complete but wrong one stays as it is.
    for (int retry_count = 0; digest != check_sum && retry_count < resource::max_refetches;
         retry_count++) {
        puts("\nDownloaded resource is different from the offical one");
        puts("\nDownloading resources again ...");
        if (!fetch_package())
            return 1;
        if (!resource::read_package_digest("sdk_dl_img_pkg", package, digest))
            return 1;
    }

    if (digest != check_sum) {
        printf("%sDownload image resources error, check your internet condition%s\n", console::red,
               console::reset);
        puts("Removing corrupted file");
        // Deleted so that the next command "1" fetches it afresh.
        if (host::run("rm " + package) < 0)
            printf("%s: remove corrupted file internal error\n", "sdk_dl_img_pkg");
        return 1;
    }

    printf("%sDownload image resources complete%s\n", console::green, console::reset);
    int unzipped =
        host::pass_through_status("unzip -o " + package + " -d " + host::quote(target_path));
    if (unzipped < 0) {
        printf("%s: unzip image package internal error\n", "sdk_dl_img_pkg");
        return 1;
    }
    if (!resource::unpacked(unzipped)) {
        printf("%sExtracting files ...failed, check errors above%s\n", console::red,
               console::reset);
        return 1;
    }
    puts("Extracting files ...done");
    return 0;
}
