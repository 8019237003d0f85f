// The length of a NUL-terminated text, many bytes at a time, for both
// Windows layers: msvcrt.dll's strlen goes byte by byte (so does wine's
// UCRT), and on a long text would cost more than the write itself.
#pragma once

#include <cstddef>

namespace dravenix {

// The scan for this processor: AVX2 where it has it, else SSE2.
std::size_t text_length(const char *text);

// Each scan on its own, for the tests.
std::size_t text_length_sse2(const char *text);
std::size_t text_length_avx2(const char *text);

} // namespace dravenix
