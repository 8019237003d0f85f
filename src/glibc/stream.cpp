// The glibc stream layer: streams whose caller does the locking.
#include "stream.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace dravenix {
namespace {

// A pipe, a socket or a terminal: the system says so, and refuses a seek
// as one. A file whose seek fails with ESPIPE all the same is not taken
// for one.
bool cannot_seek(FILE *file)
{
    struct stat status;
    if (fstat(fileno(file), &status) != 0 || S_ISREG(status.st_mode) || S_ISBLK(status.st_mode) ||
        S_ISDIR(status.st_mode))
        return false;
    return lseek(fileno(file), 0, SEEK_CUR) < 0 && errno == ESPIPE;
}

} // namespace

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
    // A stream that only appends starts at the end of the file. glibc's
    // fopen seeks there, but takes the stream even when that seek fails
    // with ESPIPE, and it would then stand at 0. Where glibc knows no
    // offset the layer finds the end itself; a stream that cannot seek at
    // all (a pipe) has no position to stand at; any other stream that
    // cannot find its end does not open.
    if (stream.appending && !stream.readable && file->_offset < 0) {
        const off_t end = lseek(fileno(file), 0, SEEK_END);
        if (end >= 0) {
            file->_offset = end;
        } else if (!cannot_seek(file)) {
            (void)std::fclose(file);
            stream = Stream{};
            return false;
        }
    }
    return true;
}

int close_stream(Stream &stream)
{
    return std::fclose(stream.file);
}

namespace {

// Drops glibc's buffer and its record of the descriptor's offset. glibc's
// buffer pointers and its offset record are public fields; the state is
// the one glibc leaves after a seek, bar the record.
void drop_buffer(FILE *file)
{
    __fpurge(file);
    file->_IO_read_base = file->_IO_read_ptr = file->_IO_read_end = file->_IO_buf_base;
    file->_IO_write_base = file->_IO_write_ptr = file->_IO_write_end = file->_IO_buf_base;
    file->_offset = -1;
}

} // namespace

// A write-out that fails leaves glibc's buffer and offset at a place that
// is not the host's: glibc drops the whole buffer but moves its offset by
// what reached the file, and when the seek back over read-ahead that comes
// before the write fails, it keeps the output and its idea of the
// position while the descriptor stands after the read-ahead. With the
// buffer empty, the inline calls all reach the test that refuses them.
void lose_position(Stream &stream)
{
    drop_buffer(stream.file);
    stream.direction = Direction::unpositioned;
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

// Where the stream stands, as ftello works it out, from glibc's public
// fields where glibc knows the descriptor's offset and holds no output:
// the offset less the read-ahead, with no call. -1 for a stream that has
// lost its position.
std::int64_t host_position(const Stream &stream)
{
    FILE *file = stream.file;
    if (!positioned(stream))
        return -1;
    if (file->_offset >= 0 && !has_unwritten_output(file))
        return file->_offset - (file->_IO_read_end - file->_IO_read_ptr);
    return ftello(file);
}

// A seek that the system refuses after glibc has begun it (an lseek that
// fails after an earlier one succeeded, a read-ahead that fails) can leave
// the descriptor's offset moved while glibc's buffer and its record of the
// offset still describe the old place. The buffer goes, and the descriptor
// goes back to where the stream stood (`before`); where that is unknown or
// the system will not put it there, the stream is unpositioned. A
// descriptor that cannot seek at all (a pipe, a terminal) never moved, and
// its buffer holds bytes nothing could read again: it is left as it is.
// The stream holds no output here: it was written out before the seek.
void restore_position(Stream &stream, std::int64_t before)
{
    const int descriptor = fileno(stream.file);
    if (before < 0 && cannot_seek(stream.file))
        return;
    if (before < 0) {
        lose_position(stream);
        return;
    }
    drop_buffer(stream.file);
    const off_t back = lseek(descriptor, static_cast<off_t>(before), SEEK_SET);
    if (back != before) {
        lose_position(stream);
        return;
    }
    stream.file->_offset = back;
}

} // namespace

// The target is found first, so a refused one touches nothing; then the
// output is written out here, where a failure is recorded, rather than by
// glibc on the way. glibc clears the end-of-file indicator on success.
int seek_stream(Stream &stream, std::int64_t offset, int origin)
{
    FILE *file = stream.file;
    if (!positioned(stream) && origin == SEEK_CUR)
        return -1;
    const std::int64_t here = host_position(stream);
    std::int64_t target;
    if (!seek_target(file, here, offset, &origin, &target))
        return -1;
    if (!write_out_pending(stream))
        return -1;
    if (fseeko(file, static_cast<off_t>(target), origin) == 0) {
        stream.direction = Direction::none;
        return 0;
    }
    restore_position(stream, here);
    return -1;
}

// A stream that can seek but would not tell where it stands (glibc asks
// the system where it knows no offset, and for the end of the file under
// an append stream's output) is unpositioned: its output goes out first,
// to the end, where glibc's descriptor writes an append stream's output.
std::int64_t stream_position(Stream &stream)
{
    const std::int64_t position = host_position(stream);
    if (position < 0 && positioned(stream) && !cannot_seek(stream.file) &&
        write_out_pending(stream))
        lose_position(stream);
    return position;
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
