// Text that comes from outside the program (servers' lists, archive entry
// and file names, tools' output, the command line, the environment) shown as
// text: on a terminal or in a log no control character reaches the reader
// raw, in JSON every string is valid UTF-8, and no password in a URL is
// shown.
#pragma once

#include <string>
#include <string_view>

// True when text holds a control character: a byte below 0x20, DEL (0x7f),
// or a C1 control (0x80-0x9f, whether a lone byte or the UTF-8 form of
// U+0080-U+009F, which some terminals take as escape sequences).
bool has_control_bytes(std::string_view text);

// text with every control character and every byte that is not part of
// valid UTF-8 written as \xNN (one per byte), so that it prints as what it
// is; all other characters stay as they are.
std::string printable(std::string_view text);

// json, a JSON document as a printer wrote it (control bytes below 0x20
// inside strings already escaped, those outside its own layout), made
// valid UTF-8 that shows no control character: DEL
// and C1 controls become \u007f and \u0080-\u009f, and a byte that is not
// part of valid UTF-8 becomes the text \xNN (written "\\xNN"). Such bytes can
// only stand inside strings, where both are string content.
std::string json_text(std::string_view json);

// text with the "user:password@" of every URL in it removed
// ("https://user:pw@host/x" shows as "https://host/x"), for what is shown
// or logged.
std::string without_credentials(std::string_view text);
