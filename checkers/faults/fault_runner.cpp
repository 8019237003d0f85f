// Fault runner: seeded random call sequences on two files, with the system
// calls under the streams made to fail (fault_injector.h), judged by what a
// failure may do; and a table of cases, each a short sequence with one
// fault placed where a layer once went wrong. On Linux x86-64 and on the
// Windows builds under wine (traced by dravenix_wine_tracer).
//
//   dravenix_faults [--sequences N] [--seed S] [--faults F] [--calls M]
//                   [--run R] [--show K] [--trace] [--cases]
//
// Each sequence runs once without faults, which counts the system calls it
// makes on its files, then F times with a fault planned at one of those
// calls, at a run of them (a disk that is full for a while) or at every
// such call from one on (a share that has gone away). Run R of sequence S
// alone: --seed S --sequences 1 --run R --trace. --cases runs the table.
//
// The host's position is the one its calls describe, as if every failed
// call had moved nothing. What must hold, whatever fails:
//   - a failure never moves that position: FileTell gives it or -1;
//   - after a FileTell of -1 the stream refuses until a FileSeek returns 0:
//     reads give their failure or fill values, writes fail and write
//     nothing, FileTell gives -1;
//   - every call that succeeds agrees with that position: a read reads
//     there, a write writes there, FileTell tells it;
//   - no byte reaches a place in a file that no call wrote, and a read
//     returns only bytes the file holds at the host's position, apart from
//     the zero fill of the wider reads and the FF padding of FileReadString;
//   - a FileClose of 0 means every byte whose write reported success is in
//     the file at its place; output that cannot reach its place is
//     reported lost, by the call that met the failure and by FileClose
//     (close errors too, where the system passes them on);
//   - a target before the start (or one that overflows) returns -1, writes
//     nothing out and moves nothing.
// Before the first fault every result must be exactly the model's.
#include "call_driver.h"
#include "fault_injector.h"
#include "platform.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

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

// What a run found, as bits of its result.
enum Breach {
    lost = 1,            // FileClose gave 0, yet a byte written is not in place
    misplaced = 2,       // a byte in the file that nothing put there
    foreign_read = 4,    // a read gave bytes from elsewhere
    moved = 8,           // a failure moved the host's position, or FileTell told another
    seek_touched = 16,   // a refused target was not refused, or wrote output out
    unreported = 32,     // a failed write-out or close reported as success
    unrefused = 64,      // a call succeeded after FileTell refused, with no seek between
    diverged = 128,      // before any fault, a result not the model's
    crashed = 256,       // the program died, or tracing failed
};
constexpr int breach_kinds = 9;
const char *const breach_names[breach_kinds] = {
    "lost", "misplaced", "foreign reads", "moved positions",
    "refused seeks that wrote or went", "unreported failures",
    "successes while refusing", "diverged before any fault", "crashed",
};
constexpr int data_breaches = lost | misplaced | foreign_read;

#if defined(_WIN32)
// wine's CloseHandle drops the close's result: a failed close never comes
// back to msvcrt.dll, let alone to the module. And wine retries a write
// that EINTR interrupted, so that one has not failed.
constexpr bool close_errors_seen = false;
constexpr bool interrupted_writes_fail = false;
#else
constexpr bool close_errors_seen = true;
constexpr bool interrupted_writes_fail = true;
#endif

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

// The files of a sequence as it starts: their bytes and modes.
struct Setup {
    int files = file_count;
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
    std::size_t opened = 0;     // its length once opened
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
    // Buffered output was lost (and must be reported): the file may end
    // anywhere from where it ended when opened.
    void output_lost() { length = std::min(length, opened); }
};

constexpr std::int64_t unknown = -1;

#if defined(DRAVENIX_STREAM_LAYER_stdc)
constexpr bool portable_layer = true;
#else
constexpr bool portable_layer = false;
#endif

struct StreamModel {
    const Mode *mode = nullptr;
    // The host's position; unknown only on an append stream whose end the
    // model cannot tell after a failure, until FileTell tells it.
    std::int64_t position = 0;
    int eof = 0;                // 0, 1, or unknown
    bool refusing = false;      // FileTell gave -1 since the last good seek
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

// One call of a scripted sequence (the table of cases), on f0.
struct Op {
    enum Kind { write, write_string, read, read_string, seek, tell, eof } kind;
    int width;           // write, read: 1, 2, 4 or 8
    double value;        // write: the value; read_string: the count; seek: the offset
    int origin;          // seek
    std::string text;    // write_string
};

// The sequence itself, in the traced program.
class Run {
public:
    Run(const Api &dx, const std::string &scratch, std::uint64_t seed, int calls, Tally *tally,
        bool trace)
        : dx_(dx), scratch_(scratch), random_(seed), setup_(setup_of(seed)), calls_(calls),
          tally_(tally), trace_(trace)
    {
    }

    // A scripted sequence on f0 alone; marks[i] gets the tally as call i
    // begins (marks[0] as the open does, marks[1] as the first op does).
    Run(const Api &dx, const std::string &scratch, const Setup &setup, const std::vector<Op> &script,
        Tally *tally, Tally *marks, bool trace)
        : dx_(dx), scratch_(scratch), random_(1), setup_(setup), calls_(0), tally_(tally),
          trace_(trace), script_(&script), marks_(marks)
    {
    }

    int go()
    {
        mark(0);
        for (int f = 0; f < setup_.files; ++f) {
            // An append stream's open seeks to the end, which may fail: the
            // open then fails, and there is nothing more to see.
            if (!open(f)) {
                // The streams it did open go too: under wine every run
                // is in one process, and the next run's opens must get
                // the same handles.
                faults::disarm();
                dx_.FileCloseAll();
                return breaches_;
            }
        }
        if (script_ != nullptr) {
            for (std::size_t i = 0; i < script_->size(); ++i) {
                mark(static_cast<int>(i) + 1);
                perform((*script_)[i]);
            }
            mark(static_cast<int>(script_->size()) + 1);
            close(0);
        } else {
            for (int i = 0; i < calls_; ++i)
                step();
            if (random_.chance(30)) {
                note(dx_.FileCloseAll(), "FileCloseAll()");
                for (int f = 0; f < setup_.files; ++f)
                    closed(f, last_result_, "FileCloseAll");
            } else {
                for (int f = 0; f < setup_.files; ++f)
                    close(f);
            }
        }
        faults::disarm();
        for (int f = 0; f < setup_.files; ++f)
            check_file(f);
        return breaches_;
    }

    const std::vector<std::string> &log() const { return log_; }
    // Whether every call of the script gave its success value and the
    // close gave 0.
    bool all_succeeded() const { return all_succeeded_; }

private:
    std::string path(int f) const { return scratch_ + "/f" + std::to_string(f); }
    static double handle(int f) { return f; }
    std::string h(int f) const { return "h" + std::to_string(f); }

    void mark(int i)
    {
        if (marks_ != nullptr)
            marks_[i] = *tally_;
    }

    // Any error injected so far: from then on results are checked by what
    // may hold, not by what must.
    bool faulted() const { return tally_->errors + tally_->shortened > 0; }

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
            std::printf("%s\n", log_.back().c_str());
    }

    void snapshot() { before_ = *tally_; }
    long failed_writes_during(int f) const
    {
        std::int64_t failed = tally_->failed_writes_by_file[f] - before_.failed_writes_by_file[f];
        if (!interrupted_writes_fail)
            failed -= tally_->interrupted_writes_by_file[f] - before_.interrupted_writes_by_file[f];
        return static_cast<long>(failed);
    }
    long injected_during(int syscall) const
    {
        long count = 0;
        for (int k = 0; k < faults::fault_kinds; ++k)
            count += static_cast<long>(tally_->injected[syscall][k] - before_.injected[syscall][k]);
        return count;
    }
    long writes_during(int f) const
    {
        return static_cast<long>(tally_->seen_by_file[f][faults::sys_write] -
                                 before_.seen_by_file[f][faults::sys_write]);
    }
    // A call met a fault: buffered output may be lost (a failed write-out,
    // or one the layer kept off the file when it could not find where it
    // goes), and the file may end short of what the calls describe.
    void note_losses(int f)
    {
        if (tally_->errors != before_.errors || tally_->shortened != before_.shortened)
            files_[f].output_lost();
    }

    // The possible ends of the file: from its shortest to its longest.
    std::int64_t shortest_end(int f) const { return static_cast<std::int64_t>(files_[f].length); }
    std::int64_t longest_end(int f) const
    {
        return files_[f].chaos_from != SIZE_MAX ? INT64_MAX
                                                : static_cast<std::int64_t>(files_[f].places.size());
    }

    void success_while_refusing(int f, const std::string &call)
    {
        if (faulted() && streams_[f].refusing)
            breach(unrefused, call + " succeeded after FileTell gave -1, with no seek since");
    }

    void perform(const Op &op)
    {
        switch (op.kind) {
        case Op::write: write(0, op.width, op.value); break;
        case Op::write_string: write_string(0, op.text); break;
        case Op::read: read(0, op.width); break;
        case Op::read_string: read_string(0, static_cast<long>(op.value)); break;
        case Op::seek: seek(0, static_cast<std::int64_t>(op.value), op.origin); break;
        case Op::tell: tell(0); break;
        case Op::eof: is_eof(0); break;
        }
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
        if (s.mode->truncate)
            m.places.clear();
        m.length = m.opened = m.places.size();
        snapshot();
        const double got = dx_.FileOpen(path(f).c_str(), s.mode->text);
        note(got, h(f) + " = FileOpen(\"f" + std::to_string(f) + "\" holding " +
                      hex(setup_.before[f], 8) + ", \"" + s.mode->text + "\")");
        if (got != f) {
            if (!faulted())
                breach(diverged, "the open failed");
            all_succeeded_ = false;
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
        if (op < 9) write(f, 1, random_value(1));
        else if (op < 16) write(f, 2, random_value(2));
        else if (op < 24) write(f, 4, random_value(4));
        else if (op < 30) write(f, 8, random_value(8));
        else if (op < 40) write_string(f, random_text());
        else if (op < 47) read(f, 1);
        else if (op < 52) read(f, 2);
        else if (op < 57) read(f, 4);
        else if (op < 61) read(f, 8);
        else if (op < 68) read_string(f, random_.chance(15) ? awkward_length(random_) : random_.below(40));
        else if (op < 84) random_seek(f);
        else if (op < 92) tell(f);
        else is_eof(f);
    }

    // ---- position -----------------------------------------------------------

    // FileTell, judged: the host's position, or -1 (the stream refuses).
    std::int64_t tell(int f)
    {
        StreamModel &s = streams_[f];
        snapshot();
        const double got = dx_.FileTell(handle(f));
        note(got, "FileTell(" + h(f) + ")");
        const std::int64_t t = got >= 0 ? static_cast<std::int64_t>(got) : unknown;
        note_losses(f);
        if (!faulted()) {
            if (t != s.position)
                breach(diverged, "FileTell should be " + std::to_string(s.position));
            return t;
        }
        if (t == unknown) {
            s.refusing = true;
            if (script_ != nullptr)
                all_succeeded_ = false;
            return t;
        }
        success_while_refusing(f, "FileTell");
        if (s.position != unknown && t != s.position)
            breach(moved, "FileTell gives " + std::to_string(t) + " where the calls put the stream at " +
                              std::to_string(s.position));
        else if (s.position == unknown && (t < shortest_end(f) || t > longest_end(f)))
            breach(moved, "FileTell gives " + std::to_string(t) + ", off any end the append stream may have");
        s.position = t;
        return t;
    }

    // ---- writes ----------------------------------------------------------

    double random_value(int width)
    {
        const std::uint64_t raw = random_.bits(8);
        if (width == 8)
            return same_bits<double>(raw);
        const std::int32_t integer = static_cast<std::int32_t>(raw);
        return width == 1 && random_.chance(10) ? 300 + static_cast<std::uint8_t>(raw) : integer;
    }

    std::string random_text()
    {
        const long length = random_.chance(15) ? awkward_length(random_) : random_.below(40);
        std::string text;
        for (long i = 0; i < length; ++i)
            text.push_back(static_cast<char>(1 + random_.below(255)));
        return text;
    }

    // Where a write on this stream lands, if the model can tell.
    std::int64_t write_target(int f) const
    {
        const StreamModel &s = streams_[f];
        if (!s.mode->append)
            return s.position;
        return files_[f].length_known() ? static_cast<std::int64_t>(files_[f].length) : unknown;
    }

    void write(int f, int width, double value)
    {
        const Bytes bytes = width == 8 ? little_endian(same_bits<std::uint64_t>(value), 8)
                                       : little_endian(static_cast<std::uint32_t>(
                                                           static_cast<std::int32_t>(value)),
                                                       width);
        static const char *const names[] = {"", "FileWrite8", "FileWrite16", "", "FileWrite32",
                                            "", "", "", "FileWriteDouble"};
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
        note(got, std::string(names[width]) + "(" + h(f) + ", " + number(value) + ")");
        written(f, bytes, got, success, failure);
    }

    void write_string(int f, const std::string &text)
    {
        snapshot();
        const double got = dx_.FileWriteString(handle(f), text.c_str());
        note(got, "FileWriteString(" + h(f) + ", " + hex(Bytes(text.begin(), text.end()), 8) + ")");
        if (text.empty()) {
            if (got != 0)
                breach(diverged, "writing nothing gives 0");
            return;
        }
        written(f, Bytes(text.begin(), text.end()), got, static_cast<double>(text.size()), -1);
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
        if (!ok)
            all_succeeded_ = false;
        if (!ok && got != failure) {
            breach(diverged, "neither success (" + number(success) + ") nor failure (" +
                                 number(failure) + ")");
            return;
        }
        const std::int64_t target = write_target(f);
        if (!faulted()) {
            if (!ok)
                breach(diverged, "the write failed with no fault injected");
            m.write(static_cast<std::size_t>(target), bytes, true);
            s.position = target + static_cast<std::int64_t>(bytes.size());
            return;
        }
        if (ok && failed_writes_during(f) > 0)
            breach(unreported, "its write-out failed, yet the write reports success");
        if (ok)
            success_while_refusing(f, "a write");
        note_losses(f);
        if (!ok && s.refusing)
            return;  // refused: nothing may land
        if (target == unknown) {
            // Lands at an end the model cannot tell: anywhere from the
            // shortest end on.
            m.chaos_from = std::min(m.chaos_from, m.length);
        } else {
            // A failed write may still have put some of its bytes there.
            m.write(static_cast<std::size_t>(target), bytes, ok);
        }
        if (ok)
            s.position = target == unknown ? unknown : target + static_cast<std::int64_t>(bytes.size());
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

    // Judges a read after a fault: `result` holds the bytes it gave
    // (`width` of them, but none for a FileRead8 of -1), each either a byte
    // of the file at the host's position or, from some point on, the fill.
    // Every count of bytes read that fits is one the host may take; where
    // more than one fits, FileTell says which.
    void tolerant_read(int f, std::size_t width, const Bytes &result, std::uint8_t fill)
    {
        StreamModel &s = streams_[f];
        note_losses(f);
        if (width == 0)
            return;  // reads nothing, and leaves the indicator as it was
        s.eof = unknown;
        const std::int64_t from = s.position;
        bool nothing_read = true;
        for (std::uint8_t byte : result)
            nothing_read = nothing_read && byte == fill;
        if (s.refusing && !nothing_read)
            breach(unrefused, "a read gave " + hex(result) + " after FileTell gave -1, with no seek since");
        if (from == unknown) {
            tell(f);
            return;
        }
        std::vector<std::int64_t> counts;
        for (std::size_t count = 0; count <= result.size(); ++count) {
            bool fits = true;
            for (std::size_t i = 0; i < result.size() && fits; ++i)
                fits = i < count ? files_[f].may_hold(static_cast<std::size_t>(from) + i, result[i])
                                 : result[i] == fill;
            if (fits && (count == 0 || s.mode->readable))
                counts.push_back(static_cast<std::int64_t>(count));
        }
        if (counts.empty()) {
            breach(foreign_read, "the read gave " + hex(result) + ", never in the file at " +
                                     std::to_string(from));
            return;
        }
        // The count a read that met no failure would have read: a case's
        // described bytes assume it.
        const FileModel &m = files_[f];
        const std::int64_t available =
            m.length_known() && s.mode->readable
                ? std::max<std::int64_t>(0, std::min<std::int64_t>(static_cast<std::int64_t>(width),
                                                                   static_cast<std::int64_t>(m.length) - from))
                : -1;
        if (counts.size() == 1) {
            s.position = from + counts[0];
            if (counts[0] != available)
                all_succeeded_ = false;
            return;
        }
        snapshot();
        const double got = dx_.FileTell(handle(f));
        note(got, "FileTell(" + h(f) + ")");
        if (got < 0) {
            s.refusing = true;
            all_succeeded_ = false;
            return;
        }
        const std::int64_t t = static_cast<std::int64_t>(got);
        if (t - from != available)
            all_succeeded_ = false;
        if (std::find(counts.begin(), counts.end(), t - from) == counts.end())
            breach(moved, "after reading " + hex(result) + " from " + std::to_string(from) +
                              ", FileTell gives " + std::to_string(t));
        s.position = t;
    }

    // A double comes back from the module in st(0) on 32-bit x86, which
    // quiets a signalling NaN: the bits the file holds at the host's
    // position, if they are the ones quieted.
    std::uint64_t unquieted(int f, std::uint64_t bits) const
    {
#if defined(__i386__)
        constexpr std::uint64_t quiet_bit = std::uint64_t{1} << 51;
        const std::int64_t at = streams_[f].position;
        const FileModel &m = files_[f];
        if (at == unknown || static_cast<std::size_t>(at) + 8 > m.places.size())
            return bits;
        std::uint64_t held = 0;
        for (int i = 8; i-- > 0;) {
            const int byte = m.places[static_cast<std::size_t>(at) + static_cast<std::size_t>(i)].certain;
            if (byte < 0)
                return bits;
            held = (held << 8) | static_cast<std::uint64_t>(byte);
        }
        return (held & quiet_bit) == 0 && (held | quiet_bit) == bits && std::isnan(same_bits<double>(held))
                   ? held
                   : bits;
#else
        (void)f;
        return bits;
#endif
    }

    void read(int f, int width)
    {
        static const char *const names[] = {"", "FileRead8", "FileRead16", "", "FileRead32",
                                            "", "", "", "FileReadDouble"};
        snapshot();
        double got = 0;
        switch (width) {
        case 1: got = dx_.FileRead8(handle(f)); break;
        case 2: got = dx_.FileRead16(handle(f)); break;
        case 4: got = dx_.FileRead32(handle(f)); break;
        default: got = dx_.FileReadDouble(handle(f)); break;
        }
        note(got, std::string(names[width]) + "(" + h(f) + ")");
        Bytes result;
        std::uint64_t read_bits = same_bits<std::uint64_t>(got);
        if (width == 1) {
            if (got >= 0)
                result.push_back(static_cast<std::uint8_t>(got));
        } else if (width == 8) {
            read_bits = unquieted(f, same_bits<std::uint64_t>(got));
            result = little_endian(read_bits, 8);
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
        if (read_bits != same_bits<std::uint64_t>(predicted))
            breach(diverged, "the model reads " + number(predicted));
    }

    void read_string(int f, long count)
    {
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

    // ---- seeks and end of file ---------------------------------------------

    void random_seek(int f)
    {
        const StreamModel &s = streams_[f];
        const FileModel &m = files_[f];
        const std::int64_t length = static_cast<std::int64_t>(m.length);
        const int origin = static_cast<int>(random_.below(3));
        // A target before the start, or one that overflows: refused.
        const bool refuse = random_.chance(25);
        const std::int64_t base = origin == 0     ? 0
                                  : origin == 1   ? s.position
                                  : m.length_known() ? length : unknown;
        std::int64_t offset = 0;
        if (!refuse) {
            offset = origin == 0   ? random_.below(length + 200)
                     : origin == 1 ? random_.below(201) - 100
                                   : random_.below(50) - random_.below(length + 1);
        } else if (base != unknown && base >= 1024 && random_.chance(40)) {
            offset = INT64_MAX - 1023;  // a double exactly; past the largest position
        } else {
            offset = -(base == unknown ? 1 : base) - 1 - random_.below(100);
        }
        seek(f, offset, origin);
    }

    void seek(int f, std::int64_t offset, int origin)
    {
        StreamModel &s = streams_[f];
        // After a failure the end of the file lies between its shortest and
        // its longest: a target from the end is surely refused only when it
        // is before the start from the longest.
        const std::int64_t end_low = shortest_end(f), end_high = longest_end(f);
        const bool end_exact = end_low == end_high;
        const std::int64_t base_low = origin == 0 ? 0 : origin == 1 ? s.position : end_low;
        const std::int64_t base_high = origin == 0 ? 0 : origin == 1 ? s.position : end_high;
        const bool base_known = base_low != unknown && (origin != 2 || end_exact);
        const bool refused_target =
            origin == 1 && s.position == unknown
                ? false
                : (end_high != INT64_MAX || origin != 2) &&
                      (base_high + offset < 0 || offset > INT64_MAX - base_high);
        // The portable layer judges a target from the current position or
        // the end of an append stream only once the stream's output is out:
        // standard C tells no position for that output before.
        const bool may_write_out = portable_layer && s.mode->append && origin != 0;
        snapshot();
        const double got = dx_.FileSeek(handle(f), static_cast<double>(offset), origin);
        note(got, "FileSeek(" + h(f) + ", " + number(static_cast<double>(offset)) + ", " +
                      std::to_string(origin) + ")");
        if (got != 0)
            all_succeeded_ = false;
        note_losses(f);
        if (refused_target) {
            if (got != -1)
                breach(faulted() ? seek_touched : diverged, "a refused target was not refused");
            // Unless the system refused to give the position the target is
            // found from: then the stream cannot tell the target is refused.
            if (writes_during(f) > 0 && injected_during(faults::sys_lseek) == 0 &&
                injected_during(faults::sys_fstat) == 0 && !may_write_out)
                breach(seek_touched, "a refused target wrote output out (" +
                                         std::to_string(writes_during(f)) + " writes)");
            if (faulted() && (injected_during(faults::sys_lseek) > 0 || may_write_out))
                s.eof = unknown;
            return;
        }
        if (!faulted()) {
            if (got != 0)
                breach(diverged, "the seek failed with no fault injected");
            s.position = base_low + offset;
            s.eof = 0;
            return;
        }
        if (failed_writes_during(f) > 0 && got != -1)
            breach(unreported, "its write-out failed, yet the seek reports success");
        if (got != 0) {
            s.eof = unknown;  // and the host's position stays
            return;
        }
        s.refusing = false;
        s.eof = 0;
        if (base_known) {
            s.position = base_low + offset;
            return;
        }
        // From an end the model cannot tell, or the unknown position of an
        // append stream: FileTell says where, within what may be.
        snapshot();
        const double told = dx_.FileTell(handle(f));
        note(told, "FileTell(" + h(f) + ")");
        if (told < 0) {
            s.refusing = true;
            s.position = unknown;
            return;
        }
        const std::int64_t t = static_cast<std::int64_t>(told);
        if (origin == 2 && (t - offset < base_low || t - offset > base_high))
            breach(moved, "a seek from the end succeeded, and FileTell gives " + std::to_string(t));
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
        if (got != 0)
            all_succeeded_ = false;
        if (!faulted() && got != 0)
            breach(diverged, std::string(name) + " failed with no fault injected");
        const bool close_failed =
            tally_->failed_closes_by_file[f] != before_.failed_closes_by_file[f];
        if (got == 0 && (failed_writes_during(f) > 0 || (close_errors_seen && close_failed)))
            breach(unreported, std::string(name) + " gives 0 over a failed write-out or close");
    }

    void check_file(int f)
    {
        std::string disk;
        if (!platform::read_file(path(f), &disk)) {
            breach(lost, "f" + std::to_string(f) + " is gone");
            return;
        }
        disk_[f] = Bytes(disk.begin(), disk.end());
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

public:
    const Bytes &disk(int f) const { return disk_[f]; }
    void breach_from_outside(int kind, const std::string &what) { breach(kind, what); }

private:
    const Api &dx_;
    std::string scratch_;
    Random random_;
    Setup setup_;
    int calls_;
    Tally *tally_;
    Tally before_{};
    bool trace_;
    const std::vector<Op> *script_ = nullptr;
    Tally *marks_ = nullptr;
    StreamModel streams_[file_count];
    FileModel files_[file_count];
    Bytes disk_[file_count];
    std::vector<std::string> log_;
    int breaches_ = 0;
    double last_result_ = 0;
    bool all_succeeded_ = true;
};

// ---- the table of cases ------------------------------------------------------

bool write_bytes(const std::string &path, const Bytes &bytes)
{
    std::FILE *out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    const bool all = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && all;
}

Bytes text_bytes(const char *text)
{
    return Bytes(text, text + std::strlen(text));
}

// n bytes that differ from their neighbours, and from what the cases write.
Bytes numbered(std::size_t n)
{
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>('a' + i % 23);
    return bytes;
}

Bytes spliced(Bytes bytes, std::size_t at, const Bytes &in)
{
    if (bytes.size() < at + in.size())
        bytes.resize(at + in.size(), 0);
    std::copy(in.begin(), in.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return bytes;
}

Op write_text(const char *text) { return Op{Op::write_string, 0, 0, 0, text}; }
Op write_text(const Bytes &bytes) { return Op{Op::write_string, 0, 0, 0, std::string(bytes.begin(), bytes.end())}; }
Op read_value(int width) { return Op{Op::read, width, 0, 0, ""}; }
Op read_text(int count) { return Op{Op::read_string, 0, static_cast<double>(count), 0, ""}; }
Op seek_to(double offset, int origin) { return Op{Op::seek, 0, offset, origin, ""}; }
Op tell_now() { return Op{Op::tell, 0, 0, 0, ""}; }

// A short sequence on f0, with faults in the calls of one kind made during
// some of its calls: from the nth such call made during call `from` (-1:
// the open) to the last made during call `to` (the calls' count: the
// close), or on for good; with nth 0, each of those calls alone in turn. The bytes the file must hold if every call
// gives its success value and the close 0 are those the calls describe;
// the rest is judged as in the random runs.
struct Case {
    const char *what;
    Bytes contents;
    const char *mode;
    std::vector<Op> calls;
    int syscall, kind, from, to, nth;
    bool for_good;
    Bytes described;
};

std::vector<Case> cases()
{
    using namespace faults;
    const Bytes digits = text_bytes("0123456789");
    const Bytes five_thousand = numbered(5000), five_thousand_61 = numbered(5061);
    const Bytes sixteen = text_bytes("PQRSTUVWXYZ[\\]^_");
    Bytes written_204(204, 'w');
    return {
        {"an append stream's write-out after a failed seek to the end", digits, "ab",
         {seek_to(2, 0), write_text("xyz")}, sys_lseek, kind_eio, 1, 2, 0, false,
         text_bytes("0123456789xyz")},
        {"a failed length query inside the turn from reading to writing", five_thousand, "r+b",
         {seek_to(4500, 0), read_value(1), write_text("XY")}, sys_fstat, kind_eio, 2, 3, 0, false,
         spliced(five_thousand, 4501, text_bytes("XY"))},
        {"a seek from the end whose seek back fails", {}, "w+b",
         {write_text("hello"), seek_to(0, 0), write_text("AB"), seek_to(0, 2), tell_now()},
         sys_lseek, kind_einval, 3, 3, 0, false, text_bytes("ABllo")},
        {"FileTell whose seek back fails, then a relative seek and a read", five_thousand, "r+b",
         {seek_to(100, 0), read_value(1), tell_now(), seek_to(10, 1), read_value(1), tell_now()},
         sys_lseek, kind_eio, 2, 2, 0, false, five_thousand},
        {"a seek from the end when every position query fails", {}, "wb",
         {write_text("hello"), seek_to(0, 2), write_text("XY")}, sys_lseek, kind_eio, 1, 1, 0,
         false, text_bytes("helloXY")},
        {"an append stream whose open cannot seek to the end", digits, "ab",
         {tell_now(), write_text("Z"), tell_now()}, sys_lseek, kind_eio, -1, -1, 1, false,
         text_bytes("0123456789Z")},
        {"a refused seek back over the read-ahead of an update stream", five_thousand_61, "r+b",
         {read_text(3), write_text(written_204), seek_to(-264, 2), write_text(sixteen),
          write_text(sixteen), write_text(sixteen), tell_now()},
         sys_lseek, kind_einval, 2, 2, 0, false,
         spliced(spliced(spliced(spliced(five_thousand_61, 3, written_204), 4797, sixteen), 4813,
                         sixteen),
                 4829, sixteen)},
        {"a read error after part of a read", text_bytes("abcdefgh"), "r+b",
         {seek_to(5, 0), read_text(12), tell_now(), write_text("Z")}, sys_read, kind_eio, 1, 1, 0,
         false, text_bytes("abcdefghZ")},
        {"a failed seek that drops the read-ahead first", text_bytes("ABCDEFGHIJ"), "rb",
         {read_value(1), seek_to(20, 0), tell_now(), read_value(1)}, sys_lseek, kind_eio, 1, 1, 0,
         false, text_bytes("ABCDEFGHIJ")},
        {"a failed seek from the end, then FileTell", numbered(20), "rb",
         {seek_to(14, 2), tell_now(), read_value(1), tell_now()}, sys_lseek, kind_eio, 0, 0, 0,
         false, numbered(20)},
        {"an append stream whose seek to the end meets ESPIPE", digits, "ab",
         {tell_now(), write_text("Z"), tell_now()}, sys_lseek, kind_espipe, -1, -1, 1, false,
         text_bytes("0123456789Z")},
        {"a share gone for good after an append stream's open", digits, "a+b",
         {write_text("xyz"), seek_to(0, 0), read_value(1), tell_now(), write_text("Q")}, sys_lseek,
         kind_eio, 0, 0, 1, true, text_bytes("0123456789xyzQ")},
        {"every length query failing on an update stream", numbered(300), "r+b",
         {seek_to(0, 2), write_text("end"), seek_to(-3, 2), read_text(3), tell_now()}, sys_fstat,
         kind_eio, -1, -1, 1, true, spliced(numbered(300), 300, text_bytes("end"))},
    };
}

std::string describe_plan(const faults::Plan &plan);

// Runs the table: each case once clean, to find the calls its fault is
// placed among, then with the fault; a case whose nth is 0 runs once for
// each such call in turn, failing it alone.
int run_cases(const Api &dx, const std::string &scratch, Tally *tally, Tally *marks, bool trace)
{
    int failed = 0, reached = 0, index = 0;
    const std::vector<Case> table = cases();
    for (const Case &c : table) {
        ++index;
        Setup setup;
        setup.files = 1;
        setup.before[0] = c.contents;
        setup.mode[0] = 0;
        for (int m = 0; m < mode_count; ++m)
            if (std::strcmp(modes[m].text, c.mode) == 0)
                setup.mode[0] = m;
        const std::string path = scratch + "/f0";
        const int calls = static_cast<int>(c.calls.size());
        // One run under a plan: its breaches, printed when there are any.
        auto attempt = [&](const faults::Plan &plan, bool print) {
            if (!write_bytes(path, c.contents)) {
                std::fprintf(stderr, "cannot write %s\n", path.c_str());
                std::exit(2);
            }
            const int status = faults::run_traced(scratch, plan, tally, [&] {
                Run r(dx, scratch, setup, c.calls, tally, marks, trace && print);
                int result = r.go();
                if (r.all_succeeded() && r.disk(0) != c.described) {
                    r.breach_from_outside(lost, "every call succeeded, yet f0 holds " +
                                                    hex(r.disk(0), 40) + ", not " +
                                                    hex(c.described, 40));
                    result |= lost;
                }
                if (print && result != 0) {
                    std::printf("  --- case %d, %s:\n", index, describe_plan(plan).c_str());
                    for (const std::string &line : r.log())
                        std::printf("%s\n", line.c_str());
                }
                return result;
            });
            return status < 0 || status >= 256 ? static_cast<int>(crashed) : status;
        };
        int found = attempt(faults::Plan{}, true);
        marks[calls + 2] = *tally;
        const int s = c.syscall;
        // A fault for good starts at the first such call from call `from`
        // on, wherever it comes.
        const std::int64_t before = marks[c.from + 1].seen[s],
                           last = marks[c.for_good ? calls + 2 : c.to + 2].seen[s];
        std::vector<faults::Plan> plans;
        for (std::int64_t first = before + (c.nth > 0 ? c.nth : 1); first <= last;
             first += c.nth > 0 ? last : 1) {
            faults::Plan plan;
            plan.syscall = s;
            plan.kind = c.kind;
            plan.first = first;
            plan.count = c.for_good ? faults::persistent : c.nth > 0 ? last - first + 1 : 1;
            plans.push_back(plan);
        }
        int violated = 0, hit = 0;
        for (const faults::Plan &plan : plans) {
            if (found != 0)
                break;
            const int breaches = attempt(plan, violated == 0);
            hit += tally->errors + tally->shortened > 0 ? 1 : 0;
            violated += breaches != 0 ? 1 : 0;
        }
        reached += hit > 0 ? 1 : 0;
        const std::string where = std::string(faults::syscall_name(s)) + " " + faults::kind_name(c.kind);
        if (found != 0)
            std::printf("case %2d: %s: VIOLATED without a fault\n", index, c.what);
        else if (plans.empty())
            std::printf("case %2d: %s: no %s there on this build, so no fault\n", index, c.what,
                        faults::syscall_name(s));
        else
            std::printf("case %2d: %s (%s, %zu placings): %s\n", index, c.what, where.c_str(),
                        plans.size(),
                        violated == 0 ? "holds"
                                      : ("VIOLATED in " + std::to_string(violated)).c_str());
        if (found != 0 || violated != 0)
            ++failed;
    }
    std::printf("\n%d cases, %d reached their fault, %d violated\n", index, reached, failed);
    return failed == 0 ? 0 : 1;
}

// ---- random runs ---------------------------------------------------------------

// The fault of faulted run `run` of a sequence, at one of the calls that
// the run without faults made.
faults::Plan plan_of(std::uint64_t seed, int run, const Tally &counted)
{
    using namespace faults;
    Random r(seed * 7919 + static_cast<std::uint64_t>(run));
    Plan plan;
    // Mostly writes, which is where output is lost; then the position and
    // length queries that a network share can fail.
    static const int weights[syscall_kinds] = {40, 12, 24, 8, 16};
    long total = 0;
    for (int s = 0; s < syscall_kinds; ++s)
        total += counted.seen[s] > 0 ? weights[s] : 0;
    if (total == 0)
        return plan;
    long pick = r.below(total);
    for (int s = 0; s < syscall_kinds; ++s) {
        if (counted.seen[s] == 0)
            continue;
        if (pick < weights[s]) {
            plan.syscall = s;
            break;
        }
        pick -= weights[s];
    }
    static const int kinds[syscall_kinds][4] = {
        {kind_eio, kind_enospc, kind_eintr, kind_short},
        {kind_eio, kind_eintr, kind_eio, kind_eintr},
        {kind_eio, kind_einval, kind_espipe, kind_eio},
        {kind_eio, kind_enospc, kind_eintr, kind_eio},
        {kind_eio, kind_eio, kind_einval, kind_eintr},
    };
    plan.kind = kinds[plan.syscall][r.below(4)];
    plan.first = 1 + r.below(static_cast<long>(counted.seen[plan.syscall]));
    // Now and then a disk that is full for a while, or a share gone for good.
    const long lasting = r.below(100);
    plan.count = lasting < 15 ? persistent : lasting < 40 ? 2 + r.below(7) : 1;
    // An interrupted call is over once retried (msvcrt.dll retries), and
    // a share that is gone does not come back with EINTR.
    if (plan.count == persistent && plan.kind == kind_eintr)
        plan.kind = kind_eio;
    return plan;
}

std::string describe_plan(const faults::Plan &plan)
{
    if (plan.first == 0)
        return "no fault";
    std::string text = std::string(faults::syscall_name(plan.syscall)) + " #" +
                       std::to_string(plan.first);
    if (plan.count >= faults::persistent)
        text += " on for good";
    else if (plan.count > 1)
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
                         " [--calls M] [--run R] [--show K] [--trace] [--cases]\n");
    return 2;
}

bool write_setup(const std::vector<std::string> &paths, const Setup &setup)
{
    for (int f = 0; f < setup.files; ++f) {
        const Bytes &bytes = setup.before[f];
        if (!write_bytes(paths[static_cast<std::size_t>(f)], bytes)) {
            std::fprintf(stderr, "cannot write %s\n", paths[static_cast<std::size_t>(f)].c_str());
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::uint64_t sequences = 100, seed = 1, faulted_runs = 6, calls = 120, show = 3;
    std::uint64_t only_run = UINT64_MAX;
    bool trace = false, table = false;
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
        } else if (arg == "--cases") {
            table = true;
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
    constexpr int mark_count = 64;
    Tally *tally = faults::shared_tallies(1 + mark_count);
    if (scratch.empty() || tally == nullptr) {
        std::fprintf(stderr, "cannot make a scratch folder or shared memory\n");
        return 2;
    }
    std::vector<std::string> paths;
    for (int f = 0; f < file_count; ++f)
        paths.push_back(scratch + "/f" + std::to_string(f));
    if (table) {
        const int result = run_cases(dx, scratch, tally, tally + 1, trace);
        for (const std::string &p : paths)
            platform::remove_file(p);
        platform::remove_folder(scratch);
        return result;
    }

    const auto start = std::chrono::steady_clock::now();
    long runs = 0, faulted = 0, reached = 0, breaching_runs = 0, data_runs = 0, lasting = 0;
    long by_breach[breach_kinds] = {};
    long by_syscall[faults::syscall_kinds] = {};
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
            if (!write_setup(paths, setup))
                return 2;
            const bool print = shown < show;
            const bool traced_run = trace && (only_run == UINT64_MAX || run == only_run);
            if (traced_run)
                std::printf("--- sequence %" PRIu64 ", run %" PRIu64 ": %s\n", sequence, run,
                            describe_plan(plan).c_str());
            const int status = faults::run_traced(scratch, plan, tally, [&] {
#if !defined(_WIN32)
                alarm(60);
#endif
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
            const int found = status < 0 || status >= 256 ? crashed : status;
            ++runs;
            if (run == 0) {
                counted = *tally;
            } else {
                ++faulted;
                lasting += plan.count >= faults::persistent ? 1 : 0;
            }
            if (tally->errors + tally->shortened > 0)
                ++reached;
            for (int s = 0; s < faults::syscall_kinds; ++s)
                for (int k = 0; k < faults::fault_kinds; ++k)
                    injected[s][k] += static_cast<long>(tally->injected[s][k]);
            if (found != 0) {
                ++breaching_runs;
                if (run > 0)
                    ++by_syscall[plan.syscall];
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
                "): %ld runs, %ld with a fault planned (%ld of them for good), %ld reached it"
                " (%.1f s)\n",
                sequences, calls, seed, seed + sequences - 1, runs, faulted, lasting, reached,
                seconds);
    std::printf("faults injected:\n");
    for (int s = 0; s < faults::syscall_kinds; ++s) {
        std::printf("  %-6s", faults::syscall_name(s));
        for (int k = 0; k < faults::fault_kinds; ++k)
            if (injected[s][k] > 0)
                std::printf("  %s %ld", faults::kind_name(k), injected[s][k]);
        std::printf("\n");
    }
    std::printf("violations: %ld runs (%ld lost or misplaced data or read it from elsewhere)\n",
                breaching_runs, data_runs);
    for (int b = 0; b < breach_kinds; ++b)
        std::printf("  %-34s %ld runs\n", breach_names[b], by_breach[b]);
    std::printf("  by the call planned to fail:");
    for (int s = 0; s < faults::syscall_kinds; ++s)
        std::printf(" %s %ld", faults::syscall_name(s), by_syscall[s]);
    std::printf("\n");
    return breaching_runs == 0 ? 0 : 1;
}
