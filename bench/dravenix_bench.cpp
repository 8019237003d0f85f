// The speed benchmark under Google Benchmark: times each pair of bench_ops.h
// (library call, bare C runtime call) and prints the ratio of the two
// (library / bare).
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

#include "bench_ops.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace bench;

// One Google Benchmark run is one round of the op.
void time_op(benchmark::State &state, const Op *op)
{
    const Streams streams = open_streams(*op);
    if (!streams.open()) {
        close_streams(streams);
        state.SkipWithError("cannot open the data file");
        return;
    }
    const PairTimes times = time_pair(*op, streams, [&] { return state.KeepRunning(); });
    close_streams(streams);
    state.counters["library_ns"] = times.library_ns;
    state.counters["bare_ns"] = times.bare_ns;
}

// Collects every round's figures, prints nothing per round.
class RoundsReporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context &) override { return true; }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            const auto found = index_.find(run.run_name.str());
            if (found != index_.end())
                rounds[found->second].add(
                    {run.counters.at("library_ns"), run.counters.at("bare_ns")});
        }
    }

    std::vector<Rounds> rounds = std::vector<Rounds>(op_count);

private:
    std::map<std::string, std::size_t> index_ = [] {
        std::map<std::string, std::size_t> index;
        for (std::size_t i = 0; i < op_count; ++i)
            index[ops[i].name] = i;
        return index;
    }();
};

int run_all(bool threaded)
{
    RoundsReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    return print_ratio_table(reporter.rounds, threaded);
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
    if (!load_module(module_path != nullptr ? module_path : DRAVENIX_MODULE_PATH) ||
        !set_up_data())
        return 1;

    for (std::size_t i = 0; i < op_count; ++i)
        benchmark::RegisterBenchmark(ops[i].name, time_op, &ops[i]);

    int missed = run_all(false);

    // A second thread that only waits: its presence is what makes the C
    // runtime lock every stream call from here on.
    std::promise<void> finish;
    std::thread idle([done = finish.get_future()]() mutable { done.wait(); });
    missed += run_all(true);
    finish.set_value();
    idle.join();

    remove_data();
    std::printf("\n%s\n", missed == 0 ? "every target met" : "some targets missed");
    return 0;
}
