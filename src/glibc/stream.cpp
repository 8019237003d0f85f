// The glibc stream layer: streams whose caller does the locking.
#include "stream.h"

#include <sys/types.h>

namespace dravenix {

FILE *open_stream(const char *name, const char *mode)
{
    FILE *stream = std::fopen(name, mode);
    // The calls that have no unlocked variant (seek, tell, close) then skip
    // the lock as well.
    if (stream != nullptr)
        __fsetlocking(stream, FSETLOCKING_BYCALLER);
    return stream;
}

int close_stream(FILE *stream)
{
    return std::fclose(stream);
}

// glibc refuses a target before the start of the file before it touches
// the stream, and clears the end-of-file indicator on success.
int seek_stream(FILE *stream, std::int64_t offset, int origin)
{
    return fseeko(stream, static_cast<off_t>(offset), origin) == 0 ? 0 : -1;
}

std::int64_t stream_position(FILE *stream)
{
    return ftello(stream);
}

} // namespace dravenix

// Detaching the module writes out what the host's streams still buffer, so
// that nothing written is lost, but closes none of them: the host closes
// its files itself, and may still be using streams opened by other code.
// Unloading has no caller to tell of a failure; a stream that cannot be
// flushed keeps its error for the host's own close.
__attribute__((destructor)) static void flush_streams_on_unload()
{
    (void)std::fflush(nullptr);
}
