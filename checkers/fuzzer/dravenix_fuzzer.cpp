// Differential fuzzer: the libFuzzer entry of the call driver
// (call_driver.h), which decodes the input into calls of the sixteen
// exports, makes them through the module loaded by name, as a host does,
// and checks every result and every file against the model.
#include "call_driver.h"
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// An input never makes more calls than this.
constexpr int max_calls = 2048;

driver::Session session;

[[noreturn]] void report(const driver::Divergence &d)
{
    std::fprintf(stderr, "\n*** Dravenix differs from the model\n  call: %s\n  got %s, model says %s\n",
                 d.call.c_str(), d.got.c_str(), d.expected.c_str());
    std::fprintf(stderr, "  calls on that file since it was opened:\n");
    for (const std::string &line : d.history)
        std::fprintf(stderr, "    %s\n", line.c_str());
    std::fflush(stderr);
    std::abort();
}

void remove_scratch()
{
    driver::remove_scratch_files(session);
    platform::remove_folder(session.scratch);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The module stays loaded for the whole run: its coverage counters live
    // in it, so unloading between inputs would pull them away from the
    // fuzzer. Each input starts from an empty table and an empty folder.
    std::string error;
    if (!platform::load_module(&session.dx, &error)) {
        std::fprintf(stderr, "cannot load the module: %s\n", error.c_str());
        std::abort();
    }
    session.scratch = platform::make_scratch_folder();
    if (session.scratch.empty()) {
        std::fprintf(stderr, "cannot make a scratch folder\n");
        std::abort();
    }
    std::atexit(remove_scratch);
    session.platform = driver::this_platform();
    session.on_divergence = report;
    session.tracing = std::getenv("DRAVENIX_FUZZ_TRACE") != nullptr;
    session.failure_string = session.dx.FileReadString(-1, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    driver::BufferSource input(data, size);
    driver::run_input(session, input, max_calls);
    return 0;
}
