// The completion record of a release, and the checks before anything of a
// release runs as root.
#include <gtest/gtest.h>

#include <grp.h>

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
