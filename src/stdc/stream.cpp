// The portable stream layer: standard C calls only.
#include "stream.h"

#include <climits>

namespace dravenix {

FILE *open_stream(const char *name, const char *mode)
{
    return std::fopen(name, mode);
}

int close_stream(FILE *stream)
{
    return std::fclose(stream);
}

// Standard C seeks by a long. An offset that does not fit one is refused
// rather than cut, since any cut position would be a wrong one.
int seek_stream(FILE *stream, std::int64_t offset, int origin)
{
    if (offset < LONG_MIN || offset > LONG_MAX)
        return -1;
    return std::fseek(stream, static_cast<long>(offset), origin) == 0 ? 0 : -1;
}

std::int64_t stream_position(FILE *stream)
{
    return std::ftell(stream);
}

namespace {

// Detaching the module writes out what the host's streams still buffer, so
// that nothing written is lost, but closes none of them: the host closes
// its files itself. A static object's destructor runs when the module is
// unloaded or the process ends, with any C++ compiler; a stream that cannot
// be flushed keeps its error for the host's own close.
struct FlushOnUnload {
    FlushOnUnload() = default;
    FlushOnUnload(const FlushOnUnload &) = delete;
    FlushOnUnload &operator=(const FlushOnUnload &) = delete;
    ~FlushOnUnload() { (void)std::fflush(nullptr); }
} flush_on_unload;

} // namespace

} // namespace dravenix
