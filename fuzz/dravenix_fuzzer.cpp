// Differential fuzzer: decodes its input into a sequence of calls of the
// sixteen exports, makes them through the module loaded by name, as a host
// does, and checks every result, and at the end the bytes of every file,
// against the independent model in stream_model.cpp.
//
// The sequences stay within behaviour that the C library defines, so that
// the model need not copy the internals of any particular one:
//   - an update stream ("r+", "w+", "a+") never switches between reading and
//     writing without a positioning call in between; where the input asks
//     for such a switch, the fuzzer first makes a FileSeek(h, 0, 1), which
//     is checked like any other call;
//   - a file open for writing is open in no other slot (several read-only
//     streams may share a file), since what another stream sees of unflushed
//     output depends on buffering;
//   - writes stay within the first 64 KiB of a file (many stream buffers)
//     and seeks below 2^40, so that the model's copy of a file stays small
//     and every file system the scratch folder may live on can hold the
//     positions;
//   - FileReadString counts stay below 2^16: the 2^31-byte block is the unit
//     tests' business, and the fuzzer's memory limit would stop it here.
#include "dravenix_exports.h"
#include "stream_model.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

Api dx;
const char *failure_string = nullptr;
std::string scratch;
bool tracing = false;

constexpr std::uint64_t write_limit = 1u << 16;
constexpr std::int64_t seek_limit = std::int64_t{1} << 40;
constexpr std::int32_t count_limit = 1 << 16;
constexpr int max_calls = 2048;

const char *const file_names[] = {"f0", "f1", "f2", "f3", "missing/f"};
constexpr int file_count = sizeof file_names / sizeof file_names[0];
constexpr int missing_file = file_count - 1;

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
};
constexpr int mode_count = sizeof modes / sizeof modes[0];

const double nan_value = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();
const double awkward_numbers[] = {
    nan_value, -nan_value, inf, -inf, 0.0, -0.0, 0.5, -0.5, 0.999, -1e-300,
    1, 2, 3, 4, 8, -1, -2.9, 2.9, 255, 255.9, 256, 300, 1000, 4095, 4096,
    4097, 5000, 40000, 65535, 70000, 2147483647.0, 2147483647.9, 2147483648.0,
    -2147483648.0, -2147483648.9, -2147483649.0, 3000000000.0, 4294967295.0,
    4294967296.0 + 5, 1099511627776.0, 9223372036854775807.0, -9223372036854775808.0,
    1e19, -1e19, 1e300, -1e300, 5e-324,
};

const char *const awkward_texts[] = {
    "", "%s%n%d%%%", "%", "%n", "\xFF\x80\x01", "line\nend\r\n", "sixsix",
};

// Reads the fuzzer's input a byte at a time; past its end every byte is 0.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint64_t bits(int bytes)
    {
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= static_cast<std::uint64_t>(byte()) << (8 * i);
        return value;
    }

    double raw_double()
    {
        const std::uint64_t b = bits(8);
        double value;
        std::memcpy(&value, &b, sizeof value);
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
        case 6: return awkward();
        case 7: return raw_double();
        default: return byte() % 8 + fractions[(kind >> 3) % 4];
        }
    }

    double number()
    {
        const std::uint8_t kind = byte();
        switch (kind % 4) {
        case 0: return static_cast<std::int8_t>(byte());
        case 1: return awkward();
        case 2: return raw_double();
        default:
            return static_cast<std::int32_t>(bits(4)) + (kind >> 2) / 64.0;
        }
    }

    double awkward()
    {
        return awkward_numbers[byte() % (sizeof awkward_numbers / sizeof awkward_numbers[0])];
    }

    // NULL, one of the awkward texts, or bytes from the input (a zero byte
    // among them ends the text where C would).
    const char *text(std::string &storage)
    {
        const std::uint8_t kind = byte();
        switch (kind % 4) {
        case 0: return nullptr;
        case 1: return awkward_texts[byte() % (sizeof awkward_texts / sizeof awkward_texts[0])];
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
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

std::string path_of(int file)
{
    return scratch + "/" + file_names[file];
}

std::string describe(double value)
{
    char text[64];
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    std::snprintf(text, sizeof text, "%.17g [%016" PRIx64 "]", value, bits);
    return text;
}

[[noreturn]] void mismatch(const std::string &call, const std::string &what)
{
    std::fprintf(stderr, "\n*** Dravenix differs from the model\n  call: %s\n  %s\n",
                 call.c_str(), what.c_str());
    std::fflush(stderr);
    std::abort();
}

void trace(const std::string &call)
{
    if (tracing)
        std::fprintf(stderr, "  %s\n", call.c_str());
}

bool same(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void check(const std::string &call, double got, double expected)
{
    trace(call + " -> " + describe(got));
    if (!same(got, expected))
        mismatch(call, "got " + describe(got) + ", model says " + describe(expected));
}

std::string hex(const std::string &bytes)
{
    std::string out;
    char two[4];
    for (std::size_t i = 0; i < bytes.size() && i < 64; ++i) {
        std::snprintf(two, sizeof two, "%02X ", static_cast<unsigned char>(bytes[i]));
        out += two;
    }
    return bytes.size() > 64 ? out + "..." : out;
}

// The bytes of a file on disk, and whether it exists.
bool read_file(const std::string &path, std::string *bytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    bytes->clear();
    char buffer[65536];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes->append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return true;
}

void check_file(const model::Model &m, int file, const std::string &when)
{
    std::string on_disk;
    const bool exists = read_file(path_of(file), &on_disk);
    const model::File &f = m.file(file);
    if (exists != f.exists)
        mismatch(when, std::string(file_names[file]) + (exists ? " exists" : " is missing") +
                           ", the model disagrees");
    const std::string expected(f.bytes.begin(), f.bytes.end());
    if (exists && on_disk != expected)
        mismatch(when, std::string(file_names[file]) + " holds " + hex(on_disk) +
                           " (" + std::to_string(on_disk.size()) + " bytes), model says " +
                           hex(expected) + " (" + std::to_string(expected.size()) + " bytes)");
}

void remove_files()
{
    for (int file = 0; file < file_count; ++file)
        ::unlink(path_of(file).c_str());
}

void remove_scratch()
{
    remove_files();
    ::rmdir(scratch.c_str());
}

enum Op {
    op_open, op_open_many, op_close, op_close_all, op_write8, op_write16, op_write32,
    op_write_double, op_write_string, op_read8, op_read16, op_read32, op_read_double,
    op_read_string, op_seek, op_tell, op_is_eof, op_count
};

class Run {
public:
    Run() : model_(initial_files()) {}

    void step(Input &in)
    {
        switch (static_cast<Op>(in.byte() % op_count)) {
        case op_open: open(in.byte(), in.byte()); break;
        case op_open_many: {
            const int file = in.byte(), mode = in.byte(), times = in.byte() + 1;
            for (int i = 0; i < times && !spent(); ++i)
                open(file, mode);
            break;
        }
        case op_close: close(in.handle()); break;
        case op_close_all: close_all(); break;
        case op_write8: write(in, "FileWrite8", dx.FileWrite8, &model::Model::write8, 1); break;
        case op_write16: write(in, "FileWrite16", dx.FileWrite16, &model::Model::write16, 2); break;
        case op_write32: write(in, "FileWrite32", dx.FileWrite32, &model::Model::write32, 4); break;
        case op_write_double:
            write(in, "FileWriteDouble", dx.FileWriteDouble, &model::Model::write_double, 8);
            break;
        case op_write_string: write_string(in); break;
        case op_read8: read(in, "FileRead8", dx.FileRead8, &model::Model::read8); break;
        case op_read16: read(in, "FileRead16", dx.FileRead16, &model::Model::read16); break;
        case op_read32: read(in, "FileRead32", dx.FileRead32, &model::Model::read32); break;
        case op_read_double:
            read(in, "FileReadDouble", dx.FileReadDouble, &model::Model::read_double);
            break;
        case op_read_string: read_string(in); break;
        case op_seek: seek(in.handle(), in.number(), origin(in)); break;
        case op_tell: {
            const double h = in.handle();
            check("FileTell(" + describe(h) + ")", dx.FileTell(h), model_.tell(h));
            break;
        }
        case op_is_eof: {
            const double h = in.handle();
            check("FileIsEOF(" + describe(h) + ")", dx.FileIsEOF(h), model_.is_eof(h));
            break;
        }
        case op_count: break;
        }
    }

    // Every call counts against the input's budget, so that no input runs
    // for long.
    bool spent() { return ++calls_ > max_calls; }

    void finish()
    {
        close_all();
        for (int file = 0; file < file_count; ++file)
            check_file(model_, file, "after the last call");
    }

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

    void open(int file_choice, int mode_choice)
    {
        // One choice in eight passes a NULL name.
        const bool null_name = file_choice % 8 == 7;
        const int file = file_choice % 8 % file_count;
        const model::Mode &mode = modes[mode_choice % mode_count];
        if (model_.open_would_succeed(file, mode) && !null_name) {
            for (int slot : model_.openers(file)) {
                if (mode.writable || model_.stream_at(slot)->mode.writable)
                    return;  // would share a file with a writer
            }
        }
        const std::string name = path_of(file);
        const std::string call = std::string("FileOpen(") +
                                 (null_name ? "NULL" : file_names[file]) + ", " +
                                 (mode.text ? "\"" + std::string(mode.text) + "\"" : "NULL") + ")";
        check(call, dx.FileOpen(null_name ? nullptr : name.c_str(), mode.text),
              model_.open(file, mode, null_name));
    }

    void close(double h)
    {
        const model::Stream *s = model_.stream_at(h);
        const int file = s != nullptr ? s->file : -1;
        check("FileClose(" + describe(h) + ")", dx.FileClose(h), model_.close(h));
        if (file >= 0 && model_.openers(file).empty())
            check_file(model_, file, "after FileClose(" + describe(h) + ")");
    }

    void close_all()
    {
        check("FileCloseAll()", dx.FileCloseAll(), model_.close_all());
    }

    // Keeps an update stream from switching direction without a seek.
    void settle(double h, model::Direction next)
    {
        const model::Stream *s = model_.stream_at(h);
        if (s == nullptr || !s->mode.readable || !s->mode.writable)
            return;
        if (s->last != model::Direction::none && s->last != next)
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
        const double h = in.handle(), value = in.number();
        if (!write_fits(h, size))
            return;
        settle(h, model::Direction::writing);
        check(std::string(name) + "(" + describe(h) + ", " + describe(value) + ")",
              call(h, value), (model_.*predict)(h, value));
    }

    void write_string(Input &in)
    {
        std::string storage;
        const double h = in.handle();
        const char *text = in.text(storage);
        if (!write_fits(h, text != nullptr ? std::strlen(text) : 0))
            return;
        settle(h, model::Direction::writing);
        check("FileWriteString(" + describe(h) + ", " +
                  (text ? "\"" + hex(text) + "\"" : std::string("NULL")) + ")",
              dx.FileWriteString(h, text), model_.write_string(h, text));
    }

    template <typename Export, typename Predict>
    void read(Input &in, const char *name, Export call, Predict predict)
    {
        const double h = in.handle();
        settle(h, model::Direction::reading);
        check(std::string(name) + "(" + describe(h) + ")", call(h), (model_.*predict)(h));
    }

    void read_string(Input &in)
    {
        const double h = in.handle(), count = in.number();
        if (model_.stream_at(h) != nullptr && model::Model::to_int(count) > count_limit)
            return;
        settle(h, model::Direction::reading);
        const std::string call = "FileReadString(" + describe(h) + ", " + describe(count) + ")";
        const char *got = dx.FileReadString(h, count);
        const model::StringResult expected = model_.read_string(h, count);
        trace(call + " -> " + (got == failure_string ? "the failure string" : "a block"));
        if (expected.failure) {
            if (got != failure_string)
                mismatch(call, "a new block instead of the failure string");
            return;
        }
        if (got == failure_string || got == nullptr)
            mismatch(call, "the failure string instead of a block");
        const std::size_t n = expected.bytes.size();
        // Reading all n + 1 bytes also lets the sanitizer catch a short block.
        if (std::memcmp(got, expected.bytes.data(), n) != 0 || got[n] != '\0')
            mismatch(call, "block holds " + hex(std::string(got, n)) + ", model says " +
                               hex(expected.bytes));
        std::free(const_cast<char *>(got));
    }

    void seek(double h, double offset, double origin)
    {
        const model::Stream *s = model_.stream_at(h);
        std::int64_t distance;
        if (s != nullptr && model::Model::to_offset(offset, &distance)) {
            const std::int32_t from = model::Model::to_int(origin);
            const __int128 base = from == 1   ? s->position
                                  : from == 2 ? model_.file(s->file).bytes.size()
                                              : 0;
            if (from >= 0 && from <= 2 && base + distance > seek_limit)
                return;
        }
        check("FileSeek(" + describe(h) + ", " + describe(offset) + ", " + describe(origin) + ")",
              dx.FileSeek(h, offset, origin), model_.seek(h, offset, origin));
    }

    model::Model model_;
    int calls_ = 0;
};

bool load_module()
{
    const char *path = std::getenv("DRAVENIX_MODULE");
    void *module = dlopen(path != nullptr ? path : DRAVENIX_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "cannot load the module: %s\n", dlerror());
        return false;
    }
    bool all = true;
#define DRAVENIX_RESOLVE(name)                                                   \
    dx.name = reinterpret_cast<decltype(dx.name)>(dlsym(module, #name));         \
    all = all && dx.name != nullptr;
    DRAVENIX_EXPORT_LIST(DRAVENIX_RESOLVE)
#undef DRAVENIX_RESOLVE
    return all;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The module stays loaded for the whole run: its coverage counters live
    // in it, so unloading between inputs would pull them away from the
    // fuzzer. Each input starts from an empty table and an empty folder.
    if (!load_module())
        std::abort();
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/dravenix-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    scratch = pattern;
    std::atexit(remove_scratch);
    tracing = std::getenv("DRAVENIX_FUZZ_TRACE") != nullptr;
    failure_string = dx.FileReadString(-1, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (dx.FileCloseAll() != 0)
        mismatch("FileCloseAll() before the input", "a close failed");
    remove_files();
    Input in(data, size);
    Run run;
    while (!in.done() && !run.spent())
        run.step(in);
    run.finish();
    return 0;
}
