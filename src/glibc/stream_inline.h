// The glibc stream layer, inline part: glibc's unlocked calls, and its
// public buffer pointers for whole values.
#pragma once

#include <stdio_ext.h>

#include <cstring>

namespace dravenix {

inline int get_byte(FILE *stream)
{
    return getc_unlocked(stream);
}

inline int put_byte(FILE *stream, int byte)
{
    return putc_unlocked(byte, stream);
}

// glibc's buffer pointers are public: its getc_unlocked and putc_unlocked
// macros work on them directly, and so do these, under the same tests.
inline const unsigned char *take_buffered(FILE *stream, int width)
{
    if (stream->_IO_read_end - stream->_IO_read_ptr < width)
        return nullptr;
    const char *item = stream->_IO_read_ptr;
    stream->_IO_read_ptr += width;
    return reinterpret_cast<const unsigned char *>(item);
}

inline unsigned char *reserve_buffered(FILE *stream, int width)
{
    if (stream->_IO_write_end - stream->_IO_write_ptr < width)
        return nullptr;
    char *room = stream->_IO_write_ptr;
    stream->_IO_write_ptr += width;
    return reinterpret_cast<unsigned char *>(room);
}

// A bulk read of a buffer's size or more bypasses the buffer, and glibc
// then drops output still buffered on the stream unwritten (a host reading
// a write-only stream). The single-byte read writes such output out before
// it reads or fails, so it takes the first byte whenever the stream is
// writing; otherwise one bulk read saves a refill of the buffer.
inline std::size_t read_bytes(FILE *stream, char *block, std::size_t size)
{
    if (size == 0)
        return 0;
    if (__fwriting(stream) == 0)
        return fread_unlocked(block, 1, size, stream);
    const int first = getc_unlocked(stream);
    if (first == EOF)
        return 0;
    block[0] = static_cast<char>(first);
    return 1 + fread_unlocked(block + 1, 1, size - 1, stream);
}

inline std::int64_t write_text(FILE *stream, const char *text)
{
    const std::size_t length = std::strlen(text);
    if (fwrite_unlocked(text, 1, length, stream) != length)
        return -1;
    return static_cast<std::int64_t>(length);
}

inline bool at_end_of_file(FILE *stream)
{
    return feof_unlocked(stream) != 0;
}

} // namespace dravenix
