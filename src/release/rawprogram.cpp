// A small reader for the flat XML of partition descriptions: elements with
// attributes, comments, the XML declaration and text between elements.
// Everything else a general XML reader would take (document types, entity
// declarations, CDATA, processing instructions other than the declaration)
// is refused, so that no file of a release can make the reader expand or
// fetch anything.
#include "release/rawprogram.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/safe_text.h"
#include "utils/file.h"

namespace rawprogram {

namespace {

// Attributes of one element, and the length of one attribute value.
constexpr size_t max_attributes = 64;
constexpr size_t max_value_bytes = 4096;
// Element nesting.
constexpr int max_depth = 16;

bool name_char(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' || c == ':';
}

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Appends the UTF-8 form of code point cp; false for one XML does not allow.
bool append_utf8(std::string &out, unsigned long cp)
{
    if (cp == 0 || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return false;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xc0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xe0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    }
    return true;
}

// Decodes an attribute value: the five predefined entities and numeric
// references; any other reference is refused.
bool decode(std::string_view raw, std::string &out, std::string &why)
{
    out.clear();
    for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i] == '<') {
            why = "a '<' inside an attribute value";
            return false;
        }
        if (raw[i] != '&') {
            out += raw[i];
            continue;
        }
        size_t end = raw.find(';', i);
        if (end == std::string_view::npos || end - i > 12) {
            why = "an unfinished '&' reference";
            return false;
        }
        std::string_view ref = raw.substr(i + 1, end - i - 1);
        if (ref == "lt") {
            out += '<';
        } else if (ref == "gt") {
            out += '>';
        } else if (ref == "amp") {
            out += '&';
        } else if (ref == "quot") {
            out += '"';
        } else if (ref == "apos") {
            out += '\'';
        } else if (ref.size() > 1 && ref[0] == '#') {
            const bool hex = ref[1] == 'x';
            std::string digits(ref.substr(hex ? 2 : 1));
            char *stop = nullptr;
            unsigned long cp = strtoul(digits.c_str(), &stop, hex ? 16 : 10);
            if (digits.empty() || *stop || !isalnum(static_cast<unsigned char>(digits[0])) ||
                !append_utf8(out, cp)) {
                why = "a character reference that is no character";
                return false;
            }
        } else {
            why = "the entity reference &" + std::string(ref) + "; (only XML's own are read)";
            return false;
        }
        i = end;
    }
    return true;
}

std::string encode(std::string_view value)
{
    std::string out;
    for (char c : value) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

const std::string *attribute(const Program &program, std::string_view name)
{
    for (const auto &[key, value] : program.attributes) {
        if (key == name)
            return &value;
    }
    return nullptr;
}

// A whole decimal number (a trailing "." as some tools write it allowed).
bool whole_number(const std::string &text, uint64_t &value)
{
    std::string digits = text;
    if (!digits.empty() && digits.back() == '.')
        digits.pop_back();
    if (digits.empty() || digits.size() > 19)
        return false;
    value = 0;
    for (char c : digits) {
        if (!isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

// Fills a program entry's fields from its attributes; false, with why, for
// an entry that could send an image from elsewhere or write nowhere known.
bool fill(Program &program, std::string &why)
{
    if (const std::string *file = attribute(program, "filename"))
        program.file = *file;
    if (!program.file.empty() && !plain_name(program.file)) {
        why = "a program entry names the file '" + printable(program.file) +
              "', which is not a plain name beside the description";
        return false;
    }
    if (const std::string *label = attribute(program, "label"))
        program.label = *label;
    uint64_t number = 0;
    if (const std::string *part = attribute(program, "physical_partition_number")) {
        if (!whole_number(*part, number) || number > 255) {
            why = "a program entry with the physical partition '" + printable(*part) + "'";
            return false;
        }
        program.partition = static_cast<unsigned>(number);
    }
    if (const std::string *start = attribute(program, "start_sector"))
        program.start_sector = *start;
    if (program.start_sector.empty())
        program.start_sector = "0";
    // An image goes to a sector given as a number; only an empty partition
    // may be placed by an expression the programmer works out.
    if (!program.file.empty() && !whole_number(program.start_sector, number)) {
        why = "the program entry of " + printable(program.file) + " starts at '" +
              printable(program.start_sector) + "', not at a sector number";
        return false;
    }
    if (has_control_bytes(program.start_sector) || has_control_bytes(program.label)) {
        why = "a program entry with control characters in its label or start";
        return false;
    }
    if (const std::string *sectors = attribute(program, "num_partition_sectors")) {
        if (!whole_number(*sectors, program.sectors)) {
            why = "a program entry with '" + printable(*sectors) + "' sectors";
            return false;
        }
    }
    return true;
}

class Reader {
  public:
    Reader(std::string_view text, Description &out) : text_(text), out_(out) {}

    bool run(std::string &why)
    {
        int depth = 0;
        bool root_seen = false;
        while (pos_ < text_.size()) {
            size_t lt = text_.find('<', pos_);
            if (lt == std::string_view::npos)
                break;
            pos_ = lt;
            if (starts("<?xml")) {
                if (root_seen || lt != skip_bom()) {
                    why = "an XML declaration that is not at the start";
                    return false;
                }
                if (!skip_to("?>", why))
                    return false;
            } else if (starts("<!--")) {
                if (!skip_to("-->", why))
                    return false;
            } else if (starts("<!") || starts("<?")) {
                why = "a declaration or processing instruction (document types and entities are "
                      "not read)";
                return false;
            } else if (starts("</")) {
                if (depth == 0) {
                    why = "an end tag without its start";
                    return false;
                }
                if (!skip_to(">", why))
                    return false;
                depth--;
            } else {
                if (depth == 0 && root_seen) {
                    why = "a second root element";
                    return false;
                }
                root_seen = true;
                bool empty = false;
                if (!element(depth, empty, why))
                    return false;
                if (!empty && ++depth > max_depth) {
                    why = "elements nested too deep";
                    return false;
                }
            }
        }
        if (!root_seen) {
            why = "no XML element in it";
            return false;
        }
        if (depth != 0) {
            why = "an element that is never closed";
            return false;
        }
        return true;
    }

  private:
    bool starts(std::string_view s) const { return text_.substr(pos_, s.size()) == s; }

    size_t skip_bom() const { return text_.substr(0, 3) == "\xef\xbb\xbf" ? 3 : 0; }

    bool skip_to(std::string_view end, std::string &why)
    {
        size_t at = text_.find(end, pos_);
        if (at == std::string_view::npos) {
            why = "markup that never ends";
            return false;
        }
        pos_ = at + end.size();
        return true;
    }

    // One start tag at pos_ (past its "<"), its attributes, and whether it
    // closes itself.
    bool element(int depth, bool &empty, std::string &why)
    {
        pos_++;
        size_t start = pos_;
        while (pos_ < text_.size() && name_char(text_[pos_]))
            pos_++;
        std::string name(text_.substr(start, pos_ - start));
        if (name.empty()) {
            why = "a '<' that starts no element";
            return false;
        }
        Program entry;
        for (;;) {
            while (pos_ < text_.size() && blank(text_[pos_]))
                pos_++;
            if (pos_ >= text_.size()) {
                why = "an element that never ends";
                return false;
            }
            if (text_[pos_] == '>') {
                pos_++;
                empty = false;
                break;
            }
            if (starts("/>")) {
                pos_ += 2;
                empty = true;
                break;
            }
            size_t key_start = pos_;
            while (pos_ < text_.size() && name_char(text_[pos_]))
                pos_++;
            std::string key(text_.substr(key_start, pos_ - key_start));
            while (pos_ < text_.size() && blank(text_[pos_]))
                pos_++;
            if (key.empty() || pos_ >= text_.size() || text_[pos_] != '=') {
                why = "an attribute without a value in <" + printable(name) + ">";
                return false;
            }
            pos_++;
            while (pos_ < text_.size() && blank(text_[pos_]))
                pos_++;
            if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\'')) {
                why = "an attribute value without quotes in <" + printable(name) + ">";
                return false;
            }
            const char quote = text_[pos_++];
            size_t close = text_.find(quote, pos_);
            if (close == std::string_view::npos || close - pos_ > max_value_bytes) {
                why = "an attribute value that never ends or is too long";
                return false;
            }
            std::string value;
            if (!decode(text_.substr(pos_, close - pos_), value, why))
                return false;
            pos_ = close + 1;
            for (const auto &seen : entry.attributes) {
                if (seen.first == key) {
                    why = "the attribute " + printable(key) + " given twice";
                    return false;
                }
            }
            if (entry.attributes.size() >= max_attributes) {
                why = "too many attributes in one element";
                return false;
            }
            entry.attributes.emplace_back(key, value);
        }
        // Entries sit directly below the root element.
        if (depth != 1 || (name != "program" && name != "patch"))
            return true;
        if (out_.programs.size() + out_.patches >= max_entries) {
            why = "more than " + std::to_string(max_entries) + " entries";
            return false;
        }
        if (name == "patch") {
            out_.patches++;
            return true;
        }
        if (!fill(entry, why))
            return false;
        out_.programs.push_back(std::move(entry));
        return true;
    }

    std::string_view text_;
    Description &out_;
    size_t pos_ = 0; // the next byte to read, <= text_.size()
};

} // namespace

bool plain_name(std::string_view name)
{
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\\') == std::string_view::npos &&
           !has_control_bytes(name);
}

bool parse(std::string_view text, Description &out, std::string &why)
{
    out = Description{};
    if (text.size() > max_file_bytes) {
        why = "it is larger than " + std::to_string(max_file_bytes) + " bytes";
        return false;
    }
    if (text.find('\0') != std::string_view::npos) {
        why = "a NUL byte in it";
        return false;
    }
    Reader reader(text, out);
    if (!reader.run(why)) {
        out = Description{};
        return false;
    }
    return true;
}

bool read(const std::string &dir, const std::string &name, Description &out, std::string &why)
{
    if (!plain_name(name)) {
        why = "not a plain file name";
        return false;
    }
    std::string text;
    if (!read_regular(dir + "/" + name, max_file_bytes, text, why)) {
        out = Description{};
        return false;
    }
    return parse(text, out, why);
}

std::string write(const std::vector<Program> &programs)
{
    std::string out = "<?xml version=\"1.0\" ?>\n<data>\n";
    for (const Program &program : programs) {
        out += "  <program";
        for (const auto &[key, value] : program.attributes)
            out += " " + key + "=\"" + encode(value) + "\"";
        out += "/>\n";
    }
    return out + "</data>\n";
}

} // namespace rawprogram
