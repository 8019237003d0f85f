// The length of a NUL-terminated text, for the msvcrt.dll stream layer.
#include "text_length.h"

#include <cstdint>
#include <immintrin.h>

namespace dravenix {

// The length scan reads aligned blocks: an aligned load never crosses into
// another page, so reading all of the block that holds the terminator is
// safe, whatever lies beyond it. Unaligned starts are masked off. Hosts with
// AVX2 (nearly all today) scan 64 bytes a step, the others 64 with SSE2,
// which every x64 processor and the x86 build's baseline have.
namespace {

inline std::size_t offset_of(const void *block, const char *text, unsigned zeros)
{
    return static_cast<std::size_t>(static_cast<const char *>(block) - text) +
           static_cast<std::size_t>(__builtin_ctz(zeros));
}

unsigned zeros_in(const __m128i *block)
{
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_load_si128(block), _mm_setzero_si128())));
}

} // namespace

std::size_t text_length_sse2(const char *text)
{
    const std::uintptr_t skew = reinterpret_cast<std::uintptr_t>(text) & 15;
    const __m128i *block = reinterpret_cast<const __m128i *>(text - skew);
    unsigned zeros = zeros_in(block) >> skew;
    if (zeros != 0)
        return __builtin_ctz(zeros);
    while ((reinterpret_cast<std::uintptr_t>(++block) & 63) != 0)
        if ((zeros = zeros_in(block)) != 0)
            return offset_of(block, text, zeros);
    for (;; block += 4) {
        const __m128i least =
            _mm_min_epu8(_mm_min_epu8(_mm_load_si128(block), _mm_load_si128(block + 1)),
                         _mm_min_epu8(_mm_load_si128(block + 2), _mm_load_si128(block + 3)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(least, _mm_setzero_si128())) != 0)
            break;
    }
    for (;; ++block)
        if ((zeros = zeros_in(block)) != 0)
            return offset_of(block, text, zeros);
}

namespace {

__attribute__((target("avx2"))) unsigned zeros_in(const __m256i *block)
{
    return static_cast<unsigned>(_mm256_movemask_epi8(
        _mm256_cmpeq_epi8(_mm256_load_si256(block), _mm256_setzero_si256())));
}

} // namespace

__attribute__((target("avx2"))) std::size_t text_length_avx2(const char *text)
{
    const std::uintptr_t skew = reinterpret_cast<std::uintptr_t>(text) & 31;
    const __m256i *block = reinterpret_cast<const __m256i *>(text - skew);
    unsigned zeros = zeros_in(block) >> skew;
    if (zeros != 0)
        return __builtin_ctz(zeros);
    if ((reinterpret_cast<std::uintptr_t>(++block) & 63) != 0) {
        if ((zeros = zeros_in(block)) != 0)
            return offset_of(block, text, zeros);
        ++block;
    }
    for (;; block += 2) {
        const __m256i least = _mm256_min_epu8(_mm256_load_si256(block), _mm256_load_si256(block + 1));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(least, _mm256_setzero_si256())) != 0)
            break;
    }
    if ((zeros = zeros_in(block)) != 0)
        return offset_of(block, text, zeros);
    return offset_of(block + 1, text, zeros_in(block + 1));
}

namespace {

bool has_avx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}

// Asked once, when the module is loaded.
const bool scan_with_avx2 = has_avx2();

} // namespace

std::size_t text_length(const char *text)
{
    return scan_with_avx2 ? text_length_avx2(text) : text_length_sse2(text);
}

} // namespace dravenix
