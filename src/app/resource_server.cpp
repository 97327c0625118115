// Fetch commands of the resource server.
#include "app/resource_server.h"

#include <cstdio>

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

bool read_package_digest(const char *who, const std::string &shell_path, std::string &digest)
{
    host::Reply reply = host::first_line("sha256sum " + shell_path, 65);
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

} // namespace resource
