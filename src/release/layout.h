// Where things live under the target directory: the chosen release's
// package and directory, and the list-file directory. Every path comes in two
// forms: as it is used by the program itself, and quoted as one word for a
// command line (host::quote), so that no name from outside can change a
// command.
#pragma once

#include <string>
#include <string_view>

namespace layout {

// target_path immediately followed by release_ver and suffix: with "" the
// release directory, with ".zip" its package, with "/cdt/" a directory in it.
std::string release_path(std::string_view suffix = "");
// The same path quoted for a command line.
std::string release_arg(std::string_view suffix = "");

// The target directory quoted for a command line (it ends in "/").
std::string target_arg();

// The list-file directory, target_path + "files/", and its quoted form.
std::string list_dir();
std::string list_dir_arg();

// True on the Ubuntu-based platform (LU), false on LE.
bool is_lu();

} // namespace layout
