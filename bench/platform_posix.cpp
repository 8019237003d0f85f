// The benchmark's platform part on Linux: dlopen, the monotonic clock and
// glibc's single-threaded flag, which lets stream calls skip their locks.

#include "bench_ops.h"

#include <dlfcn.h>
#include <sys/single_threaded.h>
#include <time.h>
#include <unistd.h>

namespace bench {

void *open_module(const char *path)
{
    void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
        std::fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
    return module;
}

void *find_export(void *module, const char *name)
{
    return dlsym(module, name);
}

double now_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

long process_id()
{
    return static_cast<long>(getpid());
}

bool runtime_locks_streams()
{
    return !__libc_single_threaded;
}

double target_ratio(const Op &op, bool threaded)
{
    return threaded ? op.targets.linux_threaded : op.targets.linux_single;
}

} // namespace bench
