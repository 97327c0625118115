// What the program trusts a release directory for: its completion record
// says that the chosen release was unpacked (and on LU repacked) whole, and
// only a tree that nobody else can change is run from as root.
#pragma once

#include <string>

namespace release_tree {

// The completion record of the chosen release, <release>/.ostrelle-complete.
std::string record_path();

// Writes the record: the chosen release's package digest (check_sum) and a
// line feed, then a line "<size> <mtime> <ctime> <path>" (each time as
// <seconds>.<nine digits of nanoseconds>) for every file below full_build/,
// cdt/ and non_hlos/ (path relative to the release, "%", control bytes and
// DEL as %XX), sorted by path. False, after
// saying why, when it cannot be written. A dry run only says that it would
// write it.
bool write_record();

// True when the record exists and its first line is check_sum.
bool record_valid();

// Why the files the flashes send are not those the record lists: the first
// path that is missing, new, or of another size or time, and
// how. "" when they are the same, and for a record of the digest alone (one
// written by hand for a release laid out by hand, whose files its writer
// vouches for).
std::string changed_file();

// Command "2" and the CDT and NON-HLOS flashes: true when the release is
// complete and its files are those its record lists; otherwise says so,
// and to run command "1" again, and is false.
bool complete_or_refuse();

// Why path may not be trusted with what runs as root: it belongs to a user
// other than this one and root, or group or others may write it (a
// directory owned by root with the sticky bit aside, such as /tmp, where
// nobody may replace what is not theirs; and the write bit of the user's
// own private group aside). "" when it may. path is not followed when it
// is a symbolic link.
std::string untrusted_reason(const std::string &path);

// Before anything of the chosen release runs as root: true when the release
// directory, everything below it and every directory above it pass
// untrusted_reason; otherwise says which does not and why, and is false.
bool safe_for_root_or_refuse(const char *what);

// The target directory step: warns when dir (followed) is writable by users
// other than this one, since a release kept there cannot be built.
void warn_if_shared(const std::string &dir);

} // namespace release_tree
