#include "call_driver.h"

#include "platform.h"
#include "stream_model.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>

namespace driver {

namespace {

constexpr std::uint64_t write_limit = 1u << 16;
constexpr std::int64_t seek_limit = std::int64_t{1} << 40;
constexpr std::int32_t count_limit = 1 << 16;
// The C runtimes' stream buffers hold 4096 bytes (glibc on a local file
// system, msvcrt.dll always): lengths and positions gather around its
// multiples, where a value or a string is split between two fills.
constexpr int stream_buffer = 4096;

constexpr std::uint64_t quiet_bit = std::uint64_t{1} << 51;
constexpr std::uint64_t exponent_bits = 0x7FF0000000000000u;

const char *const file_names[] = {"f0", "f1", "f2", "f3", "missing/f"};
constexpr int file_count = sizeof file_names / sizeof file_names[0];
constexpr int missing_file = file_count - 1;

// Indices are part of the input format (checkers/fuzzer/make_seeds.py names them):
// new modes go at the end.
const model::Mode modes[] = {
    // text      accepted must_exist truncate exclusive readable writable append
    {"rb", true, true, false, false, true, false, false},
    {"r", true, true, false, false, true, false, false},
    {"wb", true, false, true, false, false, true, false},
    {"ab", true, false, false, false, false, true, true},
    {"r+b", true, true, false, false, true, true, false},
    {"rb+", true, true, false, false, true, true, false},
    {"w+b", true, false, true, false, true, true, false},
    {"a+b", true, false, false, false, true, true, true},
    {"wbx", true, false, true, true, false, true, false},
    {"", false, false, false, false, false, false, false},
    {"z", false, false, false, false, false, false, false},
    {"bw", false, false, false, false, false, false, false},
    {"+r", false, false, false, false, false, false, false},
    {nullptr, false, false, false, false, false, false, false},
    {"wb+", true, false, true, false, true, true, false},
    {"ab+", true, false, false, false, true, true, true},
    {"w+", true, false, true, false, true, true, false},
    {"a+", true, false, false, false, true, true, true},
    {"wt", true, false, true, false, false, true, false},
};
constexpr int mode_count = sizeof modes / sizeof modes[0];

std::uint64_t bits_of(double value)
{
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double from_bits(std::uint64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool is_signalling_nan(std::uint64_t bits)
{
    return (bits & exponent_bits) == exponent_bits && (bits & (quiet_bit - 1)) != 0 &&
           (bits & quiet_bit) == 0;
}

// Kept as bits, so that a signalling NaN reaches FileWriteDouble exactly
// even where returning a double would quiet it.
const std::uint64_t awkward_numbers[] = {
    bits_of(std::numeric_limits<double>::quiet_NaN()),
    bits_of(-std::numeric_limits<double>::quiet_NaN()),
    bits_of(std::numeric_limits<double>::infinity()),
    bits_of(-std::numeric_limits<double>::infinity()),
    bits_of(0.0), bits_of(-0.0), bits_of(0.5), bits_of(-0.5), bits_of(0.999), bits_of(-1e-300),
    bits_of(1), bits_of(2), bits_of(3), bits_of(4), bits_of(8), bits_of(-1), bits_of(-2.9),
    bits_of(2.9), bits_of(255), bits_of(255.9), bits_of(256), bits_of(300), bits_of(1000),
    bits_of(4095), bits_of(4096), bits_of(4097), bits_of(5000), bits_of(40000),
    bits_of(65535), bits_of(70000), bits_of(2147483647.0), bits_of(2147483647.9),
    bits_of(2147483648.0), bits_of(-2147483648.0), bits_of(-2147483648.9),
    bits_of(-2147483649.0), bits_of(3000000000.0), bits_of(4294967295.0),
    bits_of(4294967296.0 + 5), bits_of(1099511627776.0), bits_of(9223372036854775807.0),
    bits_of(-9223372036854775808.0), bits_of(1e19), bits_of(-1e19), bits_of(1e300),
    bits_of(-1e300), bits_of(5e-324),
    // The edges of the 8- and 16-bit kinds, and NaNs with payloads: a
    // signalling one and a negative quiet one.
    bits_of(127), bits_of(128), bits_of(-128), bits_of(-129), bits_of(-256),
    bits_of(32767), bits_of(32768), bits_of(-32768), bits_of(-32769), bits_of(65536),
    bits_of(-65536), bits_of(-2147483647.0), 0x7FF0000000000001u, 0xFFF8000000000123u,
    0x7FF7FFFFFFFFFFFFu, 0x7FFFFFFFFFFFFFFFu,
};
constexpr int awkward_count = sizeof awkward_numbers / sizeof awkward_numbers[0];

// Doubles whose bits a careless copy changes: signalling and quiet NaNs with
// payloads, infinities, negative zero and subnormals.
const std::uint64_t special_doubles[] = {
    0x7FF0000000000001u, 0x7FF7FFFFFFFFFFFFu, 0xFFF0000000000123u, 0xFFF8000000000123u,
    0x7FF8000000000000u, 0x7FF0000000000000u, 0xFFF0000000000000u, 0x8000000000000000u,
    0x0000000000000001u, 0x800FFFFFFFFFFFFFu,
};
constexpr int special_count = sizeof special_doubles / sizeof special_doubles[0];

const char *const awkward_texts[] = {
    "", "%s%n%d%%%", "%", "%n", "\xFF\x80\x01", "line\nend\r\n", "sixsix",
};

// Turns bytes into the arguments of calls.
class Input {
public:
    explicit Input(ByteSource &source) : source_(source) {}
    bool done() const { return source_.done(); }
    std::uint8_t byte() { return source_.next(); }
    std::uint64_t bits(int bytes)
    {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= static_cast<std::uint64_t>(byte()) << (8 * i);
        return value;
    }

    // Handles mostly name one of the first few slots, sometimes with a
    // fraction; now and then anything at all.
    double handle()
    {
        static const double fractions[] = {0.0, 0.5, 0.999, 1e-9};
        const std::uint8_t kind = byte();
        switch (kind % 8) {
        case 5: return byte() + fractions[(kind >> 3) % 4];
        case 6: return from_bits(awkward());
        case 7: return from_bits(bits(8));
        default: return byte() % 8 + fractions[(kind >> 3) % 4];
        }
    }

    std::uint64_t number_bits()
    {
        const std::uint8_t kind = byte();
        switch (kind % 8) {
        case 0: return bits_of(static_cast<std::int8_t>(byte()));
        case 1:
        case 6: return awkward();
        case 2: return bits(8);
        case 3: return bits_of(static_cast<std::int32_t>(bits(4)) + (kind >> 3) / 32.0);
        case 5: return bits_of(static_cast<std::int16_t>(bits(2)));
        case 4: {
            // Around a multiple of the stream buffer, either side of zero.
            const double near = (byte() % 4) * stream_buffer + static_cast<std::int8_t>(byte());
            return bits_of((kind >> 3) % 2 == 0 ? near : -near);
        }
        default: return special_doubles[byte() % special_count];
        }
    }

    double number() { return from_bits(number_bits()); }

    std::uint64_t awkward() { return awkward_numbers[byte() % awkward_count]; }

    // NULL, one of the awkward texts, bytes from the input (a zero byte
    // among them ends the text where C would), or a long text that crosses
    // a stream buffer or several.
    const char *text(std::string &storage)
    {
        const std::uint8_t kind = byte();
        switch (kind % 8) {
        case 0: return nullptr;
        case 1:
        case 5: return awkward_texts[byte() % (sizeof awkward_texts / sizeof awkward_texts[0])];
        case 4: {
            const int length = (byte() % 4) * stream_buffer + static_cast<std::int8_t>(byte());
            const unsigned start = byte(), step = byte() | 1u;
            storage.clear();
            for (int i = 0; i < length; ++i)
                storage.push_back(static_cast<char>(1 + (start + i * step) % 255));
            return storage.c_str();
        }
        default: {
            const std::size_t length = byte();
            storage.clear();
            for (std::size_t i = 0; i < length && !done(); ++i)
                storage.push_back(static_cast<char>(byte()));
            return storage.c_str();
        }
        }
    }

private:
    ByteSource &source_;
};

std::string hex(const std::string &bytes, std::size_t limit = 64)
{
    std::string out;
    char two[4];
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(two, sizeof two, "%02X ", static_cast<unsigned char>(bytes[i]));
        out += two;
    }
    return bytes.size() > limit ? out + "..." : out;
}

// A C++ expression of exactly this double.
std::string cpp_number(double value)
{
    char text[64];
    if (!std::isfinite(value) || (value == 0 && std::signbit(value))) {
        std::snprintf(text, sizeof text, "from_bits(0x%016" PRIX64 "u)", bits_of(value));
    } else if (value == std::trunc(value) && std::fabs(value) < 9007199254740992.0) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%.17g", value);
    }
    return text;
}

// A C++ initializer list of these bytes.
std::string cpp_bytes(const std::string &bytes)
{
    std::string out = "(Bytes{";
    char item[16];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(item, sizeof item, "%s0x%02X", i == 0 ? "" : i % 16 == 0 ? ",\n    " : ", ",
                      static_cast<unsigned char>(bytes[i]));
        out += item;
    }
    return out + "})";
}

// A C++ string literal of these bytes, in lines of at most 64.
std::string cpp_text(const std::string &text)
{
    std::string out = "\"";
    char escaped[8];
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i > 0 && i % 64 == 0)
            out += "\"\n    \"";
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '?') {
            out += static_cast<char>(c);
        } else {
            // Octal, always three digits, so no following character joins it.
            std::snprintf(escaped, sizeof escaped, "\\%03o", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out + "\"";
}

// An EXPECT line that holds when `expression` gives exactly `expected`.
std::string expect(const std::string &expression, double expected)
{
    if (std::isnan(expected) || (expected == 0 && std::signbit(expected)) ||
        std::isinf(expected)) {
        char bits[32];
        std::snprintf(bits, sizeof bits, "0x%016" PRIX64 "u", bits_of(expected));
        return "EXPECT_EQ(bits(" + expression + "), " + bits + ");";
    }
    return "EXPECT_EQ(" + expression + ", " + cpp_number(expected) + ");";
}

// The lines a pasted reproduction needs before the calls, in a test of the
// DravenixTest fixture (tests/dravenix_test.h).
const char *const reproduction_helpers[] = {
    "auto bits = [](double v) { std::uint64_t b; std::memcpy(&b, &v, sizeof b); return b; };",
    "auto from_bits = [](std::uint64_t b) { double v; std::memcpy(&v, &b, sizeof v); return v; };",
    "auto block = [](const char *p, std::size_t n) { return Bytes(p, p + n); };",
};

bool same(double a, double b)
{
    return bits_of(a) == bits_of(b);
}

enum Op {
    op_open, op_open_many, op_close, op_close_all, op_write8, op_write16, op_write32,
    op_write_double, op_write_string, op_read8, op_read16, op_read32, op_read_double,
    op_read_string, op_seek, op_tell, op_is_eof, op_count
};

std::string path_of(const Session &session, int file)
{
    return session.scratch + "/" + file_names[file];
}

// A line of the reproduction, made only when a divergence prints it: file
// contents, blocks read and long texts take far longer to format than the
// calls take to make.
using Line = std::function<std::string()>;

Line plain(std::string text)
{
    return [text = std::move(text)] { return text; };
}

// The calls made on one file since it was last opened with no other stream
// on it, as lines of a test.
struct FileLog {
    std::vector<Line> lines;
    std::vector<bool> declared = std::vector<bool>(model::Model::slots);
};

class Run {
public:
    Run(Session &session, int max_calls)
        : session_(session), dx_(session.dx), model_(initial_files(), session.platform.largest_position), logs_(file_count),
          max_calls_(max_calls)
    {
    }

    void step(Input &in)
    {
        switch (static_cast<Op>(in.byte() % op_count)) {
        case op_open: {
            const int file = in.byte(), mode = in.byte();
            open(file, mode);
            break;
        }
        case op_open_many: {
            // A handful of opens, or with 255 enough to fill the table
            // (more would spend the budget on opens that give -2).
            const int file = in.byte(), mode = in.byte(), many = in.byte();
            const int times = many == 255 ? model::Model::slots : many % 8 + 1;
            for (int i = 0; i < times && !spent(); ++i)
                open(file, mode);
            break;
        }
        case op_close: close(in.handle()); break;
        case op_close_all: close_all(); break;
        case op_write8: write(in, "FileWrite8", dx_.FileWrite8, &model::Model::write8, 1); break;
        case op_write16: write(in, "FileWrite16", dx_.FileWrite16, &model::Model::write16, 2); break;
        case op_write32: write(in, "FileWrite32", dx_.FileWrite32, &model::Model::write32, 4); break;
        case op_write_double:
            write(in, "FileWriteDouble", dx_.FileWriteDouble, &model::Model::write_double, 8);
            break;
        case op_write_string: write_string(in); break;
        case op_read8: read(in, "FileRead8", dx_.FileRead8, &model::Model::read8); break;
        case op_read16: read(in, "FileRead16", dx_.FileRead16, &model::Model::read16); break;
        case op_read32: read(in, "FileRead32", dx_.FileRead32, &model::Model::read32); break;
        case op_read_double: read_double(in); break;
        case op_read_string: read_string(in); break;
        case op_seek: {
            const double h = in.handle(), offset = in.number(), from = origin(in);
            seek(h, offset, from);
            break;
        }
        case op_tell: {
            const double h = in.handle();
            const int file = file_at(h);
            const std::string expression = "dx.FileTell(" + handle(h) + ")";
            check(file, expression, dx_.FileTell(h), model_.tell(h));
            break;
        }
        case op_is_eof: {
            const double h = in.handle();
            const int file = file_at(h);
            const std::string expression = "dx.FileIsEOF(" + handle(h) + ")";
            check(file, expression, dx_.FileIsEOF(h), model_.is_eof(h));
            break;
        }
        case op_count: break;
        }
    }

    // The budget is in calls made, so that no input runs for long and a
    // sequence of the runner makes as many calls as it asks for. Steps that
    // the rules skip make none; the bound on steps ends an input that only
    // asks for those.
    bool spent() { return calls_ >= max_calls_ || ++steps_ > 4 * max_calls_; }

    void finish()
    {
        close_all();
        for (int file = 0; file < file_count; ++file)
            check_file(file);
    }

    long calls() const { return calls_; }

private:
    static std::vector<model::File> initial_files()
    {
        std::vector<model::File> files(file_count);
        files[missing_file].creatable = false;
        return files;
    }

    static double origin(Input &in)
    {
        const std::uint8_t kind = in.byte();
        return kind % 2 == 0 ? (kind >> 1) % 4 : in.number();
    }

    int file_at(double h)
    {
        const model::Stream *s = model_.stream_at(h);
        return s != nullptr ? s->file : -1;
    }

    // The handle as the reproduction names it: the variable of the slot's
    // stream where it names one, else the number itself.
    std::string handle(double h)
    {
        const std::optional<int> slot = model::Model::slot_of(h);
        if (!slot || model_.stream_at(h) == nullptr)
            return cpp_number(h);
        const std::string name = "h" + std::to_string(*slot);
        if (same(h, *slot))
            return name;
        if (h == 0 && std::signbit(h))
            return cpp_number(h);
        return name + " + " + cpp_number(h - *slot);
    }

    void log(int file, Line line)
    {
        if (file >= 0)
            logs_[file].lines.push_back(std::move(line));
    }

    [[noreturn]] void diverge(int file, const Line &line, const std::string &got,
                              const std::string &expected)
    {
        Divergence d;
        d.call = line();
        d.got = got;
        d.expected = expected;
        d.history.assign(std::begin(reproduction_helpers), std::end(reproduction_helpers));
        if (file >= 0)
            for (const Line &earlier : logs_[file].lines)
                d.history.push_back(earlier());
        session_.on_divergence(d);
        std::abort();  // the handler must not return
    }

    void check(int file, const std::string &expression, double got, double expected)
    {
        check(file, plain(expression), got, expected);
    }

    void check(int file, const Line &expression, double got, double expected)
    {
        ++calls_;
        const Line line = [expression, expected] { return expect(expression(), expected); };
        if (session_.tracing)
            std::fprintf(stderr, "  %s  // %s\n", line().c_str(), describe(got).c_str());
        if (!same(got, expected))
            diverge(file, line, describe(got), describe(expected));
        log(file, line);
    }

    void check_file(int file)
    {
        std::string on_disk;
        const bool exists = platform::read_file(path_of(session_, file), &on_disk);
        const model::File &f = model_.file(file);
        const std::string name = file_names[file];
        if (exists != f.exists)
            diverge(file, plain(std::string("EXPECT_") + (f.exists ? "TRUE" : "FALSE") +
                              "(exists(\"" + name + "\"));"),
                    exists ? "exists" : "missing", f.exists ? "exists" : "missing");
        const std::string expected(f.bytes.begin(), f.bytes.end());
        if (exists && on_disk != expected)
            diverge(file, plain("EXPECT_EQ(contents(\"" + name + "\"), " + cpp_bytes(expected) + ");"),
                    hex(on_disk) + "(" + std::to_string(on_disk.size()) + " bytes)",
                    hex(expected) + "(" + std::to_string(expected.size()) + " bytes)");
    }

    void open(int file_choice, int mode_choice)
    {
        // One choice in eight passes a NULL name.
        const bool null_name = file_choice % 8 == 7;
        const int file = file_choice % 8 % file_count;
        model::Mode mode = modes[mode_choice % mode_count];
        if (mode.exclusive && !session_.platform.exclusive_modes)
            mode.accepted = false;
        if (mode.text != nullptr && std::strchr(mode.text, 't') != nullptr &&
            !session_.platform.text_flag_modes)
            mode.accepted = false;
        if (mode.text != nullptr && std::strchr(mode.text, 'b') == nullptr && mode.accepted &&
            session_.platform.text_mode_translates)
            return;  // a text-mode stream's bytes are not the model's here
        const bool alone = model_.openers(file).empty();
        if (model_.open_would_succeed(file, mode) && !null_name) {
            for (int slot : model_.openers(file)) {
                if (mode.writable || model_.stream_at(slot)->mode.writable)
                    return;  // would share a file with a writer
            }
        }
        const std::string name = path_of(session_, file);
        const std::string quoted_mode = mode.text ? "\"" + std::string(mode.text) + "\"" : "nullptr";
        const model::File before = model_.file(file);
        const double got = dx_.FileOpen(null_name ? nullptr : name.c_str(), mode.text);
        const double expected = model_.open(file, mode, null_name);
        ++calls_;
        Line expression = plain(null_name ? "dx.FileOpen(nullptr, " + quoted_mode + ")"
                                          : "open(\"" + std::string(file_names[file]) + "\", " +
                                                quoted_mode + ")");
        if (!null_name && expected >= 0 && alone) {
            // A new history: the file as it stood, then this open.
            logs_[file] = FileLog();
            if (before.exists)
                expression = [name = std::string(file_names[file]), quoted_mode,
                              bytes = std::string(before.bytes.begin(), before.bytes.end())] {
                    return "open_with(\"" + name + "\", " + cpp_bytes(bytes) + ", " + quoted_mode +
                           ")";
                };
        }
        const int log_file = null_name ? -1 : file;
        const Line line = [expression, expected] { return expect(expression(), expected); };
        if (session_.tracing)
            std::fprintf(stderr, "  %s -> %s\n", expression().c_str(), describe(got).c_str());
        if (!same(got, expected))
            diverge(log_file, line, describe(got), describe(expected));
        if (expected >= 0 && !null_name) {
            const int slot = static_cast<int>(expected);
            FileLog &l = logs_[file];
            const std::string variable = "h" + std::to_string(slot);
            const std::string declaration = (l.declared[slot] ? "" : "double ") + variable;
            l.lines.push_back(
                [declaration, expression] { return declaration + " = " + expression() + ";"; });
            l.lines.push_back(plain("ASSERT_GE(" + variable + ", 0);"));
            l.declared[slot] = true;
        } else if (!alone) {
            log(log_file, line);
        }
    }

    void close(double h)
    {
        const int file = file_at(h);
        // Named before the call, while the slot still holds the stream.
        const std::string expression = "dx.FileClose(" + handle(h) + ")";
        check(file, expression, dx_.FileClose(h), model_.close(h));
        if (file >= 0 && model_.openers(file).empty())
            check_file(file);
    }

    void close_all()
    {
        const double got = dx_.FileCloseAll();
        const double expected = model_.close_all();
        ++calls_;
        if (!same(got, expected))
            diverge(-1, plain(expect("dx.FileCloseAll()", expected)), describe(got),
                    describe(expected));
        for (FileLog &l : logs_)
            l.lines.push_back(plain("EXPECT_EQ(dx.FileCloseAll(), 0);"));
    }

    // Where an update stream is about to switch between reading and
    // writing, the input decides whether a FileSeek(h, 0, 1) comes first,
    // the positioning call standard C asks of a host, or the module must
    // make the switch itself.
    void settle(Input &in, double h, model::Direction next)
    {
        const model::Stream *s = model_.stream_at(h);
        if (s == nullptr || !s->mode.readable || !s->mode.writable)
            return;
        if (s->last != model::Direction::none && s->last != next && in.byte() % 2 == 0)
            seek(std::trunc(h), 0, 1);
    }

    bool write_fits(double h, std::size_t size)
    {
        const model::Stream *s = model_.stream_at(h);
        return s == nullptr || !s->mode.writable || model_.write_offset(*s) + size <= write_limit;
    }

    template <typename Export, typename Predict>
    void write(Input &in, const char *name, Export call, Predict predict, std::size_t size)
    {
        const double h = in.handle();
        // The value stays in memory from the decoder to the call: see
        // Platform::returned_doubles_quieted.
        const std::uint64_t value_bits = in.number_bits();
        double value;
        std::memcpy(&value, &value_bits, sizeof value);
        if (!write_fits(h, size))
            return;
        settle(in, h, model::Direction::writing);
        const int file = file_at(h);
        const std::string expression =
            std::string("dx.") + name + "(" + handle(h) + ", " + cpp_number(value) + ")";
        check(file, expression, call(h, value), (model_.*predict)(h, value));
    }

    void write_string(Input &in)
    {
        std::string storage;
        const double h = in.handle();
        const char *text = in.text(storage);
        if (!write_fits(h, text != nullptr ? std::strlen(text) : 0))
            return;
        settle(in, h, model::Direction::writing);
        const int file = file_at(h);
        const Line expression = [head = "dx.FileWriteString(" + handle(h) + ", ",
                                 null_text = text == nullptr,
                                 copy = std::string(text != nullptr ? text : "")] {
            return head + (null_text ? "nullptr" : cpp_text(copy)) + ")";
        };
        check(file, expression, dx_.FileWriteString(h, text), model_.write_string(h, text));
    }

    template <typename Export, typename Predict>
    void read(Input &in, const char *name, Export call, Predict predict)
    {
        const double h = in.handle();
        settle(in, h, model::Direction::reading);
        const int file = file_at(h);
        const std::string expression = std::string("dx.") + name + "(" + handle(h) + ")";
        check(file, expression, call(h), (model_.*predict)(h));
    }

    void read_double(Input &in)
    {
        const double h = in.handle();
        settle(in, h, model::Direction::reading);
        const int file = file_at(h);
        const std::string expression = "dx.FileReadDouble(" + handle(h) + ")";
        const double got = dx_.FileReadDouble(h);
        std::uint64_t expected = model_.read_double_bits(h);
        if (session_.platform.returned_doubles_quieted && is_signalling_nan(expected))
            expected |= quiet_bit;
        check(file, expression, got, from_bits(expected));
    }

    void read_string(Input &in)
    {
        const double h = in.handle(), count = in.number();
        if (model_.stream_at(h) != nullptr && model::Model::to_int(count) > count_limit)
            return;
        settle(in, h, model::Direction::reading);
        const int file = file_at(h);
        const std::string call = "dx.FileReadString(" + handle(h) + ", " + cpp_number(count) + ")";
        const char *got = dx_.FileReadString(h, count);
        const model::StringResult expected = model_.read_string(h, count);
        ++calls_;
        if (expected.failure) {
            const Line line = plain("EXPECT_STREQ(" + call + ", \"\");");
            if (session_.tracing)
                std::fprintf(stderr, "  %s\n", line().c_str());
            if (got != session_.failure_string)
                diverge(file, line, "a new block", "the failure string");
            log(file, line);
            return;
        }
        const std::size_t n = expected.bytes.size();
        const Line line = [head = "EXPECT_EQ(block(" + call + ", " + std::to_string(n) + "), ",
                           bytes = expected.bytes] { return head + cpp_bytes(bytes) + ");"; };
        if (session_.tracing)
            std::fprintf(stderr, "  %s\n", line().c_str());
        if (got == session_.failure_string || got == nullptr)
            diverge(file, line, "the failure string", "a block of " + std::to_string(n) + " bytes");
        // Reading all n + 1 bytes also lets a sanitizer catch a short block.
        if (std::memcmp(got, expected.bytes.data(), n) != 0 || got[n] != '\0')
            diverge(file, line, hex(std::string(got, n + 1)), hex(expected.bytes) + "00");
        std::free(const_cast<char *>(got));
        log(file, line);
    }

    void seek(double h, double offset, double origin)
    {
        const model::Stream *s = model_.stream_at(h);
        std::int64_t distance;
        if (s != nullptr && model::Model::to_offset(offset, &distance)) {
            const std::int32_t from = model::Model::to_int(origin);
            const std::int64_t base =
                from == 1   ? static_cast<std::int64_t>(s->position)
                : from == 2 ? static_cast<std::int64_t>(model_.file(s->file).bytes.size())
                            : 0;
            if (from >= 0 && from <= 2 && distance > seek_limit - base)
                return;
        }
        const int file = file_at(h);
        const std::string expression = "dx.FileSeek(" + handle(h) + ", " + cpp_number(offset) +
                                       ", " + cpp_number(origin) + ")";
        check(file, expression, dx_.FileSeek(h, offset, origin), model_.seek(h, offset, origin));
    }

    Session &session_;
    const Api &dx_;
    model::Model model_;
    std::vector<FileLog> logs_;
    long max_calls_;
    long steps_ = 0;
    long calls_ = 0;
};

} // namespace

std::uint8_t RandomSource::next()
{
    if (left_ == 0) {
        state_ += 0x9E3779B97F4A7C15u;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        word_ = z ^ (z >> 31);
        left_ = 8;
    }
    --left_;
    const std::uint8_t b = static_cast<std::uint8_t>(word_);
    word_ >>= 8;
    return b;
}

Platform this_platform()
{
    Platform p{};
#if defined(_WIN32)
    p.text_mode_translates = true;
#else
    p.text_mode_translates = false;
#endif
    // msvcrt.dll's fopen knows no "x", and the portable layer takes only
    // the modes every C library knows.
#if defined(_WIN32) || defined(DRAVENIX_STREAM_LAYER_stdc)
    p.exclusive_modes = false;
#else
    p.exclusive_modes = true;
#endif
#if defined(DRAVENIX_STREAM_LAYER_stdc)
    p.text_flag_modes = false;
#else
    p.text_flag_modes = true;
#endif
#if defined(_WIN32) && defined(DRAVENIX_STREAM_LAYER_stdc)
    p.largest_position = std::numeric_limits<long>::max();
#else
    p.largest_position = std::numeric_limits<std::int64_t>::max();
#endif
#if defined(__i386__) || defined(_M_IX86)
    p.returned_doubles_quieted = true;
#else
    p.returned_doubles_quieted = false;
#endif
    return p;
}

std::string describe(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.17g [%016" PRIx64 "]", value, bits_of(value));
    return text;
}

void remove_scratch_files(const Session &session)
{
    for (int file = 0; file < file_count; ++file)
        platform::remove_file(path_of(session, file));
}

long run_input(Session &session, ByteSource &source, int max_calls)
{
    if (session.dx.FileCloseAll() != 0) {
        Divergence d;
        d.call = "EXPECT_EQ(dx.FileCloseAll(), 0);";
        d.got = "a failure";
        d.expected = "0";
        session.on_divergence(d);
        std::abort();
    }
    remove_scratch_files(session);
    Input in(source);
    Run run(session, max_calls);
    while (!in.done() && !run.spent())
        run.step(in);
    run.finish();
    return run.calls();
}

} // namespace driver
