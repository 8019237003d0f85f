// Differential runner: seeded random sequences of calls of the sixteen
// exports, made through the module loaded by name as a host does, each
// result and every file checked against the model (call_driver.h). It runs
// on every platform the module is built for, and replays the fuzzer's seed
// corpus.
//
//   dravenix_differential [--sequences N] [--calls M] [--seed S] [--trace]
//   dravenix_differential --replay FILE...
//
// Sequence i of a run uses the seed S + i, so a divergence found in a long
// run is run again alone with --seed S+i --sequences 1.
#include "call_driver.h"
#include "platform.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

driver::Session session;
std::string current;  // the sequence or file being run, for the report

[[noreturn]] void report(const driver::Divergence &d)
{
    std::printf("\n*** Dravenix differs from the model\n"
                "  in: %s\n"
                "  call:     %s\n"
                "  Dravenix: %s\n"
                "  model:    %s\n"
                "  The calls on that file since it was opened, and the call, for a\n"
                "  DravenixTest (tests/dravenix_test.h):\n\n",
                current.c_str(), d.call.c_str(), d.got.c_str(), d.expected.c_str());
    for (const std::string &line : d.history)
        std::printf("    %s\n", line.c_str());
    std::printf("    %s  // Dravenix gives %s\n", d.call.c_str(), d.got.c_str());
    std::fflush(stdout);
    driver::remove_scratch_files(session);
    platform::remove_folder(session.scratch);
    std::exit(1);
}

bool parse_number(const char *text, std::uint64_t *value)
{
    char *end = nullptr;
    *value = std::strtoull(text, &end, 0);
    return end != text && *end == '\0';
}

int usage()
{
    std::fprintf(stderr, "usage: dravenix_differential [--sequences N] [--calls M] [--seed S]"
                         " [--trace]\n"
                         "       dravenix_differential [--calls M] [--trace] --replay FILE...\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::uint64_t sequences = 200, calls = 2048, seed = 1;
    std::vector<std::string> replay;
    bool replaying = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::uint64_t *target = arg == "--sequences" ? &sequences
                                : arg == "--calls"   ? &calls
                                : arg == "--seed"    ? &seed
                                                     : nullptr;
        if (target != nullptr) {
            if (i + 1 == argc || !parse_number(argv[++i], target))
                return usage();
        } else if (arg == "--trace") {
            session.tracing = true;
        } else if (arg == "--replay") {
            replaying = true;
        } else if (replaying && arg.rfind("--", 0) != 0) {
            replay.push_back(arg);
        } else {
            return usage();
        }
    }
    if ((replaying && replay.empty()) || calls == 0 || calls > 100000000)
        return usage();

    std::string error;
    if (!platform::load_module(&session.dx, &error)) {
        std::fprintf(stderr, "cannot load the module: %s\n", error.c_str());
        return 2;
    }
    session.scratch = platform::make_scratch_folder();
    if (session.scratch.empty()) {
        std::fprintf(stderr, "cannot make a scratch folder\n");
        return 2;
    }
    session.platform = driver::this_platform();
    session.on_divergence = report;
    session.failure_string = session.dx.FileReadString(-1, 1);

    const auto start = std::chrono::steady_clock::now();
    long total_calls = 0;
    std::uint64_t runs = 0;
    if (replaying) {
        for (const std::string &file : replay) {
            std::string bytes;
            if (!platform::read_file(file, &bytes)) {
                std::fprintf(stderr, "cannot read %s\n", file.c_str());
                return 2;
            }
            current = "the input " + file;
            driver::BufferSource source(reinterpret_cast<const std::uint8_t *>(bytes.data()),
                                        bytes.size());
            total_calls += driver::run_input(session, source, static_cast<int>(calls));
            ++runs;
        }
    } else {
        for (std::uint64_t i = 0; i < sequences; ++i) {
            char where[160];
            std::snprintf(where, sizeof where,
                          "seed %" PRIu64 " (run it alone: --seed %" PRIu64
                          " --sequences 1 --calls %" PRIu64 ")",
                          seed + i, seed + i, calls);
            current = where;
            driver::RandomSource source(seed + i);
            total_calls += driver::run_input(session, source, static_cast<int>(calls));
            ++runs;
        }
    }
    session.dx.FileCloseAll();
    driver::remove_scratch_files(session);
    platform::remove_folder(session.scratch);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%" PRIu64 " %s, %ld calls, no divergence (%.1f s)\n", runs,
                replaying ? "inputs" : "sequences", total_calls, seconds);
    return 0;
}
