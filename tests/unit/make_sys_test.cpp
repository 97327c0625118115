// Command "1": the confirmation dialogue, and the LE and LU sequences of the
// helper with every step's command line and failure through the fake runner.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "core/commands.h"
#include "release_fixture.h"
#include "support/fake_runner.h"
#include "support/globals.h"
#include "support/stdio_capture.h"
#include "support/temp_dir.h"

using testing_support::digest_a;
using testing_support::FakeRunner;
using testing_support::Globals;
using testing_support::StdinFeed;
using testing_support::StdoutCapture;
using testing_support::TempDir;

namespace {

struct Outcome {
    int result;
    std::string out;
};

Outcome make_sys(const std::string &input)
{
    StdinFeed feed(input);
    StdoutCapture cap;
    int result = sdk_make_sys(0, nullptr);
    return {result, cap.text()};
}

const std::string lu_banner =
    "\033[33m===================================================\033[0m\n"
    "\033[33mGenerate system image to complete full build\033[0m\n"
    "\033[33mThe image repack process will take about 40 minutes\033[0m\n"
    "\033[33mCurrent image version to be generated: \033[0mr1\n"
    "\033[33m===================================================\033[0m\n\n"
    "Enter 'y' to continue, 'q' to main menu: ";

// A release whose package is present and right, so the helper's download
// step costs one sha256sum, one listing and one unzip; the audit's local
// list is written by its loop command with local_lines lines, the first the
// one official package, the others packages of the user's (extra1.deb,
// ...), or not at all when local_lines is negative.
struct Release {
    TempDir dir;
    Globals globals;
    FakeRunner fake;
    std::string d; // release directory as on the command lines

    explicit Release(int plat, const char *name = "r1", int local_lines = 1)
        : globals(dir.slash(), name, digest_a.c_str(), plat)
    {
        d = dir.slash() + name;
        dir.write(std::string(name) + ".zip", "zip");
        dir.write(std::string(name) + "/utils/files/deb_checksum", "a  x.deb\n");
        fake.push_read_line(digest_a + "\n");
        std::string local;
        for (int i = 0; i < local_lines; i++)
            local += i == 0 ? "a  x.deb\n" : "b  extra" + std::to_string(i) + ".deb\n";
        fake.on_call = [this, local, local_lines,
                        name = std::string(name)](const FakeRunner::Call &call) {
            if (local_lines >= 0 && call.cmd.find("for deb in") != std::string::npos)
                dir.write(name + "/utils/files/local_deb_checksum", local);
        };
    }

    // Replies of the repack after the download: diff, the script probe, the
    // ext4 check, the sparse directory probe and the move probe.
    void script(const char *script, const char *ext4, const char *sparse, const char *mv)
    {
        fake.push_read_no_line(); // diff
        for (const char *line : {script, ext4, sparse, mv}) {
            if (line)
                fake.push_read_line(line);
            else
                fake.push_read_no_line();
        }
    }

    Outcome helper(const std::string &input = "")
    {
        StdinFeed feed(input);
        StdoutCapture cap;
        int result = sdk_make_sys_helper();
        return {result, cap.text()};
    }

    // The command lines after the audit's three.
    std::vector<std::string> repack_commands() const
    {
        auto all = fake.commands();
        return std::vector<std::string>(all.begin() + 6, all.end());
    }
};

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(MakeSys, ConfirmationAnswers)
{
    {
        TempDir dir;
        Globals g(dir.slash(), "r1", "", 1);
        FakeRunner fake;
        Outcome q = make_sys("q\n");
        EXPECT_EQ(q.result, 0);
        EXPECT_EQ(q.out, lu_banner);
        EXPECT_TRUE(fake.calls().empty());

        for (const std::string &answer :
             std::vector<std::string>{"Y\n", "yes\n", "Q\n", "y" + std::string(600, 'y') + "\n"}) {
            Outcome o = make_sys(answer);
            EXPECT_EQ(o.result, 0);
            EXPECT_EQ(o.out, lu_banner + "\nUnknown option, return to main menu\n");
        }
        Outcome eof = make_sys("");
        EXPECT_EQ(eof.out,
                  lu_banner +
                      "\n input version internal error\n\nUnknown option, return to main menu\n");
        EXPECT_TRUE(fake.calls().empty());
    }
    {
        TempDir dir;
        Globals g(dir.slash(), "r2", "", 2);
        Outcome q = make_sys("q\n");
        EXPECT_EQ(q.out, "\033[33m===================================================\033[0m\n"
                         "\033[33mDownload LE resources including full build, cdt and "
                         "non-hlos\033[0m\n"
                         "\033[33mCurrent image version to be downloaded: \033[0mr2\n"
                         "\033[33m===================================================\033[0m\n\n"
                         "Enter 'y' to continue, 'q' to main menu: ");
    }
}

TEST(MakeSys, LowerCaseYRunsTheHelperAndAlwaysGivesZero)
{
    TempDir dir;
    Globals g(dir.slash(), "r1", digest_a.c_str(), 2);
    FakeRunner fake;
    fake.push_read_cannot_start(); // the fetch fails, so the helper gives 1
    Outcome o = make_sys("y\n");
    EXPECT_EQ(o.result, 0);
    EXPECT_TRUE(
        contains(o.out, "internal error\nDownload resource failed. Try command 1 again.\n"));
}

TEST(MakeSysHelper, LeIsDoneAfterThePackage)
{
    Release rel(2);
    Outcome o = rel.helper();
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(rel.fake.calls().size(), 3u);
    EXPECT_TRUE(contains(o.out, "Extracting files ...done\n\033[32mDownload LE resources ... "
                                "Done\033[0m\n"));
    // Unpacked whole: command "2" may flash it.
    std::ifstream record(rel.d + "/.ostrelle-complete");
    std::string text((std::istreambuf_iterator<char>(record)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, digest_a + "\n");
}

TEST(MakeSysHelper, LuFullRepack)
{
    Release rel(1);
    rel.script("/x/build-system.sh\n", "/x/rootfs/system.ext4\n", "2\n", "0\n");
    Outcome o = rel.helper();
    EXPECT_EQ(o.result, 0);
    const std::string &d = rel.d;
    EXPECT_EQ(
        rel.repack_commands(),
        (std::vector<std::string>{
            "ls " + d + "/build-system.sh",
            "sudo sh " + d + "/build-system.sh | tee " + d + "/repack.log",
            "ls " + d + "/rootfs/*.ext4",
            "ls " + d + "/imgparser/sparse_image > /dev/null 2>&1; echo $?",
            "mkdir -p " + d + "/imgparser/sparse_image",
            "cd " + d + "/imgparser/sparse_image; ../checksparse.py -i ../rawprogram0.xml -s " + d +
                "/rootfs/ -o rawprogram_unsparse0.xml | tee " + d + "/sparse.log",
            "rm " + d + "/full_build/ufs/*.ext4 2> /dev/null",
            "mv " + d + "/imgparser/sparse_image/* " + d + "/full_build/ufs/; echo $?",
        }));
    using K = FakeRunner::Kind;
    std::vector<K> kinds;
    for (const auto &call : rel.fake.calls())
        kinds.push_back(call.kind);
    EXPECT_EQ(kinds, (std::vector<K>{K::read, K::read, K::write, K::system, K::system, K::read,
                                     K::read, K::write, K::read, K::read, K::system, K::write,
                                     K::system, K::read}));
    const std::string tail = "Extracting files ...done\n"
                             "\033[33mStart to make system image ...\033[0m\n"
                             "Checking resources...\n"
                             "\n\nChecking system.img ...\n"
                             "\033[32msystem image repack succeed\033[0m\n"
                             "Creating " +
                             d +
                             "/imgparser/sparse_image/ to store ext4 files\n"
                             "\nStart to sparse system image, setting up ...\n"
                             "Moving sparse images to full_build ...\n"
                             "\n\033[32mMove sparse images to full_build ...done\033[0m\n"
                             "\033[32mYou may proceed to flash full_build to your device\033[0m\n";
    ASSERT_GE(o.out.size(), tail.size());
    EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail);
    EXPECT_TRUE(rel.dir.exists("r1/.ostrelle-complete"));
}

TEST(MakeSysHelper, ExtraPackagesAskBeforeRepacking)
{
    // The warning names what is not official.
    const std::string warning_end = "You may lose your warranty if you continue\nPlease confirm "
                                    "these files are what you need\033[0m\n\033[31mNot in the "
                                    "official list: extra1.deb\033[0m\nDo you still want to "
                                    "repack? [Y/n] ";
    // "[Y/n]": n or no in any case refuses; other words ask again; end of
    // input refuses too.
    for (const std::string &answer :
         std::vector<std::string>{"n\n", "NO\n", "yess\n n \n", "", std::string(70, 'Y') + "\n"}) {
        SCOPED_TRACE(answer);
        Release rel(1, "r1", 2);
        rel.fake.push_read_no_line(); // diff
        Outcome o = rel.helper(answer);
        // Declined: the image is not rebuilt, which a run with commands reports.
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(rel.fake.calls().size(), 6u);
        EXPECT_TRUE(contains(o.out, "\033[31mWARNING! Non-offical debian packages or files "
                                    "detected in " +
                                        rel.d + "/packages/deb-files/\n"));
        EXPECT_TRUE(contains(o.out, warning_end));
        EXPECT_TRUE(contains(o.out, "\nRemove your own file or all files in " + rel.d +
                                        "/packages/deb-files/ before you resume step 1\n"));
        EXPECT_EQ(contains(o.out, " input repack cmd internal error"),
                  answer.empty() || answer[0] == 'Y');
        EXPECT_EQ(contains(o.out, "[Y/n] Unknown answer 'yess', please answer y or n\n"
                                  "Do you still want to repack? [Y/n] \nRemove"),
                  answer[0] == 'y');
    }
    // Enter takes the offered "Y".
    for (const char *answer : {"Y\n", "y\n", "\n", " Yes \n"}) {
        SCOPED_TRACE(answer);
        Release rel(1, "r1", 2);
        rel.script("/x/build-system.sh\n", "/x/rootfs/system.ext4\n", "0\n", "0\n");
        Outcome o = rel.helper(answer);
        EXPECT_EQ(o.result, 0);
        EXPECT_TRUE(contains(o.out, warning_end +
                                        "\nContinue to repack image ...\nChecking resources...\n"));
        EXPECT_TRUE(contains(o.out, "...done"));
    }
}

TEST(MakeSysHelper, StepsThatEndTheRepack)
{
    {
        SCOPED_TRACE("no build script");
        Release rel(1);
        rel.script(nullptr, nullptr, nullptr, nullptr);
        Outcome o = rel.helper();
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(rel.repack_commands().size(), 1u);
        EXPECT_TRUE(contains(o.out, "\033[31mNeed to check " + rel.d +
                                        " to see if the resource is downloaded or run command "
                                        "1\033[0m\n"));
    }
    {
        SCOPED_TRACE("no ext4 image");
        Release rel(1);
        rel.script("/x/build-system.sh\n", nullptr, nullptr, nullptr);
        Outcome o = rel.helper();
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(rel.repack_commands().size(), 3u);
        EXPECT_TRUE(
            contains(o.out, "\n\033[31msystem image repack failed, check errors above\033[0m\n"));
        // Unpacked but not repacked: an LU release is not complete.
        EXPECT_FALSE(rel.dir.exists("r1/.ostrelle-complete"));
    }
    {
        SCOPED_TRACE("sparse directory present");
        Release rel(1);
        rel.script("/x/build-system.sh\n", "/x/rootfs/system.ext4\n", "0\n", "1\n");
        Outcome o = rel.helper();
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(rel.repack_commands().size(), 7u); // no mkdir
        EXPECT_FALSE(contains(o.out, "Creating"));
        EXPECT_TRUE(contains(o.out, "\n\033[31mMove sparse images to full_build failed. Check "
                                    "errors above\033[0m\n"));
    }
    {
        SCOPED_TRACE("audit failed");
        Release rel(1, "r1", -1);
        Outcome o = rel.helper();
        EXPECT_EQ(o.result, 1);
        EXPECT_EQ(rel.fake.calls().size(), 5u);
        EXPECT_TRUE(contains(o.out, "deb_checksum read failed.\nMake system.img internal error\n"));
    }
}

TEST(MakeSysHelper, InternalErrorRows)
{
    struct Case {
        const char *name;
        std::function<void(Release &)> script;
        int result;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"script probe",
         [](Release &r) {
             r.fake.push_read_no_line();
             r.fake.push_read_cannot_start();
             r.fake.push_read_line("s.ext4\n");
             r.fake.push_read_line("0\n");
             r.fake.push_read_line("0\n");
         },
         0, "sdk_make_sys_helper: find fc system.sh internal error\n\n\nChecking system.img"},
        {"build",
         [](Release &r) {
             r.script("b\n", "s.ext4\n", "0\n", "0\n");
             r.fake.push_write(true);
             r.fake.push_write(false);
         },
         0, "Checking resources...\nsdk_make_sys_helper: make system.img internal error\n"},
        {"ext4 check",
         [](Release &r) {
             r.fake.push_read_no_line();
             r.fake.push_read_line("b\n");
             r.fake.push_read_cannot_start();
             r.fake.push_read_line("0\n");
             r.fake.push_read_line("0\n");
         },
         0, "check system.img internal error\n\nStart to sparse"},
        {"sparse probe", [](Release &r) { r.script("b\n", "s.ext4\n", nullptr, nullptr); }, 1,
         "check sparse_image status internal error\n"},
        {"mkdir",
         [](Release &r) {
             r.script("b\n", "s.ext4\n", "2\n", "0\n");
             r.fake.push_system(0);
             r.fake.push_system(0);
             r.fake.push_system(-1);
         },
         1, "to store ext4 files\nCreate sparse_image directory failed\n"},
        {"sparse script",
         [](Release &r) {
             r.script("b\n", "s.ext4\n", "0\n", "0\n");
             r.fake.push_write(true);
             r.fake.push_write(true);
             r.fake.push_write(false);
         },
         1, "setting up ...\nsdk_make_sys_helper: sparse system.img internal error\n"},
        {"old ext4 removal",
         [](Release &r) {
             r.script("b\n", "s.ext4\n", "0\n", "0\n");
             r.fake.push_system(0);
             r.fake.push_system(0);
             r.fake.push_system(-1);
         },
         0, "Unable to remove old ext4 files\nMoving sparse images to full_build ...\n"},
        {"mv probe no line", [](Release &r) { r.script("b\n", "s.ext4\n", "0\n", nullptr); }, 1,
         "Moving sparse images to full_build ...\ncheck mv status internal error\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Release rel(1);
        c.script(rel);
        Outcome o = rel.helper();
        EXPECT_EQ(o.result, c.result);
        EXPECT_TRUE(contains(o.out, c.message)) << o.out;
    }
    {
        SCOPED_TRACE("sparse probe cannot start");
        Release rel(1);
        rel.fake.push_read_no_line();
        rel.fake.push_read_line("b\n");
        rel.fake.push_read_line("s.ext4\n");
        rel.fake.push_read_cannot_start();
        rel.fake.push_read_cannot_start();
        Outcome o = rel.helper();
        EXPECT_EQ(o.result, 1);
        EXPECT_TRUE(contains(o.out, "check sparse_image internal error\n\nStart to sparse"));
        EXPECT_TRUE(contains(o.out, "sdk_make_sys_helper: mv sparse images internal error\n"));
    }
}

TEST(MakeSysHelper, HostileReleaseNameIsQuoted)
{
    Release rel(1, "r1;touch x");
    rel.script("b\n", "s.ext4\n", "0\n", "0\n");
    Outcome o = rel.helper();
    EXPECT_EQ(o.result, 0);
    // Each path of the release is one quoted word; globs stay outside it.
    const std::string d = "'" + rel.dir.slash() + "r1;touch x";
    auto cmds = rel.repack_commands();
    ASSERT_EQ(cmds.size(), 7u);
    EXPECT_EQ(cmds[1], "sudo sh " + d + "/build-system.sh' | tee " + d + "/repack.log'");
    EXPECT_EQ(cmds[6],
              "mv " + d + "/imgparser/sparse_image/'* " + d + "/full_build/ufs/'; echo $?");
    // Messages show the name as it is.
    EXPECT_TRUE(contains(o.out, "Download image resources complete"));
}
