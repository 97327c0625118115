// Release package download, verification and unpacking.
// Not built yet: every entry point says so and fails.
#include "app/commands.h"

#include <cstdio>

int sdk_dl_img_pkg(int, char *[])
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}
