// Reader of the release configuration file and the toolchain version list.
#include "release/ver_list.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/types.h>

long count_line_feeds(FILE *f)
{
    long count = 0;
    int c;
    while ((c = getc(f)) != EOF) {
        if (c == '\n')
            count++;
    }
    return count;
}

namespace {

// Copies a word of len characters into a field of size bytes, cut to fit.
void copy_word(char *field, size_t size, const char *word, size_t len)
{
    if (len > size - 1)
        len = size - 1;
    memcpy(field, word, len);
    field[len] = '\0';
}

} // namespace

int read_avail_vers(FILE *f, long count, std::vector<avail_ver> &vers)
{
    // Running out of memory is a failed read, never an uncaught exception
    // that would end the program with the terminal in the editor's mode.
    try {
        vers.assign(count > 0 ? static_cast<size_t>(count) : 0, avail_ver{});
    } catch (const std::bad_alloc &) {
        vers.clear();
        return -1;
    }
    char *line = nullptr;
    size_t cap = 0;
    // Counts words over the whole file: even ones are names, odd ones digests.
    long word_index = 0;
    for (long n = 1; n <= count; n++) {
        ssize_t len = getline(&line, &cap, f);
        if (len < 0) {
            free(line);
            return -1;
        }
        // Only the last character goes: normally the line feed. A carriage
        // return before it stays part of the last word.
        line[len - 1] = '\0';
        avail_ver &rec = vers[n - 1];
        // Beyond 9999999 lines the number no longer fits and is cut.
        char number[24];
        int nlen = snprintf(number, sizeof(number), "%ld", n);
        copy_word(rec.ver_cmd, sizeof(rec.ver_cmd), number, static_cast<size_t>(nlen));
        const char *p = line;
        while (*p) {
            while (*p == ' ')
                p++;
            if (!*p)
                break;
            const char *start = p;
            while (*p && *p != ' ')
                p++;
            size_t wlen = static_cast<size_t>(p - start);
            if (word_index % 2 == 0)
                copy_word(rec.ver_name, sizeof(rec.ver_name), start, wlen);
            else
                copy_word(rec.sha256sum, sizeof(rec.sha256sum), start, wlen);
            word_index++;
        }
    }
    free(line);
    return 0;
}
