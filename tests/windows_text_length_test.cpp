// The msvcrt.dll layer's own length scans, each of them whatever this
// processor has: every length up to a few blocks, from every alignment,
// with the bytes after the terminator unreadable where it lies at the end
// of a page.
#include "win/text_length.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>

namespace {

using Scan = std::size_t (*)(const char *);

TEST(TextLength, EveryLengthFromEveryAlignment)
{
    const struct {
        const char *name;
        Scan scan;
    } scans[] = {
        {"sse2", dravenix::text_length_sse2},
        {"avx2", dravenix::text_length_avx2},
        {"chosen", dravenix::text_length},
    };
    const bool has_avx2 = __builtin_cpu_supports("avx2") != 0;
    // Two pages, the second made unreadable: a text that ends at the end of
    // the first may be scanned to its terminator and no further.
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const std::size_t page = info.dwPageSize;
    char *pages = static_cast<char *>(
        VirtualAlloc(nullptr, 2 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(pages, nullptr);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(pages + page, page, PAGE_NOACCESS, &old));
    for (const auto &s : scans) {
        if (s.scan == dravenix::text_length_avx2 && !has_avx2)
            continue;
        for (std::size_t start = 0; start < 64; ++start) {
            for (std::size_t length = 0; length < 300; ++length) {
                char *text = pages + start;
                std::memset(text, 'x', length);
                text[length] = '\0';
                ASSERT_EQ(s.scan(text), length) << s.name << " from " << start;
            }
        }
        // Ending right at the end of the page, for every length.
        for (std::size_t length = 0; length < 300; ++length) {
            char *text = pages + page - 1 - length;
            std::memset(text, '\x80', length);
            text[length] = '\0';
            ASSERT_EQ(s.scan(text), length) << s.name << " at the page end";
        }
    }
    VirtualFree(pages, 0, MEM_RELEASE);
}

} // namespace
