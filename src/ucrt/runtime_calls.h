// The portable layer's calls into the Universal C Runtime (UCRT), the C
// runtime of MSVC, clang-cl and mingw-w64 in UCRT mode. Its FILE is opaque,
// so the layer keeps to UCRT's public calls; these are the ones that make
// it a full Windows layer: 64-bit positions, the calls that skip the
// stream's lock (the one caller at a time the module serves needs none),
// the modes and names of the msvcrt.dll layer, and the file's length
// without a seek.
#pragma once

#include "file_modes.h"
#include "file_names.h"
#include "text_length.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace dravenix {

using Position = std::int64_t;

// Where the file will end once the stream's output is out, or -1 where
// that is unknown: the length of a file on disk, or where the stream's
// buffered output ends (`writing_to`, -1 when nothing is buffered) when
// that is further. Positions count the bytes in the file, in text mode too.
inline std::int64_t known_end(FILE *file, std::int64_t writing_to)
{
    struct _stat64 status;
    if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG)
        return -1;
    return status.st_size > writing_to ? status.st_size : writing_to;
}

inline int seek_to(FILE *file, Position position)
{
    return _fseeki64_nolock(file, position, SEEK_SET);
}
inline int seek_here(FILE *file) { return _fseeki64_nolock(file, 0, SEEK_CUR); }
inline int seek_to_end(FILE *file, Position offset)
{
    return _fseeki64_nolock(file, offset, SEEK_END);
}
inline Position tell(FILE *file) { return _ftelli64_nolock(file); }

// A stream that cannot seek at all: a pipe, for which UCRT's seeks fail
// with ESPIPE. A file on disk or a folder is never taken for one, whatever
// a seek says.
inline bool cannot_seek(FILE *file)
{
    struct _stat64 status;
    if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) == _S_IFREG ||
        (status.st_mode & _S_IFMT) == _S_IFDIR)
        return false;
    return tell(file) < 0 && errno == ESPIPE;
}

inline bool mode_is_accepted(const char *mode) { return windows_mode_is_accepted(mode); }

// UTF-8 and long names through _wfopen (file_names.h).
inline FILE *open_file(const char *name, const char *mode)
{
    return open_file_by_name(name, mode);
}

inline int flush(FILE *file) { return _fflush_nolock(file); }

// Bytes go one lock-free call each. A wider value goes in one lock-free
// block call, the bare fread or fwrite without its lock: UCRT's byte calls
// are real calls, not macros, and two to eight of them cost more.
constexpr bool unlocked_bytes = false;
inline int read_one(FILE *file) { return _fgetc_nolock(file); }
inline int write_one(int byte, FILE *file) { return _fputc_nolock(byte, file); }

inline std::size_t read_block(void *block, std::size_t size, FILE *file)
{
    return _fread_nolock(block, 1, size, file);
}

inline std::size_t write_block(const void *block, std::size_t size, FILE *file)
{
    return _fwrite_nolock(block, 1, size, file);
}

inline std::size_t length_of(const char *text) { return text_length(text); }

} // namespace dravenix
