// The pairs that the speed benchmark times: each export, called through the
// module loaded by name as a host calls it, against the bare C runtime calls
// that do the same work on a file of the same size. Shared by the two
// drivers: Google Benchmark's where it is installed, and the self-contained
// one for targets that have no Google Benchmark (Windows, built with mingw).

#ifndef DRAVENIX_BENCH_OPS_H
#define DRAVENIX_BENCH_OPS_H

#include "Dravenix.h"

#include <cstdio>
#include <string>
#include <vector>

namespace bench {

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

extern Api dx;

// Keeps the compiler from dropping a result the benchmark never reads, at
// the cost of no instruction (as Google Benchmark's DoNotOptimize does).
template <typename Value>
inline void keep(const Value &value)
{
    asm volatile("" : : "r,m"(value) : "memory");
}

// Ratios (library / bare) that each op should reach. Only printed beside the
// measured ratio: the benchmark never fails on one. no_target: the pair is
// shown for comparison only on that platform.
constexpr double no_target = 0;
struct Targets {
    double linux_single, linux_threaded;
    double windows;  // msvcrt locks its streams either way
};

// Layers held to one target, in either kind of host: the portable stream
// layer (src/stdc/) for every pair that has one on the platform, within
// 1.25 times the bare calls; the UCRT layer (src/ucrt/) for every pair,
// ahead of the bare UCRT calls or within 1.1 of them.
struct LayerTarget {
    double ratio;        // no_target: the ops' own targets
    bool every_pair;     // also the pairs that have none on the platform
};
#if defined(DRAVENIX_PORTABLE_STREAMS)
constexpr LayerTarget layer_target = {1.25, false};
#elif defined(DRAVENIX_UCRT_STREAMS)
constexpr LayerTarget layer_target = {1.1, true};
#else
constexpr LayerTarget layer_target = {no_target, false};
#endif

using LibraryWrite = double (*)(double, double);
using LibraryRead = double (*)(double);

// A pass makes `calls` calls from the start of the file, then goes back to
// the start with the same side's seek, so every pass does the same work.
struct Op {
    const char *name;
    const char *mode;
    int width;   // bytes per call
    long calls;  // calls per pass
    // The export under test, where the op has one of the common shapes.
    LibraryWrite Api::*library_write;
    LibraryRead Api::*library_read;
    void (*library_pass)(const Op &, double handle);
    void (*bare_pass)(const Op &, std::FILE *stream);
    Targets targets;
};

extern const Op ops[];
extern const std::size_t op_count;

// ---- platform: one file per platform ---------------------------------------

// Loads the module as a host does; prints why and returns null on failure.
void *open_module(const char *path);
void *find_export(void *module, const char *name);
// Nanoseconds on a monotonic clock.
double now_ns();
long process_id();
// Whether the C runtime takes its stream lock on every call at this moment.
bool runtime_locks_streams();
double target_ratio(const Op &op, bool threaded);

// ---- shared ----------------------------------------------------------------

// Loads the module and finds every export the ops call; prints what is
// missing and returns false on failure.
bool load_module(const char *path);

// Makes a scratch folder and the input file the reading ops share.
bool set_up_data();
void remove_data();

struct Streams {
    double handle = -1;
    std::FILE *stream = nullptr;
    bool open() const { return handle >= 0 && stream != nullptr; }
};
// The two sides write files of their own and read the same one.
Streams open_streams(const Op &op);
void close_streams(const Streams &streams);

double median(std::vector<double> values);

// Times library and bare passes in turns of order, so that both sides meet
// the same state of the machine, for as long as more() says, and returns
// each side's median pass in nanoseconds per call: the median leaves out the
// passes that the process spent preempted by other work.
struct PairTimes {
    double library_ns, bare_ns;
};
template <typename More>
PairTimes time_pair(const Op &op, const Streams &streams, More more)
{
    std::vector<double> library, bare;
    bool library_first = true;
    auto time_library = [&] {
        const double start = now_ns();
        op.library_pass(op, streams.handle);
        library.push_back(now_ns() - start);
    };
    auto time_bare = [&] {
        const double start = now_ns();
        op.bare_pass(op, streams.stream);
        bare.push_back(now_ns() - start);
    };
    while (more()) {
        if (library_first)
            time_library();
        time_bare();
        if (!library_first)
            time_library();
        library_first = !library_first;
    }
    const double calls = static_cast<double>(op.calls);
    return {median(std::move(library)) / calls, median(std::move(bare)) / calls};
}

// The rounds' figures of one op: nanoseconds per call of each side.
struct Rounds {
    std::vector<double> library, bare, ratio;
    void add(const PairTimes &times)
    {
        library.push_back(times.library_ns);
        bare.push_back(times.bare_ns);
        ratio.push_back(times.library_ns / times.bare_ns);
    }
};

// Prints, per op, the median of each side and the median of the rounds'
// ratios against the target for this kind of host; `rounds` is indexed like
// `ops`, and ops without rounds are left out. Returns the targets missed.
int print_ratio_table(const std::vector<Rounds> &rounds, bool threaded);

} // namespace bench

#endif
