// Command "2" and the CDT and NON-HLOS flashing handlers.
// Not built yet: every entry point says so and fails.
#include "app/commands.h"

#include <cstdio>

int sdk_flash_full(int, char *[])
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}

int sdk_flash_full_helper(void)
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}

int sdk_flash_cdt(int, char *[])
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}

int sdk_flash_cdt_ufs_helper(void)
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}

int sdk_flash_cdt_emmc_helper(void)
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}

int sdk_flash_nonhlos(int, char *[])
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}

int sdk_flash_nonhlos_helper(void)
{
    printf("%s: not available in this build yet\n", __func__);
    return 1;
}
