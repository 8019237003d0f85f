// The portable stream layer: standard C calls only, made through the C
// runtime's own runtime_calls.h (libc/ for any C library: POSIX's 64-bit
// positions where the system has them).
#include "stream.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>

namespace dravenix {
namespace {

// position + offset, when that is a position: not before the start, not
// past the range of a 64-bit one. position is never negative, so only a
// positive offset can overflow.
bool add_offset(std::int64_t position, std::int64_t offset, std::int64_t *sum)
{
    if (offset > 0 && position > INT64_MAX - offset)
        return false;
    *sum = position + offset;
    return *sum >= 0;
}

bool fits_position(std::int64_t value)
{
    return value >= static_cast<std::int64_t>(std::numeric_limits<Position>::min()) &&
           value <= static_cast<std::int64_t>(std::numeric_limits<Position>::max());
}

// Positions the stream at `position`: the end-of-file indicator is then
// clear, and either direction may come next.
bool move_to(Stream &stream, std::int64_t position)
{
    if (!fits_position(position) || seek_to(stream.file, static_cast<Position>(position)) != 0)
        return false;
    stream.direction = Direction::none;
    stream.end_of_file_kept = false;
    return true;
}

// After a failed fseek standard C does not say where a stream reads: a C
// library may have dropped its buffer, moved the descriptor and not its
// own record of it, or filled the buffer from elsewhere and kept pointers
// into it (glibc, when a seek fails after its read-ahead). The stream goes
// back to where ftell says by way of the end of the file, a place outside
// anything still buffered, so that what it then reads comes from the file;
// if that fails, it is unpositioned. Where ftell says nothing, the stream
// stays at the end of the file, which is then where it reads, writes and
// tells; a stream that cannot seek at all (a pipe: ESPIPE, which POSIX
// and Windows both give) is left as it is. The end-of-file indicator is
// kept as the failed seek left it.
int resynchronise(Stream &stream)
{
    const bool was_at_end = at_end_of_file(stream);
    const std::int64_t at = tell(stream.file);
    if (seek_to_end(stream.file, 0) != 0) {
        if (at >= 0 || errno != ESPIPE)
            stream.direction = Direction::unpositioned;
        return -1;
    }
    stream.direction = Direction::none;
    if (at < 0 || move_to(stream, at))
        stream.end_of_file_kept = was_at_end;
    else
        stream.direction = Direction::unpositioned;
    return -1;
}

// Output that failed to reach the file is recorded for FileClose. What a
// C library keeps of it, and where it then thinks the stream stands, is
// its own affair (glibc, for one, may keep a position the descriptor does
// not have), so the stream is set anew where ftell says.
void lose_output(Stream &stream)
{
    stream.output_lost = true;
    resynchronise(stream);
}

// Writes out the stream's output: false, with the loss recorded, when
// that fails.
bool write_out(Stream &stream)
{
    if (flush(stream.file) == 0)
        return true;
    lose_output(stream);
    return false;
}

} // namespace

void note_write_failure(Stream &stream)
{
    if (stream.writable)
        lose_output(stream);
}

bool open_stream(Stream &stream, const char *name, const char *mode)
{
    if (!mode_is_accepted(mode))
        return false;
    FILE *file = open_file(name, mode);
    if (file == nullptr)
        return false;
    stream.file = file;
    set_access(stream, mode);
    // A stream that only appends stands at the end of the file from the
    // start, as glibc's does; some C libraries leave it at 0 until the
    // first write. Should the seek fail, the position stays a true one.
    if (stream.appending && !stream.readable)
        (void)seek_to_end(file, 0);
    return true;
}

// Not every C library's fclose reports a failure of its own write-out
// (some report only an error flag set before the close), so the output
// goes out here first.
int close_stream(Stream &stream)
{
    if (stream.direction == Direction::writing)
        (void)write_out(stream);
    return std::fclose(stream.file);
}

bool turn_to_reading(Stream &stream)
{
    if (!stream.readable || stream.direction == Direction::unpositioned)
        return false;
    // Output, then input: standard C asks for a flush between.
    if (stream.direction == Direction::writing && !write_out(stream))
        return false;
    stream.direction = Direction::reading;
    return true;
}

bool turn_to_writing(Stream &stream)
{
    if (!stream.writable || stream.direction == Direction::unpositioned)
        return false;
    // Input, then output: standard C asks for a positioning call between,
    // which also clears the end-of-file indicator that the host may still
    // ask about.
    if (stream.direction == Direction::reading) {
        const bool was_at_end = std::feof(stream.file) != 0;
        if (seek_here(stream.file) != 0)
            return false;
        stream.end_of_file_kept = stream.end_of_file_kept || was_at_end;
    }
    stream.direction = Direction::writing;
    return true;
}

// The target is worked out first, so that one before the start of the
// file or out of range is refused before the C library touches the stream.
// Only an append stream's output goes out before that: standard C tells no
// position for it until then. A target from the end is found from the
// file's length where the system tells it; elsewhere the stream looks at
// the end first, which writes the output out, and comes back when the
// target is refused. That look is needed for a target back from the end,
// and forward from it where positions are narrower than 64 bits.
int seek_stream(Stream &stream, std::int64_t offset, int origin)
{
    FILE *file = stream.file;
    if ((origin == SEEK_SET && offset < 0) || (origin != SEEK_CUR && !fits_position(offset)))
        return -1;
    if (stream.appending && stream.direction == Direction::writing && !write_out(stream))
        return -1;
    const bool from_here = origin != SEEK_SET;
    const bool was_at_end = from_here && at_end_of_file(stream);
    const std::int64_t here = from_here ? stream_position(stream) : -1;
    std::int64_t target = offset;
    if (origin == SEEK_CUR &&
        (here < 0 || !add_offset(here, offset, &target) || !fits_position(target)))
        return -1;
    if (origin == SEEK_END) {
        const bool buffered = stream.direction == Direction::writing;
        const std::int64_t end = buffered && here < 0 ? -1 : known_end(file, buffered ? here : -1);
        if (end >= 0) {
            if (!add_offset(end, offset, &target) || !fits_position(target))
                return -1;
            origin = SEEK_SET;
        }
    }
    if (stream.direction == Direction::writing && !write_out(stream))
        return -1;
    if (origin == SEEK_END) {
        constexpr bool narrow_positions = sizeof(Position) < sizeof(std::int64_t);
        const bool end_first = offset < 0 || (narrow_positions && offset > 0);
        if (seek_to_end(file, static_cast<Position>(end_first ? 0 : offset)) != 0)
            return resynchronise(stream);
        stream.direction = Direction::none;
        stream.end_of_file_kept = false;
        if (!end_first)
            return 0;
        const std::int64_t end = tell(file);
        if (end < 0 || !add_offset(end, offset, &target) || !fits_position(target)) {
            if (here < 0 || !move_to(stream, here))
                return resynchronise(stream);
            stream.end_of_file_kept = was_at_end;
            return -1;
        }
    }
    return move_to(stream, target) ? 0 : resynchronise(stream);
}

// An append stream's output lands at the end of the file, wherever the
// stream stood; once written out, the stream stands there too.
std::int64_t stream_position(Stream &stream)
{
    if (stream.direction == Direction::unpositioned)
        return -1;
    if (stream.appending && stream.direction == Direction::writing && !write_out(stream))
        return -1;
    return tell(stream.file);
}

} // namespace dravenix
