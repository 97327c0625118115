// Unpacking a verified package so that it stays inside the directory it is
// meant to fill. Its entries are listed (unzip -Z) and judged before
// anything is written; unzip then fills a private staging directory inside
// that directory, and only a complete unpack is moved into place, keeping
// what the directory already holds that the package does not. Nothing of
// the result is writable by group or others.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace archive {

// One entry of a listing.
struct Entry {
    std::string name; // as unzip -Z shows it (control characters as ^X)
    char type;        // first character of its mode: 'd' directory, 'l' symbolic link, ...
};

// Parses the listing of unzip -Z -T -s (header, one line per entry, totals)
// into entries. False when the listing does not have that form.
bool parse_listing(std::string_view listing, std::vector<Entry> &entries);

enum class Refusal {
    none,
    outside,  // does not lie below the required top directory
    absolute, // an absolute path
    parent,   // a ".." component
    symlink,  // a symbolic link
};

// Why entry may not be unpacked. prefix is the top directory every entry
// must lie in ("<release>/"), or "" when any relative name will do. Both
// "/" and "\" count as separators, as unzip reads names from some systems.
Refusal judge(const Entry &entry, std::string_view prefix);

// The reason as it is printed: "lies outside r1/", "is a symbolic link", ...
std::string reason(Refusal refusal, std::string_view prefix);

struct Unpack {
    std::string zip_arg; // the package, quoted for a command line
    std::string dir;     // the directory it fills, ending in "/"
    std::string prefix;  // see judge
    std::string record;  // file removed before the directory changes; "" for none
};

enum class Result {
    ok,
    cannot_start, // a command or the staging directory could not be started or made
    refused,      // an entry was refused; nothing was unpacked
    failed,       // not a zip, or unzip or the move into place failed
};

// Lists, judges, unpacks into staging and moves the result into place, then
// takes group and other write permission from everything below dir +
// prefix. Prints a line for each refused entry and for a move that failed;
// the caller prints the rest. Staging directories of earlier runs that
// were ended part way are removed first.
Result unpack(const Unpack &job);

// Takes group and other write permission from path and everything below it,
// never following a symbolic link; entries of other owners are left alone.
// True when path does not exist; false, after saying what, when something
// could not be changed.
bool tighten(const std::string &path);

} // namespace archive
