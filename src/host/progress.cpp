// Making a redrawn progress display into lines.
#include "host/progress.h"

#include <cctype>
#include <utility>

namespace host {

namespace {

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

} // namespace

int percentage(std::string_view text, std::string &phase)
{
    phase.assign(trimmed(text));
    size_t sign = text.rfind('%');
    if (sign == std::string_view::npos)
        return -1;
    size_t end = sign;
    while (end > 0 && text[end - 1] == ' ')
        end--;
    size_t start = end;
    while (start > 0 &&
           (isdigit(static_cast<unsigned char>(text[start - 1])) || text[start - 1] == '.'))
        start--;
    // The whole part: the digits before a decimal point.
    size_t whole_end = start;
    while (whole_end < end && isdigit(static_cast<unsigned char>(text[whole_end])))
        whole_end++;
    if (whole_end == start || whole_end - start > 9)
        return -1;
    int value = 0;
    for (size_t i = start; i < whole_end; i++)
        value = value * 10 + (text[i] - '0');
    std::string rest(text.substr(0, start));
    rest += text.substr(sign + 1);
    phase.assign(trimmed(rest));
    return value;
}

ProgressLines::ProgressLines(std::function<void(const std::string &line)> line)
    : line_(std::move(line))
{
}

void ProgressLines::feed(std::string_view bytes)
{
    for (char c : bytes) {
        if (c == '\n' || c == '\r')
            fragment(c == '\r');
        else
            pending_ += c;
    }
}

void ProgressLines::finish()
{
    fragment(true);
}

void ProgressLines::fragment(bool redrawn)
{
    std::string text(trimmed(pending_));
    pending_.clear();
    if (text.empty())
        return;
    std::string phase;
    int percent = percentage(text, phase);
    if (percent < 0) {
        // A line the tool ends itself is kept whole; redrawn text once.
        if (redrawn && text == shown_)
            return;
        if (redrawn)
            shown_ = text;
        line_(text);
        return;
    }
    // A percentage that falls back starts a new round of the same phase (the
    // next file of the same name, a retry).
    int step = percent / 10;
    if (phase == phase_ && step == step_)
        return;
    phase_ = phase;
    step_ = step;
    shown_ = text;
    line_(text);
}

} // namespace host
