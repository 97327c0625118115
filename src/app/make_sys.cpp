// Command "1": release resources and the system image repack.
// Not built yet: every entry point says so and fails.
#include "app/commands.h"

#include <cstdio>

int sdk_make_sys(int, char *[])
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}

int sdk_make_sys_helper(void)
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}
