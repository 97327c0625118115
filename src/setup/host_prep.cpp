// The program's first phase: the banner, the host packages the later steps
// rely on, and the link to the 64-bit Arm loader. Package names follow the
// host's package database (a release may have renamed one), root is needed
// only when something is missing, and the loader link only ever points at a
// loader that is there.
#include "setup/setup.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/state.h"
#include "host/answers.h"
#include "host/console.h"
#include "host/host.h"
#include "setup/host_probe.h"

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

// How the package commands run: as root or through sudo, and, unless apt may
// ask on the terminal, with -y and their input from /dev/null, so that apt
// never consumes answers a script pipes to this program.
struct Apt {
    const char *sudo;  // "" as root, else "sudo "
    const char *yes;   // "-y " or ""
    const char *input; // " < /dev/null" or ""
};

std::string dpkg_check(const std::vector<std::string> &names)
{
    return "dpkg -l " + probe::join(names) + " > /dev/null 2>&1";
}

// The install loop: 0 when the re-check passes, else the exit status.
int install_packages(const Apt &apt, const probe::PackageNames &names)
{
    const std::string install = host::format("%sapt-get install %s%s%s", apt.sudo, apt.yes,
                                             probe::join(names.install).c_str(), apt.input);
    const std::string recheck = dpkg_check(names.recheck);
    for (int i = 0; i < 3; i++) {
        if (host::run(install) < 0)
            puts("Precondition install internal error");
        // A dry run installed nothing: it goes on as if the install had worked.
        if (host::dry_run())
            return 0;
        host::Reply reply = host::probe(recheck, host::cmd_buffer, host::Effect::reads);
        if (!console::probe_answered(reply, "dpkg -l internal error",
                                     "read dpkg return value internal error"))
            return 1;
        if (reply.is("0\n"))
            return 0;
        printf("Missing precondition Ubuntu packages, reinstalling ...\n\n");
    }
    printf("%sApt-get install precondition packages failed\nPlease check your internet condition "
           "and restart ostrelle%s\n",
           red, reset);
    return -1;
}

// Updates the package lists and installs what is missing: 0, or the exit status.
int update_and_install(const probe::PackageNames &wanted)
{
    const char *sudo = probe::root_prefix();
    if (!sudo) {
        printf("%sNot running as root and sudo is not installed: the precondition packages cannot "
               "be installed.\nAs root, run: apt-get update && apt-get install %s\nthen restart "
               "ostrelle%s\n",
               red, probe::join(wanted.install).c_str(), reset);
        return -1;
    }
    // apt asks on a terminal, as ever, unless a run with commands said
    // --no-input or --yes.
    bool ask = isatty(STDIN_FILENO) && answers::terminal_answers() && !answers::assume_yes();
    Apt apt{sudo, ask ? "" : "-y ", ask ? "" : " < /dev/null"};

    if (host::run(host::format("%sapt-get update%s", apt.sudo, apt.input)) < 0)
        puts("apt update internal error");

    // Fresh package lists can name the packages that older ones did not.
    probe::PackageNames names = probe::resolve(probe::query_packages(probe::rename_names()));
    bool python_missing = false;
    for (const probe::Rename *r : names.unresolved) {
        printf("No install candidate for %s, nor for %s (apt-cache policy)\n", r->name,
               probe::successors_text(*r).c_str());
        python_missing = python_missing || strcmp(r->name, "python") == 0;
    }
    // Without python no install attempt can pass the re-check: say so once
    // rather than trying three times.
    if (python_missing) {
        printf("%sApt-get install precondition packages failed\nPlease install python by hand "
               "and restart ostrelle%s\n",
               red, reset);
        return -1;
    }

    if (host::run(host::format("%sapt-get install %s%s%s", apt.sudo, apt.yes,
                               probe::join(names.python).c_str(), apt.input)) < 0)
        puts("Install python2 internal error");
    return install_packages(apt, names);
}

// Points the Arm loader link at the loader the cross C library ships, unless
// it already leads to an Arm loader; never creates a link to nothing.
void set_up_loader_link(void)
{
    probe::Loader loader = probe::loader();
    if (loader.state == probe::Loader::ok)
        return;
    if (loader.shipped.empty()) {
        printf("Set up ld link failed: no aarch64 loader in /usr/aarch64-linux-gnu/lib\n");
        return;
    }
    if (loader.state == probe::Loader::not_link) {
        printf("Set up ld link failed: %s is not a link, left as it is\n", probe::loader_link);
        return;
    }
    const char *sudo = probe::root_prefix();
    if (!sudo) {
        printf("Set up ld link failed: not running as root and sudo is not installed\n");
        return;
    }
    if (host::run(probe::link_cmd(loader.shipped, loader.state == probe::Loader::wrong, sudo)) < 0)
        puts("Set up ld link failed");
}

} // namespace

int prepare_host(void)
{
    printf("\nSetting up host system environment ...\n");

    // Check first: a ready host needs neither root nor the network.
    probe::PackageNames names = probe::resolve(probe::query_packages(probe::rename_names()));
    host::Reply reply = host::probe(dpkg_check(names.check), host::cmd_buffer, host::Effect::reads);
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
        int status = update_and_install(names);
        if (status != 0)
            return status;
    }

    set_up_loader_link();
    return 0;
}
