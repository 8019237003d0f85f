// Strings: written as their bare bytes, read back by count into new blocks.
#include "dravenix_test.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

using Strings = DravenixTest;

TEST_F(Strings, WritesTheBareBytes)
{
    const struct {
        const char *text;
        double result;
    } table[] = {
        {"", 0},
        {"sixsix", 6},
        {"%s%n%d%%%", 9},  // data, never a format
        {"line\nend\r\n", 10},
        {"\xFF\x80\x01", 3},
    };
    const double h = open("out", "wb");
    std::string expected;
    for (const auto &row : table) {
        EXPECT_EQ(dx.FileWriteString(h, row.text), row.result) << row.text;
        expected += row.text;
        EXPECT_EQ(dx.FileTell(h), static_cast<double>(expected.size()));
    }
    ASSERT_EQ(dx.FileClose(h), 0);
    EXPECT_EQ(contents("out"), Bytes(expected.begin(), expected.end()));
}

TEST_F(Strings, ReadsByCountPaddingPastTheEndWithFF)
{
    const struct {
        double count;
        const char *expected;  // what the block holds before its NUL
        double eof;
        double position;
    } table[] = {
        {0, "", 0, 0},
        {-5, "", 0, 0},
        {std::numeric_limits<double>::quiet_NaN(), "", 0, 0},
        {2, "ab", 0, 2},
        {3.7, "abc", 0, 3},
        {3, "abc", 0, 3},
        {5, "abc\xFF\xFF", 16, 3},
    };
    const double h = open_with("in", {'a', 'b', 'c'});
    for (const auto &row : table) {
        ASSERT_EQ(dx.FileSeek(h, 0, 0), 0);
        const char *got = dx.FileReadString(h, row.count);
        EXPECT_STREQ(got, row.expected) << "count " << row.count;
        EXPECT_EQ(dx.FileIsEOF(h), row.eof) << "count " << row.count;
        EXPECT_EQ(dx.FileTell(h), row.position) << "count " << row.count;
        std::free(const_cast<char *>(got));
    }
}

TEST_F(Strings, EveryReadReturnsABlockOfItsOwn)
{
    const double h = open_with("in", {'a', 'b', 'c', 'd'});
    const char *first = dx.FileReadString(h, 2);
    const char *second = dx.FileReadString(h, 2);
    const char *empty1 = dx.FileReadString(h, 0);
    const char *empty2 = dx.FileReadString(h, 0);
    EXPECT_NE(first, second);
    EXPECT_NE(empty1, empty2);
    EXPECT_NE(empty1, dx.FileReadString(256, 0));  // not the failure string
    EXPECT_STREQ(first, "ab");
    EXPECT_STREQ(second, "cd");
    for (const char *block : {first, second, empty1, empty2})
        std::free(const_cast<char *>(block));
}

TEST_F(Strings, AZeroByteEndsTheStringButAllBytesAreConsumed)
{
    const double h = open_with("in", {'a', 0, 'b', 'c'});
    const char *got = dx.FileReadString(h, 3);
    EXPECT_STREQ(got, "a");
    EXPECT_EQ(std::memcmp(got, "a\0b\0", 4), 0);
    EXPECT_EQ(dx.FileTell(h), 3);
    EXPECT_EQ(dx.FileRead8(h), 'c');
    std::free(const_cast<char *>(got));
}

// The largest count asks for a block of 2^31 bytes: either it is allocated
// and filled, or the host gets the failure string. Nothing in between.
TEST_F(Strings, TheLargestCountIsAllocatedOrRefusedCleanly)
{
    const double h = open_with("in", {'x', 'y'});
    const char *got = dx.FileReadString(h, 2147483647);
    if constexpr (sizeof(void *) < 8) {
        // No object may exceed 2^31 - 1 bytes in a 32-bit process, so the
        // block is always refused there.
        EXPECT_STREQ(got, "");
    } else if (got[0] == '\0') {
        SUCCEED() << "allocation refused";
    } else {
        EXPECT_EQ(std::memcmp(got, "xy\xFF\xFF", 4), 0);
        EXPECT_EQ(static_cast<unsigned char>(got[2147483646]), 0xFF);
        EXPECT_EQ(got[2147483647], '\0');
        EXPECT_EQ(dx.FileIsEOF(h), 16);
        std::free(const_cast<char *>(got));
    }
}

} // namespace
