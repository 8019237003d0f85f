// The msvcrt.dll stream layer: the system C runtime of every Windows
// version, which the mingw-w64 toolchains link against.
#include "stream.h"

#include "file_names.h"

#include <io.h>
#include <windows.h>

namespace dravenix {
namespace {

// msvcrt.dll sends a mode it does not know to its invalid-parameter
// handler, whose default ends the process, so modes are checked here
// first: r, w or a, then at most one "+" and at most one of "b" and "t".
bool mode_is_accepted(const char *mode)
{
    if (*mode != 'r' && *mode != 'w' && *mode != 'a')
        return false;
    bool plus = false, binary_or_text = false;
    for (const char *c = mode + 1; *c != '\0'; ++c) {
        if (*c == '+' && !plus)
            plus = true;
        else if ((*c == 'b' || *c == 't') && !binary_or_text)
            binary_or_text = true;
        else
            return false;
    }
    return true;
}

// Output written into the buffer and not yet out to the file.
std::int64_t unwritten_output(const FILE *file)
{
    if (!(file->_flag & _IOWRT) || file->_base == nullptr)
        return 0;
    return file->_ptr - file->_base;
}

// Writes out the stream's output: false, with the loss recorded, when that
// fails.
bool write_out(Stream &stream)
{
    if (std::fflush(stream.file) == 0)
        return true;
    stream.output_lost = true;
    return false;
}

} // namespace

void note_write_failure(Stream &stream)
{
    if (stream.writable)
        stream.output_lost = true;
}

bool open_stream(Stream &stream, const char *name, const char *mode)
{
    if (!mode_is_accepted(mode))
        return false;
    FILE *file = open_file_by_name(name, mode);
    if (file == nullptr)
        return false;
    stream.file = file;
    set_access(stream, mode);
    // msvcrt.dll keeps the append flag on the descriptor, out of sight;
    // stream_position needs it, for binary streams, whose positions count
    // bytes.
    stream.appending = stream.appending && std::strchr(mode, 'b') != nullptr;
    // msvcrt.dll leaves an "a" stream at position 0 until its first write
    // goes to the end, so FileTell would answer 0; glibc starts such a
    // stream at the end.
    if (mode[0] == 'a' && !stream.readable)
        _fseeki64(file, 0, SEEK_END);
    return true;
}

// Some builds of msvcrt.dll's fclose (wine's among them) report only an
// error flag set before the close, not a failure of the close's own
// write-out; so the output goes out here first.
int close_stream(Stream &stream)
{
    if (unwritten_output(stream.file) > 0)
        (void)write_out(stream);
    return std::fclose(stream.file);
}

// msvcrt.dll drops a reading stream's buffer before it asks the system for
// the new position, so a seek the system then refuses would leave the
// stream reading on from wherever its buffer had reached. The target is
// worked out here instead, and one before the start of the file is refused
// without touching the stream; the end of the file is where the file's
// length or the unwritten output reaches, whichever is further.
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
    if (origin == SEEK_CUR) {
        base = stream_position(stream);
    } else if (origin == SEEK_END) {
        base = _filelengthi64(_fileno(file));
        if (base >= 0 && unwritten_output(file) > 0) {
            const std::int64_t here = stream_position(stream);
            base = here > base ? here : base;
        }
    }
    std::int64_t target;
    if (base < 0 || __builtin_add_overflow(base, offset, &target) || target < 0)
        return -1;
    if (unwritten_output(file) > 0 && !write_out(stream))
        return -1;
    if (_fseeki64(file, target, SEEK_SET) != 0)
        return -1;
    std::clearerr(file);
    return 0;
}

// msvcrt.dll moves an append stream to the end of the file only when it
// writes the buffer out, and until then counts its output from wherever
// the stream last stood. glibc answers with where that output will land.
std::int64_t stream_position(Stream &stream)
{
    FILE *file = stream.file;
    const std::int64_t unwritten = unwritten_output(file);
    if (unwritten > 0 && stream.appending) {
        const std::int64_t end = _filelengthi64(_fileno(file));
        return end < 0 ? -1 : end + unwritten;
    }
    return _ftelli64(file);
}

} // namespace dravenix

// Success for every notification; nothing is done per thread.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    // Detaching the module writes out what the host's streams still buffer,
    // so that nothing written is lost, but closes none of them: the host
    // closes its files itself.
    //
    // FreeLibrary (reserved NULL): the process goes on, so every stream of
    // the runtime is flushed, ours among them.
    //
    // Process end (reserved not NULL): the other threads were stopped
    // wherever they were, perhaps holding a stream lock, and msvcrt.dll has
    // no flush that skips the lock, so nothing is flushed here. msvcrt.dll,
    // which owns the streams and is detached after this module, ends them
    // itself, as does the host's own exit().
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr)
        _flushall();
    return TRUE;
}
