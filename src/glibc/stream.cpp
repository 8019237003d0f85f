// The glibc stream layer: streams whose caller does the locking.
#include "stream.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace dravenix {

bool open_stream(Stream &stream, const char *name, const char *mode)
{
    FILE *file = std::fopen(name, mode);
    if (file == nullptr)
        return false;
    // The calls that have no unlocked variant (seek, tell, close) then skip
    // the lock as well.
    __fsetlocking(file, FSETLOCKING_BYCALLER);
    stream.file = file;
    stream.readable = __freadable(file) != 0;
    stream.writable = __fwritable(file) != 0;
    stream.appending = mode[0] == 'a';
    return true;
}

int close_stream(Stream &stream)
{
    return std::fclose(stream.file);
}

namespace {

// Drops glibc's buffer and its record of the descriptor's offset, so that
// the stream reads, writes and tells from wherever the descriptor is.
// glibc's buffer pointers and its offset record are public fields; the
// state is the one glibc leaves after a seek, bar the record.
void drop_buffer(FILE *file)
{
    __fpurge(file);
    file->_IO_read_base = file->_IO_read_ptr = file->_IO_read_end = file->_IO_buf_base;
    file->_IO_write_base = file->_IO_write_ptr = file->_IO_write_end = file->_IO_buf_base;
    file->_offset = -1;
}

// A write-out that fails may leave glibc's buffer out of step with the
// descriptor: when the seek back over read-ahead that comes before the
// write fails, glibc keeps the output and its idea of the position, while
// the descriptor stands after the read-ahead. The output is reported lost
// either way, so the buffer goes, and the stream goes on where the
// descriptor stands, which is then where FileTell says.
void lose_output(Stream &stream)
{
    stream.output_lost = true;
    drop_buffer(stream.file);
}

} // namespace

void note_write_failure(Stream &stream)
{
    if (stream.writable)
        lose_output(stream);
}

bool write_out(Stream &stream)
{
    if (fflush_unlocked(stream.file) == 0)
        return true;
    lose_output(stream);
    return false;
}

namespace {

// Where a seek would go, worked out before glibc touches the stream: glibc
// writes the buffer out before it refuses a target before the start, and
// drops it when that write fails. false for a target before the start or
// past the range of a position, and for one counted from a position the
// system would not tell (`here` is -1), or from an end that unwritten
// output ending there may push out: a pipe has none to count from, and a
// file whose descriptor would not say where it stands is not moved on
// guesswork. A device, whose length glibc cannot find, keeps the origin
// glibc is given.
bool seek_target(FILE *file, std::int64_t here, std::int64_t offset, int *origin,
                 std::int64_t *target)
{
    const bool unwritten = has_unwritten_output(file);
    if (here < 0 && (*origin == SEEK_CUR || (*origin == SEEK_END && unwritten)))
        return false;
    std::int64_t base = 0;
    if (*origin == SEEK_CUR) {
        base = here;
    } else if (*origin == SEEK_END) {
        struct stat status;
        if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode))
            base = -1;
        else
            base = status.st_size;
        // Unwritten output may reach past the file's end: the end is where
        // it stops, which is where the stream stands.
        if (base >= 0 && unwritten && here > base)
            base = here;
    }
    if (base < 0) {
        *target = offset;
        return true;
    }
    if (__builtin_add_overflow(base, offset, target) || *target < 0)
        return false;
    *origin = SEEK_SET;
    return true;
}

// A seek that the system refuses after glibc has begun it (an lseek that
// fails after an earlier one succeeded, a read-ahead that fails) can leave
// the descriptor's offset moved while glibc's buffer and its record of the
// offset still describe the old place: reads would then come from one
// place and FileTell would name another. Dropping the buffer and the
// record makes glibc ask the system again, and the descriptor goes back
// to where the stream stood (`before`, when the system told it); failing
// that, the stream reads, writes and tells from wherever the descriptor
// is. A descriptor that cannot seek at all (a pipe, a terminal) never
// moved, and its buffer holds bytes nothing could read again: it is left
// as it is. The stream holds no output here: it was written out before
// the seek.
void forget_position(FILE *file, std::int64_t before)
{
    if (before < 0 && lseek(fileno(file), 0, SEEK_CUR) < 0 && errno == ESPIPE)
        return;
    drop_buffer(file);
    if (before >= 0)
        file->_offset = lseek(fileno(file), static_cast<off_t>(before), SEEK_SET);
}

} // namespace

// The target is found first, so a refused one touches nothing; then the
// output is written out here, where a failure is recorded, rather than by
// glibc on the way. glibc clears the end-of-file indicator on success.
int seek_stream(Stream &stream, std::int64_t offset, int origin)
{
    FILE *file = stream.file;
    const std::int64_t here = ftello(file);
    std::int64_t target;
    if (!seek_target(file, here, offset, &origin, &target))
        return -1;
    if (!write_out_pending(stream))
        return -1;
    if (fseeko(file, static_cast<off_t>(target), origin) == 0)
        return 0;
    forget_position(file, here);
    return -1;
}

std::int64_t stream_position(Stream &stream)
{
    return ftello(stream.file);
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
