// Command "1": the release resources. On LE the release package already
// holds the full build; on LU the system image is rebuilt from it with the
// release's own build script, converted to sparse images with its sparse
// script, and the result moved into full_build/ufs/ for flashing.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/commands.h"
#include "core/state.h"
#include "host/answers.h"
#include "host/console.h"
#include "host/events.h"
#include "host/host.h"
#include "host/terminal.h"
#include "release/layout.h"
#include "release/release_tree.h"

namespace {

constexpr size_t confirm_field = 512; // answer to the command's confirmation

// Asks whether to repack despite foreign packages; Enter takes the offered
// "Y". Keys typed during the download never answer it.
bool confirm_repack()
{
    if (answers::assume_yes()) {
        printf("Do you still want to repack? [Y/n] y\n");
        return true;
    }
    answers::can_ask_or_exit(answers::Question::confirm);
    terminal::ModeGuard mode(terminal::Mode::prompt);
    console::discard_typed_ahead();
    console::YesNo answer = console::ask_yes_no("Do you still want to repack? [Y/n] ");
    if (answer == console::YesNo::eof)
        puts("\n input repack cmd internal error");
    mode.restore();
    return answer == console::YesNo::yes;
}

} // namespace

int sdk_make_sys(int, char *[])
{
    terminal::ModeGuard mode(terminal::Mode::prompt);
    const char *y = console::yellow;
    const char *r = console::reset;
    if (layout::is_lu()) {
        printf("%s===================================================%s\n", y, r);
        printf("%sGenerate system image to complete full build%s\n", y, r);
        printf("%sThe image repack process will take about 40 minutes%s\n", y, r);
        printf("%sCurrent image version to be generated: %s%s\n", y, r, release_ver);
        printf("%s===================================================%s\n\n", y, r);
    } else {
        printf("%s===================================================%s\n", y, r);
        printf("%sDownload LE resources including full build, cdt and non-hlos%s\n", y, r);
        printf("%sCurrent image version to be downloaded: %s%s\n", y, r, release_ver);
        printf("%s===================================================%s\n\n", y, r);
    }
    console::discard_typed_ahead();
    printf("Enter 'y' to continue, 'q' to main menu: ");
    fflush(stdout);
    char ans[confirm_field] = "";
    if (console::read_word(ans, sizeof(ans)) == console::Read::eof)
        puts("\n input version internal error");
    // The work itself runs with the shell's own terminal settings.
    mode.restore();

    if (strcmp(ans, "y") == 0)
        sdk_make_sys_helper();
    else if (strcmp(ans, "q") != 0)
        printf("\nUnknown option, return to main menu\n");
    return 0;
}

// Every way this sequence stops short of the moved sparse images returns 1
// (the refusal and the failed audit, build or move too): command "1" ignores
// the result, a run with commands reports it.
int sdk_make_sys_helper(void)
{
    if (sdk_dl_img_pkg(0, nullptr) != 0) {
        puts("Download resource failed. Try command 1 again.");
        if (events::last_failure().empty())
            events::failure("Download resource failed.");
        return 1;
    }
    if (!layout::is_lu()) {
        // The LE release is complete once unpacked: command "2" may flash it.
        if (!release_tree::write_record())
            return 1;
        printf("%sDownload LE resources ... Done%s\n", console::green, console::reset);
        return 0;
    }

    printf("%sStart to make system image ...%s\n", console::yellow, console::reset);
    events::phase("download", nullptr, "repacking", 0);
    switch (deb_checksum()) {
    case 0:
        break;
    case 2:
        printf("%sWARNING! Non-offical debian packages or files detected in "
               "%s%s/packages/deb-files/\nYou may lose your warranty if you continue\nPlease "
               "confirm these files are what you need%s\n",
               console::red, target_path, release_ver, console::reset);
        print_deb_findings();
        if (!confirm_repack()) {
            printf("\nRemove your own file or all files in %s%s/packages/deb-files/ before you "
                   "resume step 1\n",
                   target_path, release_ver);
            return 1;
        }
        puts("\nContinue to repack image ...");
        break;
    default:
        puts("Make system.img internal error");
        return 1;
    }

    host::Reply script = host::first_line("ls " + layout::release_arg("/build-system.sh"), 512,
                                          host::cmd_buffer, host::Effect::assumed);
    if (!script.started()) {
        printf("%s: find fc system.sh internal error\n", "sdk_make_sys_helper");
    } else if (!script.has_line()) {
        printf("%sNeed to check %s%s to see if the resource is downloaded or run command 1%s\n",
               console::red, target_path, release_ver, console::reset);
        return 1;
    } else {
        puts("Checking resources...");
        // Everything below runs as root: a tree that others can change
        // could hand root a script of theirs.
        if (!release_tree::safe_for_root_or_refuse("build-system.sh"))
            return 1;
        // The build's own output reaches the terminal and repack.log; only
        // the ext4 image it leaves tells whether it worked.
        if (!host::pass_through("sudo sh " + layout::release_arg("/build-system.sh") + " | tee " +
                                layout::release_arg("/repack.log")))
            printf("%s: make system.img internal error\n", "sdk_make_sys_helper");
    }

    puts("\n\nChecking system.img ...");
    host::Reply image = host::first_line("ls " + layout::release_arg("/rootfs/") + "*.ext4", 512,
                                         host::cmd_buffer, host::Effect::assumed);
    if (!image.started()) {
        puts("check system.img internal error");
    } else if (!image.has_line()) {
        printf("\n%ssystem image repack failed, check errors above%s\n", console::red,
               console::reset);
        return 1;
    } else {
        printf("%ssystem image repack succeed%s\n", console::green, console::reset);
    }

    // ls answers 2 when the directory is missing; an empty one gives "0".
    // The absence is expected: ls's complaint about it is not shown.
    host::Reply sparse =
        host::probe("ls " + layout::release_arg("/imgparser/sparse_image") + " > /dev/null 2>&1",
                    host::cmd_buffer, host::Effect::assumed);
    if (!sparse.started()) {
        puts("check sparse_image internal error");
    } else if (!sparse.has_line()) {
        puts("check sparse_image status internal error");
        return 1;
    } else if (sparse.is("2\n")) {
        printf("Creating %s%s/imgparser/sparse_image/ to store ext4 files\n", target_path,
               release_ver);
        if (host::run("mkdir -p " + layout::release_arg("/imgparser/sparse_image")) < 0) {
            puts("Create sparse_image directory failed");
            return 1;
        }
    }

    puts("\nStart to sparse system image, setting up ...");
    if (!host::pass_through(
            "cd " + layout::release_arg("/imgparser/sparse_image") +
            "; ../checksparse.py -i ../rawprogram0.xml -s " + layout::release_arg("/rootfs/") +
            " -o rawprogram_unsparse0.xml | tee " + layout::release_arg("/sparse.log"))) {
        printf("%s: sparse system.img internal error\n", "sdk_make_sys_helper");
        return 1;
    }

    // Old images go first; every other file in full_build/ufs/ is replaced
    // by name in the move.
    if (host::run("rm " + layout::release_arg("/full_build/ufs/") + "*.ext4 2> /dev/null") < 0)
        puts("Unable to remove old ext4 files");

    puts("Moving sparse images to full_build ...");
    host::Reply moved = host::probe("mv " + layout::release_arg("/imgparser/sparse_image/") + "* " +
                                    layout::release_arg("/full_build/ufs/"));
    if (!console::probe_answered(
            moved, host::format("%s: mv sparse images internal error", "sdk_make_sys_helper"),
            "check mv status internal error"))
        return 1;
    // Only a repack that went through completes an LU release.
    if (moved.is("0\n") && !release_tree::write_record())
        return 1;
    if (moved.is("0\n")) {
        printf("\n%sMove sparse images to full_build ...done%s\n", console::green, console::reset);
        printf("%sYou may proceed to flash full_build to your device%s\n", console::green,
               console::reset);
    } else {
        printf("\n%sMove sparse images to full_build failed. Check errors above%s\n", console::red,
               console::reset);
        return 1;
    }
    return 0;
}
