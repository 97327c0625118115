// What the program trusts a release directory for: its completion record
// says that the chosen release was unpacked (and on LU repacked) whole.
#pragma once

#include <string>

namespace release_tree {

// The completion record of the chosen release, <release>/.ostrelle-complete.
std::string record_path();

// Writes the record: the chosen release's package digest (check_sum) and a
// line feed. False, after saying why, when it cannot be written.
bool write_record();

// True when the record exists and holds exactly check_sum and a line feed.
bool record_valid();

// Command "2" and the CDT and NON-HLOS flashes: true when the release is
// complete; otherwise says so, and to run command "1" again, and is false.
bool complete_or_refuse();

} // namespace release_tree
