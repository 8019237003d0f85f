// Seek, tell and the end-of-file indicator.
#include "dravenix_test.h"

#include <filesystem>
#include <limits>

namespace {

const double nan_value = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

using Position = DravenixTest;

TEST_F(Position, SeeksFromStartCurrentAndEnd)
{
    const double h = open_with("f", {10, 11, 12, 13, 14, 15});
    const struct {
        double offset, origin;
        double result, position;
    } table[] = {
        {2.9, 0, 0, 2},       // offsets truncate toward zero
        {1, 1, 0, 3},
        {-2.9, 1, 0, 1},
        {0, 2, 0, 6},         // the end: the length
        {-1, 2, 0, 5},
        {4, 2, 0, 10},        // past the end is allowed
        {-1, 0, -1, 10},      // before the start is not, and nothing moves
        {-11, 1, -1, 10},
        {nan_value, 0, -1, 10},
        {inf, 0, -1, 10},
        {-inf, 2, -1, 10},
        {1e19, 0, -1, 10},
        {0, 0, 0, 0},
    };
    for (const auto &row : table) {
        EXPECT_EQ(dx.FileSeek(h, row.offset, row.origin), row.result)
            << row.offset << " from " << row.origin;
        EXPECT_EQ(dx.FileTell(h), row.position) << row.offset << " from " << row.origin;
    }
    EXPECT_EQ(dx.FileRead8(h), 10);
}

TEST_F(Position, EndOfFileIsSetByReadingPastTheEndAndClearedBySeeking)
{
    const double h = open_with("f", {1, 2, 3});
    EXPECT_EQ(dx.FileIsEOF(h), 0);
    for (double byte : {1, 2, 3})
        EXPECT_EQ(dx.FileRead8(h), byte);
    EXPECT_EQ(dx.FileIsEOF(h), 0);  // reaching the last byte does not set it
    EXPECT_EQ(dx.FileRead8(h), -1);
    EXPECT_EQ(dx.FileIsEOF(h), 16);
    EXPECT_EQ(dx.FileIsEOF(h), 16);  // asking moves nothing
    EXPECT_EQ(dx.FileSeek(h, 0, 0), 0);
    EXPECT_EQ(dx.FileIsEOF(h), 0);

    // Every kind of read sets it; a failed seek does not clear it.
    for (auto read : {dx.FileRead16, dx.FileRead32, dx.FileReadDouble}) {
        ASSERT_EQ(dx.FileSeek(h, 2, 0), 0);
        read(h);
        EXPECT_EQ(dx.FileIsEOF(h), 16);
        EXPECT_EQ(dx.FileSeek(h, -1, 0), -1);
        EXPECT_EQ(dx.FileIsEOF(h), 16);
    }
}

TEST_F(Position, WritesThenReadsAtRandomPositions)
{
    const double h = open("f", "w+b");
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(dx.FileWrite32(h, i * 1000), 1);
    ASSERT_EQ(dx.FileSeek(h, 12, 0), 0);
    ASSERT_EQ(dx.FileWrite32(h, -7), 1);
    ASSERT_EQ(dx.FileSeek(h, -8, 2), 0);
    EXPECT_EQ(dx.FileRead32(h), 6000);
    ASSERT_EQ(dx.FileSeek(h, 12, 0), 0);
    EXPECT_EQ(dx.FileRead32(h), -7);
    EXPECT_EQ(dx.FileTell(h), 16);
}

// Positions are 64-bit: a sparse file of 5 GiB is reachable to the byte.
TEST_F(Position, PositionsBeyondTwoGigabytesAreExact)
{
    const double h = open("big", "w+b");
    ASSERT_EQ(h, 0);
    const double far = 4294967296.0 + 5;  // 2^32 + 5
    ASSERT_EQ(dx.FileSeek(h, far, 0), 0);
    EXPECT_EQ(dx.FileTell(h), far);
    ASSERT_EQ(dx.FileWrite32(h, 0x01020304), 1);
    EXPECT_EQ(dx.FileTell(h), far + 4);
    ASSERT_EQ(dx.FileSeek(h, 0, 2), 0);
    EXPECT_EQ(dx.FileTell(h), far + 4);
    ASSERT_EQ(dx.FileSeek(h, -4, 1), 0);
    EXPECT_EQ(dx.FileRead32(h), 0x01020304);
    ASSERT_EQ(dx.FileSeek(h, 3000000000.0, 0), 0);
    EXPECT_EQ(dx.FileTell(h), 3000000000.0);
    EXPECT_EQ(dx.FileRead8(h), 0);  // a hole reads as zeros
    ASSERT_EQ(dx.FileClose(h), 0);
    EXPECT_EQ(std::filesystem::file_size(path("big")), 4294967296u + 9);
}

} // namespace
