// Outside text shown on terminals, in logs and in JSON: one rule for
// control characters and invalid UTF-8.
#include "core/safe_text.h"

#include <cstdio>

namespace {

// Length of the well-formed UTF-8 sequence at text[pos] (1 to 4), or 0 when
// the byte there does not start one: a stray continuation byte, an overlong
// form, a surrogate, a code point beyond U+10FFFF or a cut sequence.
size_t utf8_length(std::string_view text, size_t pos)
{
    auto at = [&](size_t i) -> unsigned {
        return pos + i < text.size() ? static_cast<unsigned char>(text[pos + i]) : 0x100;
    };
    auto tail = [&](size_t i) { return at(i) >= 0x80 && at(i) <= 0xbf; };
    unsigned c = at(0);
    if (c < 0x80)
        return 1;
    if (c >= 0xc2 && c <= 0xdf)
        return tail(1) ? 2 : 0;
    if (c >= 0xe0 && c <= 0xef) {
        unsigned low = c == 0xe0 ? 0xa0 : 0x80;
        unsigned high = c == 0xed ? 0x9f : 0xbf;
        return at(1) >= low && at(1) <= high && tail(2) ? 3 : 0;
    }
    if (c >= 0xf0 && c <= 0xf4) {
        unsigned low = c == 0xf0 ? 0x90 : 0x80;
        unsigned high = c == 0xf4 ? 0x8f : 0xbf;
        return at(1) >= low && at(1) <= high && tail(2) && tail(3) ? 4 : 0;
    }
    return 0;
}

// The code point of a well-formed sequence of len bytes at text[pos].
unsigned code_point(std::string_view text, size_t pos, size_t len)
{
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    switch (len) {
    case 1:
        return byte(0);
    case 2:
        return (byte(0) & 0x1fu) << 6 | (byte(1) & 0x3fu);
    case 3:
        return (byte(0) & 0x0fu) << 12 | (byte(1) & 0x3fu) << 6 | (byte(2) & 0x3fu);
    default:
        return (byte(0) & 0x07u) << 18 | (byte(1) & 0x3fu) << 12 | (byte(2) & 0x3fu) << 6 |
               (byte(3) & 0x3fu);
    }
}

bool control(unsigned code)
{
    return code < 0x20 || (code >= 0x7f && code <= 0x9f);
}

// Appends prefix and value as hexadecimal digits, at least width of them.
void append_hex(std::string &out, const char *prefix, unsigned value, int width)
{
    char digits[8];
    snprintf(digits, sizeof(digits), "%0*x", width, value);
    out += prefix;
    out += digits;
}

// One piece of a text: a well-formed UTF-8 sequence (valid, code its code
// point), or a lone byte that starts none (code the byte's value).
struct Piece {
    std::string_view bytes;
    bool valid;
    unsigned code;
};

// Calls visit with each piece of text in order while it returns true; false
// when a visit stopped the walk.
template <typename Visit> bool each_piece(std::string_view text, Visit visit)
{
    for (size_t pos = 0; pos < text.size();) {
        size_t len = utf8_length(text, pos);
        Piece piece{.bytes = text.substr(pos, len == 0 ? 1 : len),
                    .valid = len != 0,
                    .code = len == 0 ? static_cast<unsigned char>(text[pos])
                                     : code_point(text, pos, len)};
        if (!visit(piece))
            return false;
        pos += piece.bytes.size();
    }
    return true;
}

} // namespace

bool has_control_bytes(std::string_view text)
{
    // A lone byte of 0x80-0x9f counts: it is a C1 control on an 8-bit terminal.
    return !each_piece(text, [](const Piece &piece) { return !control(piece.code); });
}

std::string printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    each_piece(text, [&](const Piece &piece) {
        if (piece.valid && !control(piece.code))
            out.append(piece.bytes);
        else
            for (char byte : piece.bytes)
                append_hex(out, "\\x", static_cast<unsigned char>(byte), 2);
        return true;
    });
    return out;
}

std::string json_text(std::string_view json)
{
    std::string out;
    out.reserve(json.size());
    each_piece(json, [&](const Piece &piece) {
        // Below 0x20 the printer escaped what stood in strings; the rest is
        // its own layout (line feeds of a pretty document).
        if (!piece.valid)
            append_hex(out, "\\\\x", piece.code, 2);
        else if (piece.code >= 0x7f && control(piece.code))
            append_hex(out, "\\u", piece.code, 4);
        else
            out.append(piece.bytes);
        return true;
    });
    return out;
}

std::string without_credentials(std::string_view text)
{
    std::string out;
    size_t pos = 0;
    for (size_t scheme; (scheme = text.find("://", pos)) != std::string_view::npos;) {
        size_t start = scheme + 3;
        // The authority ends at the first "/", "?", "#", blank or control
        // byte; its user part, if any, at the last "@" before that.
        size_t end = start;
        while (end < text.size() && text.find_first_of("/?# \t\r\n'\"", end) != end &&
               static_cast<unsigned char>(text[end]) >= 0x20)
            end++;
        size_t at = text.substr(start, end - start).rfind('@');
        out.append(text.substr(pos, start - pos));
        pos = at == std::string_view::npos ? start : start + at + 1;
    }
    out.append(text.substr(pos));
    return out;
}
