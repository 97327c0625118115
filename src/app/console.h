// Talking to the user: colour escapes, the prompt-mode guard and the two
// ways of reading an answer from standard input.
#pragma once

#include <cstddef>
#include <termios.h>

namespace console {

inline constexpr const char *red = "\033[31m";    // failures
inline constexpr const char *green = "\033[32m";  // success
inline constexpr const char *yellow = "\033[33m"; // banners, choices, notices
inline constexpr const char *reset = "\033[0m";

// Saves the attributes of standard input and turns canonical input and echo
// on until restore() or destruction. Harmless when standard input is not a
// terminal; restoring twice is harmless.
class PromptMode {
  public:
    PromptMode();
    ~PromptMode();
    PromptMode(const PromptMode &) = delete;
    PromptMode &operator=(const PromptMode &) = delete;
    void restore();

  private:
    struct termios saved_ {};
    bool active_ = false;
};

enum class Read {
    ok,       // the field holds the answer
    too_long, // the answer did not fit: it was read whole and refused; field empty
    eof,      // end of input (or a read error) before any answer; field empty
};

// Reads one word the way scanf("%s") does: blanks and line ends before it are
// skipped, the word ends at the next white-space character. With consume_end
// that character (normally the line end) is consumed too, as a getc after the
// scanf would. field holds size bytes, so a word of size - 1 characters fits.
Read read_word(char *field, size_t size, bool consume_end = true);

// Reads one line the way fgets does, line end kept, into size bytes. A longer
// line is read to its end and refused. A last line without a line end is ok.
Read read_line(char *field, size_t size);

} // namespace console
