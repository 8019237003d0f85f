// The fault runner's Linux side: each run in a forked child that this
// process traces (syscall_tracer.h).
#include "fault_injector.h"

#include "syscall_tracer.h"

#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace faults {

Tally *shared_tallies(int count)
{
    void *memory = mmap(nullptr, sizeof(Tally) * static_cast<std::size_t>(count), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<Tally *>(memory);
}

void disarm()
{
    syscall(marker_syscall, marker_disarm, 0);
}

int run_traced(const std::string &folder, const Plan &plan, Tally *tally,
               const std::function<int()> &body)
{
    Arming arming = arm_for(folder, plan, tally);
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(127);
        raise(SIGSTOP);
        if (!install_filter())
            _exit(127);
        syscall(marker_syscall, marker_arm, &arming);
        const int result = body();
        std::fflush(nullptr);
#if defined(DRAVENIX_CHILD_RUNS_EXIT_HANDLERS)
        // A coverage build: the exit handlers write the module's line
        // counters, so that the failure paths only faults reach count.
        std::exit(result);
#else
        _exit(result);
#endif
    }

    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    if (!WIFSTOPPED(status)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -1;
    }
    return trace(child, false);
}

} // namespace faults
