// The portable layer's calls into the C library, for any C library: standard
// C's, and POSIX's where the system has them. The layer itself (../) makes
// every call through these; a C runtime that has better ones of its own
// (UCRT: 64-bit positions, lock-free calls, wide names) brings a header of
// this name in its own folder instead.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace dravenix {

// Positions: off_t through fseeko and ftello where POSIX has them (the
// build asks for a 64-bit off_t), else standard C's long, and then a
// position that a long cannot hold is refused rather than cut.
#if defined(_POSIX_VERSION) && _POSIX_VERSION >= 200112L
using Position = off_t;
// Where the file will end once the stream's output is out, or -1 where
// that is unknown. POSIX tells a regular file's length without a seek,
// which would write the output out first; output still buffered ends where
// the stream stands (`writing_to`, or -1 when nothing is buffered).
inline std::int64_t known_end(FILE *file, std::int64_t writing_to)
{
    struct stat status;
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode))
        return -1;
    return status.st_size > writing_to ? status.st_size : writing_to;
}
inline int seek_to(FILE *file, Position position) { return fseeko(file, position, SEEK_SET); }
inline int seek_here(FILE *file) { return fseeko(file, 0, SEEK_CUR); }
inline int seek_to_end(FILE *file, Position offset) { return fseeko(file, offset, SEEK_END); }
inline Position tell(FILE *file) { return ftello(file); }
#else
using Position = long;
inline int seek_to(FILE *file, Position position) { return std::fseek(file, position, SEEK_SET); }
inline int seek_here(FILE *file) { return std::fseek(file, 0, SEEK_CUR); }
inline int seek_to_end(FILE *file, Position offset) { return std::fseek(file, offset, SEEK_END); }
inline Position tell(FILE *file) { return std::ftell(file); }
inline std::int64_t known_end(FILE *, std::int64_t) { return -1; }
#endif

// The modes every C library documents: r, w or a, then nothing, "b", "+",
// "+b" or "b+". Anything else may be taken by one library, refused by the
// next, and end the process in a third (msvcrt.dll's invalid-parameter
// handler), so it is refused here without reaching fopen.
inline bool mode_is_accepted(const char *mode)
{
    if (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')
        return false;
    const char *rest = mode + 1;
    return std::strcmp(rest, "") == 0 || std::strcmp(rest, "b") == 0 ||
           std::strcmp(rest, "+") == 0 || std::strcmp(rest, "+b") == 0 ||
           std::strcmp(rest, "b+") == 0;
}

// A stream that cannot seek at all (a pipe: ESPIPE, which POSIX and
// Windows both give). Where POSIX tells what the file is, a regular file,
// a disk or a folder is never taken for one, whatever a seek says.
inline bool cannot_seek(FILE *file)
{
#if defined(_POSIX_VERSION) && _POSIX_VERSION >= 200112L
    struct stat status;
    if (fstat(fileno(file), &status) != 0 || S_ISREG(status.st_mode) || S_ISBLK(status.st_mode) ||
        S_ISDIR(status.st_mode))
        return false;
#endif
    return tell(file) < 0 && errno == ESPIPE;
}

// Names are the system's bytes, passed on unchanged.
inline FILE *open_file(const char *name, const char *mode) { return std::fopen(name, mode); }

inline int flush(FILE *file) { return std::fflush(file); }

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

inline std::size_t read_block(void *block, std::size_t size, FILE *file)
{
    return std::fread(block, 1, size, file);
}

inline std::size_t write_block(const void *block, std::size_t size, FILE *file)
{
    return std::fwrite(block, 1, size, file);
}

inline std::size_t length_of(const char *text) { return std::strlen(text); }

} // namespace dravenix
