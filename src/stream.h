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
//
// Output is either in the file or reported lost. C runtimes write buffered
// output out on their own when a read or a seek needs the buffer, and drop
// it when that write fails, with nothing to show for it but an error flag
// that a later call may clear and fclose does not report. So each layer
// writes the output out itself before any call that would, and records a
// failure in the stream's `output_lost`, which FileClose reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace dravenix {

// Which way a stream last moved data, for the layers that must make the
// positioning call standard C requires between reading and writing.
enum class Direction : unsigned char {
    none,     // just opened or positioned: either may come next
    reading,
    writing,
    // A failure left the stream somewhere other than where the host's
    // calls put it (a seek the system refused midway and would not undo,
    // output that never reached the file): reads, writes and FileTell fail
    // until a seek succeeds. Every layer uses it.
    unpositioned,
};

// One slot of the table: the runtime's stream and what the layer must know
// of it that the runtime keeps out of sight or does not keep at all. All of
// it lives here, whatever the layer, rather than in side tables.
struct Stream {
    FILE *file = nullptr;
    // What the open mode allows.
    bool readable = false;
    bool writable = false;
    bool appending = false;
    // Some output written to the stream never reached the file.
    bool output_lost = false;
    // Which way the stream last moved, for the layers that track it (the
    // portable one); whether it is unpositioned, for all of them.
    Direction direction = Direction::none;
    // The end-of-file indicator as it stood before a positioning call that
    // the layer made on its own account cleared it; a host's seek clears it.
    bool end_of_file_kept = false;
    // For the layers that count positions themselves rather than ask the
    // runtime (msvcrt.dll's, on binary streams of files on disk): whether
    // they do, and the place in the file of the first byte of the
    // runtime's buffer, so that the stream stands that far on from it as
    // the buffer has been read or written.
    bool counts_positions = false;
    std::int64_t buffer_position = 0;
};

// Fills in what a mode string allows, as fopen reads it: the first letter,
// and a "+" anywhere in the rest. The caller has checked the mode.
inline void set_access(Stream &stream, const char *mode)
{
    bool update = false;
    for (const char *c = mode + 1; *c != '\0'; ++c)
        update = update || *c == '+';
    stream.readable = mode[0] == 'r' || update;
    stream.writable = mode[0] != 'r' || update;
    stream.appending = mode[0] == 'a';
}

// The stream no longer stands where the host's calls put it, or the layer
// cannot tell: it is unpositioned, and whatever the runtime still buffers
// for it is dropped, so that none of it reaches the file at a place nobody
// chose. In each layer's stream.cpp.
void lose_position(Stream &stream);

// Output that never reached the file: recorded for FileClose, and the
// stream unpositioned, since the runtime no longer stands where the host's
// calls put it.
inline void lose_output(Stream &stream)
{
    stream.output_lost = true;
    lose_position(stream);
}

// A write the host asked for failed. On a stream open for writing that
// means a write-out failed, and whatever it carried is gone. On one open
// only for reading nothing was ever accepted, so nothing is lost.
inline void note_write_failure(Stream &stream)
{
    if (stream.writable)
        lose_output(stream);
}

// A put's result, passed on, with a failure noted.
inline int noted_put(Stream &stream, int written)
{
    if (written == EOF)
        note_write_failure(stream);
    return written;
}

// A text write's result: the length, or -1 with the failure noted.
inline std::int64_t noted_write(Stream &stream, std::size_t written, std::size_t length)
{
    if (written == length)
        return static_cast<std::int64_t>(length);
    note_write_failure(stream);
    return -1;
}

// A value's bytes one call at a time, for layers whose byte calls cost
// less than one call for the whole value: up to `width` bytes from
// next_byte, stopping at its first EOF (how many), or all `width` bytes to
// put_byte, stopping at its first EOF (false, with the failure noted).
template <typename NextByte>
inline int gather_bytes(unsigned char *item, int width, NextByte next_byte)
{
    int got = 0;
    for (int byte; got < width && (byte = next_byte()) != EOF; ++got)
        item[got] = static_cast<unsigned char>(byte);
    return got;
}

template <typename PutByte>
inline bool scatter_bytes(Stream &stream, const unsigned char *item, int width, PutByte put_byte)
{
    for (int i = 0; i < width; ++i) {
        if (put_byte(item[i]) == EOF) {
            note_write_failure(stream);
            return false;
        }
    }
    return true;
}

// Opens the named file in the mode, as fopen does, into `stream` (file and
// access). false when the runtime would not take the mode or cannot open
// the name; the stream is then left empty.
bool open_stream(Stream &stream, const char *name, const char *mode);

// Writes out the stream's output and closes it: 0, or EOF when that
// output was lost. The stream is gone either way. Output lost earlier is
// the caller's to report (`output_lost`).
int close_stream(Stream &stream);

// Moves to offset from origin (SEEK_SET, SEEK_CUR or SEEK_END) and clears
// the end-of-file indicator: 0, and an unpositioned stream is positioned
// again. A target before the start of the file, or one that overflows,
// gives -1 and leaves the stream exactly as it was. A seek the system
// refuses gives -1 and leaves the stream where it was, or, where the layer
// cannot put it back there for certain, unpositioned.
int seek_stream(Stream &stream, std::int64_t offset, int origin);

// The position as the next read would find it, or -1 when the stream has
// none (a pipe) or has lost it (unpositioned). An append stream holding unwritten output answers with the
// end of the file plus that output, where the output will land.
std::int64_t stream_position(Stream &stream);

// Inline, in stream_inline.h:
//
//   int get_byte(Stream &stream);
//   int put_byte(Stream &stream, int byte);
//       One byte, as getc and putc: the byte, or EOF.
//   const unsigned char *take_buffered(Stream &stream, int width);
//   unsigned char *reserve_buffered(Stream &stream, int width);
//       Where the buffer already holds `width` bytes to read, or has room
//       for `width` bytes of output, their place, moved past as that many
//       get_byte or put_byte calls would; otherwise NULL, and the caller
//       moves the value with read_item or write_item.
//   int read_item(Stream &stream, unsigned char *item, int width);
//       Up to width (at most 8) bytes: how many were read.
//   bool write_item(Stream &stream, const unsigned char *item, int width);
//       All width (at most 8) bytes, or false.
//   std::size_t read_bytes(Stream &stream, char *block, std::size_t size);
//       Up to size bytes; fewer at the end of the file or on an error.
//   std::int64_t write_text(Stream &stream, const char *text);
//       The bytes of a NUL-terminated text: their count, or -1 when not all
//       of them were written.
//   bool at_end_of_file(const Stream &stream);

} // namespace dravenix

#include "stream_inline.h"
