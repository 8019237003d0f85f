// Dravenix: binary file access for hosts that pass only doubles and strings.
//
// Every export has the same shape: handle test, conversion of the number
// arguments, the stream call, conversion of the result. The shared steps are
// the helpers below; the exports themselves stay a few lines each.

#include "Dravenix.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#  include <windows.h>
#  include "msvcrt/file_names.h"
#elif defined(__GLIBC__)
#  include <stdio_ext.h>
#endif

namespace {

constexpr int slot_count = 256;

// The stream table. All slots are empty when the module is loaded; only
// FileOpen, FileClose and FileCloseAll change them.
FILE *file_list[slot_count];
// Set by the first FileOpen, which empties the table before using it.
bool init;

// Returned by FileReadString whenever it has no block of its own to give.
// The host must neither change nor free it.
const char failure_string[] = "";

// ---- stream calls -------------------------------------------------------
// One caller at a time uses the library, so the per-call stream lock that
// the C runtime takes for multithreaded hosts buys nothing here; where the
// platform has lock-free variants, these use them.

// On glibc a stream can be told that its caller does the locking; then the
// calls that have no unlocked variant (seek, tell, flush, close) skip the
// lock as well.
FILE *open_stream(const char *name, const char *mode)
{
#if defined(_WIN32)
    // UTF-8 names and long paths need the wide open; see file_names.h.
    FILE *stream = dravenix::open_file_by_name(name, mode);
#else
    FILE *stream = std::fopen(name, mode);
#endif
#if defined(__GLIBC__)
    if (stream != nullptr)
        __fsetlocking(stream, FSETLOCKING_BYCALLER);
#endif
#if defined(_WIN32)
    // msvcrt.dll leaves an "a" stream at position 0 until its first write
    // goes to the end, so FileTell would answer 0 and then the length of
    // the new output alone; glibc starts such a stream at the end.
    if (stream != nullptr && mode[0] == 'a' && std::strchr(mode, '+') == nullptr)
        _fseeki64(stream, 0, SEEK_END);
#endif
    return stream;
}

#if defined(_WIN32)
// msvcrt.dll keeps one buffer per stream and one count in it, which means
// bytes left to read after a read and room left to write after a write. Its
// stream calls trust that count whatever they are asked to do, so a read
// after a write would hand back output not yet written, and a write after a
// read would land in the read buffer and never reach the file. Each transfer
// therefore first turns the stream the right way round, as glibc does by
// itself, and a stream opened one way only is refused the other way without
// any call.
bool ready_to_read(FILE *stream)
{
    if (!(stream->_flag & _IOWRT))
        return true;
    if (!(stream->_flag & _IORW))
        return false;
    // An update stream: write the output out and read on from there.
    return std::fflush(stream) == 0;
}

bool ready_to_write(FILE *stream)
{
    if (!(stream->_flag & _IOREAD))
        return true;
    if (!(stream->_flag & _IORW))
        return false;
    // An update stream: drop the read-ahead, and put the file's position
    // back where the reading had got to.
    return _fseeki64(stream, 0, SEEK_CUR) == 0;
}
#endif

inline int get_byte(FILE *stream)
{
#if defined(_WIN32)
    // The buffer macro, which calls the runtime's _filbuf only to refill: no
    // lock, and no function that msvcrt.dll lacks.
    return ready_to_read(stream) ? _fgetc_nolock(stream) : EOF;
#else
    return getc_unlocked(stream);
#endif
}

inline int put_byte(FILE *stream, int byte)
{
#if defined(_WIN32)
    // As get_byte: the buffer macro, with _flsbuf when the buffer is full.
    return ready_to_write(stream) ? _fputc_nolock(byte, stream) : EOF;
#else
    return putc_unlocked(byte, stream);
#endif
}

// On glibc the buffer pointers are public: its getc_unlocked and
// putc_unlocked macros work on them directly. When the buffer already holds
// a whole value to read, or has room for one to write, these hand out its
// place and move past it, as that many single-byte calls would; otherwise
// they give NULL and the caller goes byte by byte.
inline const unsigned char *take_buffered(FILE *stream, int width)
{
#if defined(__GLIBC__)
    if (stream->_IO_read_end - stream->_IO_read_ptr >= width) {
        const char *item = stream->_IO_read_ptr;
        stream->_IO_read_ptr += width;
        return reinterpret_cast<const unsigned char *>(item);
    }
#else
    (void)stream;
    (void)width;
#endif
    return nullptr;
}

inline unsigned char *reserve_buffered(FILE *stream, int width)
{
#if defined(__GLIBC__)
    if (stream->_IO_write_end - stream->_IO_write_ptr >= width) {
        char *room = stream->_IO_write_ptr;
        stream->_IO_write_ptr += width;
        return reinterpret_cast<unsigned char *>(room);
    }
#else
    (void)stream;
    (void)width;
#endif
    return nullptr;
}

inline std::size_t read_block(FILE *stream, void *block, std::size_t size)
{
#if defined(_WIN32)
    return ready_to_read(stream) ? std::fread(block, 1, size, stream) : 0;
#elif defined(__GLIBC__)
    return fread_unlocked(block, 1, size, stream);
#else
    return std::fread(block, 1, size, stream);
#endif
}

// Whether output may still be buffered on the stream: glibc can tell;
// elsewhere, assume it may.
inline bool may_hold_output(FILE *stream)
{
#if defined(__GLIBC__)
    return __fwriting(stream) != 0;
#else
    (void)stream;
    return true;
#endif
}

// Reads up to size bytes in bulk. A bulk read of a buffer's size or more
// bypasses the buffer, and glibc then drops output still buffered on the
// stream unwritten (a host reading a write-only stream). The single-byte
// read writes such output out before it reads or fails, so it takes the
// first byte whenever there may be any; otherwise one bulk read saves a
// refill of the buffer.
std::size_t read_bytes(FILE *stream, char *block, std::size_t size)
{
    if (size == 0)
        return 0;
    if (!may_hold_output(stream))
        return read_block(stream, block, size);
    const int first = get_byte(stream);
    if (first == EOF)
        return 0;
    block[0] = static_cast<char>(first);
    return 1 + read_block(stream, block + 1, size - 1);
}

inline std::size_t write_block(FILE *stream, const void *block, std::size_t size)
{
#if defined(_WIN32)
    return ready_to_write(stream) ? std::fwrite(block, 1, size, stream) : 0;
#elif defined(__GLIBC__)
    return fwrite_unlocked(block, 1, size, stream);
#else
    return std::fwrite(block, 1, size, stream);
#endif
}

inline bool at_end_of_file(FILE *stream)
{
#if defined(__GLIBC__)
    return feof_unlocked(stream) != 0;
#else
    return std::feof(stream) != 0;
#endif
}

inline int seek_to(FILE *stream, std::int64_t offset, int origin)
{
#if defined(_WIN32)
    // For msvcrt.dll mingw-w64 links a _fseeki64 of its own, built on
    // fsetpos, which leaves the end-of-file indicator set; a seek must clear
    // it. No export reports the error indicator that clearerr also clears.
    if (_fseeki64(stream, offset, origin) != 0)
        return -1;
    std::clearerr(stream);
    return 0;
#else
    return fseeko(stream, static_cast<off_t>(offset), origin);
#endif
}

inline std::int64_t position_of(FILE *stream)
{
#if defined(_WIN32)
    return _ftelli64(stream);
#else
    return ftello(stream);
#endif
}

// fopen on Linux refuses a mode it does not know by returning NULL. Some C
// runtimes instead raise an invalid-parameter error that can end the host,
// so on those the mode is checked here first.
bool mode_is_accepted(const char *mode)
{
#if defined(_WIN32)
    if (*mode != 'r' && *mode != 'w' && *mode != 'a')
        return false;
    bool plus = false, binary_or_text = false;
    for (const char *c = mode + 1; *c != '\0'; ++c) {
        if (*c == '+' && !plus)
            plus = true;
        else if ((*c == 'b' || *c == 't') && !binary_or_text)
            binary_or_text = true;
        else
            return false;
    }
    return true;
#else
    (void)mode;
    return true;
#endif
}

// ---- the frame -----------------------------------------------------------

// The handle test: at least 0 and below 256, judged before truncation, so
// -0.5 and NaN fail while 255.9 names slot 255.
FILE **slot_of(double handle)
{
    if (!(handle >= 0.0 && handle < slot_count))
        return nullptr;
    return &file_list[static_cast<int>(handle)];
}

// The stream behind a handle, or NULL when the handle fails the test or its
// slot is empty; either way the export answers with its failure value.
FILE *stream_of(double handle)
{
    FILE **slot = slot_of(handle);
    return slot != nullptr ? *slot : nullptr;
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
bool to_offset(double value, std::int64_t *offset)
{
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0))
        return false;
    *offset = static_cast<std::int64_t>(value);
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

// Writes the low `width` bytes of bits, low byte first. The result is the
// item count that one fwrite of the whole value would give: 1 or 0.
inline double write_le(FILE *stream, std::uint64_t bits, int width)
{
    if (unsigned char *room = reserve_buffered(stream, width)) {
#pragma GCC unroll 8
        for (int i = 0; i < width; ++i)
            room[i] = static_cast<unsigned char>(bits >> (8 * i));
        return 1;
    }
    for (int i = 0; i < width; ++i)
        if (put_byte(stream, static_cast<int>((bits >> (8 * i)) & 0xFF)) == EOF)
            return 0;
    return 1;
}

// Reads up to `width` bytes, low byte first. A read that stops early leaves
// the missing high bytes zero, so a short read still has a defined value;
// the stream's end-of-file indicator records that it happened.
inline std::uint64_t read_le(FILE *stream, int width)
{
    std::uint64_t bits = 0;
    if (const unsigned char *item = take_buffered(stream, width)) {
#pragma GCC unroll 8
        for (int i = 0; i < width; ++i)
            bits |= static_cast<std::uint64_t>(item[i]) << (8 * i);
        return bits;
    }
    for (int i = 0; i < width; ++i) {
        const int byte = get_byte(stream);
        if (byte == EOF)
            break;
        bits |= static_cast<std::uint64_t>(byte) << (8 * i);
    }
    return bits;
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

// Empties the slot before closing, so the slot is free whatever fclose says.
double close_slot(FILE **slot)
{
    FILE *stream = *slot;
    *slot = nullptr;
    return std::fclose(stream) == 0 ? 0 : -1;
}

} // namespace

// ---- opening and closing ---------------------------------------------------

extern "C" double FileOpen(const char *name, const char *mode)
{
    if (!init) {
        init = true;
        std::memset(file_list, 0, sizeof file_list);
    }
    int free_slot = 0;
    while (free_slot < slot_count && file_list[free_slot] != nullptr)
        ++free_slot;
    if (free_slot == slot_count)
        return -2;
    if (name == nullptr || mode == nullptr || !mode_is_accepted(mode))
        return -1;
    file_list[free_slot] = open_stream(name, mode);
    return file_list[free_slot] != nullptr ? free_slot : -1;
}

extern "C" double FileClose(double handle)
{
    FILE **slot = slot_of(handle);
    if (slot == nullptr || *slot == nullptr)
        return -1;
    return close_slot(slot);
}

extern "C" double FileCloseAll(void)
{
    double result = 0;
    for (FILE *&stream : file_list)
        if (stream != nullptr && close_slot(&stream) != 0)
            result = -1;
    return result;
}

// ---- fixed-width values ----------------------------------------------------

extern "C" double FileWrite8(double handle, double value)
{
    FILE *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return put_byte(stream, to_int32(value) & 0xFF);
}

extern "C" double FileWrite16(double handle, double value)
{
    FILE *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return write_le(stream, static_cast<std::uint32_t>(to_int32(value)), 2);
}

extern "C" double FileWrite32(double handle, double value)
{
    FILE *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return write_le(stream, static_cast<std::uint32_t>(to_int32(value)), 4);
}

extern "C" double FileWriteDouble(double handle, double value)
{
    FILE *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return write_le(stream, bits_of(value), 8);
}

extern "C" double FileRead8(double handle)
{
    FILE *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return get_byte(stream);
}

extern "C" double FileRead16(double handle)
{
    FILE *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return to_signed(read_le(stream, 2), 2);
}

extern "C" double FileRead32(double handle)
{
    FILE *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return to_signed(read_le(stream, 4), 4);
}

extern "C" double FileReadDouble(double handle)
{
    FILE *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return double_of(read_le(stream, 8));
}

// ---- strings ---------------------------------------------------------------

extern "C" double FileWriteString(double handle, const char *text)
{
    FILE *stream = stream_of(handle);
    if (stream == nullptr || text == nullptr)
        return -1;
    // The bytes go out as they are: the text is data, never a format.
    const std::size_t length = std::strlen(text);
    if (write_block(stream, text, length) != length)
        return -1;
    return static_cast<double>(length);
}

extern "C" const char *FileReadString(double handle, double count)
{
    FILE *stream = stream_of(handle);
    if (stream == nullptr)
        return failure_string;
    const std::int32_t n = to_int32(count);
    // At most 2^31 - 1 bytes plus the NUL: fits a size_t on every platform.
    const std::size_t length = n > 0 ? static_cast<std::size_t>(n) : 0;
    char *block = static_cast<char *>(std::malloc(length + 1));
    if (block == nullptr)
        return failure_string;
    const std::size_t got = read_bytes(stream, block, length);
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
    FILE *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    std::int64_t where;
    int from;
    if (!to_offset(offset, &where) || !to_origin(origin, &from))
        return -1;
    return seek_to(stream, where, from) == 0 ? 0 : -1;
}

extern "C" double FileTell(double handle)
{
    FILE *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    const std::int64_t position = position_of(stream);
    return position >= 0 ? static_cast<double>(position) : -1;
}

extern "C" double FileIsEOF(double handle)
{
    FILE *stream = stream_of(handle);
    if (stream == nullptr)
        return -1;
    return at_end_of_file(stream) ? 16 : 0;
}

// ---- unloading -------------------------------------------------------------
// Detaching the module writes out what the host's streams still buffer, so
// that nothing written is lost, but closes none of them: the host closes its
// files itself, and may still be using streams opened by other code.

#if defined(_WIN32)

// Success for every notification; nothing is done per thread.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    // FreeLibrary (reserved NULL): the process goes on, so every stream of
    // the runtime is flushed, ours among them.
    //
    // Process end (reserved not NULL): the other threads were stopped
    // wherever they were, perhaps holding a stream lock, and msvcrt.dll has
    // no flush that skips the lock, so nothing is flushed here. msvcrt.dll,
    // which owns the streams and is detached after this module, ends them
    // itself, as does the host's own exit().
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr)
        _flushall();
    return TRUE;
}

#else

__attribute__((destructor)) static void flush_streams_on_unload()
{
    // Unloading has no caller to tell of a failure; a stream that cannot be
    // flushed keeps its error for the host's own close.
    (void)std::fflush(nullptr);
}

#endif
