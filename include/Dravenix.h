/* Dravenix.h -- binary file access for hosts that speak only in numbers and strings

  Dravenix is a dynamically loaded module (Dravenix.dll on Windows, Dravenix.so
  elsewhere). A host loads it and finds these sixteen functions by name. Every
  argument and result is a 64-bit double, except file names, open modes and
  texts, which are NUL-terminated byte strings. Handles, counts, offsets and
  positions are doubles too.

  Up to 256 files are open at once, each named by a handle from 0 to 255. A
  handle argument is accepted when it is at least 0 and below 256; it names
  the slot of its value truncated toward zero, so 3.99 names slot 3 while -0.5,
  256 and NaN are refused. A refused handle, or one whose slot holds no open
  file, changes nothing and gets the function's failure value.

  Number arguments that must be integers (values, counts, origins) are
  truncated toward zero to a signed 32-bit integer; NaN, infinities and
  anything whose truncated value lies outside -2147483648..2147483647 become
  -2147483648. Seek offsets are truncated to 64 bits instead.

  Values are stored little-endian on every host, with no header, tag or
  padding: a file is the bare sequence of values the host wrote.

  The library serves one caller at a time: it takes no locks of its own.
*/

#ifndef DRAVENIX_H
#define DRAVENIX_H

#if defined(_WIN32)
#  define DRAVENIX_CALL __cdecl
#  if defined(DRAVENIX_BUILDING)
#    define DRAVENIX_API __declspec(dllexport)
#  else
#    define DRAVENIX_API
#  endif
#elif defined(__GNUC__) || defined(__clang__)
#  define DRAVENIX_CALL
#  define DRAVENIX_API __attribute__((visibility("default")))
#else
#  define DRAVENIX_CALL
#  define DRAVENIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

DRAVENIX_API double DRAVENIX_CALL FileOpen(const char *name, const char *mode);
/*
     Opens the file at path name with the open mode mode ("rb", "wb", "ab",
   "r+b", ...), and binds it to the lowest free slot. The mode goes to the C
   runtime's fopen unchanged. Use a mode with "b" for exact bytes: on Windows a
   mode without it translates line ends. A mode the platform does not accept
   is refused without reaching the runtime.

     On Linux the name is bytes, passed to fopen unchanged. On Windows a name
   that is valid UTF-8 and holds at least one byte above 127 is read as UTF-8
   and opened through its UTF-16 form; every other name (pure ASCII, or
   code-page bytes that are not valid UTF-8, such as "caf\xE9" in code page
   1252) goes to fopen unchanged. The one ambiguity: a code-page name whose
   bytes also form valid UTF-8, such as "\xC3\xA9" (A tilde and the copyright
   sign in code page 1252), is read as UTF-8 (e acute). On Windows a name whose full path is 260 characters
   or longer is made absolute and opened in the \\?\ form, so long paths
   open; a name that forms no path (empty, or past 32767 UTF-16 units) fails.

     Returns the new handle (0 to 255) on success, -1 if the file could not be
   opened (or name or mode is NULL), and -2 if all 256 slots are in use, in
   which case the file system is not touched.
*/

DRAVENIX_API double DRAVENIX_CALL FileClose(double handle);
/*
     Closes the file in the slot, writing out its buffered data, and empties
   the slot. The slot is emptied even when the close fails.

     0 means that every byte written to the file since it was opened reached
   the system. Output that failed to reach it, whenever that was found (a
   full disk or an I/O error met by this close, by an earlier write, or by a
   read or seek that wrote buffered output out first), makes the close
   report -1, even when the call that met it reported the failure too.

     Returns 0 on success, -1 if any output was lost or the close failed, or
   the handle is refused or names an empty slot.
*/

DRAVENIX_API double DRAVENIX_CALL FileCloseAll(void);
/*
     Closes every open file, in ascending slot order, and empties every slot.

     Returns 0 if every close succeeded (or nothing was open), -1 if any
   close failed or any file had lost output, as FileClose; all slots are
   empty either way.
*/

DRAVENIX_API double DRAVENIX_CALL FileWrite8(double handle, double value);
/*
     Writes the low 8 bits of the value, converted to an integer, as one byte.

     Returns the byte written (0 to 255) on success, -1 on a write error or a
   refused handle or empty slot.
*/

DRAVENIX_API double DRAVENIX_CALL FileWrite16(double handle, double value);
/*
     Writes the low 16 bits of the value, converted to an integer, as two
   bytes, low byte first. 70000 is written as 4464; 40000 as bytes 40 9C.

     Returns 1 on success, 0 on a write error, -1 for a refused handle or
   empty slot.
*/

DRAVENIX_API double DRAVENIX_CALL FileWrite32(double handle, double value);
/*
     Writes the value, converted to a signed 32-bit integer, as four bytes in
   two's complement, low byte first.

     Returns 1 on success, 0 on a write error, -1 for a refused handle or
   empty slot.
*/

DRAVENIX_API double DRAVENIX_CALL FileWriteDouble(double handle, double value);
/*
     Writes the eight bytes of the IEEE-754 binary64 value exactly as passed,
   low byte first. NaN payloads, signalling NaNs and the sign of zero are
   kept, on 32-bit x86 too, provided the host passes the value without
   loading it into an x87 register (code built for SSE2 does not).

     Returns 1 on success, 0 on a write error, -1 for a refused handle or
   empty slot.
*/

DRAVENIX_API double DRAVENIX_CALL FileWriteString(double handle, const char *text);
/*
     Writes the bytes of text up to, not including, its NUL. Nothing is added
   and nothing is interpreted: percent signs are ordinary bytes.

     Returns the number of bytes written (0 for the empty string) on success,
   a negative number on a write error, -1 for a NULL text, a refused handle or
   an empty slot.
*/

DRAVENIX_API double DRAVENIX_CALL FileRead8(double handle);
/*
     Reads one byte. At the end of the file this sets the end-of-file
   indicator (see FileIsEOF). A read on a file with output still buffered
   writes that output out first; if that fails, the read fails as a read
   error does (the indicator stays clear) and FileClose reports the loss.
   The wider reads and FileReadString do the same.

     Returns the byte (0 to 255) on success, -1 at end of file, on a read
   error, or for a refused handle or empty slot.
*/

DRAVENIX_API double DRAVENIX_CALL FileRead16(double handle);
/*
     Reads two bytes, low byte first, as a signed 16-bit integer. The result
   does not tell whether the read succeeded: bytes missing at the end of the
   file count as zero, and FileIsEOF reports that the end was reached.

     Returns the value (-32768 to 32767); -1 for a refused handle or empty
   slot.
*/

DRAVENIX_API double DRAVENIX_CALL FileRead32(double handle);
/*
     Reads four bytes, low byte first, as a signed 32-bit integer. Bytes
   missing at the end of the file count as zero, as for FileRead16.

     Returns the value; -1 for a refused handle or empty slot.
*/

DRAVENIX_API double DRAVENIX_CALL FileReadDouble(double handle);
/*
     Reads eight bytes, low byte first, as an IEEE-754 binary64 value. Bytes
   missing at the end of the file count as zero, as for FileRead16.

     On 32-bit x86 the calling convention returns a double in an x87
   register, which sets the quiet bit of a signalling NaN: a host there
   receives 7FF0000000000001 as 7FF8000000000001. The file keeps the bits
   as written, and every other value, quiet NaN payloads included, arrives
   bit for bit.

     Returns the value; -1 for a refused handle or empty slot.
*/

DRAVENIX_API const char *DRAVENIX_CALL FileReadString(double handle, double count);
/*
     Reads count bytes (converted to an integer) into a new NUL-terminated
   block of count + 1 bytes. Each byte past the end of the file is stored as
   FF and sets the end-of-file indicator; the string keeps its full length. A
   zero byte read from the file ends the string as C sees it, though all count
   bytes were consumed. A count of zero or less reads nothing.

     Each successful call returns a new block from malloc that the library
   never frees or reuses: it belongs to the host, which may free() it with the
   same C runtime or keep it.

     Returns the block on success; the library's own empty string "" for a
   refused handle, an empty slot, or when the block cannot be allocated. That
   string must not be changed or freed.
*/

DRAVENIX_API double DRAVENIX_CALL FileSeek(double handle, double offset, double origin);
/*
     Moves the position to offset bytes from the start (origin 0), the
   current position (1) or the end of the file (2), and clears the
   end-of-file indicator. The offset is truncated toward zero to a 64-bit
   integer.

     Buffered output goes out to the file first. If that fails the seek
   fails, and FileClose will report the loss. A target before the start of
   the file is refused before anything is written out or moved. A seek
   that fails leaves the position where it was; where the library cannot
   be sure of that (the system refused the seek midway and would not go
   back, or output was lost), the stream refuses instead: reads fail or
   give their fill values, writes fail and write nothing, FileTell gives
   -1, until a FileSeek returns 0. A successful FileSeek from the start or
   the end positions such a stream again.

     Returns 0 on success; -1 if the position was not set (an origin other
   than 0, 1 or 2, a NaN or infinite offset, a position before the start, a
   stream that cannot seek, output that could not be written out) or for a
   refused handle or empty slot.
*/

DRAVENIX_API double DRAVENIX_CALL FileTell(double handle);
/*
     Reports the position as a byte offset from the start of the file, exact
   beyond 2147483647.

     Returns the position on success: always the one the calls made on the
   stream describe, counting a failed call as having moved nothing. -1 if
   the stream has no position (a pipe), has lost it after a failure (see
   FileSeek; it then refuses reads and writes until a FileSeek returns 0),
   or for a refused handle or empty slot.
*/

DRAVENIX_API double DRAVENIX_CALL FileIsEOF(double handle);
/*
     Reports the end-of-file indicator, which a read past the end sets and a
   successful FileSeek clears. Reaching the last byte does not set it.

     Returns 16 if the indicator is set, 0 if it is clear, -1 for a refused
   handle or empty slot.
*/

#ifdef __cplusplus
}
#endif

#endif /* DRAVENIX_H */
