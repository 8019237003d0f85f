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
// any call.
//
// Writing the output out here is also what keeps it from being lost
// silently: a failure is recorded for FileClose.
inline bool ready_to_read(Stream &stream)
{
    FILE *file = stream.file;
    if (!(file->_flag & _IOWRT))
        return true;
    if (!(file->_flag & _IORW))
        return false;
    // An update stream: write the output out and read on from there.
    if (std::fflush(file) == 0)
        return true;
    stream.output_lost = true;
    return false;
}

inline bool ready_to_write(Stream &stream)
{
    FILE *file = stream.file;
    if (!(file->_flag & _IOREAD))
        return true;
    if (!(file->_flag & _IORW))
        return false;
    // An update stream: drop the read-ahead, and put the file's position
    // back where the reading had got to.
    return _fseeki64(file, 0, SEEK_CUR) == 0;
}

// The buffer macros call the runtime's _filbuf and _flsbuf only to refill
// or empty the buffer.
inline int get_byte(Stream &stream)
{
    return ready_to_read(stream) ? _fgetc_nolock(stream.file) : EOF;
}

inline int put_byte(Stream &stream, int byte)
{
    return ready_to_write(stream) ? noted_put(stream, _fputc_nolock(byte, stream.file)) : EOF;
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

// Values that cross the buffer's edge, byte by byte through the buffer
// macros: once turned, the stream stays turned.
inline int read_item(Stream &stream, unsigned char *item, int width)
{
    if (!ready_to_read(stream))
        return 0;
    return gather_bytes(item, width, [&] { return _fgetc_nolock(stream.file); });
}

inline bool write_item(Stream &stream, const unsigned char *item, int width)
{
    return ready_to_write(stream) &&
           scatter_bytes(stream, item, width,
                         [&](int byte) { return _fputc_nolock(byte, stream.file); });
}

// ready_to_read writes out an update stream's output first, so one bulk
// read loses nothing.
inline std::size_t read_bytes(Stream &stream, char *block, std::size_t size)
{
    if (size == 0 || !ready_to_read(stream))
        return 0;
    return std::fread(block, 1, size, stream.file);
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
    return noted_write(stream, std::fwrite(text, 1, length, stream.file), length);
}

inline bool at_end_of_file(const Stream &stream)
{
    return (stream.file->_flag & _IOEOF) != 0;
}

} // namespace dravenix
