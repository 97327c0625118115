// Fuzz target: the shell's line splitting on any line the editor can hand
// out (at most 4095 characters, NUL-terminated).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cli/shell.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char line[4096];
    if (size > sizeof(line) - 1)
        size = sizeof(line) - 1;
    memcpy(line, data, size);
    line[size] = '\0';
    size_t text_len = strlen(line);

    char *argv[10];
    int argc = parse_cmd(line, argv);
    if (argc < 0 || argc > 10)
        __builtin_trap();
    for (int i = 0; i < argc; i++) {
        // Every word lies in the line, is non-empty and starts with no blank;
        // only the tenth keeps blanks.
        if (argv[i] < line || argv[i] >= line + text_len)
            __builtin_trap();
        if (argv[i][0] == '\0' || argv[i][0] == ' ')
            __builtin_trap();
        if (i < 9 && strchr(argv[i], ' '))
            __builtin_trap();
        if (i > 0 && argv[i] <= argv[i - 1])
            __builtin_trap();
    }
    // Fewer than ten words: nothing but blanks is left out.
    if (argc < 10) {
        size_t chars = 0;
        for (int i = 0; i < argc; i++)
            chars += strlen(argv[i]);
        size_t non_blank = 0;
        for (size_t i = 0; i < text_len; i++)
            non_blank += line[i] != ' ' && line[i] != '\0';
        if (chars != non_blank)
            __builtin_trap();
    }
    return 0;
}
