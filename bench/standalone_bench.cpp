// The speed benchmark without Google Benchmark, for targets that have none
// (Windows, built with mingw and run under wine). Times the same pairs as
// the Google Benchmark driver, in the same way:
//
//   - a round of an op alternates library and bare passes for at least
//     --min-time seconds; each side's time in the round is the median of its
//     passes, so that passes preempted by other work drop out;
//   - every round runs the ops in a new random order;
//   - each time printed is the median over --rounds rounds, and each ratio
//     (library / bare) the median of the rounds' ratios.
//
// Two tables: one single-threaded, one with a second thread alive. The
// targets are printed beside the ratios and never make the run fail: the
// exit status is 0 unless the module or the data files cannot be opened.
//
//   dravenix_bench [--rounds=N] [--min-time=SECONDS] [--quick]
//
// --quick (for CI) is 3 rounds of one pass pair each. DRAVENIX_MODULE names
// the module to load instead of Dravenix.dll beside the program.

#include "bench_ops.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <future>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace bench;

struct Settings {
    int rounds = 21;
    double min_time_s = 0.05;
};

bool parse_flag(const char *arg, const char *name, double &value)
{
    const std::size_t length = std::strlen(name);
    if (std::strncmp(arg, name, length) != 0 || arg[length] != '=')
        return false;
    char *end = nullptr;
    value = std::strtod(arg + length + 1, &end);
    return end != arg + length + 1 && *end == '\0' && value >= 0;
}

bool parse_args(int argc, char **argv, Settings &settings)
{
    for (int i = 1; i < argc; ++i) {
        double value = 0;
        if (std::strcmp(argv[i], "--quick") == 0) {
            settings.rounds = 3;
            settings.min_time_s = 0;
        } else if (parse_flag(argv[i], "--rounds", value) && value >= 1 && value <= 10000) {
            settings.rounds = static_cast<int>(value);
        } else if (parse_flag(argv[i], "--min-time", value) && value <= 60) {
            settings.min_time_s = value;
        } else {
            std::fprintf(stderr, "usage: %s [--rounds=N] [--min-time=SECONDS] [--quick]\n",
                         argv[0]);
            return false;
        }
    }
    return true;
}

// Returns the targets missed, or -1 if a data file could not be opened.
int run_all(const Settings &settings, bool threaded)
{
    std::vector<Rounds> rounds(op_count);
    std::vector<std::size_t> order(op_count);
    std::iota(order.begin(), order.end(), 0);
    std::mt19937 shuffle_source(threaded ? 2 : 1);
    const double min_time_ns = settings.min_time_s * 1e9;

    for (int round = 0; round < settings.rounds; ++round) {
        std::shuffle(order.begin(), order.end(), shuffle_source);
        for (const std::size_t i : order) {
            const Streams streams = open_streams(ops[i]);
            if (!streams.open()) {
                close_streams(streams);
                std::fprintf(stderr, "%s: cannot open the data file\n", ops[i].name);
                return -1;
            }
            // At least one library pass and one bare pass, then until the
            // round's time is up.
            const double start = now_ns();
            bool first = true;
            const PairTimes times = time_pair(ops[i], streams, [&] {
                const bool more = first || now_ns() - start < min_time_ns;
                first = false;
                return more;
            });
            close_streams(streams);
            rounds[i].add(times);
        }
    }
    return print_ratio_table(rounds, threaded);
}

} // namespace

int main(int argc, char **argv)
{
    Settings settings;
    if (!parse_args(argc, argv, settings))
        return 2;
    const char *module_path = std::getenv("DRAVENIX_MODULE");
    if (!load_module(module_path != nullptr ? module_path : "Dravenix.dll") || !set_up_data())
        return 1;
    std::printf("%d rounds, at least %g s of passes per op and round\n", settings.rounds,
                settings.min_time_s);

    const int single = run_all(settings, false);

    // A second thread that only waits, as in a host with threads of its own.
    std::promise<void> finish;
    std::thread idle([done = finish.get_future()]() mutable { done.wait(); });
    const int threaded = single < 0 ? 0 : run_all(settings, true);
    finish.set_value();
    idle.join();

    remove_data();
    if (single < 0 || threaded < 0)
        return 1;
    std::printf("\n%s\n", single + threaded == 0 ? "every target met" : "some targets missed");
    return 0;
}
