// Fetch commands of the resource server.
#include "app/resource_server.h"

#include "app/host.h"
#include "app/state.h"

namespace resource {

std::string inside_quotes(std::string_view value)
{
    std::string quoted = host::quote(value);
    if (quoted == value)
        return quoted;
    return "'" + quoted + "'";
}

std::string wget_cmd(std::string_view local_dir, std::string_view url, bool progress)
{
    std::string cmd =
        "wget --retry-connrefused -t 5 -T 30 -q -c --passive-ftp --no-check-certificate";
    if (progress)
        cmd += " --show-progress";
    cmd += " -P ";
    cmd += local_dir;
    cmd += " '";
    cmd += url;
    cmd += "'";
    return cmd;
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

} // namespace resource
