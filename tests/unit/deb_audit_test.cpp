// The Debian package audit: command lines, the judgement of the package
// directory by content against the official list, and the three results,
// with the fake runner writing the local list the way the sha256sum loop
// would.
#include <gtest/gtest.h>

#include "core/commands.h"
#include "support/fake_runner.h"
#include "support/globals.h"
#include "support/stdio_capture.h"
#include "support/temp_dir.h"

using testing_support::FakeRunner;
using testing_support::Globals;
using testing_support::StdoutCapture;
using testing_support::TempDir;

namespace {

const char *const official = "r1/utils/files/deb_checksum";
const char *const local = "r1/utils/files/local_deb_checksum";

struct Audit {
    int result;
    std::string out;
};

// Runs the audit; the loop command (the second system call) writes
// local_text as the local list unless it is null. files: the entries of the
// package directory.
Audit audit(FakeRunner &fake, const TempDir &dir, const char *local_text,
            const std::vector<std::string> &files = {})
{
    for (const std::string &name : files)
        dir.write("r1/packages/deb-files/" + name, name);
    int systems = 0;
    fake.on_call = [&](const FakeRunner::Call &call) {
        if (call.kind == FakeRunner::Kind::system && ++systems == 2 && local_text)
            dir.write(local, local_text);
    };
    StdoutCapture cap;
    int result = deb_checksum();
    return {result, cap.text()};
}

} // namespace

TEST(DebAudit, CommandLinesAsComposed)
{
    TempDir dir;
    dir.write(official, "a  x.deb\n");
    Globals g(dir.slash(), "r1", "", 1);
    FakeRunner fake;
    Audit a = audit(fake, dir, "a  x.deb\n");
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(a.out, "");
    const std::string d = dir.slash() + "r1";
    EXPECT_EQ(fake.commands(),
              (std::vector<std::string>{"if [ -e " + d +
                                            "/utils/files/local_deb_checksum ]; then rm -fr " + d +
                                            "/utils/files/local_deb_checksum; fi",
                                        "cd " + d + "/packages/deb-files; for deb in `ls " + d +
                                            "/packages/deb-files`; do sha256sum $deb >> " + d +
                                            "/utils/files/local_deb_checksum; done",
                                        "diff " + d + "/utils/files/local_deb_checksum " + d +
                                            "/utils/files/deb_checksum > /dev/null"}));
    EXPECT_EQ(fake.calls()[2].kind, FakeRunner::Kind::read);
}

TEST(DebAudit, PackagesAreJudgedByContentNotByCount)
{
    struct Case {
        const char *name;
        const char *official;
        const char *local;
        std::vector<std::string> files;
        int want;
        std::string findings;
    };
    const std::string red = "\033[31m", reset = "\033[0m";
    const Case cases[] = {
        {"the official packages",
         "a  x.deb\nb  y.deb\n",
         "a  x.deb\nb  y.deb\n",
         {"x.deb", "y.deb"},
         0,
         ""},
        {"last official line without line end",
         "a  x.deb\nb  y.deb",
         "a  x.deb\nb  y.deb\n",
         {"x.deb", "y.deb"},
         0,
         ""},
        {"renamed: the content counts", "a  x.deb\n", "a  z.deb\n", {"z.deb"}, 0, ""},
        {"one added",
         "a  x.deb\n",
         "a  x.deb\nc  z.deb\n",
         {"x.deb", "z.deb"},
         2,
         red + "Not in the official list: z.deb" + reset + "\n"},
        {"replaced, same count",
         "a  x.deb\nb  y.deb\n",
         "a  x.deb\nc  y.deb\n",
         {"x.deb", "y.deb"},
         2,
         red + "Replaced official package: y.deb" + reset + "\n"},
        {"removed",
         "a  x.deb\nb  y.deb\n",
         "a  x.deb\n",
         {"x.deb"},
         2,
         red + "Official package missing: y.deb" + reset + "\n"},
        // What the loop over ls never digests: a hidden file, a directory,
        // a name with a blank.
        {"not digested",
         "a  x.deb\n",
         "a  x.deb\n",
         {"x.deb", ".h.deb", "d/p.deb", "my p.deb"},
         2,
         red + "Not in the official list: .h.deb" + reset + "\n" + red +
             "Not in the official list: d" + reset + "\n" + red +
             "Not in the official list: my p.deb" + reset + "\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        dir.write(official, c.official);
        Globals g(dir.slash(), "r1", "", 1);
        FakeRunner fake;
        EXPECT_EQ(audit(fake, dir, c.local, c.files).result, c.want);
        StdoutCapture cap;
        print_deb_findings();
        EXPECT_EQ(cap.text(), c.findings);
    }
}

TEST(DebAudit, MissingListsAndFailures)
{
    {
        SCOPED_TRACE("no official list: any entry is surplus");
        TempDir dir;
        Globals g(dir.slash(), "r1", "", 1);
        FakeRunner fake;
        Audit a = audit(fake, dir, "a  x.deb\n");
        EXPECT_EQ(a.result, 2);
        EXPECT_EQ(a.out, "deb_checksum read failed.\n");
    }
    {
        SCOPED_TRACE("empty package directory writes no local list");
        TempDir dir;
        dir.write(official, "a  x.deb\n");
        Globals g(dir.slash(), "r1", "", 1);
        FakeRunner fake;
        Audit a = audit(fake, dir, nullptr);
        EXPECT_EQ(a.result, 1);
        EXPECT_EQ(a.out, "deb_checksum read failed.\n");
        EXPECT_EQ(fake.calls().size(), 2u);
    }
    for (int failing = 0; failing < 2; failing++) {
        SCOPED_TRACE(failing);
        TempDir dir;
        dir.write(official, "a  x.deb\n");
        Globals g(dir.slash(), "r1", "", 1);
        FakeRunner fake;
        if (failing == 1)
            fake.push_system(0);
        fake.push_system(-1);
        Audit a = audit(fake, dir, "a  x.deb\nb  y.deb\n");
        EXPECT_EQ(a.result, 1);
        EXPECT_EQ(fake.calls().size(), static_cast<size_t>(failing + 1));
    }
    {
        SCOPED_TRACE("diff cannot start");
        TempDir dir;
        dir.write(official, "a  x.deb\n");
        Globals g(dir.slash(), "r1", "", 1);
        FakeRunner fake;
        fake.push_read_cannot_start();
        Audit a = audit(fake, dir, "a  x.deb\nb  y.deb\n");
        EXPECT_EQ(a.result, 1);
        EXPECT_EQ(a.out, "deb_checksum: checksum files compare internal error\n");
    }
}

TEST(DebAudit, HostileReleaseNameIsQuoted)
{
    TempDir dir;
    Globals g(dir.slash(), "r1;touch x", "", 1);
    FakeRunner fake;
    StdoutCapture cap;
    deb_checksum();
    cap.text();
    // Each path of the release is one quoted word.
    const std::string d = "'" + dir.slash() + "r1;touch x";
    ASSERT_GE(fake.calls().size(), 2u);
    EXPECT_EQ(fake.commands()[1], "cd " + d + "/packages/deb-files'; for deb in `ls " + d +
                                      "/packages/deb-files'`; do sha256sum $deb >> " + d +
                                      "/utils/files/local_deb_checksum'; done");
}
