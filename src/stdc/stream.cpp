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
// back to where the host's calls put it (`here`) by way of the end of the
// file, a place outside anything still buffered, so that what it then
// reads comes from the file, and stands there only when ftell agrees;
// otherwise, or where that place is unknown, it is unpositioned. A stream
// that cannot seek at all is left as it is. The end-of-file indicator is
// kept as it was before the failed seek (`was_at_end`): some C libraries
// (UCRT) clear it before they ask the system, and keep it clear when the
// system refuses.
int return_to(Stream &stream, std::int64_t here, bool was_at_end)
{
    if (here < 0) {
        if (!cannot_seek(stream.file))
            stream.direction = Direction::unpositioned;
        return -1;
    }
    if (seek_to_end(stream.file, 0) != 0 || !move_to(stream, here) || tell(stream.file) != here) {
        stream.direction = Direction::unpositioned;
        return -1;
    }
    stream.end_of_file_kept = was_at_end;
    return -1;
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

// Standard C drops no buffer: what a C library keeps of lost output, and
// where it then thinks the stream stands, is its own affair (glibc, for
// one, moves its offset by what reached the file and drops the rest). The
// next seek that succeeds sets the stream anew.
void lose_position(Stream &stream)
{
    stream.direction = Direction::unpositioned;
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
    // first write. A stream that cannot seek at all (a pipe) has no
    // position to stand at; any other that cannot find its end does not
    // open.
    if (stream.appending && !stream.readable && seek_to_end(file, 0) != 0 && !cannot_seek(file)) {
        (void)std::fclose(file);
        stream = Stream{};
        return false;
    }
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
        const std::int64_t here = tell(stream.file);
        if (seek_here(stream.file) != 0) {
            (void)return_to(stream, here, stream.end_of_file_kept || was_at_end);
            return false;
        }
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
    const bool was_at_end = at_end_of_file(stream);
    const std::int64_t here = stream_position(stream);
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
            return return_to(stream, here, was_at_end);
        stream.direction = Direction::none;
        stream.end_of_file_kept = false;
        if (!end_first)
            return 0;
        const std::int64_t end = tell(file);
        if (end < 0 || !add_offset(end, offset, &target) || !fits_position(target)) {
            if (here < 0 || !move_to(stream, here))
                return return_to(stream, here, was_at_end);
            stream.end_of_file_kept = was_at_end;
            return -1;
        }
    }
    return move_to(stream, target) ? 0 : return_to(stream, here, was_at_end);
}

// An append stream's output lands at the end of the file, wherever the
// stream stood; once written out, the stream stands there too.
std::int64_t stream_position(Stream &stream)
{
    if (stream.direction == Direction::unpositioned)
        return -1;
    if (stream.appending && stream.direction == Direction::writing && !write_out(stream))
        return -1;
    const std::int64_t position = tell(stream.file);
    // A stream that can seek but would not tell where it stands is
    // unpositioned, its output written out first, where the C library
    // puts it.
    if (position < 0 && !cannot_seek(stream.file) &&
        (stream.direction != Direction::writing || write_out(stream)))
        lose_position(stream);
    return position;
}

} // namespace dravenix
