// Fuzz target: the list-file reader on arbitrary file contents, counted and
// read the way the release selection and the toolchain command read them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "release/ver_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (!f)
        return 0;
    long count = count_line_feeds(f);
    rewind(f);
    std::vector<avail_ver> vers;
    if (read_avail_vers(f, count, vers) == 0) {
        // Every record must be terminated inside its fields.
        for (const avail_ver &v : vers) {
            if (!memchr(v.ver_cmd, '\0', sizeof(v.ver_cmd)) ||
                !memchr(v.ver_name, '\0', sizeof(v.ver_name)) ||
                !memchr(v.sha256sum, '\0', sizeof(v.sha256sum)))
                __builtin_trap();
        }
    }
    fclose(f);
    return 0;
}
