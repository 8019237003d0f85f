// The msvcrt.dll stream layer: the system C runtime of every Windows
// version, which the mingw-w64 toolchains link against.
#include "stream.h"

#include "file_modes.h"
#include "file_names.h"

#include <io.h>
#include <windows.h>

namespace dravenix {
namespace {

// Output written into the buffer and not yet out to the file.
std::int64_t unwritten_output(const FILE *file)
{
    if (!(file->_flag & _IOWRT) || file->_base == nullptr)
        return 0;
    return file->_ptr - file->_base;
}

HANDLE system_handle(FILE *file)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

// A pipe or a device (a console, NUL): nothing there moves, or has a
// place to move to.
bool cannot_seek(FILE *file)
{
    const DWORD type = GetFileType(system_handle(file));
    return type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR;
}

// The file's length, asked of the system without a seek: -1 when it will
// not tell.
std::int64_t file_length(FILE *file)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(system_handle(file), &size))
        return -1;
    return size.QuadPart;
}

// Empties the buffer as msvcrt.dll's own seek does, writing nothing: an
// update stream may then go either way.
void drop_buffer(FILE *file)
{
    file->_ptr = file->_base;
    file->_cnt = 0;
    if (file->_flag & _IORW)
        file->_flag &= ~(_IOREAD | _IOWRT);
}

// After a failure that may have moved the descriptor or the buffer (a read
// error, a refused seek), puts the stream back at `position` by a seek
// whose result is checked, keeping the end-of-file indicator; where the
// layer does not count positions (a text stream) or the seek fails, the
// stream is unpositioned instead. A stream that cannot move at all (a
// pipe, a device) never moved, and is left as it is.
void return_to(Stream &stream, std::int64_t position)
{
    FILE *file = stream.file;
    if (!stream.counts_positions && cannot_seek(file))
        return;
    const int end_of_file = file->_flag & _IOEOF;
    if (!stream.counts_positions || position < 0 || _fseeki64(file, position, SEEK_SET) != 0) {
        lose_position(stream);
        return;
    }
    file->_flag |= end_of_file;
    settle(stream, position);
}

// msvcrt.dll seeks an append stream to the end of the file before each
// write-out and goes on when that seek fails, over whatever lies where the
// descriptor stands. So the layer seeks there itself first and checks it:
// when the buffer is empty, before the stream takes output, and before
// each write-out. The descriptor then stands at the end whenever the
// stream holds output, and msvcrt.dll's own seek, should it fail, leaves
// it there. false when the seek fails.
bool stand_at_end(Stream &stream)
{
    const std::int64_t end = _lseeki64(_fileno(stream.file), 0, SEEK_END);
    if (end < 0)
        return false;
    settle(stream, end + unwritten_output(stream.file));
    return true;
}

// Writes out the stream's output: false, with the loss recorded, when that
// fails. An append stream whose end cannot be found keeps its output for
// the next write-out, and the call that needed it fails: nothing has moved.
bool write_out(Stream &stream)
{
    FILE *file = stream.file;
    if (unwritten_output(file) == 0)
        return true;
    if (stream.appending && !stand_at_end(stream))
        return false;
    const std::int64_t after = counted_position(stream);
    if (std::fflush(file) != 0) {
        lose_output(stream);
        return false;
    }
    settle(stream, after);
    return true;
}

// Readies the stream for output that may go out within the call: the
// output buffered so far is written out, and an append stream stands at
// the end.
bool ready_for_output(Stream &stream)
{
    if (unwritten_output(stream.file) > 0)
        return write_out(stream);
    return !stream.appending || stand_at_end(stream);
}

// Unwritten output ends where the stream stands: the file ends there or
// further on.
std::int64_t end_of(Stream &stream)
{
    const std::int64_t length = file_length(stream.file);
    if (length < 0 || unwritten_output(stream.file) == 0)
        return length;
    const std::int64_t here = stream_position(stream);
    return here > length ? here : length;
}

} // namespace

// Its buffer goes, output and all, written nowhere.
void lose_position(Stream &stream)
{
    drop_buffer(stream.file);
    stream.direction = Direction::unpositioned;
}

bool open_stream(Stream &stream, const char *name, const char *mode)
{
    if (!windows_mode_is_accepted(mode))
        return false;
    FILE *file = open_file_by_name(name, mode);
    if (file == nullptr)
        return false;
    stream.file = file;
    set_access(stream, mode);
    const bool seekable = !cannot_seek(file);
    stream.counts_positions = std::strchr(mode, 'b') != nullptr && seekable;
    // msvcrt.dll leaves an "a" stream at position 0 until its first write
    // goes to the end, so FileTell would answer 0; glibc starts such a
    // stream at the end. One whose end the system will not find does not
    // open.
    if (mode[0] == 'a' && !stream.readable && seekable && !stand_at_end(stream)) {
        (void)std::fclose(file);
        stream = Stream{};
        return false;
    }
    return true;
}

// Some builds of msvcrt.dll's fclose (wine's among them) report only an
// error flag set before the close, not a failure of the close's own
// write-out; so the output goes out here first.
int close_stream(Stream &stream)
{
    // Output that still cannot go to the end of the file is kept off it.
    if (!write_out(stream) && unwritten_output(stream.file) > 0)
        lose_output(stream);
    return std::fclose(stream.file);
}

// msvcrt.dll drops a reading stream's buffer before it asks the system for
// the new position, so a seek the system then refuses would leave the
// stream reading on from wherever its buffer had reached. The target is
// worked out here instead, and one before the start of the file is refused
// without touching the stream; a refused seek puts the stream back where
// the layer counts positions, and leaves a text stream on disk
// unpositioned, since only msvcrt.dll's own position calls, which guess
// when the system fails them, could tell where its buffer begins.
//
// For msvcrt.dll mingw-w64 links a _fseeki64 of its own, built on fsetpos,
// which drops the buffered output when writing it out fails and leaves the
// end-of-file indicator set. So the output is written out here first, where
// a failure is recorded, and the indicator is cleared after the seek. No
// export reports the error indicator that clearerr also clears.
int seek_stream(Stream &stream, std::int64_t offset, int origin)
{
    FILE *file = stream.file;
    std::int64_t base = 0;
    if (origin == SEEK_CUR)
        base = stream_position(stream);
    else if (origin == SEEK_END)
        base = end_of(stream);
    std::int64_t target;
    if (base < 0 || __builtin_add_overflow(base, offset, &target) || target < 0)
        return -1;
    if (!write_out(stream))
        return -1;
    // Written out, an append stream's output ends where the file now does.
    const std::int64_t before =
        stream.counts_positions && positioned(stream) ? counted_position(stream) : -1;
    const int end_of_file = file->_flag & _IOEOF;
    if (_fseeki64(file, target, SEEK_SET) != 0) {
        return_to(stream, before);
        if (positioned(stream))
            file->_flag |= end_of_file;
        return -1;
    }
    std::clearerr(file);
    settle(stream, target);
    stream.direction = Direction::none;
    return 0;
}

std::int64_t stream_position(Stream &stream)
{
    if (!positioned(stream))
        return -1;
    if (stream.counts_positions)
        return counted_position(stream);
    return _ftelli64(stream.file);
}

bool turn_to_reading(Stream &stream)
{
    FILE *file = stream.file;
    if (!positioned(stream))
        return false;
    if (!(file->_flag & _IOWRT))
        return true;
    // An update stream: write the output out and read on from there; the
    // buffer is then empty, and msvcrt.dll's refill wants the stream
    // facing neither way.
    if (!(file->_flag & _IORW) || !write_out(stream))
        return false;
    drop_buffer(file);
    return true;
}

bool turn_to_writing(Stream &stream)
{
    FILE *file = stream.file;
    if (!positioned(stream))
        return false;
    if (!(file->_flag & _IOREAD))
        return true;
    if (!(file->_flag & _IORW))
        return false;
    // An update stream: drop the read-ahead, and put the file's position
    // back where the reading had got to, which the layer knows where it
    // counts positions and msvcrt.dll's seek works out elsewhere.
    const int end_of_file = file->_flag & _IOEOF;
    const std::int64_t here = counted_position(stream);
    const bool moved = stream.counts_positions ? _fseeki64(file, here, SEEK_SET) == 0
                                               : _fseeki64(file, 0, SEEK_CUR) == 0;
    if (!moved) {
        return_to(stream, here);
        return false;
    }
    file->_flag |= end_of_file;
    settle(stream, here);
    return true;
}

// The buffer is empty (or the stream faces the other way): the refill is
// msvcrt.dll's, and the stream then stands one byte on. A read error may
// leave the descriptor moved; the stream goes back to where it stood.
int refill(Stream &stream)
{
    FILE *file = stream.file;
    if (!ready_to_read(stream))
        return EOF;
    const std::int64_t here = counted_position(stream);
    file->_flag &= ~_IOERR;
    const int byte = _filbuf(file);
    if (byte != EOF) {
        settle(stream, here + 1);
        return byte;
    }
    if (file->_flag & _IOERR)
        return_to(stream, here);
    else
        settle(stream, here);
    return EOF;
}

// The buffer is full (or the stream faces the other way): its output goes
// out here, and msvcrt.dll's own call then buffers the byte.
int put_on_full(Stream &stream, int byte)
{
    FILE *file = stream.file;
    if (!ready_to_write(stream) || !ready_for_output(stream))
        return EOF;
    const std::int64_t here = counted_position(stream);
    const int put = _flsbuf(byte, file);
    if (put == EOF) {
        note_write_failure(stream);
        return EOF;
    }
    settle(stream, here + 1);
    return put;
}

// wine's fread drops the count of the bytes it has read when a later read
// in the same call fails, and leaves the stream past them: after an error
// the stream goes back to where the count it gives says.
std::size_t read_block(Stream &stream, char *block, std::size_t size)
{
    FILE *file = stream.file;
    const std::int64_t here = counted_position(stream);
    file->_flag &= ~_IOERR;
    const std::size_t got = std::fread(block, 1, size, file);
    if (file->_flag & _IOERR)
        return_to(stream, here + static_cast<std::int64_t>(got));
    else
        settle(stream, here + static_cast<std::int64_t>(got));
    return got;
}

std::int64_t write_block(Stream &stream, const char *text, std::size_t length)
{
    FILE *file = stream.file;
    if (!ready_for_output(stream))
        return -1;
    const std::int64_t here = counted_position(stream);
    if (std::fwrite(text, 1, length, file) != length) {
        note_write_failure(stream);
        return -1;
    }
    settle(stream, here + static_cast<std::int64_t>(length));
    return static_cast<std::int64_t>(length);
}

} // namespace dravenix
