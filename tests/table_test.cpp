// The table of 256 stream slots: which slot an open takes, when the table is
// full, and what closing reports.
#include "dravenix_test.h"

namespace {

using Table = DravenixTest;

TEST_F(Table, OpensTakeTheLowestFreeSlot)
{
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(open("f" + std::to_string(i), "wb"), i);
    ASSERT_EQ(dx.FileClose(3), 0);
    EXPECT_EQ(open("again", "wb"), 3);
    ASSERT_EQ(dx.FileClose(1), 0);
    EXPECT_EQ(open("missing", "rb"), -1);  // a failed open uses no slot...
    EXPECT_EQ(open("again1", "wb"), 1);    // ...so the next one gets it
    EXPECT_EQ(open("next", "wb"), 4);
}

TEST_F(Table, TheSameFileMayBeOpenInSeveralSlots)
{
    const double writer = open("shared", "wb");
    const double appender = open("shared", "ab");
    ASSERT_EQ(writer, 0);
    ASSERT_EQ(appender, 1);
    EXPECT_EQ(dx.FileWriteString(writer, "ab"), 2);
    ASSERT_EQ(dx.FileClose(writer), 0);
    EXPECT_EQ(dx.FileWriteString(appender, "cd"), 2);
    ASSERT_EQ(dx.FileClose(appender), 0);
    EXPECT_EQ(contents("shared"), (Bytes{'a', 'b', 'c', 'd'}));
}

TEST_F(Table, A257thOpenIsRefusedWithoutTouchingTheFileSystem)
{
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(open("many", "ab"), i);
    EXPECT_EQ(open("new", "wb"), -2);
    EXPECT_FALSE(exists("new"));
    EXPECT_EQ(open("missing", "rb"), -2);
    EXPECT_EQ(dx.FileOpen(nullptr, "wb"), -2);

    ASSERT_EQ(dx.FileClose(100), 0);
    EXPECT_EQ(open("new", "wb"), 100);
    EXPECT_EQ(dx.FileCloseAll(), 0);
    EXPECT_EQ(open("new", "wb"), 0);
}

TEST_F(Table, CloseAllClosesEveryOccupiedSlotInOrder)
{
    EXPECT_EQ(dx.FileCloseAll(), 0);  // nothing open
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(open("log", "ab"), i);
    for (int i = 0; i < 256; ++i) {
        if (i != 0 && i != 5 && i != 255) {
            ASSERT_EQ(dx.FileClose(i), 0);
        }
    }
    // Each stream buffers its own byte; ascending close order puts the
    // bytes on disk in slot order.
    for (int slot : {255, 5, 0})
        EXPECT_EQ(dx.FileWrite8(slot, slot), slot);
    EXPECT_EQ(dx.FileCloseAll(), 0);
    EXPECT_EQ(contents("log"), (Bytes{0, 5, 255}));
    for (int slot : {0, 5, 255})
        EXPECT_EQ(dx.FileClose(slot), -1) << slot;
    EXPECT_EQ(dx.FileCloseAll(), 0);
}

TEST_F(Table, CloseWritesOutBufferedData)
{
    const double h = open("out", "wb");
    EXPECT_EQ(dx.FileWriteString(h, "kept"), 4);
    EXPECT_EQ(dx.FileClose(h), 0);
    EXPECT_EQ(contents("out"), (Bytes{'k', 'e', 'p', 't'}));
    EXPECT_EQ(dx.FileClose(h), -1);  // already closed
}

#if defined(__linux__)
// A close that cannot write out its buffered bytes is reported, and the
// slot is emptied all the same.
TEST_F(Table, FailedClosesAreReportedAndStillEmptyTheSlot)
{
    const double full = dx.FileOpen("/dev/full", "wb");
    ASSERT_EQ(full, 0);
    EXPECT_EQ(dx.FileWrite32(full, 1), 1);  // buffered: the error comes later
    EXPECT_EQ(dx.FileClose(full), -1);
    EXPECT_EQ(dx.FileWrite8(full, 1), -1);
    EXPECT_EQ(open("good", "wb"), 0);

    ASSERT_EQ(dx.FileOpen("/dev/full", "wb"), 1);
    ASSERT_EQ(open("after", "wb"), 2);
    dx.FileWriteString(0, "ok");
    dx.FileWriteString(1, "lost");
    dx.FileWriteString(2, "ok");
    EXPECT_EQ(dx.FileCloseAll(), -1);
    for (int slot : {0, 1, 2})
        EXPECT_EQ(dx.FileClose(slot), -1) << slot;
    EXPECT_EQ(contents("good"), (Bytes{'o', 'k'}));
    EXPECT_EQ(contents("after"), (Bytes{'o', 'k'}));
}
#endif

#if !defined(_WIN32)
// Linux names are bytes: a UTF-8 name makes the file of exactly those bytes.
TEST_F(Table, AUTF8NameOpensTheFileOfThoseBytes)
{
    const std::string name = "caf\xC3\xA9-\xE6\x97\xA5\xE6\x9C\xAC-\xF0\x9F\x93\x81.bin";
    const double h = open(name, "wb");
    ASSERT_EQ(h, 0);
    EXPECT_EQ(dx.FileWrite8(h, 7), 7);
    ASSERT_EQ(dx.FileClose(h), 0);
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(path("")))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{name});
    EXPECT_EQ(contents(name), Bytes{7});
}
#endif

} // namespace
