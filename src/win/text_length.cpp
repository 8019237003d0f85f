// The length of a NUL-terminated text, for the Windows stream layers.
#include "text_length.h"

#include <cstdint>
#include <immintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#endif

// What the scans need of the compiler: the lowest set bit, code for AVX2 in
// a module built for SSE2, and whether this processor and its system run
// AVX2. GCC and clang (clang-cl too) mark a function for AVX2; MSVC takes
// AVX2 intrinsics anywhere. MSVC and clang-cl read the processor's own
// answer; GCC asks its runtime, which reads the same.
#if defined(_MSC_VER) && !defined(__clang__)
#define DRAVENIX_AVX2_CODE
#else
#define DRAVENIX_AVX2_CODE __attribute__((target("avx2")))
#endif

namespace dravenix {
namespace {

inline unsigned lowest_set_bit(unsigned bits)
{
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long index = 0;
    _BitScanForward(&index, bits);
    return static_cast<unsigned>(index);
#else
    return static_cast<unsigned>(__builtin_ctz(bits));
#endif
}

#if defined(_MSC_VER)
// AVX2 is there when the processor has it (leaf 7, EBX bit 5) and the
// system saves the YMM registers (OSXSAVE, then XCR0's SSE and AVX bits).
bool has_avx2()
{
    int registers[4] = {};
    __cpuid(registers, 0);
    if (registers[0] < 7)
        return false;
    __cpuid(registers, 1);
    const bool system_saves = (registers[2] & (1 << 27)) != 0 && (registers[2] & (1 << 28)) != 0;
    if (!system_saves || (_xgetbv(0) & 6) != 6)
        return false;
    __cpuidex(registers, 7, 0);
    return (registers[1] & (1 << 5)) != 0;
}
#else
bool has_avx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}
#endif

} // namespace

// The length scan reads aligned blocks: an aligned load never crosses into
// another page, so reading all of the block that holds the terminator is
// safe, whatever lies beyond it. Unaligned starts are masked off. Hosts with
// AVX2 (nearly all today) scan 64 bytes a step, the others 64 with SSE2,
// which every x64 processor and the x86 build's baseline have.
namespace {

inline std::size_t offset_of(const void *block, const char *text, unsigned zeros)
{
    return static_cast<std::size_t>(static_cast<const char *>(block) - text) +
           static_cast<std::size_t>(lowest_set_bit(zeros));
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
        return lowest_set_bit(zeros);
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

DRAVENIX_AVX2_CODE unsigned zeros_in(const __m256i *block)
{
    return static_cast<unsigned>(_mm256_movemask_epi8(
        _mm256_cmpeq_epi8(_mm256_load_si256(block), _mm256_setzero_si256())));
}

} // namespace

DRAVENIX_AVX2_CODE std::size_t text_length_avx2(const char *text)
{
    const std::uintptr_t skew = reinterpret_cast<std::uintptr_t>(text) & 31;
    const __m256i *block = reinterpret_cast<const __m256i *>(text - skew);
    unsigned zeros = zeros_in(block) >> skew;
    if (zeros != 0)
        return lowest_set_bit(zeros);
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

// Asked once, when the module is loaded.
const bool scan_with_avx2 = has_avx2();

} // namespace

std::size_t text_length(const char *text)
{
    return scan_with_avx2 ? text_length_avx2(text) : text_length_sse2(text);
}

} // namespace dravenix
