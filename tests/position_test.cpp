// Seek, tell and the end-of-file indicator.
#include "dravenix_test.h"

#include <algorithm>
#include <cstdlib>
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
        // Every offset truncates toward zero, to whole bytes, at any size.
        {1099511627776.75, 0, 0, 1099511627776},
        {-1099511627770.5, 1, 0, 6},
        {0.999, 1, 0, 6},
        {-0.999, 1, 0, 6},
        {5e-324, 1, 0, 6},
        {-9223372036854775808.0, 2, -1, 6},
        {4.5, 1, 0, 10},
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

// A refused seek leaves a reading stream where it was: the position, and
// the bytes the next read gets, even with the rest of the buffer ahead.
TEST_F(Position, ARefusedSeekLosesNoReadPosition)
{
    Bytes bytes(10000);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + i / 256);
    const double h = open_with("f", bytes);
    const struct {
        double offset, origin;
    } refused[] = {{-5, 1}, {-46, 0}, {-10001, 2}, {-1e18, 1}, {0, 3}, {nan_value, 1}};
    for (const auto &row : refused) {
        ASSERT_EQ(dx.FileSeek(h, 2, 0), 0);
        EXPECT_EQ(dx.FileRead16(h), bytes[3] * 256 + bytes[2]);
        EXPECT_EQ(dx.FileSeek(h, row.offset, row.origin), -1) << row.offset << " from " << row.origin;
        EXPECT_EQ(dx.FileTell(h), 4) << row.offset << " from " << row.origin;
        const char *block = dx.FileReadString(h, 10);
        const std::string next(block, 10);
        std::free(const_cast<char *>(block));
        EXPECT_EQ(next, std::string(bytes.begin() + 4, bytes.begin() + 14))
            << row.offset << " from " << row.origin;
        EXPECT_EQ(dx.FileTell(h), 14) << row.offset << " from " << row.origin;
    }
}

// A target the file system cannot hold (ext4 takes no position past
// 16 TiB) is refused by the system, after the C library has begun the seek
// and perhaps dropped its buffer. The stream stays where it stood, its
// end-of-file indicator too: FileTell says so, the next read reads there,
// the next write writes there, and a seek from there counts from there. A
// file system that holds such positions takes the seek, and the row has
// nothing to test.
TEST_F(Position, ASeekTheSystemRefusesLeavesTheStreamWhereItStood)
{
    Bytes bytes(10000);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 13 + i / 256);
    const double far = 4611686018427387904.0;  // 2^62
    const struct {
        const char *mode;
        double origin;  // of the refused seek: far from the start, or from here
        bool at_end;    // the stream has read past the end first
    } rows[] = {
        {"rb", 0, false}, {"r+b", 0, false}, {"rb", 1, false},
        {"r+b", 1, false}, {"rb", 0, true}, {"r+b", 1, true},
    };
    for (const auto &row : rows) {
        const std::string name = std::string(row.mode) + " from " +
                                 std::to_string(static_cast<int>(row.origin)) +
                                 (row.at_end ? ", at the end" : "");
        const double h = open_with("f", bytes, row.mode);
        const double at = row.at_end ? 10000 : 4;
        if (row.at_end) {
            ASSERT_EQ(dx.FileSeek(h, 9998, 0), 0) << name;
            ASSERT_EQ(dx.FileRead32(h), bytes[9999] * 256 + bytes[9998]) << name;
        } else {
            ASSERT_EQ(dx.FileSeek(h, 2, 0), 0) << name;
            ASSERT_EQ(dx.FileRead16(h), bytes[3] * 256 + bytes[2]) << name;
        }
        if (dx.FileSeek(h, far, row.origin) == 0) {
            ASSERT_EQ(dx.FileClose(h), 0);
            continue;
        }
        EXPECT_EQ(dx.FileTell(h), at) << name;
        EXPECT_EQ(dx.FileIsEOF(h), row.at_end ? 16 : 0) << name;
        const auto next = static_cast<std::size_t>(at);
        Bytes expected = bytes;
        if (row.mode[1] == '+') {
            EXPECT_EQ(dx.FileWrite8(h, 0xAB), 0xAB) << name;
            expected.resize(std::max(expected.size(), next + 1));
            expected[next] = 0xAB;
        } else if (!row.at_end) {
            EXPECT_EQ(dx.FileRead8(h), bytes[next]) << name;
        }
        EXPECT_EQ(dx.FileSeek(h, -1, 1), 0) << name;
        EXPECT_EQ(dx.FileTell(h), at + (row.mode[1] == '+' || !row.at_end ? 0 : -1)) << name;
        EXPECT_EQ(dx.FileClose(h), 0) << name;
        EXPECT_EQ(contents("f"), expected) << name;
    }
}

// An update stream turns from reading to writing, and back, with no seek
// between: the write lands where the reading stopped, whatever the stream
// read ahead, and the read goes on after the written bytes. A write-only
// append stream stands at the end from the start.
TEST_F(Position, StreamsTurnWithoutASeekAndAppendFromTheEnd)
{
    const struct {
        const char *mode;
        std::size_t length;  // of the file before
        int reads;           // FileRead8 calls first
        double tell_after_write;
        double read_after_write;  // the next FileRead8: byte 2, or -1 at the end
    } rows[] = {
        {"r+b", 3000, 1, 2, 2},    // far more than one read-ahead's worth left
        {"r+b", 100, 1, 2, 2},
        {"r+b", 3, 3, 4, -1},      // at the end: the write extends the file
        {"ab", 10, 0, 11, -1},     // starts at the end; reads fail
        {"a+b", 10, 1, 11, -1},    // reads from 0, writes at the end
    };
    for (const auto &row : rows) {
        Bytes bytes(row.length);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<unsigned char>(i * 3 + 1);
        const double h = open_with("f", bytes, row.mode);
        const std::string name = std::string(row.mode) + " on " + std::to_string(row.length);
        if (row.mode[0] == 'a') {
            EXPECT_EQ(dx.FileTell(h), row.mode[1] == '+' ? 0 : 10) << name;
        }
        for (int i = 0; i < row.reads; ++i)
            EXPECT_EQ(dx.FileRead8(h), bytes[static_cast<std::size_t>(i)]) << name;
        EXPECT_EQ(dx.FileWrite8(h, 238), 238) << name;
        EXPECT_EQ(dx.FileTell(h), row.tell_after_write) << name;
        EXPECT_EQ(dx.FileRead8(h), row.read_after_write == -1 ? -1 : bytes[2]) << name;
        EXPECT_EQ(dx.FileClose(h), 0) << name;
        Bytes expected = bytes;
        const std::size_t at = static_cast<std::size_t>(row.tell_after_write) - 1;
        expected.resize(std::max(expected.size(), at + 1));
        expected[at] = 238;
        EXPECT_EQ(contents("f"), expected) << name;
    }
}

// An append stream answers FileTell with where its output landed or will
// land, the end of the file, wherever a seek had put it before.
TEST_F(Position, AppendStreamsTellWhereTheOutputLands)
{
    const struct {
        const char *mode;
        double after_seek, after_write;
    } table[] = {
        // Four bytes written, a seek to 10652, then a double.
        {"ab", 10652, 12},
        {"a+b", 10652, 12},
        {"ab+", 10652, 12},
    };
    for (const auto &row : table) {
        std::filesystem::remove(path("log"));
        const double h = open("log", row.mode);
        ASSERT_EQ(dx.FileWrite32(h, 0x04030201), 1) << row.mode;
        ASSERT_EQ(dx.FileSeek(h, 10652, 0), 0) << row.mode;
        EXPECT_EQ(dx.FileTell(h), row.after_seek) << row.mode;
        ASSERT_EQ(dx.FileWriteDouble(h, 1.0), 1) << row.mode;
        EXPECT_EQ(dx.FileTell(h), row.after_write) << row.mode;
        ASSERT_EQ(dx.FileClose(h), 0) << row.mode;
        EXPECT_EQ(contents("log"), Bytes({1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F})) << row.mode;
    }

    // After a read, the next write still goes to the end, and so does the
    // position.
    const double h = open_with("log", {1, 2, 3, 4}, "a+b");
    EXPECT_EQ(dx.FileRead8(h), 1);
    ASSERT_EQ(dx.FileSeek(h, 0, 1), 0);
    EXPECT_EQ(dx.FileTell(h), 1);
    ASSERT_EQ(dx.FileWrite16(h, 0x0605), 1);
    EXPECT_EQ(dx.FileTell(h), 6);
    ASSERT_EQ(dx.FileSeek(h, -2, 1), 0);
    EXPECT_EQ(dx.FileRead16(h), 0x0605);
    ASSERT_EQ(dx.FileClose(h), 0);
    EXPECT_EQ(contents("log"), Bytes({1, 2, 3, 4, 5, 6}));
}

} // namespace
