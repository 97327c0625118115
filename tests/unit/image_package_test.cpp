// The release package: fetch, digest check with re-downloads, removal of a
// package that stays wrong, unpacking; composed command lines and every
// failure row through the fake runner.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "core/commands.h"
#include "host/session_log.h"
#include "release/resource_server.h"
#include "release_fixture.h"
#include "support/fake_runner.h"
#include "support/globals.h"
#include "support/stdio_capture.h"
#include "support/temp_dir.h"

using testing_support::digest_a;
using testing_support::digest_b;
using testing_support::FakeRunner;
using testing_support::Globals;
using testing_support::StdoutCapture;
using testing_support::TempDir;
using testing_support::without_random;

namespace {

using Kind = FakeRunner::Kind;

std::string fetch_line(const std::string &dir, const std::string &url_file)
{
    return "wget --retry-connrefused -t 5 -T 30 -q -c --passive-ftp" + resource::tls_options() +
           " --show-progress -P " + dir + " '" + resource_url + "/uploads/web/ostrelle/kt5/sdk/" +
           url_file + "'";
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Outcome {
    int result;
    std::string out;
};

Outcome run_dl()
{
    StdoutCapture cap;
    int result = sdk_dl_img_pkg(0, nullptr);
    return {result, cap.text()};
}

} // namespace

TEST(ImagePackage, PresentAndRightIsNotFetchedAgain)
{
    TempDir dir;
    dir.write("r1.zip", "zip");
    Globals g(dir.slash(), "r1", digest_a.c_str(), 1);
    FakeRunner fake;
    fake.push_read_line(digest_a + "  " + dir.slash() + "r1.zip\n");

    Outcome run = run_dl();
    EXPECT_EQ(run.result, 0);
    const std::string t = dir.slash();
    // Listed and judged first, then unpacked into a staging directory.
    EXPECT_EQ(without_random(fake.commands()),
              (std::vector<std::string>{
                  "sha256sum " + t + "r1.zip",
                  "unzip -Z -T -s " + t + "r1.zip > " + t + ".ostrelle-unpack-XXXXXX/listing",
                  "unzip -o " + t + "r1.zip -d " + t + ".ostrelle-unpack-XXXXXX/tree"}));
    EXPECT_EQ(fake.calls()[0].line_buffer, 65u);
    EXPECT_EQ(fake.calls()[2].kind, Kind::write);
    EXPECT_EQ(run.out,
              "\033[32mDownload image resources complete\033[0m\nExtracting files ...done\n");

    // Into a pipe: unzip's listing, staging paths and all, goes to the log;
    // the output gets one line with the count and the user's directory.
    FakeRunner piped;
    piped.terminal = false;
    piped.zip_listing = testing_support::zip_listing(
        {"drwxr-xr-x r1/", "-rw-r--r-- r1/a.img", "-rw-r--r-- r1/b.img"});
    piped.push_read_line(digest_a + "  " + t + "r1.zip\n");
    piped.push_read_line("Archive:  r1.zip\n  inflating: " + t +
                         ".ostrelle-unpack-x/tree/r1/a.img\n");
    char arg0[] = "ostrelle";
    char *argv[] = {arg0, nullptr};
    ASSERT_TRUE(session_log::open(dir.file("run.log"), 1, argv));
    run = run_dl();
    session_log::close(0);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(piped.calls()[2].kind, Kind::read);
    EXPECT_EQ(run.out, "\033[32mDownload image resources complete\033[0m\nunzip: 3 entries "
                       "unpacked into " +
                           t + "\nExtracting files ...done\n");
    const std::string log = read_text(dir.file("run.log"));
    EXPECT_NE(log.find("run: unzip -o " + t + "r1.zip -d " + t + ".ostrelle-unpack-"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("  -> status 0 after "), std::string::npos) << log;
    EXPECT_NE(log.find("s\n  | Archive:  r1.zip\n  |   inflating: " + t +
                       ".ostrelle-unpack-x/tree/r1/a.img\n"),
              std::string::npos)
        << log;
}

TEST(ImagePackage, DryRunNamesTheFetchAndTheUnpackWithTheUsersPaths)
{
    TempDir dir;
    Globals g(dir.slash(), "r1", digest_a.c_str(), 2);
    FakeRunner fake;
    host::set_dry_run(true);
    Outcome run = run_dl();
    host::set_dry_run(false);
    EXPECT_EQ(run.result, 0);
    const std::string t = dir.slash();
    EXPECT_EQ(run.out, "\nDownloading resources ...\nwould run: " + fetch_line(t, "r1.zip") +
                           "\nwould check its SHA-256 against " + digest_a +
                           "\n\033[32mDownload image resources complete\033[0m\n"
                           "would unpack " +
                           t + "r1.zip into " + t +
                           "\n"
                           "Extracting files ...done\n");
    EXPECT_TRUE(fake.calls().empty());
}

TEST(ImagePackage, AbsentPackageIsFetchedWithProgress)
{
    TempDir dir;
    Globals g(dir.slash(), "r1", digest_a.c_str(), 2);
    FakeRunner fake;
    fake.push_read_no_line(); // the fetch, run and waited for
    fake.push_read_line(digest_a + "  x\n");

    Outcome run = run_dl();
    EXPECT_EQ(run.result, 0);
    ASSERT_EQ(fake.calls().size(), 4u);
    EXPECT_EQ(fake.calls()[0].cmd, fetch_line(dir.slash(), "r1.zip"));
    EXPECT_EQ(fake.calls()[0].kind, Kind::read);
    EXPECT_EQ(fake.calls()[0].line_buffer, 0u);
    EXPECT_EQ(
        run.out.rfind("\nDownloading resources ...\n\033[32mDownload image resources complete", 0),
        0u);
}

TEST(ImagePackage, MissingOnServerReportsReadChecksumAndRemovesNothing)
{
    TempDir dir;
    Globals g(dir.slash(), "r1", digest_a.c_str(), 2);
    FakeRunner fake;
    fake.push_read_no_line();
    fake.push_read_no_line(); // sha256sum prints nothing on its output

    Outcome run = run_dl();
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(fake.calls().size(), 2u);
    EXPECT_EQ(run.out,
              "\nDownloading resources ...\nsdk_dl_img_pkg: read checksum internal error\n");
}

TEST(ImagePackage, WrongDigestIsFetchedThreeTimesThenRemoved)
{
    TempDir dir;
    dir.write("r1.zip", "zip");
    Globals g(dir.slash(), "r1", digest_a.c_str(), 2);
    FakeRunner fake;
    const std::string t = dir.slash();
    for (int i = 0; i < 4; i++) {
        fake.push_read_line(digest_b + "  x\n");
        if (i < 3)
            fake.push_read_no_line();
    }

    Outcome run = run_dl();
    EXPECT_EQ(run.result, 1);
    std::vector<std::string> want;
    for (int i = 0; i < 3; i++) {
        want.push_back("sha256sum " + t + "r1.zip");
        want.push_back(fetch_line(t, "r1.zip"));
    }
    want.push_back("sha256sum " + t + "r1.zip");
    want.push_back("rm " + t + "r1.zip");
    EXPECT_EQ(fake.commands(), want);
    EXPECT_EQ(fake.calls().back().kind, Kind::system);

    std::string again = "\nDownloaded resource is different from the offical one\n"
                        "\nDownloading resources again ...\n";
    EXPECT_EQ(run.out, again + again + again +
                           "\033[31mDownload image resources error, check your internet "
                           "condition\033[0m\nRemoving corrupted file\n");
}

TEST(ImagePackage, FirstRedownloadCanCompleteThePackage)
{
    TempDir dir;
    dir.write("r1.zip", "zi");
    Globals g(dir.slash(), "r1", digest_a.c_str(), 2);
    FakeRunner fake;
    fake.push_read_line(digest_b + "  x\n");
    fake.push_read_no_line();
    fake.push_read_line(digest_a + "  x\n");

    Outcome run = run_dl();
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(fake.calls().size(), 5u);
    EXPECT_NE(run.out.find("Extracting files ...done"), std::string::npos);
}

TEST(ImagePackage, EmptyOrCrlfChecksumNeverAgrees)
{
    for (std::string sum : {std::string(), digest_a + "\r"}) {
        TempDir dir;
        dir.write("r1.zip", "zip");
        Globals g(dir.slash(), "r1", sum.c_str(), 2);
        FakeRunner fake;
        for (int i = 0; i < 7; i++) {
            if (i % 2 == 0)
                fake.push_read_line(digest_a + "\n");
            else
                fake.push_read_no_line();
        }
        Outcome run = run_dl();
        EXPECT_EQ(run.result, 1);
        EXPECT_EQ(fake.calls().size(), 8u);
        EXPECT_EQ(fake.commands().back(), "rm " + dir.slash() + "r1.zip");
    }
}

TEST(ImagePackage, FailureRowsEachReturnOne)
{
    struct Case {
        const char *name;
        std::function<void(FakeRunner &)> script;
        bool present;
        std::string tail;
    };
    const std::vector<Case> cases = {
        {"fetch", [](FakeRunner &f) { f.push_read_cannot_start(); }, false,
         "sdk_dl_img_pkg: downloading image package internal error\n"},
        {"refetch",
         [](FakeRunner &f) {
             f.push_read_line(digest_b + "\n");
             f.push_read_cannot_start();
         },
         true, "again ...\nsdk_dl_img_pkg: downloading image package internal error\n"},
        {"sha256sum", [](FakeRunner &f) { f.push_read_cannot_start(); }, true,
         "sdk_dl_img_pkg: sha256sum cmd internal error\n"},
        {"rm",
         [](FakeRunner &f) {
             for (int i = 0; i < 7; i++)
                 i % 2 ? f.push_read_no_line() : f.push_read_line(digest_b + "\n");
             f.push_system(-1);
         },
         true, "Removing corrupted file\nsdk_dl_img_pkg: remove corrupted file internal error\n"},
        {"unzip",
         [](FakeRunner &f) {
             f.push_read_line(digest_a + "\n");
             f.push_write(false);
         },
         true, "complete\033[0m\nsdk_dl_img_pkg: unzip image package internal error\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        if (c.present)
            dir.write("r1.zip", "zip");
        Globals g(dir.slash(), "r1", digest_a.c_str(), 2);
        FakeRunner fake;
        c.script(fake);
        Outcome run = run_dl();
        EXPECT_EQ(run.result, 1);
        ASSERT_GE(run.out.size(), c.tail.size());
        EXPECT_EQ(run.out.substr(run.out.size() - c.tail.size()), c.tail);
        EXPECT_TRUE(c.present == dir.exists("r1.zip"));
    }
}

TEST(ImagePackage, HostileNamesStayInsideTheirQuotes)
{
    TempDir dir;
    const std::string t = dir.slash() + "my dir/";
    dir.write("my dir/.made-at-set-up", "");
    Globals g(t, "r1;touch x'y", digest_a.c_str(), 2);
    FakeRunner fake;
    fake.push_read_no_line();
    fake.push_read_line(digest_a + "\n");

    Outcome run = run_dl();
    EXPECT_EQ(run.result, 0);
    const std::string qt = "'" + t + "'";
    const std::string qzip = "'r1;touch x'\\''y.zip'";
    // The package path is one quoted word.
    const std::string qpath = "'" + t + "r1;touch x'\\''y.zip'";
    const std::string staging = "'" + t + ".ostrelle-unpack-XXXXXX";
    EXPECT_EQ(without_random(fake.commands()),
              (std::vector<std::string>{fetch_line(qt, "'" + qzip + "'"), "sha256sum " + qpath,
                                        "unzip -Z -T -s " + qpath + " > " + staging + "/listing'",
                                        "unzip -o " + qpath + " -d " + staging + "/tree'"}));
}

TEST(ResourceServer, ValuesInsideTheUrlQuotes)
{
    EXPECT_EQ(resource::inside_quotes("r1.zip"), "r1.zip");
    EXPECT_EQ(resource::inside_quotes("a b"), "''a b''");
    EXPECT_EQ(resource::inside_quotes(""), "''''");
    EXPECT_EQ(resource::fetch_cmd("/t/files/", "kt5_le_toolchain_ver.txt", false),
              "wget --retry-connrefused -t 5 -T 30 -q -c --passive-ftp" + resource::tls_options() +
                  " -P /t/files/ '" + resource_url +
                  "/uploads/web/ostrelle/kt5/sdk/kt5_le_toolchain_ver.txt'");
}
