// Fuzz target: judging the account server's reply on an arbitrary first
// line, stored the way the pipe read stores it (at most 511 characters, up
// to and including the first line feed, cut at a NUL byte).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/host.h"
#include "setup/setup.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!freopen("/dev/null", "w", stdout))
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string line;
    for (size_t i = 0; i < size && line.size() < 511; i++) {
        if (data[i] == '\0')
            break;
        line += static_cast<char>(data[i]);
        if (data[i] == '\n')
            break;
    }
    host::Reply reply;
    reply.outcome = line.empty() ? host::Outcome::no_line : host::Outcome::line;
    reply.line = line;
    // 0 signed in, 1 refused, 2 no usable answer.
    int result = judge_reply(reply);
    if (result < 0 || result > 2)
        __builtin_trap();
    // An over-long reply can never sign anyone in.
    if (result == 0 && line.size() > 127)
        __builtin_trap();
    return 0;
}
