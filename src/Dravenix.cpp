// Dravenix: binary file access for hosts that pass only doubles and strings.
//
// Every export has the same shape: handle test, conversion of the number
// arguments, the stream call, conversion of the result. The shared steps are
// the helpers below; the exports themselves stay a few lines each.

#include "Dravenix.h"

#include "stream.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

using namespace dravenix;

constexpr int slot_count = 256;

// The stream table. All slots are empty (no file) when the module is
// loaded; only FileOpen, FileClose and FileCloseAll change them.
Stream file_list[slot_count];
// Set by the first FileOpen, which empties the table before using it.
bool init;

// Returned by FileReadString whenever it has no block of its own to give.
// The host must neither change nor free it.
const char failure_string[] = "";

// ---- the frame -----------------------------------------------------------

// The handle test: at least 0 and below 256, judged before truncation, so
// -0.5 and NaN fail while 255.9 names slot 255.
Stream *slot_of(double handle)
{
    if (!(handle >= 0.0 && handle < slot_count))
        return nullptr;
    return &file_list[static_cast<int>(handle)];
}

// The stream behind a handle, or NULL when the handle fails the test or its
// slot is empty; either way the export answers with its failure value.
Stream *stream_of(double handle)
{
    Stream *slot = slot_of(handle);
    return slot != nullptr && slot->file != nullptr ? slot : nullptr;
}

// Truncation toward zero to a signed 32-bit integer. NaN, the infinities and
// anything whose truncated value does not fit become INT32_MIN; the range is
// tested before the cast, which is undefined for values that do not fit.
std::int32_t to_int32(double value)
{
    if (value > -2147483649.0 && value < 2147483648.0)
        return static_cast<std::int32_t>(value);
    return INT32_MIN;
}

// Seek offsets are truncated to 64 bits so that files beyond 2 GiB stay
// reachable. Values with no 64-bit truncation are refused rather than
// clamped, since any clamped position would be a wrong one.
//
// The truncation is done on the number's bits: 32-bit x86 has no SSE2
// instruction for a 64-bit result, and the x87 one would need its control
// word switched to truncate and back on every seek.
bool to_offset(double value, std::int64_t *offset)
{
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0))
        return false;
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    // value = significand * 2^shift, with the implicit leading 1; anything
    // below 1 in size truncates to 0.
    const int biased_exponent = static_cast<int>((bits >> 52) & 0x7FF);
    const int shift = biased_exponent - 1075;
    const std::uint64_t significand = (bits & 0xFFFFFFFFFFFFFULL) | (std::uint64_t{1} << 52);
    std::uint64_t magnitude = 0;
    if (biased_exponent >= 1023)
        magnitude = shift < 0 ? significand >> -shift : significand << shift;
    // The range test above keeps shift at 11 or less, where only -2^63
    // lands, whose magnitude 2^63 wraps to itself.
    *offset = static_cast<std::int64_t>((bits >> 63) != 0 ? 0 - magnitude : magnitude);
    return true;
}

bool to_origin(double value, int *origin)
{
    switch (to_int32(value)) {
    case 0: *origin = SEEK_SET; return true;
    case 1: *origin = SEEK_CUR; return true;
    case 2: *origin = SEEK_END; return true;
    default: return false;
    }
}

// ---- little-endian packing -------------------------------------------------
// Values are built and taken apart byte by byte, so the file bytes are the
// same whatever the byte order of the host.

// The low `width` bytes of bits, low byte first.
inline void pack_le(unsigned char *to, std::uint64_t bits, int width)
{
#pragma GCC unroll 8
    for (int i = 0; i < width; ++i)
        to[i] = static_cast<unsigned char>(bits >> (8 * i));
}

inline std::uint64_t unpack_le(const unsigned char *from, int width)
{
    std::uint64_t bits = 0;
#pragma GCC unroll 8
    for (int i = 0; i < width; ++i)
        bits |= static_cast<std::uint64_t>(from[i]) << (8 * i);
    return bits;
}

// Writes the low `width` bytes of bits. The result is the item count that
// one fwrite of the whole value would give: 1 or 0.
inline double write_le(Stream &stream, std::uint64_t bits, int width)
{
    if (unsigned char *room = reserve_buffered(stream, width)) {
        pack_le(room, bits, width);
        return 1;
    }
    unsigned char item[8];
    pack_le(item, bits, width);
    return write_item(stream, item, width) ? 1 : 0;
}

// Reads up to `width` bytes. A read that stops early leaves the missing
// high bytes zero, so a short read still has a defined value; the stream's
// end-of-file or error indicator records that it happened.
inline std::uint64_t read_le(Stream &stream, int width)
{
    if (const unsigned char *item = take_buffered(stream, width))
        return unpack_le(item, width);
    unsigned char item[8] = {};
    read_item(stream, item, width);
    return unpack_le(item, width);
}

// The low `width` bytes of bits as a two's-complement integer.
double to_signed(std::uint64_t bits, int width)
{
    const std::uint64_t sign = std::uint64_t{1} << (8 * width - 1);
    return static_cast<double>(static_cast<std::int64_t>(bits ^ sign) -
                               static_cast<std::int64_t>(sign));
}

std::uint64_t bits_of(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double double_of(std::uint64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Empties the slot whatever the close says. -1 when any output written to
// the stream failed to reach the file, now or earlier.
double close_slot(Stream *slot)
{
    Stream stream = *slot;
    *slot = Stream{};
    const bool closed = close_stream(stream) == 0;
    return closed && !stream.output_lost ? 0 : -1;
}

} // namespace

// ---- opening and closing ---------------------------------------------------

extern "C" double FileOpen(const char *name, const char *mode)
{
    if (!init) {
        init = true;
        std::fill(std::begin(file_list), std::end(file_list), Stream{});
    }
    int free_slot = 0;
    while (free_slot < slot_count && file_list[free_slot].file != nullptr)
        ++free_slot;
    if (free_slot == slot_count)
        return -2;
    if (name == nullptr || mode == nullptr)
        return -1;
    Stream &slot = file_list[free_slot];
    if (!open_stream(slot, name, mode)) {
        slot = Stream{};
        return -1;
    }
    return free_slot;
}

extern "C" double FileClose(double handle)
{
    Stream *slot = slot_of(handle);
    if (slot == nullptr || slot->file == nullptr)
        return -1;
    return close_slot(slot);
}

extern "C" double FileCloseAll(void)
{
    double result = 0;
    for (Stream &slot : file_list)
        if (slot.file != nullptr && close_slot(&slot) != 0)
            result = -1;
    return result;
}

// ---- fixed-width values ----------------------------------------------------

extern "C" double FileWrite8(double handle, double value)
{
    Stream *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return put_byte(*stream, to_int32(value) & 0xFF);
}

extern "C" double FileWrite16(double handle, double value)
{
    Stream *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return write_le(*stream, static_cast<std::uint32_t>(to_int32(value)), 2);
}

extern "C" double FileWrite32(double handle, double value)
{
    Stream *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return write_le(*stream, static_cast<std::uint32_t>(to_int32(value)), 4);
}

extern "C" double FileWriteDouble(double handle, double value)
{
    Stream *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return write_le(*stream, bits_of(value), 8);
}

extern "C" double FileRead8(double handle)
{
    Stream *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return get_byte(*stream);
}

extern "C" double FileRead16(double handle)
{
    Stream *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return to_signed(read_le(*stream, 2), 2);
}

extern "C" double FileRead32(double handle)
{
    Stream *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return to_signed(read_le(*stream, 4), 4);
}

extern "C" double FileReadDouble(double handle)
{
    Stream *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return double_of(read_le(*stream, 8));
}

// ---- strings ---------------------------------------------------------------

extern "C" double FileWriteString(double handle, const char *text)
{
    Stream *stream = stream_of(handle);
    if (stream == nullptr || text == nullptr)
        return -1;
    // The bytes go out as they are: the text is data, never a format.
    const std::int64_t written = write_text(*stream, text);
    return written >= 0 ? static_cast<double>(written) : -1;
}

extern "C" const char *FileReadString(double handle, double count)
{
    Stream *stream = stream_of(handle);
    if (stream == nullptr)
        return failure_string;
    const std::int32_t n = to_int32(count);
    // At most 2^31 - 1 bytes plus the NUL: fits a size_t on every platform.
    const std::size_t length = n > 0 ? static_cast<std::size_t>(n) : 0;
    char *block = static_cast<char *>(std::malloc(length + 1));
    if (block == nullptr)
        return failure_string;
    const std::size_t got = read_bytes(*stream, block, length);
    // Each byte that lies past the end of the file reads as FF, the low
    // byte of the end marker; the read that ran short has set the stream's
    // end-of-file indicator.
    std::memset(block + got, 0xFF, length - got);
    block[length] = '\0';
    return block;
}

// ---- position and end of file ----------------------------------------------

extern "C" double FileSeek(double handle, double offset, double origin)
{
    Stream *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    std::int64_t where;
    int from;
    if (!to_offset(offset, &where) || !to_origin(origin, &from))
        return -1;
    return seek_stream(*stream, where, from) == 0 ? 0 : -1;
}

extern "C" double FileTell(double handle)
{
    Stream *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    const std::int64_t position = stream_position(*stream);
    return position >= 0 ? static_cast<double>(position) : -1;
}

extern "C" double FileIsEOF(double handle)
{
    Stream *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return at_end_of_file(*stream) ? 16 : 0;
}
