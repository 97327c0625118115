// Command "3": the embedded-Linux SDK toolchain.
// Not built yet: every entry point says so and fails.
#include "app/commands.h"

#include <cstdio>

int sdk_le_toolchain(int, char *[])
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}
