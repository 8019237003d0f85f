// Heap use: FileReadString makes exactly one allocation, of count + 1 bytes,
// per call; no other export allocates, apart from what fopen itself does.
//
// This executable replaces malloc and its kin with forwarders to glibc's own
// allocator that count the calls made while a test holds a window open. It
// is kept apart from the main suite, which also runs under sanitizers that
// bring allocators of their own.
#include "dravenix_test.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>

#if defined(__has_feature)
#  if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#    define DRAVENIX_FOREIGN_ALLOCATOR 1
#  endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#  define DRAVENIX_FOREIGN_ALLOCATOR 1
#endif

namespace {

// What the window saw. Filled from inside malloc, so plain fixed storage.
struct Window {
    bool open = false;
    bool fail_next = false;  // the next allocation in the window returns NULL
    std::size_t count = 0;
    std::size_t sizes[32] = {};
};

Window window;

[[maybe_unused]] void note(std::size_t size)
{
    if (window.open) {
        if (window.count < std::size(window.sizes))
            window.sizes[window.count] = size;
        ++window.count;
    }
}

[[maybe_unused]] bool refuse()
{
    const bool fail = window.open && window.fail_next;
    if (fail)
        window.fail_next = false;
    return fail;
}

} // namespace

#if !defined(DRAVENIX_FOREIGN_ALLOCATOR)
extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void *__libc_memalign(std::size_t, std::size_t);
void __libc_free(void *);

void *malloc(std::size_t size) noexcept
{
    note(size);
    return refuse() ? nullptr : __libc_malloc(size);
}

void *calloc(std::size_t count, std::size_t size) noexcept
{
    note(count * size);
    return refuse() ? nullptr : __libc_calloc(count, size);
}

void *realloc(void *block, std::size_t size) noexcept
{
    note(size);
    return refuse() ? nullptr : __libc_realloc(block, size);
}

void *memalign(std::size_t alignment, std::size_t size) noexcept
{
    note(size);
    return refuse() ? nullptr : __libc_memalign(alignment, size);
}

void *aligned_alloc(std::size_t alignment, std::size_t size) noexcept
{
    return memalign(alignment, size);
}

int posix_memalign(void **block, std::size_t alignment, std::size_t size) noexcept
{
    *block = memalign(alignment, size);
    return *block != nullptr ? 0 : ENOMEM;
}

void free(void *block) noexcept { __libc_free(block); }
}
#endif

namespace {

class Heap : public DravenixTest {
protected:
    void SetUp() override
    {
        DravenixTest::SetUp();
        if (!counting_works())
            GTEST_SKIP() << "malloc is not ours to count in this build or tool";
    }

    // The allocations that one run of `work` makes.
    static Window count(const std::function<void()> &work, bool fail_first = false)
    {
        window = Window{};
        window.fail_next = fail_first;
        window.open = true;
        work();
        window.open = false;
        return window;
    }

    // An open stream whose buffer the C runtime has already set up, so that
    // what is counted afterwards is the library's own doing.
    double warmed(const char *mode)
    {
        const double h = open_with("data", Bytes(100, 'a'), mode);
        EXPECT_GE(h, 0);
        EXPECT_EQ(dx.FileRead8(h), 'a');
        EXPECT_EQ(dx.FileSeek(h, 0, 0), 0);
        return h;
    }

private:
    static bool counting_works()
    {
        void *(*volatile allocate)(std::size_t) = std::malloc;
        void *block = nullptr;
        const Window seen = count([&] { block = allocate(24); });
        std::free(block);
        return seen.count == 1 && seen.sizes[0] == 24;
    }
};

TEST_F(Heap, NoExportButFileReadStringAllocates)
{
    const std::string long_text(10000, 'z');  // longer than the stream buffer
    const struct {
        const char *what;
        const char *mode;
        std::function<void(Api &, double)> call;
    } table[] = {
        {"FileWrite8", "r+b", [](Api &dx, double h) { dx.FileWrite8(h, 7); }},
        {"FileWrite16", "r+b", [](Api &dx, double h) { dx.FileWrite16(h, -2); }},
        {"FileWrite32", "r+b", [](Api &dx, double h) { dx.FileWrite32(h, 300); }},
        {"FileWriteDouble", "r+b", [](Api &dx, double h) { dx.FileWriteDouble(h, 1.5); }},
        {"FileWriteString", "r+b", [](Api &dx, double h) { dx.FileWriteString(h, "Hi%s"); }},
        {"FileWriteString, long", "r+b",
         [&](Api &dx, double h) { dx.FileWriteString(h, long_text.c_str()); }},
        {"FileRead8", "rb", [](Api &dx, double h) { dx.FileRead8(h); }},
        {"FileRead16", "rb", [](Api &dx, double h) { dx.FileRead16(h); }},
        {"FileRead32", "rb", [](Api &dx, double h) { dx.FileRead32(h); }},
        {"FileReadDouble", "rb", [](Api &dx, double h) { dx.FileReadDouble(h); }},
        {"reads past the end", "rb", [](Api &dx, double h) { dx.FileSeek(h, 99, 0); dx.FileRead32(h); }},
        {"FileSeek", "rb", [](Api &dx, double h) { dx.FileSeek(h, 50, 0); }},
        {"FileTell", "rb", [](Api &dx, double h) { dx.FileTell(h); }},
        {"FileIsEOF", "rb", [](Api &dx, double h) { dx.FileIsEOF(h); }},
        {"bad handles", "rb",
         [](Api &dx, double) {
             dx.FileWrite8(256, 1);
             dx.FileRead32(-1);
             dx.FileReadString(300, 10);
             dx.FileWriteString(7, "unopened");
             dx.FileSeek(std::numeric_limits<double>::quiet_NaN(), 0, 0);
             dx.FileClose(9);
         }},
        {"FileClose", "rb", [](Api &dx, double h) { dx.FileClose(h); }},
        {"FileCloseAll", "rb", [](Api &dx, double) { dx.FileCloseAll(); }},
    };
    for (const auto &row : table) {
        const double h = warmed(row.mode);
        const Window seen = count([&] {
            for (int i = 0; i < 50; ++i)
                row.call(dx, h);
        });
        EXPECT_EQ(seen.count, 0u) << row.what;
        dx.FileCloseAll();
    }
}

TEST_F(Heap, FileReadStringAllocatesCountPlusOneOncePerCall)
{
    const struct {
        double count;
        std::size_t block;
    } table[] = {
        {5, 6},
        {3.7, 4},
        {0, 1},
        {-5, 1},
        {std::numeric_limits<double>::quiet_NaN(), 1},
        {100, 101},   // the whole file
        {5000, 5001}, // far past the end, larger than the stream buffer
    };
    for (const auto &row : table) {
        const double h = warmed("rb");
        const char *got = nullptr;
        const Window seen = count([&] { got = dx.FileReadString(h, row.count); });
        ASSERT_EQ(seen.count, 1u) << "count " << row.count;
        EXPECT_EQ(seen.sizes[0], row.block) << "count " << row.count;
        std::free(const_cast<char *>(got));
        dx.FileCloseAll();
    }
}

// A failed allocation gives the library's own empty string, the same one a
// bad handle gets, and is not retried.
TEST_F(Heap, FileReadStringWithoutMemoryGivesTheFailureString)
{
    const double h = warmed("rb");
    const char *failure = dx.FileReadString(256, 4);
    const char *got = nullptr;
    const Window seen = count([&] { got = dx.FileReadString(h, 4); }, true);
    EXPECT_EQ(seen.count, 1u);
    EXPECT_EQ(got, failure);
    EXPECT_STREQ(got, "");
}

// FileOpen allocates what fopen does for the same file, and nothing more.
TEST_F(Heap, FileOpenAllocatesOnlyWhatFopenDoes)
{
    open_with("data", Bytes(10, 'a'), "rb");
    dx.FileCloseAll();
    const std::string name = path("data");
    FILE *stream = nullptr;
    const Window by_fopen = count([&] { stream = std::fopen(name.c_str(), "rb"); });
    ASSERT_NE(stream, nullptr);
    std::fclose(stream);
    double h = -1;
    const Window by_library = count([&] { h = dx.FileOpen(name.c_str(), "rb"); });
    EXPECT_GE(h, 0);
    EXPECT_EQ(by_library.count, by_fopen.count);
}

} // namespace
