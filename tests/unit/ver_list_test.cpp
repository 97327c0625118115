// The list-file reader shared by the release list and the toolchain list.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "release/ver_list.h"

namespace {

struct Listed {
    long count;
    int result;
    std::vector<avail_ver> vers;
};

Listed read_list(const std::string &text)
{
    Listed out{};
    FILE *f = tmpfile();
    fwrite(text.data(), 1, text.size(), f);
    rewind(f);
    out.count = count_line_feeds(f);
    rewind(f);
    out.result = read_avail_vers(f, out.count, out.vers);
    fclose(f);
    return out;
}

} // namespace

TEST(VerList, WellFormedLinesFillOneRecordEach)
{
    Listed l = read_list("  r3   aaa  \nr2 bbb\nr1 ccc\n");
    ASSERT_EQ(l.count, 3);
    ASSERT_EQ(l.result, 0);
    EXPECT_STREQ(l.vers[0].ver_cmd, "1");
    EXPECT_STREQ(l.vers[0].ver_name, "r3");
    EXPECT_STREQ(l.vers[0].sha256sum, "aaa");
    EXPECT_STREQ(l.vers[2].ver_cmd, "3");
    EXPECT_STREQ(l.vers[2].ver_name, "r1");
    EXPECT_STREQ(l.vers[2].sha256sum, "ccc");
}

TEST(VerList, AlternationRunsOnAcrossLines)
{
    // A third word on line 1 overwrites that line's name, and from then on
    // every first word of a line is taken as a digest.
    Listed l = read_list("a b c\nd e\nf g\n");
    ASSERT_EQ(l.result, 0);
    EXPECT_STREQ(l.vers[0].ver_name, "c");
    EXPECT_STREQ(l.vers[0].sha256sum, "b");
    EXPECT_STREQ(l.vers[1].ver_name, "e");
    EXPECT_STREQ(l.vers[1].sha256sum, "d");
    EXPECT_STREQ(l.vers[2].ver_name, "g");
    EXPECT_STREQ(l.vers[2].sha256sum, "f");
}

TEST(VerList, LineWithNoFieldCountsButFillsNothing)
{
    Listed l = read_list("r2 aaa\n\n   \nr1 bbb\n");
    ASSERT_EQ(l.count, 4);
    EXPECT_STREQ(l.vers[1].ver_cmd, "2");
    EXPECT_STREQ(l.vers[1].ver_name, "");
    EXPECT_STREQ(l.vers[2].sha256sum, "");
    EXPECT_STREQ(l.vers[3].ver_name, "r1");
}

TEST(VerList, CarriageReturnStaysInTheLastWord)
{
    Listed l = read_list("r2 aaa\r\nr1 bbb\r\n");
    ASSERT_EQ(l.count, 2);
    EXPECT_STREQ(l.vers[0].sha256sum, "aaa\r");
    EXPECT_STREQ(l.vers[1].ver_name, "r1");
    EXPECT_STREQ(l.vers[1].sha256sum, "bbb\r");
}

TEST(VerList, TextAfterTheLastLineFeedIsIgnored)
{
    Listed l = read_list("r2 aaa\nr1 bbb");
    EXPECT_EQ(l.count, 1);
    EXPECT_EQ(l.vers.size(), 1u);
    EXPECT_EQ(read_list("").count, 0);
    EXPECT_EQ(read_list("only text").count, 0);
}

TEST(VerList, OverLongWordsAreCutToTheirFields)
{
    Listed l = read_list(std::string(100, 'n') + " " + std::string(200, 'd') + "\n");
    ASSERT_EQ(l.result, 0);
    EXPECT_EQ(std::string(l.vers[0].ver_name), std::string(63, 'n'));
    EXPECT_EQ(std::string(l.vers[0].sha256sum), std::string(127, 'd'));
}

TEST(VerList, MissingLineIsAReadFailure)
{
    FILE *f = tmpfile();
    fputs("r1 aaa\n", f);
    rewind(f);
    std::vector<avail_ver> vers;
    EXPECT_EQ(read_avail_vers(f, 2, vers), -1);
    fclose(f);
}

TEST(VerList, RecordsThatCannotBeAllocatedAreAFailedRead)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reports an impossible allocation instead of failing it";
#else
    FILE *f = tmpfile();
    fputs("r1 aaa\n", f);
    rewind(f);
    std::vector<avail_ver> vers;
    // Far more records than any address space holds.
    EXPECT_EQ(read_avail_vers(f, 1L << 40, vers), -1);
    EXPECT_TRUE(vers.empty());
    fclose(f);
#endif
}
