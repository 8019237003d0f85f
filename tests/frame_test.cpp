// The frame every export shares: the handle test, the failure values, and
// what happens with empty slots and NULL strings.
#include "dravenix_test.h"

#include <cmath>
#include <functional>
#include <limits>

namespace {

const double nan_value = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

// Every export that takes a handle, called with that handle, with the result
// it must give when the handle is refused or its slot is empty.
struct HandleCall {
    const char *name;
    std::function<double(const Api &, double)> call;
};

std::vector<HandleCall> handle_calls()
{
    return {
        {"FileClose", [](const Api &dx, double h) { return dx.FileClose(h); }},
        {"FileWrite8", [](const Api &dx, double h) { return dx.FileWrite8(h, 65); }},
        {"FileWrite16", [](const Api &dx, double h) { return dx.FileWrite16(h, 65); }},
        {"FileWrite32", [](const Api &dx, double h) { return dx.FileWrite32(h, 65); }},
        {"FileWriteDouble", [](const Api &dx, double h) { return dx.FileWriteDouble(h, 65); }},
        {"FileWriteString", [](const Api &dx, double h) { return dx.FileWriteString(h, "A"); }},
        {"FileRead8", [](const Api &dx, double h) { return dx.FileRead8(h); }},
        {"FileRead16", [](const Api &dx, double h) { return dx.FileRead16(h); }},
        {"FileRead32", [](const Api &dx, double h) { return dx.FileRead32(h); }},
        {"FileReadDouble", [](const Api &dx, double h) { return dx.FileReadDouble(h); }},
        {"FileSeek", [](const Api &dx, double h) { return dx.FileSeek(h, 1, 0); }},
        {"FileTell", [](const Api &dx, double h) { return dx.FileTell(h); }},
        {"FileIsEOF", [](const Api &dx, double h) { return dx.FileIsEOF(h); }},
    };
}

class Frame : public DravenixTest {
protected:
    // Every handle export, and FileReadString, gives its failure value for
    // this handle and leaves the file open in slot 0 as it was.
    void expect_refused(double handle)
    {
        const Bytes before = contents("victim.bin");
        const double position = dx.FileTell(0);
        for (const HandleCall &c : handle_calls())
            EXPECT_EQ(c.call(dx, handle), -1) << c.name << " with handle " << handle;
        const char *failure = dx.FileReadString(handle, 4);
        EXPECT_STREQ(failure, "") << "FileReadString with handle " << handle;
        EXPECT_EQ(dx.FileReadString(handle, 4), failure) << "the failure string is one constant";
        EXPECT_EQ(dx.FileTell(0), position);
        EXPECT_EQ(dx.FileIsEOF(0), 0);
        EXPECT_EQ(contents("victim.bin"), before);
    }
};

TEST_F(Frame, HandlesOutsideZeroTo256AreRefused)
{
    ASSERT_EQ(open_with("victim.bin", {1, 2, 3, 4, 5, 6, 7, 8}, "r+b"), 0);
    ASSERT_EQ(dx.FileSeek(0, 2, 0), 0);
    for (double handle : {-1.0, -0.5, -1e-300, 256.0, 256.5, 1000.0, 1e300, nan_value, inf, -inf})
        expect_refused(handle);
}

TEST_F(Frame, HandlesNameTheSlotOfTheirTruncatedValue)
{
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(open_with("f" + std::to_string(i), {static_cast<unsigned char>(10 + i)}), i);
    const struct {
        double handle;
        double byte;
    } table[] = {{-0.0, 10}, {1.5, 11}, {2.0000001, 12}, {3.99, 13}};
    for (const auto &row : table)
        EXPECT_EQ(dx.FileRead8(row.handle), row.byte) << row.handle;

    // 255.9 names the top slot.
    for (int i = 4; i < 256; ++i)
        ASSERT_EQ(open("top", "ab"), i);
    EXPECT_EQ(dx.FileWrite8(255.9, 'z'), 'z');
    EXPECT_EQ(dx.FileClose(255.9), 0);
    EXPECT_EQ(dx.FileClose(255), -1);
}

// A handle that passes the test but names an empty slot gets the same
// failure values, before the first open, after a failed open, and after a
// close.
TEST_F(Frame, EmptySlotsGiveTheFailureValue)
{
    ASSERT_EQ(open_with("victim.bin", {1, 2, 3}, "r+b"), 0);
    expect_refused(7);  // never opened
    expect_refused(1);  // the next slot FileOpen would choose

    EXPECT_EQ(open("missing", "rb"), -1);
    expect_refused(1);  // its open failed

    ASSERT_EQ(open("other", "wb"), 1);
    ASSERT_EQ(dx.FileClose(1), 0);
    expect_refused(1);  // closed
}

TEST_F(Frame, EmptySlotsAreRefusedBeforeAnyOpen)
{
    for (const HandleCall &c : handle_calls())
        EXPECT_EQ(c.call(dx, 0), -1) << c.name;
    EXPECT_STREQ(dx.FileReadString(0, 3), "");
    EXPECT_EQ(dx.FileCloseAll(), 0);
}

TEST_F(Frame, NullStringsAreRefused)
{
    EXPECT_EQ(dx.FileOpen(nullptr, "wb"), -1);
    EXPECT_EQ(dx.FileOpen(path("a").c_str(), nullptr), -1);
    EXPECT_EQ(dx.FileOpen(nullptr, nullptr), -1);
    EXPECT_FALSE(exists("a"));

    // The slot those opens chose is still free.
    const double h = open("a", "wb");
    ASSERT_EQ(h, 0);
    EXPECT_EQ(dx.FileWriteString(h, nullptr), -1);
    EXPECT_EQ(dx.FileTell(h), 0);
    ASSERT_EQ(dx.FileClose(h), 0);
    EXPECT_TRUE(contents("a").empty());
}

TEST_F(Frame, ModesTheRuntimeDoesNotAcceptAreRefused)
{
    for (const char *mode : {"", "z", "bw", "+r", "x"}) {
        EXPECT_EQ(open("never", mode), -1) << '"' << mode << '"';
        EXPECT_FALSE(exists("never")) << '"' << mode << '"';
    }
    EXPECT_EQ(open("fine", "wb"), 0);
}

TEST_F(Frame, OriginsOtherThanZeroOneTwoAreRefused)
{
    const double h = open_with("f", {1, 2, 3, 4});
    ASSERT_EQ(dx.FileSeek(h, 1, 0), 0);
    for (double origin : {3.0, -1.0, 1000.0, nan_value, inf, -0.5 - 1, 3000000000.0}) {
        EXPECT_EQ(dx.FileSeek(h, 2, origin), -1) << origin;
        EXPECT_EQ(dx.FileTell(h), 1) << origin;
    }
    // Origins are converted like any integer: 2.9 counts from the end.
    EXPECT_EQ(dx.FileSeek(h, -1, 2.9), 0);
    EXPECT_EQ(dx.FileRead8(h), 4);
}

} // namespace
