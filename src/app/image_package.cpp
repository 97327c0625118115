// Release package: fetched from the resource server unless it is already in
// the target directory, proved against the digest the release list gave for
// it (fetched again up to three times while it differs, deleted when it stays
// wrong), and unpacked next to itself.
#include <string>

#include "app/commands.h"
#include "app/host.h"
#include "app/layout.h"
#include "app/package.h"
#include "app/release_tree.h"
#include "app/resource_server.h"
#include "app/state.h"

int sdk_dl_img_pkg(int, char *[])
{
    package::Job job{
        .who = "sdk_dl_img_pkg",
        .path = layout::release_path(".zip"),
        .path_arg = layout::release_arg(".zip"),
        .fetch = resource::fetch_cmd(layout::target_arg(), std::string(release_ver) + ".zip", true),
        .url = resource::file_url(std::string(release_ver) + ".zip"),
        .digest = check_sum,
        .unpack_dir = target_path,
        .top = std::string(release_ver) + "/",
        .record = release_tree::record_path(),
        .announce_fetch = "\nDownloading resources ...",
        .fetch_step = "downloading image package",
        .differs_noun = "resource",
        .again_noun = "resources",
        .error_noun = "image resources",
        .verified_green = "Download image resources complete",
        .unpacking = nullptr,
        .unzip_step = "unzip image package",
        .unpack_failed = "Extracting files ...failed, check errors above",
        .unpacked_plain = "Extracting files ...done",
        .unpacked_green = nullptr,
    };
    return package::fetch_verify_unpack(job);
}
