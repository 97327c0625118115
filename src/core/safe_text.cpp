// Control bytes of outside text, detected and shown escaped.
#include "core/safe_text.h"

#include <cstdio>

namespace {

bool control(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

} // namespace

bool has_control_bytes(std::string_view text)
{
    for (unsigned char c : text) {
        if (control(c))
            return true;
    }
    return false;
}

std::string printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (control(c)) {
            char esc[5];
            snprintf(esc, sizeof(esc), "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
