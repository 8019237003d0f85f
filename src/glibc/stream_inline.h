// The glibc stream layer, inline part: glibc's unlocked calls, and its
// public buffer pointers for whole values.
#pragma once

#include <stdio_ext.h>

#include <cstring>

namespace dravenix {

// Writes out the stream's output: false, with the loss recorded, when that
// fails. glibc drops the output of a failed write-out either way.
bool write_out(Stream &stream);

// The test glibc makes itself before it turns a stream to reading.
inline bool has_unwritten_output(const FILE *file)
{
    return file->_IO_write_ptr > file->_IO_write_base;
}

// glibc writes a stream's output out when a read needs the buffer, and
// drops it if that write fails, with nothing but the error flag to show.
// The layer writes it out first instead, so that a failure is recorded.
inline bool write_out_pending(Stream &stream)
{
    return !has_unwritten_output(stream.file) || write_out(stream);
}

// A stream whose position the layer lost has an empty buffer, so that
// the buffered paths below miss and every call comes here, and refuses.
inline bool positioned(const Stream &stream)
{
    return stream.direction != Direction::unpositioned;
}

// getc_unlocked's and putc_unlocked's own tests, with the refill taken
// through the write-out above, and the write-out through glibc's own call;
// glibc's buffer pointers are public, as its macros show.
inline int get_byte(Stream &stream)
{
    FILE *file = stream.file;
    if (__builtin_expect(file->_IO_read_ptr < file->_IO_read_end, 1))
        return *reinterpret_cast<unsigned char *>(file->_IO_read_ptr++);
    if (!positioned(stream) || !write_out_pending(stream))
        return EOF;
    return __uflow(file);
}

inline int put_byte(Stream &stream, int byte)
{
    FILE *file = stream.file;
    if (__builtin_expect(file->_IO_write_ptr < file->_IO_write_end, 1))
        return static_cast<unsigned char>(*file->_IO_write_ptr++ = static_cast<char>(byte));
    if (!positioned(stream))
        return EOF;
    return noted_put(stream, __overflow(file, static_cast<unsigned char>(byte)));
}

// The same tests as getc_unlocked and putc_unlocked, for a whole value. A
// stream that is writing has no bytes to read in its buffer, so a read
// never passes over unwritten output here.
inline const unsigned char *take_buffered(Stream &stream, int width)
{
    FILE *file = stream.file;
    if (file->_IO_read_end - file->_IO_read_ptr < width)
        return nullptr;
    const char *item = file->_IO_read_ptr;
    file->_IO_read_ptr += width;
    return reinterpret_cast<const unsigned char *>(item);
}

inline unsigned char *reserve_buffered(Stream &stream, int width)
{
    FILE *file = stream.file;
    if (file->_IO_write_end - file->_IO_write_ptr < width)
        return nullptr;
    char *room = file->_IO_write_ptr;
    file->_IO_write_ptr += width;
    return reinterpret_cast<unsigned char *>(room);
}

inline int read_item(Stream &stream, unsigned char *item, int width)
{
    if (!positioned(stream) || !write_out_pending(stream))
        return 0;
    return static_cast<int>(fread_unlocked(item, 1, static_cast<std::size_t>(width), stream.file));
}

inline bool write_item(Stream &stream, const unsigned char *item, int width)
{
    if (!positioned(stream))
        return false;
    if (fwrite_unlocked(item, static_cast<std::size_t>(width), 1, stream.file) == 1)
        return true;
    note_write_failure(stream);
    return false;
}

// A bulk read of a buffer's size or more bypasses the buffer, and glibc
// then drops output still buffered on the stream unwritten (a host reading
// a write-only stream), and leaves the stream writing byte by byte. The
// single-byte read turns the stream to reading properly, so it takes the
// first byte whenever the stream is writing; otherwise one bulk read saves
// a refill of the buffer.
inline std::size_t read_bytes(Stream &stream, char *block, std::size_t size)
{
    FILE *file = stream.file;
    if (size == 0 || !positioned(stream))
        return 0;
    if (__fwriting(file) == 0)
        return fread_unlocked(block, 1, size, file);
    const int first = get_byte(stream);
    if (first == EOF)
        return 0;
    block[0] = static_cast<char>(first);
    return 1 + fread_unlocked(block + 1, 1, size - 1, file);
}

inline std::int64_t write_text(Stream &stream, const char *text)
{
    const std::size_t length = std::strlen(text);
    if (!positioned(stream))
        return length == 0 ? 0 : -1;
    return noted_write(stream, fwrite_unlocked(text, 1, length, stream.file), length);
}

inline bool at_end_of_file(const Stream &stream)
{
    return feof_unlocked(stream.file) != 0;
}

} // namespace dravenix
