// Fetch commands of the resource server, their certificate options and the
// causes of failed fetches.
#include "release/resource_server.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/safe_text.h"
#include "core/state.h"
#include "host/host.h"
#include "utils/file.h"

namespace resource {

namespace {

// ulimit -f counts 512-byte blocks in dash and 1024-byte blocks in bash:
// either way wget stops between 1 MiB + 512 bytes and 2 MiB, and whatever
// exceeds list_max_bytes is refused afterwards.
constexpr long list_limit_blocks = list_max_bytes / 512 + 1;

// Exit status of a command that the file-size limit ended (SIGXFSZ).
constexpr int file_size_exceeded = 128 + 25;

// url without "user:password@" and with control bytes shown escaped.
std::string shown_url(std::string_view url)
{
    return printable(without_credentials(url));
}

// The host (and port) part of a shown URL.
std::string host_of(const std::string &shown)
{
    size_t start = shown.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    return shown.substr(start, shown.find('/', start) - start);
}

} // namespace

std::string inside_quotes(std::string_view value)
{
    std::string quoted = host::quote(value);
    if (quoted == value)
        return quoted;
    return "'" + quoted + "'";
}

std::string ca_file()
{
    if (const char *env = getenv("OSTRELLE_CA_FILE"))
        return env;
    return compiled_ca_file;
}

std::string tls_options_for(bool verify, std::string_view ca)
{
    if (!verify)
        return " --no-check-certificate";
    if (ca.empty())
        return "";
    return " --ca-certificate=" + host::quote(ca);
}

std::string ca_file_refusal(const std::string &file)
{
    struct stat st {};
    // A file that cannot be read is named when a fetch fails.
    if (file.empty() || stat(file.c_str(), &st) != 0)
        return "";
    if (st.st_uid != 0 && st.st_uid != geteuid())
        return host::format("it belongs to another user (uid %u)",
                            static_cast<unsigned>(st.st_uid));
    if (st.st_mode & S_IWOTH)
        return "others may write it";
    return "";
}

std::string tls_options()
{
    const std::string ca = ca_file();
    // An authority file someone else could change would let them vouch for
    // any server: the system's authorities decide instead.
    return tls_options_for(tls_verify, ca_file_refusal(ca).empty() ? ca : "");
}

std::string trust_notice()
{
    if (!tls_verify)
        return "This build does not verify the servers' certificates: the password and the "
               "packages go to whichever server answers";
    const std::string ca = ca_file();
    const std::string refusal = ca_file_refusal(ca);
    if (refusal.empty())
        return "";
    return "The certificate authority file " + printable(ca) + " is not used: " + refusal;
}

std::vector<std::string> tls_args()
{
    if (!tls_verify)
        return {"--no-check-certificate"};
    std::string ca = ca_file();
    if (ca.empty())
        return {};
    return {"--ca-certificate=" + ca};
}

std::string wget_cmd(std::string_view local_dir, std::string_view url, bool progress)
{
    std::string cmd = "wget --retry-connrefused -t 5 -T 30 -q -c --passive-ftp" + tls_options();
    if (progress)
        cmd += " --show-progress";
    cmd += " -P ";
    cmd += local_dir;
    cmd += " '";
    cmd += url;
    cmd += "'";
    return cmd;
}

std::string file_url(std::string_view file_name)
{
    std::string url = resource_url;
    url += "/uploads/web/ostrelle/";
    url += s_product;
    url += "/sdk/";
    url += file_name;
    return url;
}

std::string fetch_cmd(std::string_view local_dir, std::string_view file_name, bool progress)
{
    std::string url = resource_url;
    url += "/uploads/web/ostrelle/";
    url += s_product;
    url += "/sdk/";
    url += inside_quotes(file_name);
    return wget_cmd(local_dir, url, progress);
}

std::string list_fetch_cmd(std::string_view local_dir, std::string_view file_name)
{
    return host::format("ulimit -f %ld; ", list_limit_blocks) +
           fetch_cmd(local_dir, file_name, false);
}

void explain_failure(int status, std::string_view url)
{
    if (status <= 0)
        return;
    const std::string shown = shown_url(url);
    switch (status) {
    case 2:
        printf("Fetching %s failed: wget could not parse its command line (exit status 2)\n",
               shown.c_str());
        break;
    case 3:
        printf("Fetching %s failed: the file could not be written, check the target directory "
               "and its free space (exit status 3)\n",
               shown.c_str());
        break;
    case 4:
        printf("Fetching %s failed: network failure, the server could not be reached (exit "
               "status 4)\n",
               shown.c_str());
        break;
    case 5: {
        const std::string ca = tls_verify ? ca_file() : "";
        const std::string refusal = ca_file_refusal(ca);
        if (!ca.empty() && !refusal.empty())
            printf("Fetching %s failed: the certificate of %s is not trusted (exit status 5): the "
                   "certificate authority file %s named by OSTRELLE_CA_FILE is not used, %s\n",
                   shown.c_str(), host_of(shown).c_str(), printable(ca).c_str(), refusal.c_str());
        else if (!ca.empty() && access(ca.c_str(), R_OK) != 0)
            printf("Fetching %s failed: the certificate of %s is not trusted (exit status 5): the "
                   "certificate authority file %s named by OSTRELLE_CA_FILE cannot be read\n",
                   shown.c_str(), host_of(shown).c_str(), printable(ca).c_str());
        else
            printf("Fetching %s failed: the certificate of %s is not trusted (exit status 5); for "
                   "a lab mirror with its own certificate authority set OSTRELLE_CA_FILE to that "
                   "authority's certificate\n",
                   shown.c_str(), host_of(shown).c_str());
        break;
    }
    case 6:
        printf("Fetching %s failed: the server asked for authentication (exit status 6)\n",
               shown.c_str());
        break;
    case 7:
        printf("Fetching %s failed: protocol error (exit status 7)\n", shown.c_str());
        break;
    case 8:
        printf("Fetching %s failed: the server answered with an error, such as file not found "
               "(exit status 8)\n",
               shown.c_str());
        break;
    case 126:
    case 127:
        printf("Fetching %s failed: wget could not be run, is it installed? (exit status %d)\n",
               shown.c_str(), status);
        break;
    default:
        if (status > 128)
            printf("Fetching %s failed: wget was ended by signal %d\n", shown.c_str(),
                   status - 128);
        else
            printf("Fetching %s failed: wget failed (exit status %d)\n", shown.c_str(), status);
        break;
    }
}

ListFetch judge_list(int wget_status, const std::string &path)
{
    struct stat st {};
    bool present = stat(path.c_str(), &st) == 0;
    ListFetch result = ListFetch::ok;
    if (wget_status == file_size_exceeded || (present && st.st_size > list_max_bytes))
        result = ListFetch::too_large;
    else if (wget_status > 0)
        result = ListFetch::failed;
    if (result != ListFetch::ok && present)
        unlink(path.c_str());
    return result;
}

void explain_list_failure(ListFetch result, int wget_status, std::string_view url, const char *what)
{
    if (result == ListFetch::too_large)
        printf("The %s from %s is larger than 1 MiB: refused and deleted\n", what,
               shown_url(url).c_str());
    else if (result == ListFetch::failed)
        explain_failure(wget_status, url);
}

List fetch_list(const ListSource &source)
{
    List list;
    const std::string path = source.dir + source.file_name;
    if (file_exists(path) &&
        !host::run_wait("rm " + host::quote(path), host::cmd_buffer, host::Effect::reads)) {
        list.error = ListError::cannot_remove;
        return list;
    }
    const std::string cmd = list_fetch_cmd(source.dir_arg, source.file_name);
    int status;
    if (source.run == ListSource::Run::system) {
        int wait_status = host::run(cmd, host::cmd_buffer, host::Effect::reads);
        if (wait_status < 0) {
            list.error = ListError::cannot_start;
            return list;
        }
        status = host::exit_status(wait_status);
    } else {
        status = host::run_wait_status(cmd, host::cmd_buffer, host::Effect::reads);
        if (status < 0) {
            list.error = ListError::cannot_start;
            return list;
        }
    }
    list.wget_status = status;
    list.url = file_url(source.file_name);
    // A list that wget did not fetch completely, or an oversized one, is
    // deleted here and so never read.
    list.judged = judge_list(status, path);
    File file(fopen(path.c_str(), "r"));
    if (!file) {
        list.error = ListError::not_fetched;
        return list;
    }
    long count = count_line_feeds(file.get());
    if (count > list_max_lines) {
        file.reset();
        unlink(path.c_str());
        list.error = ListError::too_many_lines;
        return list;
    }
    rewind(file.get());
    if (read_avail_vers(file.get(), count, list.entries) != 0) {
        list.entries.clear();
        list.error = ListError::unreadable;
    }
    return list;
}

void explain_list_failure(const List &list, const char *what)
{
    if (list.error == ListError::not_fetched)
        explain_list_failure(list.judged, list.wget_status, list.url, what);
}

} // namespace resource
