// Values that straddle the edge of the stream's buffer. A value wholly inside
// the buffer is moved in one copy and one that crosses its edge byte by byte;
// both must give the same bytes, results, positions and end of file.
#include "dravenix_test.h"

#include <cstdint>
#include <cstring>

namespace {

using Buffer = DravenixTest;

// Far more than a stream buffer's worth, so that every lead-in below puts
// some value across an edge of the buffer.
constexpr int value_count = 5000;

struct Kind {
    const char *name;
    int width;
    decltype(Api::FileWrite32) Api::*write;
    decltype(Api::FileRead32) Api::*read;
};

const Kind kinds[] = {
    {"16-bit", 2, &Api::FileWrite16, &Api::FileRead16},
    {"32-bit", 4, &Api::FileWrite32, &Api::FileRead32},
    {"double", 8, &Api::FileWriteDouble, &Api::FileReadDouble},
};

// The i-th value of a run: negative and positive, using every byte.
double value_for(const Kind &kind, int i)
{
    const std::int64_t pattern = (static_cast<std::int64_t>(i) * 2654435761LL) ^ -(i & 1);
    switch (kind.width) {
    case 2: return static_cast<std::int16_t>(pattern);
    case 4: return static_cast<std::int32_t>(pattern);
    default: return static_cast<double>(pattern) / 3.0;
    }
}

// Its bytes in the file, low byte first, worked out apart from the library.
void append_bytes(Bytes &bytes, const Kind &kind, double value)
{
    std::uint64_t bits;
    if (kind.width == 8)
        std::memcpy(&bits, &value, sizeof bits);
    else
        bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
    for (int i = 0; i < kind.width; ++i)
        bytes.push_back(static_cast<unsigned char>(bits >> (8 * i)));
}

TEST_F(Buffer, ValuesAcrossTheBufferEdgeKeepTheirBytes)
{
    for (const Kind &kind : kinds) {
        for (int lead = 0; lead < kind.width; ++lead) {
            const std::string row = std::string(kind.name) + ", lead-in " + std::to_string(lead);
            const double out = open("values", "wb");
            Bytes expected;
            for (int i = 0; i < lead; ++i) {
                ASSERT_EQ(dx.FileWrite8(out, 0xA0 + i), 0xA0 + i) << row;
                expected.push_back(static_cast<unsigned char>(0xA0 + i));
            }
            for (int i = 0; i < value_count; ++i) {
                ASSERT_EQ((dx.*kind.write)(out, value_for(kind, i)), 1) << row << ", value " << i;
                append_bytes(expected, kind, value_for(kind, i));
            }
            ASSERT_EQ(dx.FileClose(out), 0) << row;
            ASSERT_EQ(contents("values"), expected) << row;

            const double in = open("values", "rb");
            for (int i = 0; i < lead; ++i)
                ASSERT_EQ(dx.FileRead8(in), 0xA0 + i) << row;
            for (int i = 0; i < value_count; ++i)
                ASSERT_EQ((dx.*kind.read)(in), value_for(kind, i)) << row << ", value " << i;
            EXPECT_EQ(dx.FileTell(in), static_cast<double>(expected.size())) << row;
            EXPECT_EQ(dx.FileIsEOF(in), 0) << row;
            EXPECT_EQ((dx.*kind.read)(in), 0) << row;
            EXPECT_EQ(dx.FileIsEOF(in), 16) << row;
            ASSERT_EQ(dx.FileClose(in), 0) << row;
        }
    }
}

// On an update stream the buffer changes direction: values written after
// reads, and read after a seek, land where the position says.
TEST_F(Buffer, UpdateStreamsTurnBetweenReadingAndWriting)
{
    Bytes initial(10000);
    for (std::size_t i = 0; i < initial.size(); ++i)
        initial[i] = static_cast<unsigned char>(i * 7);
    const double h = open_with("update", initial, "r+b");
    Bytes expected = initial;
    const Kind &kind = kinds[1];
    // Read a value, overwrite the next, and so on, across several buffers.
    for (int i = 0; i < 1200; ++i) {
        const std::size_t at = static_cast<std::size_t>(i) * 8;
        const std::uint32_t stored = initial[at] | initial[at + 1] << 8 |
                                     initial[at + 2] << 16 |
                                     static_cast<std::uint32_t>(initial[at + 3]) << 24;
        ASSERT_EQ(dx.FileRead32(h), static_cast<std::int32_t>(stored)) << "value " << i;
        ASSERT_EQ(dx.FileSeek(h, 0, 1), 0);  // the turn C requires between the two
        ASSERT_EQ((dx.*kind.write)(h, value_for(kind, i)), 1) << "value " << i;
        ASSERT_EQ(dx.FileSeek(h, 0, 1), 0);
        Bytes bytes;
        append_bytes(bytes, kind, value_for(kind, i));
        std::copy(bytes.begin(), bytes.end(), expected.begin() + static_cast<long>(at) + 4);
    }
    ASSERT_EQ(dx.FileClose(h), 0);
    EXPECT_EQ(contents("update"), expected);
}

} // namespace
