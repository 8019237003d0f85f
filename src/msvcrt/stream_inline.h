// The msvcrt.dll stream layer, inline part: msvcrt.dll's buffer macros,
// which take no lock, and its public buffer fields for whole values.
#pragma once

#include "text_length.h"

#include <climits>
#include <cstring>

namespace dravenix {

// msvcrt.dll keeps one buffer per stream and one count in it, which means
// bytes left to read after a read and room left to write after a write. Its
// stream calls trust that count whatever they are asked to do, so a read
// after a write would hand back output not yet written, and a write after a
// read would land in the read buffer and never reach the file. Each transfer
// therefore first turns the stream the right way round, as glibc does by
// itself, and a stream opened one way only is refused the other way without
// any call. Writing the output out there is also what keeps it from being
// lost silently: a failure is recorded for FileClose.
//
// msvcrt.dll's own idea of the position cannot be trusted when the system
// fails a seek or a length query: _ftelli64 then guesses, _filelengthi64
// leaves the descriptor at the end of the file, fread drops the count of
// what it read before a read error, and an append stream's write-out goes
// wherever the descriptor stands when the seek to the end before it fails.
// So for a binary stream of a file on disk the layer counts the position
// itself: where the runtime's buffer begins in the file, recorded after
// every call that refills it, writes it out or moves it, plus how far the
// stream has gone through it. Every such call goes through the out-of-line
// helpers below; the buffered paths move the pointer, and so the count.
inline std::int64_t counted_position(const Stream &stream)
{
    return stream.buffer_position + (stream.file->_ptr - stream.file->_base);
}

// Records that the stream, as its buffer now stands, is at `position`.
inline void settle(Stream &stream, std::int64_t position)
{
    stream.buffer_position = position - (stream.file->_ptr - stream.file->_base);
}

inline bool positioned(const Stream &stream)
{
    return stream.direction != Direction::unpositioned;
}

// Out of line, in stream.cpp: the turns (false when the stream cannot go
// that way: opened the other way only, output lost, position lost), and
// the refill and write-out that the byte calls below reach when the buffer
// is empty or full.
bool turn_to_reading(Stream &stream);
bool turn_to_writing(Stream &stream);
int refill(Stream &stream);
int put_on_full(Stream &stream, int byte);
std::size_t read_block(Stream &stream, char *block, std::size_t size);
std::int64_t write_block(Stream &stream, const char *text, std::size_t length);

inline bool ready_to_read(Stream &stream)
{
    return (!(stream.file->_flag & _IOWRT) && positioned(stream)) || turn_to_reading(stream);
}

inline bool ready_to_write(Stream &stream)
{
    return (!(stream.file->_flag & _IOREAD) && positioned(stream)) || turn_to_writing(stream);
}

// The buffer macros' own tests, with the refill and the write-out taken
// through the layer. A stream that has lost its position holds an empty
// buffer, so that it always reaches them.
inline int get_byte(Stream &stream)
{
    FILE *file = stream.file;
    if (__builtin_expect(file->_cnt > 0 && !(file->_flag & _IOWRT), 1)) {
        --file->_cnt;
        return static_cast<unsigned char>(*file->_ptr++);
    }
    return refill(stream);
}

inline int put_byte(Stream &stream, int byte)
{
    FILE *file = stream.file;
    if (__builtin_expect(file->_cnt > 0 && (file->_flag & _IOWRT), 1)) {
        --file->_cnt;
        return static_cast<unsigned char>(*file->_ptr++ = static_cast<char>(byte));
    }
    return put_on_full(stream, byte);
}

// The same tests as the buffer macros, for a whole value at once: a stream
// that is not writing holds bytes to read in _cnt, one that is writing has
// that much room. A stream that has never been used has neither, and goes
// byte by byte until the runtime has given it a buffer.
inline const unsigned char *take_buffered(Stream &stream, int width)
{
    FILE *file = stream.file;
    if ((file->_flag & _IOWRT) || file->_cnt < width)
        return nullptr;
    const char *item = file->_ptr;
    file->_ptr += width;
    file->_cnt -= width;
    return reinterpret_cast<const unsigned char *>(item);
}

inline unsigned char *reserve_buffered(Stream &stream, int width)
{
    FILE *file = stream.file;
    if (!(file->_flag & _IOWRT) || file->_cnt < width)
        return nullptr;
    char *room = file->_ptr;
    file->_ptr += width;
    file->_cnt -= width;
    return reinterpret_cast<unsigned char *>(room);
}

// Values that cross the buffer's edge, byte by byte through the calls
// above: once turned, the stream stays turned.
inline int read_item(Stream &stream, unsigned char *item, int width)
{
    if (!ready_to_read(stream))
        return 0;
    return gather_bytes(item, width, [&] { return get_byte(stream); });
}

inline bool write_item(Stream &stream, const unsigned char *item, int width)
{
    return ready_to_write(stream) &&
           scatter_bytes(stream, item, width, [&](int byte) { return put_byte(stream, byte); });
}

// ready_to_read writes out an update stream's output first, so one bulk
// read loses nothing.
inline std::size_t read_bytes(Stream &stream, char *block, std::size_t size)
{
    if (size == 0 || !ready_to_read(stream))
        return 0;
    return read_block(stream, block, size);
}

inline std::int64_t write_text(Stream &stream, const char *text)
{
    const std::size_t length = text_length(text);
    if (length <= static_cast<std::size_t>(INT_MAX)) {
        if (unsigned char *room = reserve_buffered(stream, static_cast<int>(length))) {
            std::memcpy(room, text, length);
            return static_cast<std::int64_t>(length);
        }
    }
    // Writing nothing cannot fail, whichever way the stream faces.
    if (length == 0)
        return 0;
    if (!ready_to_write(stream))
        return -1;
    return write_block(stream, text, length);
}

inline bool at_end_of_file(const Stream &stream)
{
    return (stream.file->_flag & _IOEOF) != 0;
}

} // namespace dravenix
