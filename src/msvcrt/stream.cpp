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

// Which descriptors the module opened in a binary append mode; msvcrt.dll
// keeps that on the descriptor, out of sight, and stream_position needs
// it. Descriptors are small numbers below the runtime's limit of 2048.
constexpr int descriptor_limit = 2048;
bool appending[descriptor_limit];

bool is_appending(FILE *stream)
{
    const int descriptor = _fileno(stream);
    return descriptor >= 0 && descriptor < descriptor_limit && appending[descriptor];
}

// Output written into the buffer and not yet out to the file.
std::int64_t unwritten_output(FILE *stream)
{
    if (!(stream->_flag & _IOWRT) || stream->_base == nullptr)
        return 0;
    return stream->_ptr - stream->_base;
}

} // namespace

FILE *open_stream(const char *name, const char *mode)
{
    if (!mode_is_accepted(mode))
        return nullptr;
    FILE *stream = open_file_by_name(name, mode);
    if (stream == nullptr)
        return nullptr;
    const bool append = mode[0] == 'a';
    const int descriptor = _fileno(stream);
    if (descriptor >= 0 && descriptor < descriptor_limit)
        appending[descriptor] = append && std::strchr(mode, 'b') != nullptr;
    // msvcrt.dll leaves an "a" stream at position 0 until its first write
    // goes to the end, so FileTell would answer 0; glibc starts such a
    // stream at the end.
    if (append && std::strchr(mode, '+') == nullptr)
        _fseeki64(stream, 0, SEEK_END);
    return stream;
}

int close_stream(FILE *stream)
{
    const int descriptor = _fileno(stream);
    if (descriptor >= 0 && descriptor < descriptor_limit)
        appending[descriptor] = false;
    return std::fclose(stream);
}

// msvcrt.dll drops a reading stream's buffer before it asks the system for
// the new position, so a seek the system then refuses would leave the
// stream reading on from wherever its buffer had reached. The target is
// worked out here instead, and one before the start of the file is refused
// without touching the stream.
//
// For msvcrt.dll mingw-w64 links a _fseeki64 of its own, built on fsetpos,
// which leaves the end-of-file indicator set; a seek must clear it. No
// export reports the error indicator that clearerr also clears.
int seek_stream(FILE *stream, std::int64_t offset, int origin)
{
    std::int64_t base = 0;
    if (origin == SEEK_CUR) {
        base = stream_position(stream);
    } else if (origin == SEEK_END) {
        // The end of the file includes output still in the buffer.
        if (unwritten_output(stream) > 0 && std::fflush(stream) != 0)
            return -1;
        base = _filelengthi64(_fileno(stream));
    }
    std::int64_t target;
    if (base < 0 || __builtin_add_overflow(base, offset, &target) || target < 0)
        return -1;
    if (_fseeki64(stream, target, SEEK_SET) != 0)
        return -1;
    std::clearerr(stream);
    return 0;
}

// msvcrt.dll moves an append stream to the end of the file only when it
// writes the buffer out, and until then counts its output from wherever
// the stream last stood. glibc answers with where that output will land.
std::int64_t stream_position(FILE *stream)
{
    const std::int64_t unwritten = unwritten_output(stream);
    if (unwritten > 0 && is_appending(stream)) {
        const std::int64_t end = _filelengthi64(_fileno(stream));
        return end < 0 ? -1 : end + unwritten;
    }
    return _ftelli64(stream);
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
