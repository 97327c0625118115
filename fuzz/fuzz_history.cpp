// Fuzz target: the history file reader. The input is the file's contents;
// the editor loads it, the history is browsed and searched a little, and
// written back to a second file, which must hold at most 100 distinct,
// non-empty lines of at most 4095 characters.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string>
#include <unistd.h>

#include "utils/edit.h"
#include "utils/eloop.h"

namespace {

std::string dir;
std::string in_path;
std::string out_path;

void on_cmd(void *, char *) {}
void on_eof(void *) {}

void feed(const char *keys)
{
    for (const char *k = keys; *k; k++)
        edit_process_input(static_cast<unsigned char>(*k));
}

void remove_dir()
{
    unlink(in_path.c_str());
    unlink(out_path.c_str());
    rmdir(dir.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
        dup2(null_fd, STDIN_FILENO);
        close(null_fd);
    }
    if (!freopen("/dev/null", "w", stdout))
        abort();
    char tmpl[] = "/tmp/ostrelle-fuzz-history-XXXXXX";
    if (!mkdtemp(tmpl))
        abort();
    dir = tmpl;
    in_path = dir + "/history";
    out_path = dir + "/history.out";
    atexit(remove_dir);
    eloop_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fopen(in_path.c_str(), "wb");
    if (!f)
        abort();
    if (size > 0 && fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);

    edit_init(on_cmd, on_eof, nullptr, nullptr, in_path.c_str(), nullptr);
    // Up three times, Down, F2, then a search for "a" that is accepted.
    feed("\033[A\033[A\033[A\033[B\033OQ\022a\022\033[C");
    edit_deinit(out_path.c_str(), nullptr);

    f = fopen(out_path.c_str(), "rb");
    if (!f)
        abort();
    std::set<std::string> lines;
    size_t count = 0;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&line, &cap, f)) > 0) {
        std::string text(line, static_cast<size_t>(len));
        if (text.back() != '\n' || text.size() == 1 || text.size() > 4096)
            __builtin_trap();
        text.pop_back();
        if (text.find_first_of("\r\n") != std::string::npos)
            __builtin_trap();
        lines.insert(text);
        count++;
    }
    free(line);
    fclose(f);
    // Entries never repeat.
    if (count > 100 || lines.size() != count)
        __builtin_trap();
    return 0;
}
