// The portable stream layer, inline part: standard C calls only, for any C
// library the module has no layer of its own for.
//
// Standard C leaves open what a stream does when reading follows writing,
// or writing follows reading, with no positioning call between; C
// libraries differ there (one writes after its read-ahead, another hands
// back output not yet written). So the layer keeps the stream's direction
// itself and makes the call standard C requires at each turn. The hot
// path tests the direction and makes one call.
#pragma once

#include <cstring>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

namespace dravenix {

// POSIX has byte calls that skip the stream's lock, which the one caller
// at a time the module serves does not need: a few of them move a value
// faster than one fwrite, which takes the lock. Without them, each call
// takes it, and one fwrite or fread per value is the cheaper road.
#if defined(_POSIX_THREAD_SAFE_FUNCTIONS) && _POSIX_THREAD_SAFE_FUNCTIONS > 0
constexpr bool unlocked_bytes = true;
inline int read_one(FILE *file) { return getc_unlocked(file); }
inline int write_one(int byte, FILE *file) { return putc_unlocked(byte, file); }
#else
constexpr bool unlocked_bytes = false;
inline int read_one(FILE *file) { return std::fgetc(file); }
inline int write_one(int byte, FILE *file) { return std::fputc(byte, file); }
#endif

// Turn the stream, out of line: false when it cannot go that way (a
// stream opened the other way only, output that failed to go out, a
// position lost), and then nothing has been done to it.
bool turn_to_reading(Stream &stream);
bool turn_to_writing(Stream &stream);

inline bool ready_to_read(Stream &stream)
{
    return stream.direction == Direction::reading || turn_to_reading(stream);
}

inline bool ready_to_write(Stream &stream)
{
    return stream.direction == Direction::writing || turn_to_writing(stream);
}

inline int get_byte(Stream &stream)
{
    return ready_to_read(stream) ? read_one(stream.file) : EOF;
}

inline int put_byte(Stream &stream, int byte)
{
    return ready_to_write(stream) ? noted_put(stream, write_one(byte, stream.file)) : EOF;
}

// Standard C does not show the buffer: values go through read_item and
// write_item.
inline const unsigned char *take_buffered(Stream &, int)
{
    return nullptr;
}

inline unsigned char *reserve_buffered(Stream &, int)
{
    return nullptr;
}

inline int read_item(Stream &stream, unsigned char *item, int width)
{
    if (!ready_to_read(stream))
        return 0;
    if (unlocked_bytes)
        return gather_bytes(item, width, [&] { return read_one(stream.file); });
    return static_cast<int>(std::fread(item, 1, static_cast<std::size_t>(width), stream.file));
}

inline bool write_item(Stream &stream, const unsigned char *item, int width)
{
    if (!ready_to_write(stream))
        return false;
    if (unlocked_bytes)
        return scatter_bytes(stream, item, width,
                             [&](int byte) { return write_one(byte, stream.file); });
    if (std::fwrite(item, static_cast<std::size_t>(width), 1, stream.file) == 1)
        return true;
    note_write_failure(stream);
    return false;
}

// Turning to reading writes the output out first, so one bulk read loses
// nothing.
inline std::size_t read_bytes(Stream &stream, char *block, std::size_t size)
{
    if (size == 0 || !ready_to_read(stream))
        return 0;
    return std::fread(block, 1, size, stream.file);
}

inline std::int64_t write_text(Stream &stream, const char *text)
{
    const std::size_t length = std::strlen(text);
    // Writing nothing cannot fail, whichever way the stream faces.
    if (length == 0)
        return 0;
    if (!ready_to_write(stream))
        return -1;
    return noted_write(stream, std::fwrite(text, 1, length, stream.file), length);
}

inline bool at_end_of_file(const Stream &stream)
{
    return std::feof(stream.file) != 0 || stream.end_of_file_kept;
}

} // namespace dravenix
