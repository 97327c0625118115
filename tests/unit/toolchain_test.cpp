// Command "3": the toolchain list fetched afresh and read, the release's
// entry, and the package fetch, verification and unpacking through the fake
// runner, which writes the list where the list fetch would.
#include <gtest/gtest.h>

#include "core/commands.h"
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

const char *const list_rel = "files/kt5_le_toolchain_ver.txt";

struct Toolchain {
    TempDir dir;
    Globals globals;
    FakeRunner fake;

    // list: what the list fetch leaves, or nullptr for nothing.
    Toolchain(const char *release, const char *list) : globals(dir.slash(), release, "", 2)
    {
        // Where the package fetch puts the package and it unpacks.
        dir.write(std::string(release) + "/sdk_toolchain/.made-by-wget", "");
        std::string text = list ? list : "";
        bool write = list != nullptr;
        fake.on_call = [this, text, write](const FakeRunner::Call &call) {
            if (write && call.kind == FakeRunner::Kind::system &&
                call.cmd.find("wget ") != std::string::npos)
                dir.write(list_rel, text);
        };
    }

    std::pair<int, std::string> run()
    {
        StdoutCapture cap;
        int result = sdk_le_toolchain(0, nullptr);
        return {result, cap.text()};
    }

    std::string wget(const std::string &dir_text, const std::string &file, bool progress) const
    {
        return std::string(progress ? "" : "ulimit -f 2049; ") +
               "wget --retry-connrefused -t 5 -T 30 -q -c --passive-ftp" + resource::tls_options() +
               (progress ? " --show-progress" : "") + " -P " + dir_text + " '" + resource_url +
               "/uploads/web/ostrelle/kt5/sdk/" + file + "'";
    }
};

const std::string head = "Downloading LE SDK toolchain ...\nChecking the resources ...\n";

} // namespace

TEST(Toolchain, FetchedVerifiedAndUnpacked)
{
    const std::string list = "r0 " + digest_b + "\nr1   " + digest_a + "\n";
    Toolchain tc("r1", list.c_str());
    tc.dir.write(list_rel, "stale\n");
    tc.fake.push_read_no_line();                    // rm of the old list
    tc.fake.push_read_no_line();                    // package fetch
    tc.fake.push_read_line(digest_a + "  x.zip\n"); // sha256sum

    auto [result, out] = tc.run();
    EXPECT_EQ(result, 0);
    const std::string t = tc.dir.slash();
    const std::string sdk = t + "r1/sdk_toolchain";
    EXPECT_EQ(
        without_random(tc.fake.commands()),
        (std::vector<std::string>{
            "rm " + t + list_rel, tc.wget(t + "files/", "kt5_le_toolchain_ver.txt", false),
            tc.wget(sdk, "r1-sdk.zip", true), "sha256sum " + sdk + "/r1-sdk.zip",
            "unzip -Z -T -s " + sdk + "/r1-sdk.zip > " + sdk + "/.ostrelle-unpack-XXXXXX/listing",
            "unzip -o " + sdk + "/r1-sdk.zip -d " + sdk + "/.ostrelle-unpack-XXXXXX/tree"}));
    using K = FakeRunner::Kind;
    const auto &calls = tc.fake.calls();
    EXPECT_EQ(calls[0].kind, K::read);
    EXPECT_EQ(calls[1].kind, K::system);
    EXPECT_EQ(calls[2].kind, K::read);
    EXPECT_EQ(calls[3].line_buffer, 65u);
    EXPECT_EQ(calls[5].kind, K::write);
    EXPECT_EQ(out,
              head + "Extracting files ...\n\033[32mDownload LE SDK toolchain complete\033[0m\n");
}

TEST(Toolchain, ListProblems)
{
    struct Case {
        const char *name;
        const char *list;
        std::string out;
    };
    const std::string none = "\033[31mNo LE SDK for this release 'r1', check with support "
                             "team\033[0m\n\n";
    const Case cases[] = {
        {"not fetched", nullptr,
         "\n\033[31mChecking toolchain_ver failed.\nCheck the internet connection or "
         "Troubleshoot in README\033[0m\n"},
        {"empty", "", "No released version found\n\n"},
        {"no line end", "r1 aaaa", "No released version found\n\n"},
        {"release missing", "r0 aaaa\nr2 bbbb\n", none},
        {"name is a prefix", "r11 aaaa\n", none},
        {"blank lines only", "\n  \n", none},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Toolchain tc("r1", c.list);
        auto [result, out] = tc.run();
        EXPECT_EQ(result, 1);
        EXPECT_EQ(out, head + c.out);
        EXPECT_EQ(tc.fake.calls().size(), 1u); // the list fetch only
    }
    {
        SCOPED_TRACE("no release selected matches no nameless record");
        Toolchain tc("", "\n");
        auto [result, out] = tc.run();
        EXPECT_EQ(result, 1);
        EXPECT_EQ(out, head + "\033[31mNo LE SDK for this release '', check with support "
                              "team\033[0m\n\n");
    }
}

TEST(Toolchain, FirstEntryWinsAndCrlfNeverAgrees)
{
    {
        const std::string list = "r1 " + digest_a + "\nr1 " + digest_b + "\n";
        Toolchain tc("r1", list.c_str());
        tc.fake.push_read_no_line();
        tc.fake.push_read_line(digest_a + "\n");
        EXPECT_EQ(tc.run().first, 0);
    }
    {
        const std::string list = "r1 " + digest_a + "\r\n";
        Toolchain tc("r1", list.c_str());
        tc.dir.write("r1/sdk_toolchain/r1-sdk.zip", "zip"); // present: no first fetch
        for (int i = 0; i < 7; i++) {
            if (i % 2 == 0)
                tc.fake.push_read_line(digest_a + "  x\n");
            else
                tc.fake.push_read_no_line();
        }
        auto [result, out] = tc.run();
        EXPECT_EQ(result, 1);
        const std::string sdk = tc.dir.slash() + "r1/sdk_toolchain";
        auto cmds = tc.fake.commands();
        ASSERT_EQ(cmds.size(), 9u);
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(cmds[2 + 2 * i], tc.wget(sdk, "r1-sdk.zip", true));
        EXPECT_EQ(cmds.back(), "rm " + sdk + "/r1-sdk.zip");
        EXPECT_EQ(tc.fake.calls().back().kind, FakeRunner::Kind::system);
        std::string again = "\nDownloaded toolchain is different from the offical one\n"
                            "\nDownloading toolchain again ...\n";
        EXPECT_EQ(out, head + again + again + again +
                           "\033[31mDownload toolchain error, check your internet "
                           "condition\033[0m\nRemoving corrupted file\n");
    }
}

TEST(Toolchain, FailureRows)
{
    const std::string list = "r1 " + digest_a + "\n";
    struct Case {
        const char *name;
        bool present;
        std::function<void(FakeRunner &)> script;
        int result;
        std::string tail;
    };
    const std::vector<Case> cases = {
        {"old list removal", true, [](FakeRunner &f) { f.push_read_cannot_start(); }, -1,
         "remove toolchain_ver internal error.\n"},
        {"list fetch", false, [](FakeRunner &f) { f.push_system(-1); }, 1,
         "Download le sdk toolchain internal error\n"},
        {"package fetch", false, [](FakeRunner &f) { f.push_read_cannot_start(); }, 1,
         "sdk_le_toolchain: download toolchain internal error\n"},
        {"refetch", false,
         [](FakeRunner &f) {
             f.push_read_no_line();
             f.push_read_line(digest_b + "\n");
             f.push_read_cannot_start();
         },
         1, "again ...\nsdk_le_toolchain: download toolchain internal error\n"},
        {"sha256sum", false,
         [](FakeRunner &f) {
             f.push_read_no_line();
             f.push_read_cannot_start();
         },
         1, "sdk_le_toolchain: sha256sum cmd internal error\n"},
        {"no digest", false, [](FakeRunner &f) { f.push_read_no_line(); }, 1,
         "sdk_le_toolchain: read checksum internal error\n"},
        {"removal", false,
         [](FakeRunner &f) {
             f.push_system(0);
             for (int i = 0; i < 8; i++)
                 i % 2 ? f.push_read_line(digest_b + "\n") : f.push_read_no_line();
             f.push_system(-1);
         },
         1, "Removing corrupted file\nsdk_le_toolchain: remove corrupted file internal error\n"},
        {"unzip", false,
         [](FakeRunner &f) {
             f.push_read_no_line();
             f.push_read_line(digest_a + "\n");
             f.push_write(false);
         },
         1, "Extracting files ...\nsdk_le_toolchain: unzip sdk toolchain internal error\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Toolchain tc("r1", list.c_str());
        if (c.present)
            tc.dir.write(list_rel, list);
        c.script(tc.fake);
        auto [result, out] = tc.run();
        EXPECT_EQ(result, c.result);
        ASSERT_GE(out.size(), c.tail.size());
        EXPECT_EQ(out.substr(out.size() - c.tail.size()), c.tail);
    }
}

TEST(Toolchain, HostileNamesAreQuoted)
{
    const std::string list = "r1;touch${IFS}x " + digest_a + "\n";
    Toolchain tc("r1;touch${IFS}x", list.c_str());
    tc.fake.push_read_no_line();
    tc.fake.push_read_line(digest_a + "\n");
    EXPECT_EQ(tc.run().first, 0);
    // Each path of the release is one quoted word.
    const std::string sdk = "'" + tc.dir.slash() + "r1;touch${IFS}x/sdk_toolchain'";
    const std::string zip = "'r1;touch${IFS}x-sdk.zip'";
    const std::string path =
        "'" + tc.dir.slash() + "r1;touch${IFS}x/sdk_toolchain/" + "r1;touch${IFS}x-sdk.zip'";
    auto cmds = without_random(tc.fake.commands());
    ASSERT_EQ(cmds.size(), 5u);
    EXPECT_EQ(cmds[1], tc.wget(sdk, "'" + zip + "'", true));
    EXPECT_EQ(cmds[2], "sha256sum " + path);
    const std::string staging =
        "'" + tc.dir.slash() + "r1;touch${IFS}x/sdk_toolchain/.ostrelle-unpack-XXXXXX";
    EXPECT_EQ(cmds[3], "unzip -Z -T -s " + path + " > " + staging + "/listing'");
    EXPECT_EQ(cmds[4], "unzip -o " + path + " -d " + staging + "/tree'");
}
