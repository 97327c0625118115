// The completion record of a release, and the checks before anything of a
// release runs as root.
#include <gtest/gtest.h>

#include <grp.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include "core/state.h"
#include "release/release_tree.h"
#include "support/globals.h"
#include "support/stdio_capture.h"
#include "support/temp_dir.h"

using testing_support::Globals;
using testing_support::StdoutCapture;
using testing_support::TempDir;

TEST(ReleaseTree, RecordHoldsTheChosenDigestAndNothingElse)
{
    TempDir dir;
    Globals g(dir.slash(), "r1", "abc", 2);
    dir.write("r1/x", "");
    EXPECT_FALSE(release_tree::record_valid());
    ASSERT_TRUE(release_tree::write_record());
    EXPECT_TRUE(release_tree::record_valid());
    EXPECT_FALSE(dir.exists("r1/.ostrelle-complete.new"));
    snprintf(check_sum, sizeof(check_sum), "abcd");
    EXPECT_FALSE(release_tree::record_valid());
    // Without a chosen release nothing is complete, not even an empty record.
    check_sum[0] = '\0';
    dir.write("r1/.ostrelle-complete", "\n");
    EXPECT_FALSE(release_tree::record_valid());

    snprintf(release_ver, sizeof(release_ver), "gone");
    StdoutCapture cap;
    EXPECT_FALSE(release_tree::write_record());
    EXPECT_EQ(cap.text(), "\033[31mCould not write the completion record " + dir.slash() +
                              "gone/.ostrelle-complete: No such file or directory\033[0m\n");
}

TEST(ReleaseTree, RecordListsTheFlashedFilesAndTheFlashRefusesAnyChange)
{
    TempDir dir;
    Globals g(dir.slash(), "r1", "abc", 2);
    dir.write("r1/full_build/ufs/system.img", "image");
    dir.write("r1/cdt/rawprogram3.xml", "<x/>");
    dir.write("r1/cdt/odd\nname%", "");
    dir.write("r1/build-system.sh", "not flashed\n");
    ASSERT_TRUE(release_tree::write_record());
    auto line = [&](const std::string &rel, const std::string &shown) {
        struct stat st {};
        lstat(dir.file("r1/" + rel).c_str(), &st);
        char text[128];
        snprintf(text, sizeof(text), "%lld %lld.%09ld %lld.%09ld ",
                 static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                 static_cast<long>(st.st_mtim.tv_nsec), static_cast<long long>(st.st_ctim.tv_sec),
                 static_cast<long>(st.st_ctim.tv_nsec));
        return text + shown + "\n";
    };
    std::ifstream in(dir.file("r1/.ostrelle-complete"));
    std::stringstream record;
    record << in.rdbuf();
    EXPECT_EQ(record.str(), "abc\n" + line("cdt/odd\nname%", "cdt/odd%0Aname%25") +
                                line("cdt/rawprogram3.xml", "cdt/rawprogram3.xml") +
                                line("full_build/ufs/system.img", "full_build/ufs/system.img"));
    EXPECT_TRUE(release_tree::record_valid());
    EXPECT_EQ(release_tree::changed_file(), "");
    dir.write("r1/build-system.sh", "changed, but never flashed\n");
    EXPECT_EQ(release_tree::changed_file(), "");

    // Another image of the same size and modification time: its change time
    // tells.
    struct stat st {};
    lstat(dir.file("r1/full_build/ufs/system.img").c_str(), &st);
    dir.write("r1/full_build/ufs/system.img", "IMAGE");
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(AT_FDCWD, dir.file("r1/full_build/ufs/system.img").c_str(), times, 0);
    EXPECT_EQ(release_tree::changed_file(),
              "full_build/ufs/system.img differs from it (size, modification or change time)");
    {
        StdoutCapture cap;
        EXPECT_FALSE(release_tree::complete_or_refuse());
        EXPECT_EQ(cap.text(), "\033[31mThe release " + dir.slash() +
                                  "r1 has changed since its completion record was written: "
                                  "full_build/ufs/system.img differs from it (size, "
                                  "modification or change time). Run command 1 again\033[0m\n");
    }
    ASSERT_TRUE(release_tree::write_record());
    EXPECT_EQ(release_tree::changed_file(), "");
    dir.write("r1/full_build/ufs/extra.img", "");
    EXPECT_EQ(release_tree::changed_file(), "full_build/ufs/extra.img is not in it");
    unlink(dir.file("r1/full_build/ufs/extra.img").c_str());
    unlink(dir.file("r1/cdt/rawprogram3.xml").c_str());
    EXPECT_EQ(release_tree::changed_file(), "cdt/rawprogram3.xml is missing");

    // A record written by hand holds the digest alone: its writer vouches
    // for the files. One whose further lines are not file lines is not a
    // record the program wrote.
    dir.write("r1/.ostrelle-complete", "abc\n");
    EXPECT_TRUE(release_tree::record_valid());
    EXPECT_EQ(release_tree::changed_file(), "");
    EXPECT_TRUE(release_tree::complete_or_refuse());
    for (const char *text : {"abc\n\n", "abc\n5 1.5 1.5 x\n", "abc\n5 1.000000000 x\n",
                             "abc\n5 1.000000000 1.000000000 x", "abc\nx\n"}) {
        dir.write("r1/.ostrelle-complete", text);
        EXPECT_FALSE(release_tree::record_valid()) << text;
    }
}

TEST(ReleaseTree, RootRunsNothingFromATreeOthersCanChange)
{
    TempDir dir;
    Globals g(dir.slash(), "r1", "abc", 1);
    dir.write("r1/build-system.sh", "echo\n");
    dir.write("r1/packages/deb-files/a.deb", "a");
    {
        StdoutCapture cap;
        EXPECT_TRUE(release_tree::safe_for_root_or_refuse("build-system.sh"));
        EXPECT_EQ(cap.text(), "");
    }
    // Deep in the tree, or the target above it.
    chmod(dir.file("r1/packages/deb-files").c_str(), 0777);
    {
        StdoutCapture cap;
        EXPECT_FALSE(release_tree::safe_for_root_or_refuse("build-system.sh"));
        EXPECT_EQ(cap.text(), "\033[31mNot running build-system.sh as root: " +
                                  dir.file("r1/packages/deb-files") +
                                  " is writable by group or others (mode 0777)\033[0m\n"
                                  "Keep the target directory where only you and root can write, "
                                  "then run command 1 again\n");
    }
    chmod(dir.file("r1/packages/deb-files").c_str(), 0755);
    // The write bit of the user's own private group lets nobody else in
    // (hosts whose umask is 002); a group shared with others does.
    chmod(dir.path().c_str(), 0775);
    const struct group *shared = getgrnam("users");
    if (getgid() == 0 && getgrgid(0) && getgrgid(0)->gr_mem[0] == nullptr) {
        EXPECT_EQ(release_tree::untrusted_reason(dir.path()), "");
    }
    if (geteuid() == 0 && shared && shared->gr_gid != getgid() &&
        chown(dir.path().c_str(), static_cast<uid_t>(-1), shared->gr_gid) == 0) {
        EXPECT_EQ(release_tree::untrusted_reason(dir.path()),
                  "is writable by group or others (mode 0775)");
        StdoutCapture cap;
        EXPECT_FALSE(release_tree::safe_for_root_or_refuse("build-system.sh"));
        EXPECT_NE(cap.text().find(dir.path() + " is writable by group"), std::string::npos);
        chown(dir.path().c_str(), static_cast<uid_t>(-1), getgid());
    }
    chmod(dir.path().c_str(), 0700);
    // A sticky directory of root's, such as /tmp, lets nobody replace what
    // is not theirs.
    struct stat st {};
    if (stat("/tmp", &st) == 0 && st.st_uid == 0 && (st.st_mode & 01777) == 01777) {
        EXPECT_EQ(release_tree::untrusted_reason("/tmp"), "");
    }

    StdoutCapture cap;
    release_tree::warn_if_shared(dir.path());
    chmod(dir.path().c_str(), 0777);
    release_tree::warn_if_shared(dir.path());
    EXPECT_EQ(cap.text(), "\033[33mWarning: " + dir.path() +
                              " is writable by group or others (mode 0777): others can change "
                              "what is kept "
                              "there, so command 1 will not run a release's build script from it "
                              "as root\033[0m\n");
    chmod(dir.path().c_str(), 0700);
}
