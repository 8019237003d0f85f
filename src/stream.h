// The stream layer: what the exports ask of the C runtime's buffered
// streams. Each C runtime has its own implementation in a folder of its
// own (glibc/, msvcrt/, stdc/ for any other standard C library); the build
// compiles that folder's stream.cpp and puts the folder on the include path,
// so that "stream_inline.h" below is its own.
//
// The calls made on every export (bytes, fixed-width values, strings, the
// end-of-file indicator) are inline, in stream_inline.h; opening, closing,
// seeking and telling are plain functions in stream.cpp.
//
// Whatever the runtime, the layer gives the exports glibc's answers: a read
// on a stream that is writing writes its output out first, a refused seek
// leaves the stream as it was, and so on. The one caller at a time that the
// module serves needs no stream locks; where a runtime has lock-free calls,
// the layer uses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace dravenix {

// Opens the named file in the mode, as fopen does. A mode the runtime
// would not take, or a name it cannot open, gives NULL.
FILE *open_stream(const char *name, const char *mode);

// Writes out the stream's output and closes it: 0, or EOF when output was
// lost. The stream is gone either way.
int close_stream(FILE *stream);

// Moves to offset from origin (SEEK_SET, SEEK_CUR or SEEK_END) and clears
// the end-of-file indicator: 0. A seek the runtime refuses, or one whose
// target lies before the start of the file, gives -1 and leaves the stream
// exactly as it was.
int seek_stream(FILE *stream, std::int64_t offset, int origin);

// The position as the next read would find it, or -1 when the stream has
// none (a pipe). An append stream holding unwritten output answers with the
// end of the file plus that output, where the output will land.
std::int64_t stream_position(FILE *stream);

// Inline, in stream_inline.h:
//
//   int get_byte(FILE *stream);
//   int put_byte(FILE *stream, int byte);
//       One byte, as getc and putc: the byte, or EOF.
//   const unsigned char *take_buffered(FILE *stream, int width);
//   unsigned char *reserve_buffered(FILE *stream, int width);
//       Where the buffer already holds `width` bytes to read, or has room
//       for `width` bytes of output, their place, moved past as that many
//       get_byte or put_byte calls would; otherwise NULL, and the caller
//       goes byte by byte.
//   std::size_t read_bytes(FILE *stream, char *block, std::size_t size);
//       Up to size bytes; fewer at the end of the file or on an error.
//   std::int64_t write_text(FILE *stream, const char *text);
//       The bytes of a NUL-terminated text: their count, or -1 when not all
//       of them were written.
//   bool at_end_of_file(FILE *stream);

} // namespace dravenix

#include "stream_inline.h"
