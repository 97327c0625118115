// Command lines that fetch files from the resource server, and what is said
// when a fetch fails. Every file lies under "/uploads/web/ostrelle/<product>/
// sdk/" there and is fetched by one wget command into a local directory.
// Every wget line of the program carries the same certificate options.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "release/ver_list.h"

namespace resource {

// The wget command for file_name of the current product's sdk directory,
// stored into local_dir. local_dir is shell text as it goes on the line
// (values from outside already quoted); file_name is raw text that may come
// from the server's lists and is kept safe inside the URL's single quotes.
// With progress the download shows wget's progress bar.
std::string fetch_cmd(std::string_view local_dir, std::string_view file_name, bool progress);

// The URL fetch_cmd fetches file_name from, as text to show.
std::string file_url(std::string_view file_name);

// The wget command that fetches url (shell-safe text inside single quotes)
// into local_dir (shell text), with the options every download shares.
std::string wget_cmd(std::string_view local_dir, std::string_view url, bool progress);

// value as it may stand inside a single-quoted word: unchanged when it is
// plain, otherwise the surrounding quote is closed, the value quoted on its
// own and the quote opened again.
std::string inside_quotes(std::string_view value);

// -- certificates ------------------------------------------------------------

// The certificate authority file in force: OSTRELLE_CA_FILE from the
// environment when it is set (empty: none), else the one compiled in.
std::string ca_file();

// Why the certificate authority file cannot vouch for servers: it belongs
// to a user other than this one or root, or others may write it. "" when it
// can (or is missing, which a failed fetch explains). A refused file is left
// out of the wget lines.
std::string ca_file_refusal(const std::string &file);

// What a run says at its start about how servers are verified: that this
// build does not verify them, or that the authority file is refused; ""
// when all is well.
std::string trust_notice();

// The certificate options of a wget line, each with its leading blank: none
// when verifying against the system's authorities, " --ca-certificate=FILE"
// (FILE quoted) with an authority file, " --no-check-certificate" when the
// build does not verify.
std::string tls_options_for(bool verify, std::string_view ca_file);
// The same for this build and environment.
std::string tls_options();
// The same options as an argument list (no quoting).
std::vector<std::string> tls_args();

// -- failures ----------------------------------------------------------------

// Prints one line saying why wget could not fetch url, from its exit status
// (a certificate that is not trusted, a network failure, a server error, ...),
// naming the URL without any user name or password in it. Nothing for
// status 0 or for a status below 0 (the command did not run).
void explain_failure(int status, std::string_view url);

// -- release and toolchain lists ----------------------------------------------

// A list is text of a few kilobytes; a larger one is refused.
inline constexpr long list_max_bytes = 1L << 20;

// fetch_cmd for a list (no progress bar), run under a file-size limit so that
// an endless answer stops at about list_max_bytes instead of filling the disk.
std::string list_fetch_cmd(std::string_view local_dir, std::string_view file_name);

enum class ListFetch {
    ok,        // wget succeeded and the file is within the limit
    failed,    // wget failed: whatever it left is deleted
    too_large, // the file reached the limit: deleted
};

// Judges a finished list fetch from wget's exit status (-1 when unknown: the
// file alone decides) and the file at path, deleting the file unless it is
// ok. Whether the file is there at all is the caller's next check.
ListFetch judge_list(int wget_status, const std::string &path);

// Prints the line under a failed list fetch's own message: why wget failed,
// or that the list was too large and has been deleted. what names the list
// ("release list", "toolchain list").
void explain_list_failure(ListFetch result, int wget_status, std::string_view url,
                          const char *what);

// Where a list goes and how its fetch runs: dir is the local directory
// (ending in "/"), dir_arg the same as shell text; the fetch runs through
// system or through a pipe opened for reading and closed unread.
struct ListSource {
    std::string dir;
    std::string dir_arg;
    std::string file_name;
    enum class Run { pipe, system } run = Run::pipe;
};

// Why a list could not be had. Every caller says it in its own words.
enum class ListError {
    none,
    cannot_remove,  // the stale local copy could not be removed (shell not started)
    cannot_start,   // the fetch could not be started
    not_fetched,    // no list after the fetch: failed, or over list_max_bytes and deleted
    too_many_lines, // more than list_max_lines lines: deleted
    unreadable,     // a line could not be read, or memory for the entries ran out
};

struct List {
    ListError error = ListError::none;
    // The entries, one per line, in file order; empty for a list without a
    // line feed (an empty answer is a list, not a failure).
    std::vector<avail_ver> entries;
    // For not_fetched: how the fetch was judged and wget's exit status.
    ListFetch judged = ListFetch::ok;
    int wget_status = -1;
    std::string url; // the list's URL, as explain_list_failure names it
};

// Fetches source.file_name of the current product's sdk directory afresh
// (a stale local copy is removed first, so that wget -c never continues it),
// bounds it in bytes and lines, and reads its entries. A refused list is
// deleted; a list that was read stays where it was fetched.
List fetch_list(const ListSource &source);

// explain_list_failure for a list that was not fetched; nothing otherwise.
void explain_list_failure(const List &list, const char *what);

} // namespace resource
