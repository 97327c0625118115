// Text that comes from outside the program (servers' lists, archive entry
// and file names) shown on the terminal as text: control bytes never reach
// the screen raw.
#pragma once

#include <string>
#include <string_view>

// True when text holds a byte below 0x20 or the byte 0x7f (escape, line
// feed, tab, carriage return and the other control characters).
bool has_control_bytes(std::string_view text);

// text with every control byte written as \xNN, so that it prints as what
// it is; all other bytes stay as they are.
std::string printable(std::string_view text);
