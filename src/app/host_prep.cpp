// The program's first phase: the banner, the host packages the later steps
// rely on, and the link to the 64-bit Arm loader.
#include "app/setup.h"

#include <cstdio>

#include "app/console.h"
#include "app/host.h"
#include "app/state.h"

using console::green;
using console::red;
using console::reset;
using console::yellow;

void print_version(void)
{
    const char *rule = "******************************************************************";
    printf("%s%s%s\n", yellow, rule, reset);
    printf("%sWelcome to %s version %s%s\n", yellow, prog_name, sdk_ver, reset);
    printf("%sThis software is designed for resource download/management.\nYou can repack system "
           "image and flash image builds%s\n",
           yellow, reset);
    printf("%sThe full process of LU image generation takes at least 40 minutes, depending on the "
           "internet speed%s\n",
           yellow, reset);
    printf("%sYou will need a valid Velmora user account to continue%s\n", yellow, reset);
    printf("%s%s%s\n", yellow, rule, reset);
}

namespace {

const char *const check_all =
    "dpkg -l android-tools-adb libc6-arm64-cross fakechroot fakeroot qemu-user-static wget udev "
    "unzip coreutils dpkg python kmod > /dev/null 2>&1";
const char *const install_all =
    "sudo apt-get install android-tools-adb libc6-arm64-cross fakechroot fakeroot "
    "qemu-user-static wget udev unzip coreutils dpkg python kmod";
// adb and udev are left out of the re-check on purpose: an install attempt
// that cannot provide them still lets the set-up go on.
const char *const recheck =
    "dpkg -l libc6-arm64-cross fakechroot fakeroot qemu-user-static wget unzip coreutils dpkg "
    "python kmod > /dev/null 2>&1";
const char *const ld_link = "linkfile=`readlink /lib/ld-linux-aarch64.so.1`; if [ \"$linkfile\" != "
                            "\"/usr/aarch64-linux-gnu/lib/ld-2.27.so\" ]; then sudo ln -s "
                            "/usr/aarch64-linux-gnu/lib/ld-2.27.so /lib/ld-linux-aarch64.so.1; fi";

// The install loop: 0 when the re-check passes, else the exit status.
int install_packages(void)
{
    for (int i = 0; i < 3; i++) {
        if (host::run(install_all) < 0)
            puts("Precondition install internal error");
        host::Reply reply = host::probe(recheck);
        if (!reply.started()) {
            puts("dpkg -l internal error");
            return 1;
        }
        if (!reply.has_line()) {
            puts("read dpkg return value internal error");
            return 1;
        }
        if (reply.is("0\n"))
            return 0;
        printf("Missing precondition Ubuntu packages, reinstalling ...\n\n");
    }
    printf("%sApt-get install precondition packages failed\nPlease check your internet condition "
           "and restart ostrelle%s\n",
           red, reset);
    return -1;
}

} // namespace

int prepare_host(void)
{
    printf("\nSetting up host system environment ...\n");
    if (host::run("sudo apt-get update") < 0)
        puts("apt update internal error");
    if (host::run("sudo apt-get install python") < 0)
        puts("Install python2 internal error");

    host::Reply reply = host::probe(check_all);
    bool install = true;
    if (!reply.started()) {
        puts("dpkg -l internal error");
    } else if (!reply.has_line()) {
        puts("read dpkg return value internal error");
        return 1;
    } else if (reply.is("0\n")) {
        printf("\n%sPrecondition Ubuntu packages installed%s\n", green, reset);
        install = false;
    } else {
        printf("\nMissing precondition Ubuntu packages, installing ...\n");
    }
    if (install) {
        int status = install_packages();
        if (status != 0)
            return status;
    }

    if (host::run(ld_link) < 0)
        puts("Set up ld link failed");
    return 0;
}
