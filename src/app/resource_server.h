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

// The wget command that fetches url (shell-safe text inside single quotes)
// into local_dir (shell text), with the options every download shares.
std::string wget_cmd(std::string_view local_dir, std::string_view url, bool progress);

// value as it may stand inside a single-quoted word: unchanged when it is
// plain, otherwise the surrounding quote is closed, the value quoted on its
// own and the quote opened again.
std::string inside_quotes(std::string_view value);

} // namespace resource
