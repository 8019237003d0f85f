// Fault runner: seeded random call sequences on two files, with the system
// calls under the streams made to fail (fault_injector.h), checked against
// a model that tolerates failures. Linux x86-64.
//
//   dravenix_faults [--sequences N] [--seed S] [--faults F] [--calls M]
//                   [--run R] [--show K] [--trace]
//
// Each sequence runs once without faults, which counts the system calls it
// makes on its files, then F times with a fault planned at one of those
// calls, or at a run of them (a disk that is full for a while). Run R of
// sequence S alone: --seed S --sequences 1 --run R --trace.
//
// What must hold, whatever fails:
//   - a FileClose of 0 means every byte whose write reported success is in
//     the file at its place;
//   - every byte in a file is one that was there before or that some write
//     (successful or not) put at that place;
//   - a read returns only bytes the file holds at the stream's position
//     (as FileTell reports it after a failure), apart from the zero fill of
//     the wider reads and the FF padding of FileReadString;
//   - a seek whose target is refused (before the start, or an offset that
//     overflows) writes nothing out and moves nothing (unless the system
//     refused the position that the target is found from);
//   - a call that saw its output's write-out fail reports a failure, and
//     so does a FileClose whose close failed.
// Before the first fault every result must be exactly the model's.
#include "call_driver.h"
#include "fault_injector.h"
#include "platform.h"

#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using faults::Tally;

constexpr int file_count = 2;

struct Mode {
    const char *text;
    bool readable, writable, truncate, append;
};

const Mode modes[] = {
    {"rb", true, false, false, false},  {"r+b", true, true, false, false},
    {"wb", false, true, true, false},   {"w+b", true, true, true, false},
    {"ab", false, true, false, true},   {"a+b", true, true, false, true},
};
constexpr int mode_count = sizeof modes / sizeof modes[0];

// What a run found, as bits of its exit status.
enum Breach {
    lost = 1,            // FileClose gave 0, yet a byte written is not in place
    misplaced = 2,       // a byte in the file that nothing put there
    foreign_read = 4,    // a read gave bytes from elsewhere, or moved wrongly
    seek_touched = 8,    // a refused target wrote output out or moved the stream
    unreported = 16,     // a failed write-out or close reported as success
    diverged = 32,       // before any fault, a result not the model's
    crashed = 64,        // the child died, or tracing failed
};
constexpr int breach_kinds = 7;
const char *const breach_names[breach_kinds] = {
    "lost", "misplaced", "foreign reads", "refused seeks that wrote or moved",
    "unreported failures", "diverged before any fault", "crashed",
};
constexpr int data_breaches = lost | misplaced | foreign_read;

// Numbers from the call driver's seeded byte source.
class Random {
public:
    explicit Random(std::uint64_t seed) : source_(seed) {}
    std::uint64_t bits(int bytes)
    {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= static_cast<std::uint64_t>(source_.next()) << (8 * i);
        return value;
    }
    // 0 to n - 1.
    long below(long n) { return n <= 1 ? 0 : static_cast<long>(bits(4) % static_cast<std::uint64_t>(n)); }
    bool chance(int percent) { return below(100) < percent; }

private:
    driver::RandomSource source_;
};

// The two files of a sequence as it starts: their bytes and modes.
struct Setup {
    Bytes before[file_count];
    int mode[file_count];
};

// Around the stream buffer's size (4096), where a value or a string is
// split between two fills.
long awkward_length(Random &r)
{
    switch (r.below(4)) {
    case 0: return r.below(8);
    case 1: return r.below(300);
    case 2: return 4096 - 40 + r.below(80);
    default: return 5000 + r.below(8000);
    }
}

Setup setup_of(std::uint64_t seed)
{
    Random r(seed * 2 + 1);
    Setup s;
    for (int f = 0; f < file_count; ++f) {
        s.mode[f] = static_cast<int>(r.below(mode_count));
        s.before[f].resize(static_cast<std::size_t>(awkward_length(r)));
        for (std::uint8_t &b : s.before[f])
            b = static_cast<std::uint8_t>(r.bits(1));
    }
    return s;
}

// One place of a file: every byte that was ever there, from the start or
// from a write, successful or not, and the one it must hold if the file
// is closed without a failure (-1 when a failed write leaves it open).
struct Place {
    std::bitset<256> held;
    int certain;
};

struct FileModel {
    std::vector<Place> places;  // up to the longest the file may be
    std::size_t length = 0;     // the shortest it may be
    // From here on anything goes: a write landed where the model cannot
    // tell (an append stream after a failure left the end uncertain).
    std::size_t chaos_from = SIZE_MAX;

    bool length_known() const { return length == places.size() && chaos_from == SIZE_MAX; }
    bool may_hold(std::size_t at, std::uint8_t byte) const
    {
        return at >= chaos_from || (at < places.size() && places[at].held.test(byte));
    }
    // A write of these bytes at this place, which succeeded or not.
    void write(std::size_t at, const Bytes &bytes, bool success)
    {
        const std::size_t end = at + bytes.size();
        while (places.size() < end) {
            // A hole below a write reads as zeros.
            Place hole{};
            hole.held.set(0);
            hole.certain = success ? 0 : -1;
            places.push_back(hole);
        }
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            places[at + i].held.set(bytes[i]);
            places[at + i].certain = success ? bytes[i] : -1;
        }
        if (success && end > length)
            length = end;
    }
};

constexpr std::int64_t unknown = -1;

#if defined(DRAVENIX_STREAM_LAYER_stdc)
constexpr bool portable_layer = true;
#else
constexpr bool portable_layer = false;
#endif

struct StreamModel {
    const Mode *mode = nullptr;
    std::int64_t position = 0;  // unknown after FileTell gave -1
    int eof = 0;                // 0, 1, or unknown
    bool open = false;
    double close_result = 0;
};

std::string number(double value)
{
    char text[64];
    if (value == std::trunc(value) && std::fabs(value) < 1e18)
        std::snprintf(text, sizeof text, "%.0f", value);
    else
        std::snprintf(text, sizeof text, "%s", driver::describe(value).c_str());
    return text;
}

std::string hex(const Bytes &bytes, std::size_t limit = 24)
{
    std::string out;
    char two[4];
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(two, sizeof two, "%02X ", bytes[i]);
        out += two;
    }
    return bytes.size() > limit ? out + "... (" + std::to_string(bytes.size()) + " bytes)" : out;
}

Bytes little_endian(std::uint64_t bits, int width)
{
    Bytes bytes;
    for (int i = 0; i < width; ++i)
        bytes.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
    return bytes;
}

// The same bits as another type of the same size.
template <typename To, typename From>
To same_bits(From from)
{
    static_assert(sizeof(To) == sizeof(From), "a double is 64 bits");
    To to;
    std::memcpy(&to, &from, sizeof to);
    return to;
}

// The sequence itself, in the traced child.
class Run {
public:
    Run(const Api &dx, const std::string &scratch, std::uint64_t seed, int calls, Tally *tally,
        bool trace)
        : dx_(dx), scratch_(scratch), random_(seed), setup_(setup_of(seed)), calls_(calls),
          tally_(tally), trace_(trace)
    {
    }

    int go()
    {
        for (int f = 0; f < file_count; ++f) {
            // An append stream's open seeks to the end, which may fail: the
            // open then fails, and there is nothing more to see.
            if (!open(f)) {
                tally_->armed = 0;
                return breaches_;
            }
        }
        for (int i = 0; i < calls_; ++i)
            step();
        if (random_.chance(30)) {
            note(dx_.FileCloseAll(), "FileCloseAll()");
            for (int f = 0; f < file_count; ++f)
                closed(f, last_result_, "FileCloseAll");
        } else {
            for (int f = 0; f < file_count; ++f)
                close(f);
        }
        tally_->armed = 0;
        for (int f = 0; f < file_count; ++f)
            check_file(f);
        return breaches_;
    }

    const std::vector<std::string> &log() const { return log_; }

private:
    std::string path(int f) const { return scratch_ + "/f" + std::to_string(f); }
    static double handle(int f) { return f; }
    std::string h(int f) const { return "h" + std::to_string(f); }

    // Any error injected so far: from then on results are checked by what
    // may hold, not by what must.
    bool faulted() const { return tally_->errors > 0; }

    void breach(int kind, const std::string &what)
    {
        breaches_ |= kind;
        log_.push_back("    *** " + what);
        if (trace_)
            std::printf("%s\n", log_.back().c_str());
    }

    // Records a call and its result, with the faults injected during it.
    void note(double result, const std::string &call)
    {
        last_result_ = result;
        std::string line = "  " + call + " = " + number(result);
        for (int s = 0; s < faults::syscall_kinds; ++s)
            for (int k = 0; k < faults::fault_kinds; ++k)
                if (tally_->injected[s][k] != before_.injected[s][k])
                    line += std::string("   <- ") + faults::syscall_name(s) + " " +
                            faults::kind_name(k) + " injected";
        log_.push_back(line);
        if (trace_)
            std::printf("%s\n", line.c_str());
    }

    void snapshot() { before_ = *tally_; }
    long failed_writes_during(int f) const
    {
        return tally_->failed_writes_by_file[f] - before_.failed_writes_by_file[f];
    }
    long injected_during(int syscall) const
    {
        long count = 0;
        for (int k = 0; k < faults::fault_kinds; ++k)
            count += tally_->injected[syscall][k] - before_.injected[syscall][k];
        return count;
    }
    long writes_during(int f) const
    {
        return tally_->seen_by_file[f][faults::sys_write] - before_.seen_by_file[f][faults::sys_write];
    }

    // After a call that met a fault, the stream's position is what FileTell
    // says; the reads and writes that follow must happen there.
    std::int64_t tell(int f)
    {
        snapshot();
        const double t = dx_.FileTell(handle(f));
        note(t, "FileTell(" + h(f) + ")");
        return t >= 0 ? static_cast<std::int64_t>(t) : unknown;
    }

    bool open(int f)
    {
        StreamModel &s = streams_[f];
        s.mode = &modes[setup_.mode[f]];
        FileModel &m = files_[f];
        for (std::uint8_t b : setup_.before[f]) {
            Place p{};
            p.held.set(b);
            p.certain = b;
            m.places.push_back(p);
        }
        m.length = m.places.size();
        if (s.mode->truncate) {
            m.places.clear();
            m.length = 0;
        }
        snapshot();
        const double got = dx_.FileOpen(path(f).c_str(), s.mode->text);
        note(got, h(f) + " = FileOpen(\"f" + std::to_string(f) + "\" holding " +
                      hex(setup_.before[f], 8) + ", \"" + s.mode->text + "\")");
        if (got != f) {
            if (!faulted())
                breach(diverged, "the open failed");
            return false;
        }
        s.open = true;
        s.position = s.mode->append && !s.mode->readable ? static_cast<std::int64_t>(m.length) : 0;
        return true;
    }

    void step()
    {
        int f = static_cast<int>(random_.below(file_count));
        const long op = random_.below(100);
        if (op < 9) write(f, "FileWrite8", 1);
        else if (op < 16) write(f, "FileWrite16", 2);
        else if (op < 24) write(f, "FileWrite32", 4);
        else if (op < 30) write(f, "FileWriteDouble", 8);
        else if (op < 40) write_string(f);
        else if (op < 47) read(f, "FileRead8", 1);
        else if (op < 52) read(f, "FileRead16", 2);
        else if (op < 57) read(f, "FileRead32", 4);
        else if (op < 61) read(f, "FileReadDouble", 8);
        else if (op < 68) read_string(f);
        else if (op < 84) seek(f);
        else if (op < 92) {
            const std::int64_t before = streams_[f].position;
            const std::int64_t t = tell(f);
            if (!faulted() && t != before)
                breach(diverged, "FileTell should be " + std::to_string(before));
            if (faulted() && before != unknown && t != unknown && t != before)
                breach(foreign_read, "the position moved from " + std::to_string(before));
            streams_[f].position = t;
        } else {
            is_eof(f);
        }
    }

    // ---- writes ----------------------------------------------------------

    // Where a write on this stream lands, if the model can tell.
    std::int64_t write_target(int f) const
    {
        const StreamModel &s = streams_[f];
        if (!s.mode->append)
            return s.position;
        return files_[f].length_known() ? static_cast<std::int64_t>(files_[f].length) : unknown;
    }

    void write(int f, const char *name, int width)
    {
        const std::uint64_t raw = random_.bits(8);
        double value;
        Bytes bytes;
        if (width == 8) {
            value = same_bits<double>(raw);
            bytes = little_endian(raw, 8);
        } else {
            const std::int32_t integer = static_cast<std::int32_t>(raw);
            value = width == 1 && random_.chance(10) ? 300 + static_cast<std::uint8_t>(raw) : integer;
            bytes = little_endian(static_cast<std::uint32_t>(static_cast<std::int32_t>(value)), width);
        }
        const double success = width == 1 ? bytes[0] : 1;
        const double failure = width == 1 ? -1 : 0;
        snapshot();
        double got = 0;
        switch (width) {
        case 1: got = dx_.FileWrite8(handle(f), value); break;
        case 2: got = dx_.FileWrite16(handle(f), value); break;
        case 4: got = dx_.FileWrite32(handle(f), value); break;
        default: got = dx_.FileWriteDouble(handle(f), value); break;
        }
        note(got, std::string(name) + "(" + h(f) + ", " + number(value) + ")");
        written(f, bytes, got, success, failure);
    }

    void write_string(int f)
    {
        const long length = random_.chance(15) ? awkward_length(random_) : random_.below(40);
        std::string text;
        for (long i = 0; i < length; ++i)
            text.push_back(static_cast<char>(1 + random_.below(255)));
        snapshot();
        const double got = dx_.FileWriteString(handle(f), text.c_str());
        note(got, "FileWriteString(" + h(f) + ", " + hex(Bytes(text.begin(), text.end()), 8) + ")");
        if (length == 0) {
            if (got != 0)
                breach(diverged, "writing nothing gives 0");
            return;
        }
        written(f, Bytes(text.begin(), text.end()), got, static_cast<double>(length), -1);
    }

    void written(int f, const Bytes &bytes, double got, double success, double failure)
    {
        StreamModel &s = streams_[f];
        FileModel &m = files_[f];
        if (!s.mode->writable) {
            // Refused by the mode: nothing happens, faults or not.
            if (got != failure)
                breach(diverged, "a write on a read-only stream should fail");
            return;
        }
        const bool ok = got == success;
        if (!ok && got != failure) {
            breach(diverged, "neither success (" + number(success) + ") nor failure (" +
                                 number(failure) + ")");
            return;
        }
        if (!faulted()) {
            if (!ok)
                breach(diverged, "the write failed with no fault injected");
        } else if (ok && failed_writes_during(f) > 0) {
            breach(unreported, "its write-out failed, yet the write reports success");
        }
        std::int64_t target = write_target(f);
        std::int64_t t = unknown;
        if (faulted()) {
            t = tell(f);
            // After a failure the end of the file is where the system has it,
            // which may be short of the model's if output was lost (and
            // reported): an append lands there, as FileTell tells.
            if (s.mode->append && ok)
                target = t != unknown ? t - static_cast<std::int64_t>(bytes.size()) : unknown;
        }
        if (target == unknown) {
            // Lands at an end the model cannot tell, or at a position FileTell
            // could not give: anything from the shortest end (or the start) on.
            const std::size_t from = s.mode->append ? m.length : 0;
            m.chaos_from = std::min(m.chaos_from, from);
        } else {
            m.write(static_cast<std::size_t>(target), bytes, ok);
        }
        const std::int64_t expected =
            ok && target != unknown ? target + static_cast<std::int64_t>(bytes.size()) : unknown;
        if (!faulted()) {
            s.position = expected;
            return;
        }
        if (ok && target > static_cast<std::int64_t>(m.places.size()) && m.chaos_from == SIZE_MAX)
            breach(misplaced, "an append landed past any end the file may have");
        if (ok && expected != unknown && t != unknown && t != expected)
            breach(foreign_read, "after a successful write FileTell should be " +
                                     std::to_string(expected));
        s.position = t;
    }

    // ---- reads -----------------------------------------------------------

    // The bytes an exact model reads, when nothing has failed yet.
    Bytes exact_read(int f, std::size_t width)
    {
        StreamModel &s = streams_[f];
        const FileModel &m = files_[f];
        Bytes got;
        if (!s.mode->readable || s.eof == 1)
            return got;
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t at = static_cast<std::size_t>(s.position) + i;
            if (at >= m.length)
                break;
            got.push_back(static_cast<std::uint8_t>(m.places[at].certain));
        }
        s.position += static_cast<std::int64_t>(got.size());
        if (got.size() < width)
            s.eof = 1;
        return got;
    }

    // Checks the bytes a read returned (`width` of them but for a FileRead8
    // that gave -1; zero fill or FF padding past what it read) against the
    // file at the stream's position; the count read is what FileTell says
    // it moved. A read that gave only its failure value may leave the
    // position anywhere FileTell tells of: the output it had to write out
    // first may have been dropped (which its FileClose must report).
    void tolerant_read(int f, std::size_t width, const Bytes &result, std::uint8_t fill)
    {
        StreamModel &s = streams_[f];
        const std::int64_t from = s.position;
        const std::int64_t t = tell(f);
        s.position = t;
        if (width == 0)
            return;  // reads nothing, and leaves the indicator as it was
        s.eof = unknown;
        if (from == unknown || t == unknown)
            return;
        bool failure_value = true;
        for (std::uint8_t byte : result)
            failure_value = failure_value && byte == fill;
        const std::int64_t count = t - from;
        if (failure_value)
            return;
        if (count < 0 || count > static_cast<std::int64_t>(result.size())) {
            breach(foreign_read, "a read of " + std::to_string(width) + " bytes gave " +
                                         hex(result) + " and moved the position from " +
                                         std::to_string(from));
            return;
        }
        if (count == static_cast<std::int64_t>(width))
            s.eof = 0;
        if (!s.mode->readable && count != 0)
            breach(foreign_read, "a write-only stream read bytes");
        for (std::size_t i = 0; i < result.size(); ++i) {
            const std::size_t at = static_cast<std::size_t>(from) + i;
            const bool fine = static_cast<std::int64_t>(i) < count
                                  ? files_[f].may_hold(at, result[i])
                                  : result[i] == fill;
            if (!fine) {
                breach(foreign_read, "byte " + std::to_string(i) + " of " + hex(result) +
                                         " was never in the file at " + std::to_string(at));
                return;
            }
        }
    }

    void read(int f, const char *name, int width)
    {
        snapshot();
        double got = 0;
        switch (width) {
        case 1: got = dx_.FileRead8(handle(f)); break;
        case 2: got = dx_.FileRead16(handle(f)); break;
        case 4: got = dx_.FileRead32(handle(f)); break;
        default: got = dx_.FileReadDouble(handle(f)); break;
        }
        note(got, std::string(name) + "(" + h(f) + ")");
        Bytes result;
        if (width == 1) {
            if (got >= 0)
                result.push_back(static_cast<std::uint8_t>(got));
        } else if (width == 8) {
            result = little_endian(same_bits<std::uint64_t>(got), 8);
        } else {
            result = little_endian(static_cast<std::uint32_t>(static_cast<std::int32_t>(got)), width);
        }
        if (width == 1 && faulted() && failed_writes_during(f) > 0 && got != -1)
            breach(unreported, "its write-out failed, yet FileRead8 read a byte");
        if (faulted()) {
            tolerant_read(f, static_cast<std::size_t>(width), result, 0);
            return;
        }
        Bytes expected = exact_read(f, static_cast<std::size_t>(width));
        double predicted;
        if (width == 1) {
            predicted = expected.empty() ? -1 : expected[0];
        } else {
            expected.resize(static_cast<std::size_t>(width), 0);
            std::uint64_t bits = 0;
            for (int i = width; i-- > 0;)
                bits = (bits << 8) | expected[static_cast<std::size_t>(i)];
            predicted = width == 8   ? same_bits<double>(bits)
                        : width == 4 ? static_cast<std::int32_t>(bits)
                                     : static_cast<std::int16_t>(bits);
        }
        if (same_bits<std::uint64_t>(got) != same_bits<std::uint64_t>(predicted))
            breach(diverged, "the model reads " + number(predicted));
    }

    void read_string(int f)
    {
        const long count = random_.chance(15) ? awkward_length(random_) : random_.below(40);
        snapshot();
        const char *block = dx_.FileReadString(handle(f), static_cast<double>(count));
        if (block == dx_.FileReadString(-1, 0)) {
            breach(diverged, "FileReadString gave the failure string");
            return;
        }
        const Bytes result(block, block + count);
        std::free(const_cast<char *>(block));
        last_result_ = 0;
        log_.push_back("  FileReadString(" + h(f) + ", " + std::to_string(count) + ") = " +
                       hex(result));
        if (trace_)
            std::printf("%s\n", log_.back().c_str());
        if (faulted()) {
            tolerant_read(f, static_cast<std::size_t>(count), result, 0xFF);
            return;
        }
        Bytes expected = exact_read(f, static_cast<std::size_t>(count));
        expected.resize(static_cast<std::size_t>(count), 0xFF);
        if (result != expected)
            breach(diverged, "the model reads " + hex(expected));
    }

    // ---- position and end of file ------------------------------------------

    void seek(int f)
    {
        StreamModel &s = streams_[f];
        const FileModel &m = files_[f];
        const std::int64_t length = static_cast<std::int64_t>(m.length);
        const bool length_known = m.length_known();
        std::int64_t offset = 0;
        int origin = static_cast<int>(random_.below(3));
        // A target before the start, or one that overflows: refused.
        const bool refuse = random_.chance(25);
        const std::int64_t base = origin == 0   ? 0
                                  : origin == 1 ? s.position
                                  : length_known ? length : unknown;
        if (!refuse) {
            offset = origin == 0   ? random_.below(length + 200)
                     : origin == 1 ? random_.below(201) - 100
                                   : random_.below(50) - random_.below(length + 1);
        } else if (base != unknown && base >= 1024 && random_.chance(40)) {
            offset = INT64_MAX - 1023;  // a double exactly; past the largest position
        } else {
            offset = -(base == unknown ? 1 : base) - 1 - random_.below(100);
        }
        // After a failure the end of the file may be short of the model's
        // (output lost, and reported), never past the longest it may be: a
        // target from the end is surely refused only before the start from
        // that longest end.
        const bool end_uncertain = origin == 2 && faulted();
        const std::int64_t longest = static_cast<std::int64_t>(m.places.size());
        const bool refused_target =
            end_uncertain ? m.chaos_from == SIZE_MAX && offset < 0 && longest + offset < 0
                          : base != unknown && (base + offset < 0 || offset > INT64_MAX - base);
        // The portable layer judges a target from the current position or
        // the end of an append stream only once the stream's output is out:
        // standard C tells no position for that output before. If writing
        // it out fails, the output is lost (and reported), and the stream
        // stands where the file now ends.
        const bool may_write_out = portable_layer && s.mode->append && origin != 0;
        snapshot();
        const double got = dx_.FileSeek(handle(f), static_cast<double>(offset), origin);
        note(got, "FileSeek(" + h(f) + ", " + number(static_cast<double>(offset)) + ", " +
                      std::to_string(origin) + ")");
        if (refused_target) {
            if (got != -1)
                breach(faulted() ? seek_touched : diverged, "a refused target was not refused");
            // Unless the system refused to give the position the target is
            // found from: then the stream cannot tell the target is refused.
            if (writes_during(f) > 0 && injected_during(faults::sys_lseek) == 0 && !may_write_out)
                breach(seek_touched, "a refused target wrote output out (" +
                                         std::to_string(writes_during(f)) + " writes)");
            if (faulted()) {
                // A layer that must ask the system where the end is meets a
                // refused seek there: the end-of-file indicator is then its
                // own business.
                if (injected_during(faults::sys_lseek) > 0)
                    s.eof = unknown;
                const bool output_lost = may_write_out && failed_writes_during(f) > 0;
                const std::int64_t t = tell(f);
                if (s.position != unknown && t != unknown && t != s.position && !output_lost)
                    breach(seek_touched, "a refused target moved the stream from " +
                                             std::to_string(s.position));
                s.position = t;
            }
            return;
        }
        const std::int64_t target = base != unknown ? base + offset : unknown;
        if (!faulted()) {
            if (got != 0)
                breach(diverged, "the seek failed with no fault injected");
            s.position = target;
            s.eof = 0;
            return;
        }
        if (failed_writes_during(f) > 0 && got != -1)
            breach(unreported, "its write-out failed, yet the seek reports success");
        const std::int64_t t = tell(f);
        if (got == 0) {
            // After a failure the end is where the system has it, which may
            // be short of the model's if output was lost (and reported), but
            // never past the longest the file may be.
            const bool fine =
                origin != 2 ? target == unknown || t == target
                            : m.chaos_from != SIZE_MAX || t == unknown ||
                                  t - offset <= static_cast<std::int64_t>(m.places.size());
            if (!fine)
                breach(foreign_read, "a seek that succeeded left FileTell at " + std::to_string(t));
            s.eof = 0;
        } else {
            s.eof = unknown;
        }
        s.position = t;
    }

    void is_eof(int f)
    {
        StreamModel &s = streams_[f];
        snapshot();
        const double got = dx_.FileIsEOF(handle(f));
        note(got, "FileIsEOF(" + h(f) + ")");
        if (got != 0 && got != 16)
            breach(diverged, "FileIsEOF gives 0 or 16");
        else if (s.eof != unknown && got != (s.eof == 1 ? 16 : 0))
            breach(faulted() ? foreign_read : diverged,
                   "the model's end-of-file indicator is " + std::to_string(s.eof));
        s.eof = got == 16 ? 1 : 0;
    }

    // ---- closing and the files -------------------------------------------

    void close(int f)
    {
        snapshot();
        note(dx_.FileClose(handle(f)), "FileClose(" + h(f) + ")");
        closed(f, last_result_, "FileClose");
    }

    void closed(int f, double got, const char *name)
    {
        streams_[f].open = false;
        streams_[f].close_result = got;
        if (!faulted() && got != 0)
            breach(diverged, std::string(name) + " failed with no fault injected");
        if (got == 0 && (failed_writes_during(f) > 0 ||
                         tally_->failed_closes_by_file[f] != before_.failed_closes_by_file[f]))
            breach(unreported, std::string(name) + " gives 0 over a failed write-out or close");
    }

    void check_file(int f)
    {
        std::string disk;
        if (!platform::read_file(path(f), &disk)) {
            breach(lost, "f" + std::to_string(f) + " is gone");
            return;
        }
        const FileModel &m = files_[f];
        const bool closed_well = streams_[f].close_result == 0;
        const std::string name = "f" + std::to_string(f);
        if (closed_well && disk.size() < m.length)
            breach(lost, name + " holds " + std::to_string(disk.size()) + " bytes, not " +
                             std::to_string(m.length) + ", and its close gave 0");
        if (disk.size() > m.places.size() && m.chaos_from == SIZE_MAX)
            breach(misplaced, name + " holds " + std::to_string(disk.size()) +
                                  " bytes; nothing wrote past " + std::to_string(m.places.size()));
        for (std::size_t at = 0; at < disk.size() && at < m.chaos_from; ++at) {
            const std::uint8_t byte = static_cast<std::uint8_t>(disk[at]);
            if (at >= m.places.size())
                break;
            const Place &p = m.places[at];
            if (closed_well && p.certain >= 0 && byte != p.certain) {
                char what[160];
                std::snprintf(what, sizeof what,
                              "%s holds %02X at %zu where a successful write put %02X, and its "
                              "close gave 0",
                              name.c_str(), byte, at, p.certain);
                breach(lost, what);
                return;
            }
            if (!p.held.test(byte)) {
                char what[128];
                std::snprintf(what, sizeof what, "%s holds %02X at %zu, which nothing put there",
                              name.c_str(), byte, at);
                breach(misplaced, what);
                return;
            }
        }
    }

    const Api &dx_;
    std::string scratch_;
    Random random_;
    Setup setup_;
    int calls_;
    Tally *tally_;
    Tally before_{};
    bool trace_;
    StreamModel streams_[file_count];
    FileModel files_[file_count];
    std::vector<std::string> log_;
    int breaches_ = 0;
    double last_result_ = 0;
};

// The fault of faulted run `run` of a sequence, at one of the calls that
// the run without faults made.
faults::Plan plan_of(std::uint64_t seed, int run, const Tally &counted)
{
    Random r(seed * 7919 + static_cast<std::uint64_t>(run));
    faults::Plan plan;
    // Mostly writes, which is where output is lost.
    static const int weights[faults::syscall_kinds] = {60, 15, 15, 10};
    long total = 0;
    for (int s = 0; s < faults::syscall_kinds; ++s)
        total += counted.seen[s] > 0 ? weights[s] : 0;
    if (total == 0)
        return plan;
    long pick = r.below(total);
    for (int s = 0; s < faults::syscall_kinds; ++s) {
        if (counted.seen[s] == 0)
            continue;
        if (pick < weights[s]) {
            plan.syscall = s;
            break;
        }
        pick -= weights[s];
    }
    static const int kinds[faults::syscall_kinds][4] = {
        {faults::kind_eio, faults::kind_enospc, faults::kind_eintr, faults::kind_short},
        {faults::kind_eio, faults::kind_eintr, faults::kind_eio, faults::kind_eintr},
        {faults::kind_eio, faults::kind_einval, faults::kind_eio, faults::kind_einval},
        {faults::kind_eio, faults::kind_enospc, faults::kind_eintr, faults::kind_eio},
    };
    plan.kind = kinds[plan.syscall][r.below(4)];
    plan.first = 1 + r.below(counted.seen[plan.syscall]);
    // Now and then a disk that is full for a while.
    plan.count = r.chance(25) ? 2 + r.below(7) : 1;
    return plan;
}

std::string describe_plan(const faults::Plan &plan)
{
    if (plan.first == 0)
        return "no fault";
    std::string text = std::string(faults::syscall_name(plan.syscall)) + " #" +
                       std::to_string(plan.first);
    if (plan.count > 1)
        text += " to #" + std::to_string(plan.first + plan.count - 1);
    return text + " on the files: " + faults::kind_name(plan.kind) +
           (plan.kind == faults::kind_short && plan.count > 1 ? ", then ENOSPC" : "");
}

bool parse_number(const char *text, std::uint64_t *value)
{
    char *end = nullptr;
    *value = std::strtoull(text, &end, 0);
    return end != text && *end == '\0';
}

int usage()
{
    std::fprintf(stderr, "usage: dravenix_faults [--sequences N] [--seed S] [--faults F]"
                         " [--calls M] [--run R] [--show K] [--trace]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::uint64_t sequences = 100, seed = 1, faulted_runs = 6, calls = 120, show = 3;
    std::uint64_t only_run = UINT64_MAX;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::uint64_t *target = arg == "--sequences" ? &sequences
                                : arg == "--seed"    ? &seed
                                : arg == "--faults"  ? &faulted_runs
                                : arg == "--calls"   ? &calls
                                : arg == "--run"     ? &only_run
                                : arg == "--show"    ? &show
                                                     : nullptr;
        if (target != nullptr) {
            if (i + 1 == argc || !parse_number(argv[++i], target))
                return usage();
        } else if (arg == "--trace") {
            trace = true;
        } else {
            return usage();
        }
    }
    if (calls == 0 || calls > 100000)
        return usage();

    Api dx;
    std::string error;
    if (!platform::load_module(&dx, &error)) {
        std::fprintf(stderr, "cannot load the module: %s\n", error.c_str());
        return 2;
    }
    const std::string scratch = platform::make_scratch_folder();
    Tally *tally = faults::shared_tally();
    if (scratch.empty() || tally == nullptr) {
        std::fprintf(stderr, "cannot make a scratch folder or shared memory\n");
        return 2;
    }
    std::vector<std::string> paths;
    for (int f = 0; f < file_count; ++f)
        paths.push_back(scratch + "/f" + std::to_string(f));

    const auto start = std::chrono::steady_clock::now();
    long runs = 0, faulted = 0, reached = 0, breaching_runs = 0, data_runs = 0;
    long by_breach[breach_kinds] = {};
    long injected[faults::syscall_kinds][faults::fault_kinds] = {};
    std::uint64_t shown = 0;

    for (std::uint64_t n = 0; n < sequences; ++n) {
        const std::uint64_t sequence = seed + n;
        const Setup setup = setup_of(sequence);
        Tally counted{};
        for (std::uint64_t run = 0; run <= faulted_runs; ++run) {
            const faults::Plan plan = run == 0 ? faults::Plan{} : plan_of(sequence, static_cast<int>(run), counted);
            if (run > 0 && plan.first == 0)
                break;  // the sequence made no system call on its files
            if (only_run != UINT64_MAX && run != only_run && run != 0)
                continue;
            for (int f = 0; f < file_count; ++f) {
                std::FILE *out = std::fopen(paths[static_cast<std::size_t>(f)].c_str(), "wb");
                if (out == nullptr || std::fwrite(setup.before[f].data(), 1, setup.before[f].size(),
                                                  out) != setup.before[f].size()) {
                    std::fprintf(stderr, "cannot write %s\n", paths[static_cast<std::size_t>(f)].c_str());
                    return 2;
                }
                std::fclose(out);
            }
            const bool print = shown < show;
            const bool traced_run = trace && (only_run == UINT64_MAX || run == only_run);
            if (traced_run)
                std::printf("--- sequence %" PRIu64 ", run %" PRIu64 ": %s\n", sequence, run,
                            describe_plan(plan).c_str());
            const int status = faults::run_traced(paths, plan, tally, [&] {
                alarm(60);
                Run r(dx, scratch, sequence, static_cast<int>(calls), tally, traced_run);
                const int found = r.go();
                if (found != 0 && print && !traced_run) {
                    std::printf("\n*** sequence %" PRIu64 ", run %" PRIu64 " (%s):\n", sequence,
                                run, describe_plan(plan).c_str());
                    for (const std::string &line : r.log())
                        std::printf("%s\n", line.c_str());
                    std::printf("  Alone: --seed %" PRIu64 " --sequences 1 --run %" PRIu64
                                " --calls %" PRIu64 " --trace\n",
                                sequence, run, calls);
                }
                return found;
            });
            const int found = status < 0 || status >= 128 ? crashed : status;
            ++runs;
            if (run == 0)
                counted = *tally;
            else
                ++faulted;
            if (tally->errors + tally->shortened > 0)
                ++reached;
            for (int s = 0; s < faults::syscall_kinds; ++s)
                for (int k = 0; k < faults::fault_kinds; ++k)
                    injected[s][k] += tally->injected[s][k];
            if (found != 0) {
                ++breaching_runs;
                if (found & data_breaches)
                    ++data_runs;
                if (print)
                    ++shown;
                for (int b = 0; b < breach_kinds; ++b)
                    if (found & (1 << b))
                        ++by_breach[b];
            }
        }
    }
    for (const std::string &p : paths)
        platform::remove_file(p);
    platform::remove_folder(scratch);

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("\n%" PRIu64 " sequences of %" PRIu64 " calls (seeds %" PRIu64 " to %" PRIu64
                "): %ld runs, %ld with a fault planned, %ld reached it (%.1f s)\n",
                sequences, calls, seed, seed + sequences - 1, runs, faulted, reached, seconds);
    std::printf("faults injected:\n");
    for (int s = 0; s < faults::syscall_kinds; ++s) {
        std::printf("  %-6s", faults::syscall_name(s));
        for (int k = 0; k < faults::fault_kinds; ++k)
            if (injected[s][k] > 0)
                std::printf("  %s %ld", faults::kind_name(k), injected[s][k]);
        std::printf("\n");
    }
    std::printf("losses: %ld runs lost or misplaced data or read it from elsewhere\n", data_runs);
    for (int b = 0; b < breach_kinds; ++b)
        std::printf("  %-34s %ld runs\n", breach_names[b], by_breach[b]);
    return breaching_runs == 0 ? 0 : 1;
}
