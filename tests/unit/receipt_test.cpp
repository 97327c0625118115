// Flash receipts: their file form, what makes a board's last receipt
// unusable for a changed-only flash, and the descriptions such a flash
// writes.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "flash/receipt.h"
#include "support/temp_dir.h"

using testing_support::TempDir;

namespace {

receipt::Image image(const char *dir, const char *file, const char *start, const char *digest)
{
    receipt::Image i;
    i.dir = dir;
    i.xml = "rawprogram4.xml";
    i.entry.file = file;
    i.entry.label = std::string(file) + "_a";
    i.entry.partition = 4;
    i.entry.start_sector = start;
    i.entry.sectors = 256;
    i.entry.attributes = {{"filename", file}, {"label", i.entry.label}, {"start_sector", start}};
    i.size = 1024;
    i.sha256 = std::string(64, digest[0]);
    return i;
}

receipt::Receipt booted()
{
    receipt::Receipt r;
    r.serial = "7A3C11F0";
    r.usb_path = "1-2";
    r.port = "/dev/ttyUSB0";
    r.release = "r1";
    r.package_sha256 = std::string(64, 'c');
    r.release_dir = "/srv/r1";
    r.storage = "UFS";
    r.flash = "full";
    r.images = {image("full_build/ufs", "abl.elf", "6", "a"),
                image("full_build/ufs", "boot.img", "262", "b")};
    r.images_unknown = "";
    r.tool_lines = {"sudo fh_loader --port=/dev/ttyUSB0 --erase=0"};
    r.started = "2026-12-09T10:00:00Z";
    r.ended = "2026-12-09T10:05:00Z";
    r.result = "booted";
    return r;
}

std::string read(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST(Receipt, ReadsBackWhatItWritesAndRefusesWhatNoFlashWrites)
{
    receipt::Receipt r = booted(), back;
    std::string why;
    ASSERT_TRUE(receipt::from_json(receipt::to_json(r), back, why)) << why;
    EXPECT_EQ(receipt::to_json(back), receipt::to_json(r));
    EXPECT_EQ(back.images[1].entry.file, "boot.img");
    EXPECT_EQ(back.images[1].entry.start_sector, "262");

    // A receipt is outside input to verify-receipt: its names stay in the
    // release's own directories, its digests are digests.
    const std::string good = receipt::to_json(r);
    for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"\"boot.img\"", "\"../../etc/shadow\""},
             {"\"full_build/ufs\"", "\"../..\""},
             {"\"rawprogram4.xml\"", "\"/etc/passwd\""},
             {std::string(64, 'b'), std::string(63, 'b') + "B"},
             {"\"partition\":4", "\"partition\":-4"}}) {
        std::string text = good;
        const size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        text.replace(at, from.size(), to);
        EXPECT_FALSE(receipt::from_json(text, back, why)) << to;
    }
    EXPECT_FALSE(receipt::from_json("{\"ostrelle_receipt\": 2, \"board\": {}, \"release\": {}, "
                                    "\"images\": []}",
                                    back, why));
    EXPECT_FALSE(receipt::from_json("[1, 2", back, why));
    EXPECT_FALSE(receipt::from_json(std::string(5 << 20, ' '), back, why));
}

TEST(Receipt, LastReceiptIsUsedOnlyWhenItTellsWhatTheBoardHolds)
{
    const receipt::Receipt last = booted();
    std::vector<receipt::Image> now = {image("full_build/ufs", "abl.elf", "6", "a"),
                                       image("full_build/ufs", "boot.img", "262", "9")};
    size_t changed = 99;
    EXPECT_EQ(receipt::compare(last, "UFS", now, changed), "");
    EXPECT_EQ(changed, 1u);
    EXPECT_FALSE(now[0].sent);
    EXPECT_TRUE(now[1].sent);

    struct Case {
        void (*change)(receipt::Receipt &);
        const char *storage;
        const char *reason;
    };
    const Case cases[] = {
        {[](receipt::Receipt &r) { r.result = "unfinished"; }, "UFS",
         "the board's last flash did not boot (unfinished)"},
        {[](receipt::Receipt &r) { r.flash = "cdt"; }, "UFS",
         "the board's last flash wrote only the cdt build"},
        {[](receipt::Receipt &r) { r.images_unknown = "no XML element in it"; }, "UFS",
         "the board's last receipt does not know its images"},
        {[](receipt::Receipt &) {}, "eMMC",
         "the board's last flash wrote UFS storage, this "
         "release eMMC"},
        {[](receipt::Receipt &r) { r.images[1].entry.sectors = 512; }, "UFS",
         "the release's partition layout differs from the board's last flash"},
        {[](receipt::Receipt &r) { r.images.pop_back(); }, "UFS",
         "the release's partition layout differs from the board's last flash"},
    };
    for (const Case &c : cases) {
        receipt::Receipt r = booted();
        c.change(r);
        EXPECT_EQ(receipt::compare(r, c.storage, now, changed), c.reason);
        EXPECT_EQ(changed, 0u);
    }
}

TEST(Receipt, ChangedDescriptionsHoldOnlyTheSentEntriesAndReplaceALink)
{
    TempDir dir;
    std::vector<receipt::Image> images = {image("cdt", "cdt.bin", "262", "c"),
                                          image("full_build/ufs", "abl.elf", "6", "a"),
                                          image("full_build/ufs", "boot.img", "262", "b")};
    images[0].sent = false;
    images[1].sent = false;
    // Something planted at the name is replaced, never written through.
    dir.write("elsewhere", "keep\n");
    ASSERT_EQ(symlink(dir.file("elsewhere").c_str(),
                      dir.file("changed-full_build-ufs-rawprogram4.xml").c_str()),
              0);
    // A directory of the user's that a umask of 002 left group-writable is
    // closed to others before root's tool reads from it.
    ASSERT_EQ(chmod(dir.path().c_str(), 0775), 0);
    std::vector<std::pair<std::string, std::vector<std::string>>> written;
    std::string why;
    ASSERT_TRUE(receipt::write_changed(dir.path(), images, written, why)) << why;
    struct stat dir_st {};
    ASSERT_EQ(stat(dir.path().c_str(), &dir_st), 0);
    EXPECT_EQ(dir_st.st_mode & 0777, 0755u);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0].first, "cdt");
    EXPECT_TRUE(written[0].second.empty());
    EXPECT_EQ(written[1].first, "full_build/ufs");
    ASSERT_EQ(written[1].second,
              std::vector<std::string>{dir.file("changed-full_build-ufs-rawprogram4.xml")});
    const std::string text = read(written[1].second[0]);
    EXPECT_NE(text.find("<program filename=\"boot.img\""), std::string::npos) << text;
    EXPECT_EQ(text.find("abl.elf"), std::string::npos) << text;
    EXPECT_EQ(read(dir.file("elsewhere")), "keep\n");
    struct stat st {};
    ASSERT_EQ(lstat(written[1].second[0].c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}
