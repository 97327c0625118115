// Fuzz target: the key decoder and the line editor fed an arbitrary byte
// stream, one byte at a time as the read handler delivers them, followed by
// end of input. The first byte is the terminal's width in columns (0: the
// width is unknown), so that long lines scroll in windows of every size. A
// completion callback with a few candidates is installed so that Tab
// exercises completion too. The editor's output goes to a sink.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "utils/edit.h"
#include "utils/eloop.h"

namespace {

int eof_seen;
// Master side of the pseudo-terminal on descriptor 0, or -1 when none could
// be opened (then every input runs at the default width).
int pty_master = -1;

void on_cmd(void *, char *cmd)
{
    // The editor hands out only non-empty lines that fit its buffer.
    size_t len = strlen(cmd);
    if (len == 0 || len > 4095)
        __builtin_trap();
}

void on_eof(void *)
{
    eof_seen = 1;
}

char **on_complete(void *, const char *cmd, int pos)
{
    if (pos < 0 || static_cast<size_t>(pos) > strlen(cmd))
        __builtin_trap();
    static const char *const words[] = {"help", "hello", "HELP", "1", "q", "quit", ""};
    const size_t n = sizeof(words) / sizeof(words[0]);
    char **c = static_cast<char **>(calloc(n + 1, sizeof(char *)));
    if (!c)
        return nullptr;
    for (size_t i = 0; i < n; i++)
        c[i] = strdup(words[i]);
    return c;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // No terminal of the caller is touched: descriptor 0 is a private
    // pseudo-terminal whose width each input sets (or /dev/null when there
    // is none). Output goes nowhere.
    int slave = -1;
    if (openpty(&pty_master, &slave, nullptr, nullptr, nullptr) != 0) {
        pty_master = -1;
        slave = open("/dev/null", O_RDWR);
    }
    if (slave >= 0) {
        dup2(slave, STDIN_FILENO);
        close(slave);
    }
    if (!freopen("/dev/null", "w", stdout))
        abort();
    eloop_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    if (pty_master >= 0) {
        struct winsize ws = {};
        ws.ws_row = 24;
        ws.ws_col = data[0];
        ioctl(pty_master, TIOCSWINSZ, &ws);
    }
    data++;
    size--;

    eof_seen = 0;
    edit_init(on_cmd, on_eof, on_complete, nullptr, nullptr, nullptr);
    // The escape decoder outlives edit_init; a complete sequence (Up, a no-op
    // on an empty history) leaves it where a fresh process starts, so every
    // input reproduces on its own.
    for (const char *k = "\033[A"; *k; k++)
        edit_process_input(static_cast<unsigned char>(*k));
    for (size_t i = 0; i < size; i++)
        edit_process_input(data[i]);
    edit_process_input(EDIT_INPUT_END);
    if (!eof_seen)
        __builtin_trap(); // end of input must always reach the client
    edit_deinit(nullptr, nullptr);
    return 0;
}
