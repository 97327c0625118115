// Questions and answers.
#include "host/console.h"
#include "host/events.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <json-c/json.h>
#include <strings.h>
#include <unistd.h>

#include "core/exit_status.h"
#include "core/safe_text.h"
#include "host/session_log.h"

namespace console {

void ask(const char *fmt, ...)
{
    va_list args, again;
    va_start(args, fmt);
    va_copy(again, args);
    char *text = nullptr;
    int len = vasprintf(&text, fmt, args);
    va_end(args);
    if (len < 0) {
        // Without memory for the copy the question is still asked, only not
        // again after a stop.
        vprintf(fmt, again);
        va_end(again);
        return;
    }
    va_end(again);
    fputs(text, stdout);
    terminal::set_question(text);
    free(text);
}

namespace {

// An answer field filled one character at a time. What does not fit is
// read on and dropped, and the answer is then refused whole, so that a word
// too long for its field never matches a shorter valid answer.
class Field {
  public:
    Field(char *field, size_t size) : field_(field), size_(size)
    {
        if (size_ > 0)
            field_[0] = '\0';
    }
    void add(int c)
    {
        if (len_ + 1 < size_)
            field_[len_++] = static_cast<char>(c);
        else
            too_long_ = true;
    }
    // The field ends here: ok, or too_long with the field emptied.
    Read finish()
    {
        if (size_ > 0)
            field_[too_long_ ? 0 : len_] = '\0';
        return too_long_ ? Read::too_long : Read::ok;
    }

  private:
    char *field_;
    size_t size_;
    size_t len_ = 0; // characters kept, len_ < size_ once size_ > 0
    bool too_long_ = false;
};

Read read_word_from_stdin(char *field, size_t size, bool consume_end)
{
    Field word(field, size);
    int c;
    do {
        c = getc(stdin);
    } while (c != EOF && isspace(c));
    if (c == EOF)
        return Read::eof;
    while (c != EOF && !isspace(c)) {
        word.add(c);
        c = getc(stdin);
    }
    // The white-space character that ended the word is the line end that a
    // getc after scanf would consume; without consume_end put it back.
    if (!consume_end && c != EOF)
        ungetc(c, stdin);
    return word.finish();
}

Read read_line_from_stdin(char *field, size_t size)
{
    Field line(field, size);
    bool any = false;
    int c;
    while ((c = getc(stdin)) != EOF) {
        any = true;
        line.add(c);
        if (c == '\n')
            break;
    }
    if (!any)
        return Read::eof;
    return line.finish();
}

} // namespace

Read read_word(char *field, size_t size, bool consume_end)
{
    Read result = read_word_from_stdin(field, size, consume_end);
    terminal::clear_question();
    return result;
}

Read read_line(char *field, size_t size)
{
    Read result = read_line_from_stdin(field, size);
    terminal::clear_question();
    return result;
}

namespace {

// Runs before the program ends through exit_program; may be null.
void (*exit_hook)(int status) = nullptr;

} // namespace

void set_exit_hook(void (*hook)(int status))
{
    exit_hook = hook;
}

void exit_program(int status)
{
    if (exit_hook)
        exit_hook(status);
    fflush(stdout);
    session_log::close(status);
    terminal::restore_start();
    exit(status);
}

namespace {

// The status of exit_at_end_of_input.
int end_of_input_status = 1;

} // namespace

void set_end_of_input_status(int status)
{
    end_of_input_status = status;
}

bool probe_answered(const host::Reply &reply, const std::string &cannot_start, const char *no_line)
{
    if (!reply.started()) {
        puts(cannot_start.c_str());
        return false;
    }
    if (!reply.has_line()) {
        puts(no_line);
        return false;
    }
    return true;
}

void print_json(json_object *doc)
{
    // The printer copies bytes from 0x7f up as they are: outside text may
    // hold invalid UTF-8 or C1 controls, which json_text escapes.
    printf("%s\n", json_text(json_object_to_json_string_ext(
                                 doc, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE))
                       .c_str());
    json_object_put(doc);
}

void refuse(const std::string &text)
{
    fflush(stdout);
    // The text may quote the command line or a server: one line, no
    // control characters, no password.
    const std::string shown = printable(without_credentials(text));
    fprintf(stderr, "ostrelle: %s\n", shown.c_str());
    session_log::note("refused: " + shown);
    events::failure(shown);
    exit_program(exit_status::usage);
}

void exit_at_end_of_input(void)
{
    printf("\nNo more input, exit ostrelle now ...\n");
    exit_program(end_of_input_status);
}

bool answer_has_control_bytes(std::string_view answer)
{
    if (!answer.empty() && answer.back() == '\n')
        answer.remove_suffix(1);
    return has_control_bytes(answer);
}

void discard_typed_ahead(void)
{
    if (isatty(STDIN_FILENO))
        tcflush(STDIN_FILENO, TCIFLUSH);
}

namespace {

// Refuses an answer that was read but cannot be used, saying why: one too
// long, or one with control bytes (the field is then emptied).
bool usable(Read result, char *field, size_t size)
{
    if (result == Read::too_long) {
        printf("Answer too long, at most %zu characters\n", size - 1);
        return false;
    }
    if (answer_has_control_bytes(field)) {
        field[0] = '\0';
        printf("Answer contained control characters, please type it again\n");
        return false;
    }
    return true;
}

bool judge_answer(Read result, char *field, size_t size, const char *who, const char *what)
{
    if (result == Read::eof) {
        printf("%s: %s internal error\n", who, what);
        exit_at_end_of_input();
    }
    return usable(result, field, size);
}

// Reads and judges one answer line to a "[Y/n]" question: again when it is
// refused, after saying why.
enum class Judged { yes, no, again, eof };

Judged read_yes_no(void)
{
    char line[64];
    Read result = read_line(line, sizeof(line));
    if (result == Read::eof)
        return Judged::eof;
    if (!usable(result, line, sizeof(line)))
        return Judged::again;
    std::string_view answer = line;
    if (!answer.empty() && answer.back() == '\n')
        answer.remove_suffix(1);
    while (!answer.empty() && answer.front() == ' ')
        answer.remove_prefix(1);
    while (!answer.empty() && answer.back() == ' ')
        answer.remove_suffix(1);
    auto is = [answer](const char *word) {
        return answer.size() == strlen(word) &&
               strncasecmp(answer.data(), word, answer.size()) == 0;
    };
    if (answer.empty() || is("y") || is("yes"))
        return Judged::yes;
    if (is("n") || is("no"))
        return Judged::no;
    printf("Unknown answer '%.*s', please answer y or n\n", static_cast<int>(answer.size()),
           answer.data());
    return Judged::again;
}

} // namespace

bool ask_word_or_exit(char *field, size_t size, const char *who, const char *what, bool consume_end)
{
    fflush(stdout);
    return judge_answer(read_word(field, size, consume_end), field, size, who, what);
}

bool ask_line_or_exit(char *field, size_t size, const char *who, const char *what)
{
    fflush(stdout);
    return judge_answer(read_line(field, size), field, size, who, what);
}

YesNo ask_yes_no(const std::string &question)
{
    for (;;) {
        ask("%s", question.c_str());
        fflush(stdout);
        switch (read_yes_no()) {
        case Judged::yes:
            return YesNo::yes;
        case Judged::no:
            return YesNo::no;
        case Judged::eof:
            return YesNo::eof;
        case Judged::again:
            break;
        }
    }
}

bool ask_yes_no_or_exit(const std::string &question, const char *who, const char *what)
{
    YesNo answer = ask_yes_no(question);
    if (answer == YesNo::eof) {
        printf("%s: %s internal error\n", who, what);
        exit_at_end_of_input();
    }
    return answer == YesNo::yes;
}

} // namespace console
