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

std::string fetch_cmd(std::string_view local_dir, std::string_view file_name, bool progress)
{
    std::string cmd =
        "wget --retry-connrefused -t 5 -T 30 -q -c --passive-ftp --no-check-certificate";
    if (progress)
        cmd += " --show-progress";
    cmd += " -P ";
    cmd += local_dir;
    cmd += " '";
    cmd += resource_url;
    cmd += "/uploads/web/ostrelle/";
    cmd += s_product;
    cmd += "/sdk/";
    cmd += inside_quotes(file_name);
    cmd += "'";
    return cmd;
}

} // namespace resource
