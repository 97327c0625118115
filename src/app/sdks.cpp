// Framework SDK menu and installers.
// Not built yet: every entry point says so and fails.
#include "app/commands.h"

#include <cstdio>

int sdk_dl_sdks(int, char *[])
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}

int sdk_dl_snpe(void)
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}

int sdk_dl_hexagon(void)
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}

int sdk_dl_fastcv(void)
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}
