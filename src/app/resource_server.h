// Command lines that fetch files from the resource server. Every file lies
// under "/uploads/web/ostrelle/<product>/sdk/" there and is fetched by one
// wget command into a local directory; the caller judges the result by the
// file it finds afterwards, never by wget's exit status.
#pragma once

#include <string>
#include <string_view>

namespace resource {

// The wget command for file_name of the current product's sdk directory,
// stored into local_dir. local_dir is shell text as it goes on the line
// (values from outside already quoted); file_name is raw text that may come
// from the server's lists and is kept safe inside the URL's single quotes.
// With progress the download shows wget's progress bar.
std::string fetch_cmd(std::string_view local_dir, std::string_view file_name, bool progress);

// value as it may stand inside a single-quoted word: unchanged when it is
// plain, otherwise the surrounding quote is closed, the value quoted on its
// own and the quote opened again.
std::string inside_quotes(std::string_view value);

// Re-downloads a package gets at most while its digest differs.
inline constexpr int max_refetches = 3;

// Reads the SHA-256 digest of the package at shell_path (shell text, values
// already quoted) as the first line of sha256sum, read into 65 bytes so that
// just the 64 digits remain. False, after "<who>: sha256sum cmd internal
// error" or "<who>: read checksum internal error", when sha256sum could not
// be started or printed nothing (the package is missing or unreadable).
bool read_package_digest(const char *who, const std::string &shell_path, std::string &digest);

// Whether unzip's exit status means that the package was unpacked: 0, or 1
// for warnings after which unzip completed all the same. Anything else (not
// a zip, a full disk, no unzip at all) leaves the unpacked tree incomplete.
inline bool unpacked(int unzip_status)
{
    return unzip_status == 0 || unzip_status == 1;
}

} // namespace resource
