// Loading and unloading the module.
#include "dravenix_test.h"

#include <filesystem>

namespace {

using Lifecycle = DravenixTest;

#if defined(__linux__)
std::size_t open_descriptors()
{
    std::size_t count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}
#endif

TEST_F(Lifecycle, LoadsAndUnloadsWithoutAnyCall)
{
    unload();
    load();
    unload();
    load();
}

// Unloading writes out what the open streams still buffer and closes none
// of them; the next load starts with an empty table.
TEST_F(Lifecycle, UnloadFlushesOpenStreamsAndReloadStartsFresh)
{
    ASSERT_EQ(open("a", "wb"), 0);
    ASSERT_EQ(open("b", "wb"), 1);
    ASSERT_EQ(dx.FileWriteString(0, "buffered"), 8);
    ASSERT_EQ(dx.FileWrite32(1, 258), 1);
    EXPECT_TRUE(contents("a").empty());  // still in the stream's buffer
#if defined(__linux__)
    const std::size_t descriptors = open_descriptors();
#endif

    unload();
    EXPECT_EQ(contents("a"), (Bytes{'b', 'u', 'f', 'f', 'e', 'r', 'e', 'd'}));
    EXPECT_EQ(contents("b"), (Bytes{2, 1, 0, 0}));
#if defined(__linux__)
    EXPECT_EQ(open_descriptors(), descriptors) << "unloading closed a stream";
#endif

    load();
    EXPECT_EQ(dx.FileWrite8(0, 1), -1) << "the reloaded table is not empty";
    EXPECT_EQ(open("c", "wb"), 0);
}

} // namespace
