// The portable stream layer, inline part: standard C calls only, for any C
// library the module has no layer of its own for, made through the
// runtime's runtime_calls.h.
//
// Standard C leaves open what a stream does when reading follows writing,
// or writing follows reading, with no positioning call between; C
// libraries differ there (one writes after its read-ahead, another hands
// back output not yet written). So the layer keeps the stream's direction
// itself and makes the call standard C requires at each turn. The hot
// path tests the direction and makes one call.
#pragma once

#include "runtime_calls.h"

namespace dravenix {

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
    if constexpr (unlocked_bytes)
        return gather_bytes(item, width, [&] { return read_one(stream.file); });
    return static_cast<int>(read_block(item, static_cast<std::size_t>(width), stream.file));
}

inline bool write_item(Stream &stream, const unsigned char *item, int width)
{
    if (!ready_to_write(stream))
        return false;
    if constexpr (unlocked_bytes)
        return scatter_bytes(stream, item, width,
                             [&](int byte) { return write_one(byte, stream.file); });
    if (write_block(item, static_cast<std::size_t>(width), stream.file) ==
        static_cast<std::size_t>(width))
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
    return read_block(block, size, stream.file);
}

inline std::int64_t write_text(Stream &stream, const char *text)
{
    const std::size_t length = length_of(text);
    // Writing nothing cannot fail, whichever way the stream faces.
    if (length == 0)
        return 0;
    if (!ready_to_write(stream))
        return -1;
    return noted_write(stream, write_block(text, length, stream.file), length);
}

inline bool at_end_of_file(const Stream &stream)
{
    return std::feof(stream.file) != 0 || stream.end_of_file_kept;
}

} // namespace dravenix
