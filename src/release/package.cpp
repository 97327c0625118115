// Fetch, verify and unpack a package.
#include "release/package.h"

#include <cstdio>

#include "core/safe_text.h"
#include "host/console.h"
#include "host/events.h"
#include "host/host.h"
#include "host/session_log.h"
#include "release/archive.h"
#include "release/resource_server.h"
#include "utils/file.h"

namespace package {

bool read_digest(const char *who, const std::string &path_arg, std::string &digest)
{
    host::Reply reply =
        host::first_line("sha256sum " + path_arg, 65, host::cmd_buffer, host::Effect::reads);
    if (!reply.started()) {
        printf("%s: sha256sum cmd internal error\n", who);
        return false;
    }
    if (!reply.has_line()) {
        printf("%s: read checksum internal error\n", who);
        return false;
    }
    digest = reply.line;
    return true;
}

namespace {

// Runs the fetch and waits for it, keeping wget's exit status in status;
// false (after the message) when it could not be started.
bool fetch(const Job &job, int &status)
{
    status = host::run_wait_status(job.fetch);
    if (status < 0) {
        printf("%s: %s internal error\n", job.who, job.fetch_step);
        return false;
    }
    return true;
}

// A dry run: the fetch, the check and the unpack are shown, nothing is
// written; a package already there is checked for real.
int dry_run(const Job &job)
{
    if (!file_exists(job.path)) {
        if (job.announce_fetch)
            puts(job.announce_fetch);
        host::run_wait_status(job.fetch);
        printf("would check its SHA-256 against %s\n", printable(job.digest).c_str());
    } else {
        std::string digest;
        if (!read_digest(job.who, job.path_arg, digest))
            return 1;
        if (digest != job.digest) {
            printf("\nDownloaded %s is different from the offical one\n", job.differs_noun);
            host::run_wait_status(job.fetch);
        }
    }
    if (job.verified_green)
        printf("%s%s%s\n", console::green, job.verified_green, console::reset);
    if (job.unpacking)
        puts(job.unpacking);
    // What would change is the directory the package fills; the staging on
    // the way there is the program's own.
    const std::string unpack =
        "unpack " + printable(job.path) + " into " + printable(job.unpack_dir);
    printf("would %s\n", unpack.c_str());
    session_log::note("would " + unpack);
    if (job.unpacked_plain)
        puts(job.unpacked_plain);
    if (job.unpacked_green)
        printf("%s%s%s\n", console::green, job.unpacked_green, console::reset);
    return 0;
}

} // namespace

int fetch_verify_unpack(const Job &job)
{
    if (host::dry_run())
        return dry_run(job);
    // wget's exit status of the last fetch; 0 while none has run.
    int fetched = 0;
    if (!file_exists(job.path)) {
        if (job.announce_fetch)
            puts(job.announce_fetch);
        events::phase("download", nullptr, "downloading", 0);
        if (!fetch(job, fetched))
            return 1;
    }

    std::string digest;
    events::phase("download", nullptr, "verifying", 0);
    if (!read_digest(job.who, job.path_arg, digest)) {
        resource::explain_failure(fetched, job.url);
        return 1;
    }
    // "-c" lets a re-download complete a package that a broken connection
    // cut short; a complete but wrong one stays as it is.
    for (int retry_count = 0; digest != job.digest && retry_count < max_refetches; retry_count++) {
        printf("\nDownloaded %s is different from the offical one\n", job.differs_noun);
        printf("\nDownloading %s again ...\n", job.again_noun);
        if (!fetch(job, fetched))
            return 1;
        if (!read_digest(job.who, job.path_arg, digest)) {
            resource::explain_failure(fetched, job.url);
            return 1;
        }
    }

    if (digest != job.digest) {
        printf("%sDownload %s error, check your internet condition%s\n", console::red,
               job.error_noun, console::reset);
        events::failure(
            host::format("Download %s error, check your internet condition", job.error_noun));
        resource::explain_failure(fetched, job.url);
        puts("Removing corrupted file");
        // Deleted so that the next run of the command fetches it afresh.
        if (host::run("rm " + job.path_arg) < 0)
            printf("%s: remove corrupted file internal error\n", job.who);
        return 1;
    }

    if (job.verified_green)
        printf("%s%s%s\n", console::green, job.verified_green, console::reset);
    if (job.unpacking)
        puts(job.unpacking);
    events::phase("download", nullptr, "unpacking", 0);
    switch (archive::unpack({.zip_arg = job.path_arg,
                             .dir = job.unpack_dir,
                             .prefix = job.top,
                             .record = job.record})) {
    case archive::Result::ok:
        break;
    case archive::Result::cannot_start:
        printf("%s: %s internal error\n", job.who, job.unzip_step);
        return 1;
    case archive::Result::refused:
        // The digest only says that the server meant this package; a package
        // that writes outside its directory is not kept either way.
        puts("Removing refused package");
        if (host::run("rm " + job.path_arg) < 0)
            printf("%s: remove corrupted file internal error\n", job.who);
        return 1;
    case archive::Result::failed:
        printf("%s%s%s\n", console::red, job.unpack_failed, console::reset);
        return 1;
    }
    if (job.unpacked_plain)
        puts(job.unpacked_plain);
    if (job.unpacked_green)
        printf("%s%s%s\n", console::green, job.unpacked_green, console::reset);
    return 0;
}

} // namespace package
