// The portable stream layer, inline part: standard C calls only, for any C
// library the module has no layer of its own for.
#pragma once

#include <cstring>

namespace dravenix {

inline int get_byte(FILE *stream)
{
    return std::fgetc(stream);
}

inline int put_byte(FILE *stream, int byte)
{
    return std::fputc(byte, stream);
}

// Standard C does not show the buffer: values go byte by byte.
inline const unsigned char *take_buffered(FILE *, int)
{
    return nullptr;
}

inline unsigned char *reserve_buffered(FILE *, int)
{
    return nullptr;
}

// Some C libraries drop a stream's buffered output when a bulk read on it
// bypasses the buffer (a host reading a write-only stream); their
// single-byte read writes such output out before it reads or fails. With
// no way to tell whether the stream is writing, the first byte always
// takes that road.
inline std::size_t read_bytes(FILE *stream, char *block, std::size_t size)
{
    if (size == 0)
        return 0;
    const int first = std::fgetc(stream);
    if (first == EOF)
        return 0;
    block[0] = static_cast<char>(first);
    return 1 + std::fread(block + 1, 1, size - 1, stream);
}

inline std::int64_t write_text(FILE *stream, const char *text)
{
    const std::size_t length = std::strlen(text);
    if (std::fwrite(text, 1, length, stream) != length)
        return -1;
    return static_cast<std::int64_t>(length);
}

inline bool at_end_of_file(FILE *stream)
{
    return std::feof(stream) != 0;
}

} // namespace dravenix
