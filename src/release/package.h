// The one way a package reaches the target directory: fetched unless it is
// already there, proved against the SHA-256 digest its list gives, fetched
// again (continued with "-c") up to three times while it differs, deleted when
// it stays wrong, and unpacked when it is right: only into the directory it
// is meant to fill, and only whole (archive.h). Used for the release package
// (command "1") and the SDK toolchain (command "3").
#pragma once

#include <string>

namespace package {

// Re-downloads a package gets at most while its digest differs.
inline constexpr int max_refetches = 3;

// One package job: where the package is, how it is fetched, what it must be
// and where it unpacks, and the words of its messages. Texts are values for
// the program's own formats; none of them is a format.
struct Job {
    const char *who;        // first field of the "<who>: ... internal error" lines
    std::string path;       // the package file, as the program opens it
    std::string path_arg;   // the same, quoted for a command line
    std::string fetch;      // the wget command that fetches (or continues) it
    std::string url;        // the URL it fetches, named when a fetch fails
    std::string digest;     // the expected SHA-256 text
    std::string unpack_dir; // directory it unpacks into, ending in "/"
    std::string top;        // the directory every entry must lie in ("<release>/"), or ""
    std::string record;     // completion record removed before the unpack changes anything

    const char *announce_fetch; // printed before the first fetch; nullptr for none
    const char *fetch_step;     // "<who>: <fetch_step> internal error" when wget cannot start
    const char *differs_noun;   // "Downloaded <noun> is different from the offical one"
    const char *again_noun;     // "Downloading <noun> again ..."
    const char *error_noun;     // red "Download <noun> error, check your internet condition"
    const char *verified_green; // green line once the digest agrees; nullptr for none
    const char *unpacking;      // plain line before unzip; nullptr for none
    const char *unzip_step;     // "<who>: <unzip_step> internal error" when unzip cannot start
    const char *unpack_failed;  // red line when unzip fails
    const char *unpacked_plain; // plain line after a good unzip; nullptr for none
    const char *unpacked_green; // green line after a good unzip; nullptr for none
};

// Runs the job and prints its progress and failures. 0 when the package is
// verified and unpacked, 1 otherwise. A package with an entry that would
// land outside its directory is refused and deleted, whatever its digest.
int fetch_verify_unpack(const Job &job);

// Reads the SHA-256 digest of the package at path_arg (quoted) as the first
// line of sha256sum, read into 65 bytes so that just the 64 digits remain.
// False, after "<who>: sha256sum cmd internal error" or "<who>: read checksum
// internal error", when sha256sum could not be started or printed nothing
// (the package is missing or unreadable).
bool read_digest(const char *who, const std::string &path_arg, std::string &digest);

// Whether unzip's exit status means that the package was unpacked: 0, or 1
// for warnings after which unzip completed all the same. Anything else (not
// a zip, a full disk, no unzip at all) leaves the unpacked tree incomplete.
inline bool unpacked(int unzip_status)
{
    return unzip_status == 0 || unzip_status == 1;
}

} // namespace package
