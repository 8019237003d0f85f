// The benchmark's platform part on Windows: LoadLibrary, as a host loads the
// module, and QueryPerformanceCounter. The C runtime (msvcrt.dll or UCRT),
// whose stdio both the module and the bare calls use, locks its stream on
// every call whether or not a second thread exists.

#include "bench_ops.h"

#include <windows.h>

namespace bench {

void *open_module(const char *path)
{
    HMODULE module = LoadLibraryA(path);
    if (module == nullptr)
        std::fprintf(stderr, "cannot load %s: error %lu\n", path,
                     static_cast<unsigned long>(GetLastError()));
    return reinterpret_cast<void *>(module);
}

void *find_export(void *module, const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
}

double now_ns()
{
    static const double ns_per_tick = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return 1e9 / static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * ns_per_tick;
}

long process_id()
{
    return static_cast<long>(GetCurrentProcessId());
}

bool runtime_locks_streams()
{
    return true;
}

double target_ratio(const Op &op, bool)
{
    return op.targets.windows;
}

} // namespace bench
