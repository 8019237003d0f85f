// Times each export, called through the module loaded by name as a host
// calls it, against the bare C runtime calls that do the same work on a file
// of the same size, and prints the ratio of the two (library / bare).
//
// Both kinds of host are measured in one run: first this process as it
// starts, single-threaded, where glibc's stream calls skip their locks; then
// with a second thread alive, from which point the C runtime locks its
// streams on every call.
//
// Library and bare passes alternate within each round, and the ops' rounds
// run in random order, so that other work on the machine weighs on both
// sides alike. Each time printed is the median over the rounds, and each
// ratio the median of the rounds' ratios. Usual Google Benchmark flags
// apply; the defaults are set in main().

#include "Dravenix.h"

#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <sys/single_threaded.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

// Every op works through a file of this size: fixed-width items fill it, the
// string ops move it whole.
constexpr long file_size = 64 * 1024;

struct Api {
    decltype(&::FileOpen) FileOpen;
    decltype(&::FileClose) FileClose;
    decltype(&::FileWrite8) FileWrite8;
    decltype(&::FileWrite16) FileWrite16;
    decltype(&::FileWrite32) FileWrite32;
    decltype(&::FileWriteDouble) FileWriteDouble;
    decltype(&::FileWriteString) FileWriteString;
    decltype(&::FileRead8) FileRead8;
    decltype(&::FileRead16) FileRead16;
    decltype(&::FileRead32) FileRead32;
    decltype(&::FileReadDouble) FileReadDouble;
    decltype(&::FileReadString) FileReadString;
    decltype(&::FileSeek) FileSeek;
    decltype(&::FileTell) FileTell;
};

Api dx;
std::filesystem::path scratch;
std::string text;  // file_size bytes, none of them NUL

template <typename Function>
bool find(void *module, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(dlsym(module, name));
    if (function == nullptr)
        std::fprintf(stderr, "export %s is missing\n", name);
    return function != nullptr;
}

bool load_module(const char *path)
{
    void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return false;
    }
    return find(module, "FileOpen", dx.FileOpen) && find(module, "FileClose", dx.FileClose) &&
           find(module, "FileWrite8", dx.FileWrite8) &&
           find(module, "FileWrite16", dx.FileWrite16) &&
           find(module, "FileWrite32", dx.FileWrite32) &&
           find(module, "FileWriteDouble", dx.FileWriteDouble) &&
           find(module, "FileWriteString", dx.FileWriteString) &&
           find(module, "FileRead8", dx.FileRead8) && find(module, "FileRead16", dx.FileRead16) &&
           find(module, "FileRead32", dx.FileRead32) &&
           find(module, "FileReadDouble", dx.FileReadDouble) &&
           find(module, "FileReadString", dx.FileReadString) &&
           find(module, "FileSeek", dx.FileSeek) && find(module, "FileTell", dx.FileTell);
}

// ---- one pass over the file ------------------------------------------------
// A pass makes `calls` calls from the start of the file, then goes back to
// the start with the same side's seek, so every pass does the same work.

using LibraryWrite = double (*)(double, double);
using LibraryRead = double (*)(double);

struct Op {
    const char *name;
    const char *mode;
    int width;   // bytes per call
    long calls;  // calls per pass
    // The export under test, where the op has one of the common shapes.
    LibraryWrite Api::*library_write;
    LibraryRead Api::*library_read;
    void (*library_pass)(const Op &, double handle);
    void (*bare_pass)(const Op &, FILE *stream);
    double target_single, target_threaded;
};

void library_writes(const Op &op, double handle)
{
    for (long i = 0, n = op.calls; i < n; ++i)
        benchmark::DoNotOptimize((dx.*op.library_write)(handle, static_cast<double>(i & 0x7F)));
    dx.FileSeek(handle, 0, 0);
}

void library_reads(const Op &op, double handle)
{
    for (long i = 0, n = op.calls; i < n; ++i)
        benchmark::DoNotOptimize((dx.*op.library_read)(handle));
    dx.FileSeek(handle, 0, 0);
}

void bare_putc(const Op &op, FILE *stream)
{
    for (long i = 0, n = op.calls; i < n; ++i)
        benchmark::DoNotOptimize(std::fputc(static_cast<int>(i & 0x7F), stream));
    std::fseek(stream, 0, SEEK_SET);
}

void bare_getc(const Op &op, FILE *stream)
{
    for (long i = 0, n = op.calls; i < n; ++i)
        benchmark::DoNotOptimize(std::fgetc(stream));
    std::fseek(stream, 0, SEEK_SET);
}

// One fwrite of the item, as a native host would store a value of that width.
void bare_fwrite(const Op &op, FILE *stream)
{
    for (long i = 0, n = op.calls; i < n; ++i) {
        const std::uint64_t item = static_cast<std::uint64_t>(i & 0x7F);
        benchmark::DoNotOptimize(std::fwrite(&item, static_cast<std::size_t>(op.width), 1, stream));
    }
    std::fseek(stream, 0, SEEK_SET);
}

void bare_fread(const Op &op, FILE *stream)
{
    for (long i = 0, n = op.calls; i < n; ++i) {
        std::uint64_t item = 0;
        benchmark::DoNotOptimize(std::fread(&item, static_cast<std::size_t>(op.width), 1, stream));
        benchmark::DoNotOptimize(item);
    }
    std::fseek(stream, 0, SEEK_SET);
}

void library_write_string(const Op &, double handle)
{
    benchmark::DoNotOptimize(dx.FileWriteString(handle, text.c_str()));
    dx.FileSeek(handle, 0, 0);
}

// The host holds a NUL-terminated string, as the library receives it, so the
// bare side too must find its length before it writes.
void bare_write_string(const Op &, FILE *stream)
{
    const char *string = text.c_str();
    benchmark::DoNotOptimize(std::fwrite(string, 1, std::strlen(string), stream));
    std::fseek(stream, 0, SEEK_SET);
}

// The host owns each block the library returns and frees it; the bare side
// allocates and frees a block of the same size, as the library must.
void library_read_string(const Op &, double handle)
{
    const char *block = dx.FileReadString(handle, static_cast<double>(file_size));
    benchmark::DoNotOptimize(block[0]);
    std::free(const_cast<char *>(block));
    dx.FileSeek(handle, 0, 0);
}

void bare_read_string(const Op &, FILE *stream)
{
    char *block = static_cast<char *>(std::malloc(file_size + 1));
    benchmark::DoNotOptimize(std::fread(block, 1, file_size, stream));
    block[file_size] = '\0';
    benchmark::DoNotOptimize(block[0]);
    std::free(block);
    std::fseek(stream, 0, SEEK_SET);
}

// A host that walks records: go to each 8-byte record and ask where it is.
// The records lie within the stream's buffer, where the C runtime's own
// work is least and the library's share of the time the largest.
void library_seek_tell(const Op &op, double handle)
{
    for (long i = 0, n = op.calls; i < n; ++i) {
        benchmark::DoNotOptimize(dx.FileSeek(handle, static_cast<double>(i * 8), 0));
        benchmark::DoNotOptimize(dx.FileTell(handle));
    }
}

void bare_seek_tell(const Op &op, FILE *stream)
{
    for (long i = 0, n = op.calls; i < n; ++i) {
        benchmark::DoNotOptimize(std::fseek(stream, i * 8, SEEK_SET));
        benchmark::DoNotOptimize(std::ftell(stream));
    }
}

const Op ops[] = {
    {"FileWrite8 / fputc", "wb", 1, file_size / 1, &Api::FileWrite8, nullptr,
     library_writes, bare_putc, 1.4, 0.35},
    {"FileRead8 / fgetc", "rb", 1, file_size / 1, nullptr, &Api::FileRead8,
     library_reads, bare_getc, 1.4, 0.35},
    {"FileWrite16 / fwrite", "wb", 2, file_size / 2, &Api::FileWrite16, nullptr,
     library_writes, bare_fwrite, 0.7, 0.6},
    {"FileRead16 / fread", "rb", 2, file_size / 2, nullptr, &Api::FileRead16,
     library_reads, bare_fread, 0.7, 0.6},
    {"FileWrite32 / fwrite", "wb", 4, file_size / 4, &Api::FileWrite32, nullptr,
     library_writes, bare_fwrite, 0.7, 0.6},
    {"FileRead32 / fread", "rb", 4, file_size / 4, nullptr, &Api::FileRead32,
     library_reads, bare_fread, 0.7, 0.6},
    {"FileWriteDouble / fwrite", "wb", 8, file_size / 8, &Api::FileWriteDouble, nullptr,
     library_writes, bare_fwrite, 0.7, 0.6},
    {"FileReadDouble / fread", "rb", 8, file_size / 8, nullptr, &Api::FileReadDouble,
     library_reads, bare_fread, 0.7, 0.6},
    {"FileWriteString 64 KiB / fwrite", "wb", file_size, 1, nullptr, nullptr, library_write_string,
     bare_write_string, 1.05, 1.05},
    {"FileReadString 64 KiB / fread", "rb", file_size, 1, nullptr, nullptr, library_read_string,
     bare_read_string, 1.05, 1.05},
    {"FileSeek+FileTell / fseek+ftell", "rb", 8, 256, nullptr, nullptr, library_seek_tell,
     bare_seek_tell, 1.05, 1.05},
};

// The two sides write files of their own and read the same one.
std::string data_file(const Op &op, const char *side)
{
    return (scratch / (op.mode[0] == 'r' ? std::string("in") : std::string("out-") + side)).string();
}

template <typename Pass>
double nanoseconds(Pass pass)
{
    const auto start = std::chrono::steady_clock::now();
    pass();
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Each iteration makes one library pass and one bare pass, in turns of
// order, so that both sides meet the same state of the machine. A round's
// time for each side is the median of its passes, which leaves out the
// passes that the process spent preempted by other work.
void time_op(benchmark::State &state, const Op *op)
{
    const double handle = dx.FileOpen(data_file(*op, "library").c_str(), op->mode);
    FILE *stream = std::fopen(data_file(*op, "bare").c_str(), op->mode);
    if (handle < 0 || stream == nullptr) {
        state.SkipWithError("cannot open the data file");
        return;
    }
    std::vector<double> library, bare;
    bool library_first = true;
    for (auto _ : state) {
        if (library_first)
            library.push_back(nanoseconds([&] { op->library_pass(*op, handle); }));
        bare.push_back(nanoseconds([&] { op->bare_pass(*op, stream); }));
        if (!library_first)
            library.push_back(nanoseconds([&] { op->library_pass(*op, handle); }));
        library_first = !library_first;
    }
    dx.FileClose(handle);
    std::fclose(stream);
    const double calls = static_cast<double>(op->calls);
    state.counters["library_ns"] = median(std::move(library)) / calls;
    state.counters["bare_ns"] = median(std::move(bare)) / calls;
}

// ---- the table of ratios ---------------------------------------------------

// Collects the nanoseconds per call of every round and prints, per op, the
// median of each side and the median ratio against the target for this kind
// of host. Prints nothing per round.
class RatioReporter : public benchmark::BenchmarkReporter {
public:
    explicit RatioReporter(bool threaded) : threaded_(threaded) {}

    bool ReportContext(const Context &) override { return true; }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            Rounds &rounds = rounds_[run.run_name.str()];
            rounds.library.push_back(run.counters.at("library_ns"));
            rounds.bare.push_back(run.counters.at("bare_ns"));
            rounds.ratio.push_back(rounds.library.back() / rounds.bare.back());
        }
    }

    // Returns the number of targets missed.
    int print_table() const
    {
        std::printf("\n%s host: the C runtime %s its streams\n",
                    threaded_ ? "Multithreaded" : "Single-threaded",
                    __libc_single_threaded ? "does not lock" : "locks");
        std::printf("%-34s %12s %12s %7s %7s  %s\n", "op (library / bare)", "library ns",
                    "bare ns", "ratio", "target", "rounds");
        int missed = 0;
        for (const Op &op : ops) {
            const auto found = rounds_.find(op.name);
            if (found == rounds_.end())
                continue;
            const Rounds &rounds = found->second;
            const double ratio = median(rounds.ratio);
            const double target = threaded_ ? op.target_threaded : op.target_single;
            const bool met = ratio <= target;
            missed += met ? 0 : 1;
            std::printf("%-34s %12.2f %12.2f %7.3f %7.2f  %zu%s\n", op.name,
                        median(rounds.library), median(rounds.bare), ratio, target,
                        rounds.ratio.size(), met ? "" : "  MISSED");
        }
        std::fflush(stdout);
        return missed;
    }

private:
    bool threaded_;
    struct Rounds {
        std::vector<double> library, bare, ratio;
    };
    std::map<std::string, Rounds> rounds_;
};

int run_all(bool threaded)
{
    RatioReporter reporter(threaded);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    return reporter.print_table();
}

void write_data_file()
{
    text.resize(file_size);
    for (long i = 0; i < file_size; ++i)
        text[static_cast<std::size_t>(i)] = static_cast<char>('!' + i % 90);
    FILE *in = std::fopen((scratch / "in").string().c_str(), "wb");
    if (in == nullptr || std::fwrite(text.data(), 1, text.size(), in) != text.size() ||
        std::fclose(in) != 0) {
        std::fprintf(stderr, "cannot write the data file\n");
        std::exit(1);
    }
}

} // namespace

int main(int argc, char **argv)
{
    // Defaults first, so that flags given on the command line override them.
    std::vector<char *> args = {argv[0]};
    char repetitions[] = "--benchmark_repetitions=21";
    char min_time[] = "--benchmark_min_time=0.05";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.end(), {repetitions, min_time, interleave});
    args.insert(args.end(), argv + 1, argv + argc);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 2;

    const char *module_path = std::getenv("DRAVENIX_MODULE");
    if (!load_module(module_path != nullptr ? module_path : DRAVENIX_MODULE_PATH))
        return 1;
    scratch = std::filesystem::temp_directory_path() /
              ("dravenix-bench-" + std::to_string(static_cast<long>(getpid())));
    std::filesystem::create_directories(scratch);
    write_data_file();

    for (const Op &op : ops)
        benchmark::RegisterBenchmark(op.name, time_op, &op);

    int missed = run_all(false);

    // A second thread that only waits: its presence is what makes the C
    // runtime lock every stream call from here on.
    std::promise<void> finish;
    std::thread idle([done = finish.get_future()]() mutable { done.wait(); });
    missed += run_all(true);
    finish.set_value();
    idle.join();

    std::filesystem::remove_all(scratch);
    std::printf("\n%s\n", missed == 0 ? "every target met" : "some targets missed");
    return 0;
}
