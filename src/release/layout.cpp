// Paths under the target directory.
#include "release/layout.h"

#include "core/state.h"
#include "host/host.h"

namespace layout {

std::string release_path(std::string_view suffix)
{
    std::string path = target_path;
    path += release_ver;
    path += suffix;
    return path;
}

std::string release_arg(std::string_view suffix)
{
    return host::quote(release_path(suffix));
}

std::string target_arg()
{
    return host::quote(target_path);
}

std::string list_dir()
{
    return std::string(target_path) + subdirs[0];
}

std::string list_dir_arg()
{
    return host::quote(list_dir());
}

bool is_lu()
{
    return platform == 1;
}

} // namespace layout
