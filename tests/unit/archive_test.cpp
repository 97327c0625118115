// Package entries: the listing read, the rules that keep a package inside
// its directory, and the unpack through staging that keeps what the
// directory held and follows no symbolic link.
#include <gtest/gtest.h>

#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "release/archive.h"
#include "support/fake_runner.h"
#include "support/stdio_capture.h"
#include "support/temp_dir.h"

using archive::Entry;
using archive::Refusal;
using testing_support::FakeRunner;
using testing_support::StdoutCapture;
using testing_support::TempDir;

namespace {

Refusal judged(const char *name, const char *prefix, char type = '-')
{
    return archive::judge(Entry{name, type}, prefix);
}

std::vector<std::string> entries_of(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d)) {
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        }
        closedir(d);
    }
    return names;
}

mode_t mode_of(const std::string &path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

} // namespace

TEST(Archive, ListingGivesNamesAndTypesAsUnzipShowsThem)
{
    // As unzip -Z -T -s prints it: a name may hold and begin with blanks,
    // control characters come escaped.
    const std::string listing =
        "Archive:  /t/r1.zip\n"
        "Zip file size: 669 bytes, number of entries: 4\n"
        "drwxrwxr-x  2.0 unx        0 b- stor 20261208.141056 r1/\n"
        "?rw-------  2.0 unx        5 b- stor 20261208.141056 r1/a file.txt\n"
        "lrwxrwxrwx  2.0 unx        4 b- stor 19800101.000000   r1/x^Jy\n"
        "-rw-a--     2.0 fat     1234 t- defN 19800101.000000 ..\\..\\evil\n"
        "4 files, 1243 bytes uncompressed, 13 bytes compressed:  0.0%\n";
    std::vector<Entry> entries;
    ASSERT_TRUE(archive::parse_listing(listing, entries));
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].name, "r1/");
    EXPECT_EQ(entries[0].type, 'd');
    EXPECT_EQ(entries[1].name, "r1/a file.txt");
    EXPECT_EQ(entries[2].name, "  r1/x^Jy");
    EXPECT_EQ(entries[2].type, 'l');
    EXPECT_EQ(entries[3].name, "..\\..\\evil");

    // Fewer entry lines than the header counts, or no header: not a listing.
    EXPECT_FALSE(archive::parse_listing(listing.substr(0, listing.find("lrwx")), entries));
    EXPECT_FALSE(
        archive::parse_listing("End-of-central-directory signature not found.\n", entries));
    EXPECT_TRUE(archive::parse_listing(
        "Archive:  e.zip\nZip file size: 22 bytes, number of entries: 0\nEmpty zipfile.\n",
        entries));
    EXPECT_TRUE(entries.empty());
}

TEST(Archive, EntriesStayBelowTheirTopDirectory)
{
    EXPECT_EQ(judged("r1/", "r1/", 'd'), Refusal::none);
    EXPECT_EQ(judged("r1/full_build/ufs/system.img", "r1/"), Refusal::none);
    EXPECT_EQ(judged("r1/..hidden/x", "r1/"), Refusal::none);
    // What rewrote ~/.bashrc and the stored target directory.
    EXPECT_EQ(judged(".bashrc", "r1/"), Refusal::outside);
    EXPECT_EQ(judged("ostrelle_dir.txt", "r1/"), Refusal::outside);
    EXPECT_EQ(judged("r1", "r1/"), Refusal::outside);
    EXPECT_EQ(judged("r10/x", "r1/"), Refusal::outside);
    EXPECT_EQ(judged("/etc/passwd", "r1/"), Refusal::absolute);
    EXPECT_EQ(judged("\\etc\\passwd", ""), Refusal::absolute);
    EXPECT_EQ(judged("r1/../../.ssh/authorized_keys", "r1/"), Refusal::parent);
    EXPECT_EQ(judged("r1/x\\..\\..\\y", "r1/"), Refusal::parent);
    EXPECT_EQ(judged("..", ""), Refusal::parent);
    // A link could make a later unpack write through it.
    EXPECT_EQ(judged("r1/cdt", "r1/", 'l'), Refusal::symlink);
    // The toolchain fills its own directory: any relative name will do.
    EXPECT_EQ(judged("sysroots/usr/include/sdk.h", ""), Refusal::none);
    EXPECT_EQ(judged("lib/libc.so", "", 'l'), Refusal::symlink);

    EXPECT_EQ(archive::reason(Refusal::outside, "r1/"), "lies outside r1/");
    EXPECT_EQ(archive::reason(Refusal::parent, ""), "contains a \"..\" component");
}

TEST(Archive, RefusedPackageWritesNothing)
{
    TempDir dir;
    FakeRunner fake;
    fake.zip_listing = testing_support::zip_listing(
        {"drwxr-xr-x r1/", "-rw-r--r-- r1/ok", "-rw-r--r-- .bashrc", "lrwxrwxrwx r1/link"});
    StdoutCapture cap;
    archive::Result result = archive::unpack(
        {.zip_arg = "/p/r1.zip", .dir = dir.slash(), .prefix = "r1/", .record = ""});
    EXPECT_EQ(result, archive::Result::refused);
    EXPECT_EQ(cap.text(), "\033[31mRefused package entry '.bashrc': it lies outside r1/\033[0m\n"
                          "\033[31mRefused package entry 'r1/link': it is a symbolic link\033[0m\n"
                          "\033[31mThe package is refused: nothing of it is unpacked\033[0m\n");
    // Listed only: unzip never ran, and the staging directory is gone.
    ASSERT_EQ(fake.calls().size(), 1u);
    EXPECT_EQ(fake.commands()[0].rfind("unzip -Z -T -s /p/r1.zip > ", 0), 0u);
    EXPECT_EQ(entries_of(dir.path()), std::vector<std::string>{});
}

TEST(Archive, UnpackReplacesByNameKeepsTheRestAndFollowsNoLink)
{
    TempDir dir;
    TempDir outside;
    outside.write("victim", "mine\n");
    const std::string rel = dir.file("r1");
    // A release unpacked before: a log of the program, a link an earlier
    // package or another user planted, the completion record, a staging
    // directory of a run ended part way.
    dir.write("r1/repack.log", "log\n");
    dir.write("r1/full_build/ufs/system.img", "old\n");
    dir.write("r1/.ostrelle-complete", "abc\n");
    ASSERT_EQ(symlink(outside.file("victim").c_str(), (rel + "/cdt").c_str()), 0);
    dir.write(".ostrelle-unpack-old123/tree/r1/x", "x");

    FakeRunner fake;
    fake.on_call = [&](const FakeRunner::Call &call) {
        if (call.cmd.rfind("unzip -o ", 0) != 0)
            return;
        // What unzip writes: group- and world-writable, as an archive may ask.
        const std::string tree = call.cmd.substr(call.cmd.find(" -d ") + 4);
        for (const char *name : {"/r1/full_build/ufs/system.img", "/r1/cdt", "/r1/new/file"}) {
            std::string path = tree + name;
            std::string parent = path.substr(0, path.rfind('/'));
            std::string cmd = "mkdir -p '" + parent + "' && printf new > '" + path +
                              "' && chmod 0666 '" + path + "' && chmod 0777 '" + parent + "'";
            ASSERT_EQ(::system(cmd.c_str()), 0);
        }
    };
    StdoutCapture cap;
    archive::Result result = archive::unpack({.zip_arg = "/p/r1.zip",
                                              .dir = dir.slash(),
                                              .prefix = "r1/",
                                              .record = rel + "/.ostrelle-complete"});
    EXPECT_EQ(result, archive::Result::ok) << cap.text();

    auto text = [](const std::string &path) {
        FILE *f = fopen(path.c_str(), "r");
        char buf[64] = {};
        if (f) {
            size_t n = fread(buf, 1, sizeof(buf) - 1, f);
            buf[n] = '\0';
            fclose(f);
        }
        return std::string(buf);
    };
    EXPECT_EQ(text(rel + "/full_build/ufs/system.img"), "new");
    EXPECT_EQ(text(rel + "/new/file"), "new");
    EXPECT_EQ(text(rel + "/repack.log"), "log\n");
    // The link was replaced, never written through.
    EXPECT_EQ(text(outside.file("victim")), "mine\n");
    struct stat st {};
    ASSERT_EQ(lstat((rel + "/cdt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    // Nothing writable by group or others.
    EXPECT_EQ(mode_of(rel + "/new/file"), 0644u);
    EXPECT_EQ(mode_of(rel + "/new"), 0755u);
    // The old record no longer speaks for the tree; no staging is left.
    EXPECT_FALSE(dir.exists("r1/.ostrelle-complete"));
    EXPECT_FALSE(dir.exists(".ostrelle-unpack-old123"));
    std::vector<std::string> left;
    for (const auto &cmd : fake.commands())
        left.push_back(cmd.substr(cmd.find(".ostrelle-unpack-"), 23));
    ASSERT_EQ(left.size(), 2u);
    EXPECT_FALSE(dir.exists(left[0]));
}
