// The reader of the release's partition descriptions, which come with the
// package and so are outside input.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "core/sha256.h"
#include "release/rawprogram.h"
#include "support/temp_dir.h"

using testing_support::TempDir;

namespace {

const char *const two_partitions =
    "<?xml version=\"1.0\" ?>\n<data>\n"
    "  <!-- NOTE: the build's own comment <program filename=\"x\"/> -->\n"
    "  <program SECTOR_SIZE_IN_BYTES=\"4096\" filename=\"boot.img\" label=\"boot_a\" "
    "num_partition_sectors=\"24576\" physical_partition_number=\"4\" start_sector=\"262\"/>\n"
    "  <program filename='' label=\"last\" num_partition_sectors=\"5\" "
    "physical_partition_number=\"4\" start_sector=\"NUM_DISK_SECTORS-5.\"/>\n"
    "  <patch byte_offset=\"16\" filename=\"DISK\" start_sector=\"1\" value=\"CRC32(1,92)\"/>\n"
    "</data>\n";

std::string why_refused(const std::string &text)
{
    rawprogram::Description d;
    std::string why;
    EXPECT_FALSE(rawprogram::parse(text, d, why)) << text;
    EXPECT_TRUE(d.programs.empty());
    return why;
}

std::string entry(const std::string &attributes)
{
    return "<data><program " + attributes + "/></data>";
}

} // namespace

TEST(Rawprogram, ProgramEntriesGiveImagePartitionStartAndSectors)
{
    rawprogram::Description d;
    std::string why;
    ASSERT_TRUE(rawprogram::parse(two_partitions, d, why)) << why;
    ASSERT_EQ(d.programs.size(), 2u);
    EXPECT_EQ(d.patches, 1u);
    EXPECT_EQ(d.programs[0].file, "boot.img");
    EXPECT_EQ(d.programs[0].label, "boot_a");
    EXPECT_EQ(d.programs[0].partition, 4u);
    EXPECT_EQ(d.programs[0].start_sector, "262");
    EXPECT_EQ(d.programs[0].sectors, 24576u);
    // A partition left empty may be placed by the programmer's expression.
    EXPECT_EQ(d.programs[1].file, "");
    EXPECT_EQ(d.programs[1].start_sector, "NUM_DISK_SECTORS-5.");

    // Written back, the entries read as they were, references and all.
    rawprogram::Program quoted = d.programs[0];
    quoted.attributes.emplace_back("what", "a \"quoted\" <value> & more");
    rawprogram::Description again;
    ASSERT_TRUE(rawprogram::parse(rawprogram::write({quoted}), again, why)) << why;
    ASSERT_EQ(again.programs.size(), 1u);
    EXPECT_EQ(again.programs[0].attributes, quoted.attributes);
    EXPECT_EQ(again.programs[0].file, "boot.img");
}

TEST(Rawprogram, HostileDescriptionsAreRefusedWhole)
{
    // No document type, so no entity of the file's own is ever expanded.
    EXPECT_NE(why_refused("<?xml version=\"1.0\"?>\n<!DOCTYPE data [<!ENTITY a \"aaaa\">"
                          "<!ENTITY b \"&a;&a;&a;&a;\">]>\n" +
                          entry("filename=\"&b;\""))
                  .find("document types"),
              std::string::npos);
    EXPECT_NE(why_refused(entry("filename=\"&xxe;\"")).find("&xxe;"), std::string::npos);
    why_refused("<data><![CDATA[<program filename=\"x\"/>]]></data>");
    // Names stay beside the description: no path, no way up, no controls.
    for (const char *name : {"../../etc/shadow", "/etc/shadow", "sub/boot.img", "..", ".",
                             "boot\\x.img", "a&#10;b", "&#46;&#46;"})
        EXPECT_NE(why_refused(entry(std::string("filename=\"") + name + "\" start_sector=\"1\""))
                      .find("not a plain name"),
                  std::string::npos)
            << name;
    // An image goes to a sector number, on a partition number.
    why_refused(entry("filename=\"boot.img\" start_sector=\"NUM_DISK_SECTORS-5.\""));
    why_refused(entry("filename=\"boot.img\" physical_partition_number=\"-1\""));
    why_refused(entry("filename=\"boot.img\" num_partition_sectors=\"0x10\""));
    // Malformed markup.
    why_refused(entry("filename=\"a\" filename=\"b\""));
    why_refused("<data><program filename=\"a\"");
    why_refused("<data><program filename=a/></data>");
    why_refused("<data></data><data></data>");
    why_refused("<data>");
    why_refused("rawprogram0.xml\n");
    why_refused(std::string("<data>\0</data>", 14));
    // Bounded: the file, one value, the number of entries and attributes.
    EXPECT_NE(why_refused(std::string(rawprogram::max_file_bytes + 1, ' ') + "<data/>")
                  .find("larger than"),
              std::string::npos);
    why_refused(entry("label=\"" + std::string(5000, 'a') + "\""));
    std::string many = "<data>";
    for (size_t i = 0; i <= rawprogram::max_entries; i++)
        many += "<patch/>";
    EXPECT_NE(why_refused(many + "</data>").find("entries"), std::string::npos);
    std::string wide = "<data><program";
    for (int i = 0; i < 65; i++)
        wide += " a" + std::to_string(i) + "=\"\"";
    why_refused(wide + "/></data>");
    std::string deep;
    for (int i = 0; i < 20; i++)
        deep += "<d>";
    why_refused(deep);
}

TEST(Rawprogram, FilesAreReadOnlyByPlainNameAndNeverThroughALink)
{
    TempDir dir;
    dir.write("rawprogram0.xml", two_partitions);
    ASSERT_EQ(symlink(dir.file("rawprogram0.xml").c_str(), dir.file("link.xml").c_str()), 0);
    rawprogram::Description d;
    std::string why;
    ASSERT_TRUE(rawprogram::read(dir.path(), "rawprogram0.xml", d, why)) << why;
    EXPECT_EQ(d.programs.size(), 2u);
    EXPECT_FALSE(rawprogram::read(dir.path(), "link.xml", d, why));
    EXPECT_EQ(why, "it is a symbolic link");
    EXPECT_FALSE(rawprogram::read(dir.path(), "../x.xml", d, why));
    EXPECT_FALSE(rawprogram::read(dir.path(), "missing.xml", d, why));
}

TEST(Sha256, DigestsAsSha256sumPrintsThem)
{
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Two blocks of padding, and input fed in pieces across block edges.
    const std::string text = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(sha256_hex(text), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    Sha256 pieces;
    for (char c : std::string(1000, 'a'))
        pieces.add(&c, 1);
    EXPECT_EQ(pieces.hex(), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3");
}
