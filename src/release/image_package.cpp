// Release package: fetched from the resource server unless it is already in
// the target directory, proved against the digest the release list gave for
// it (fetched again up to three times while it differs, deleted when it stays
// wrong), and unpacked next to itself.
#include <cstdio>
#include <memory>
#include <string>

#include "core/commands.h"
#include "core/safe_text.h"
#include "core/state.h"
#include "host/answers.h"
#include "host/host.h"
#include "host/secret_file.h"
#include "release/layout.h"
#include "release/package.h"
#include "release/release_tree.h"
#include "release/resource_server.h"

namespace {

bool is_url(const std::string &source)
{
    return source.rfind("http://", 0) == 0 || source.rfind("https://", 0) == 0;
}

// A release package given with --package: copied from a local file, or
// fetched from a URL (certificate checked as for the servers). A URL with a
// user name or password is handed to wget in secret (its input file), so
// that they show on no command line and in no log.
std::string package_fetch_cmd(const std::string &source, const SecretFile *secret_url)
{
    if (is_url(source)) {
        std::string url = secret_url ? "-i " + secret_url->path() : host::quote(source);
        return "wget" + resource::tls_options() + " -q --show-progress -T 30 -t 5 -O " +
               layout::release_arg(".zip") + " " + url;
    }
    return "cp -- " + host::quote(source) + " " + layout::release_arg(".zip");
}

} // namespace

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
    std::unique_ptr<SecretFile> secret_url;
    if (const std::string *source = answers::package_source()) {
        if (is_url(*source) && without_credentials(*source) != *source) {
            secret_url = std::make_unique<SecretFile>(*source + "\n");
            if (!secret_url->ok()) {
                printf("%s: %s internal error\n", job.who, job.fetch_step);
                return 1;
            }
        }
        job.fetch = package_fetch_cmd(*source, secret_url.get());
        job.url = *source;
        job.announce_fetch = "\nCopying the release package ...";
        // check_sum is the digest the user vouched for (--package-sha256 or
        // the release list): a package that differs is refused like one from
        // the resource server, before anything of it runs.
    }
    return package::fetch_verify_unpack(job);
}
