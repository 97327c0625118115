// Colours, prompt mode and answers.
#include "app/console.h"

#include <cctype>
#include <cstdio>
#include <unistd.h>

namespace console {

PromptMode::PromptMode()
{
    if (tcgetattr(STDIN_FILENO, &saved_) != 0)
        return;
    active_ = true;
    struct termios prompt = saved_;
    prompt.c_lflag |= ICANON | ECHO;
    tcsetattr(STDIN_FILENO, TCSANOW, &prompt);
}

PromptMode::~PromptMode()
{
    restore();
}

void PromptMode::restore()
{
    if (!active_)
        return;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    active_ = false;
}

Read read_word(char *field, size_t size, bool consume_end)
{
    if (size > 0)
        field[0] = '\0';
    int c;
    do {
        c = getc(stdin);
    } while (c != EOF && isspace(c));
    if (c == EOF)
        return Read::eof;
    size_t len = 0;
    bool too_long = false;
    while (c != EOF && !isspace(c)) {
        if (len + 1 < size)
            field[len++] = static_cast<char>(c);
        else
            too_long = true;
        c = getc(stdin);
    }
    // The white-space character that ended the word is the line end that a
    // getc after scanf would consume; without consume_end put it back.
    if (!consume_end && c != EOF)
        ungetc(c, stdin);
    if (too_long) {
        if (size > 0)
            field[0] = '\0';
        return Read::too_long;
    }
    if (size > 0)
        field[len] = '\0';
    return Read::ok;
}

Read read_line(char *field, size_t size)
{
    if (size > 0)
        field[0] = '\0';
    size_t len = 0;
    bool too_long = false;
    bool any = false;
    int c;
    while ((c = getc(stdin)) != EOF) {
        any = true;
        if (len + 1 < size)
            field[len++] = static_cast<char>(c);
        else
            too_long = true;
        if (c == '\n')
            break;
    }
    if (!any)
        return Read::eof;
    if (too_long) {
        if (size > 0)
            field[0] = '\0';
        return Read::too_long;
    }
    if (size > 0)
        field[len] = '\0';
    return Read::ok;
}

} // namespace console
