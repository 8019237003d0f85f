// The fault runner's Windows side, under wine: the program is traced from
// outside (dravenix_wine_tracer), so a run is a call of body in this
// process, between two marker system calls that reach the Linux kernel,
// and through it the tracer, straight from Windows code.
#include "fault_injector.h"

#include <cstdio>
#include <cstring>

namespace faults {

namespace {

long marker(long what, const void *argument)
{
    long result;
#if defined(__x86_64__)
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(marker_syscall), "D"(what), "S"(argument)
                     : "rcx", "r11", "memory");
#elif defined(__i386__)
    __asm__ volatile("int $0x80"
                     : "=a"(result)
                     : "a"(marker_syscall), "b"(what), "c"(argument)
                     : "memory");
#else
#error "the marker call is made for x86 and x64"
#endif
    return result;
}

} // namespace

Tally *shared_tallies(int count)
{
    return new Tally[static_cast<std::size_t>(count)]();
}

void disarm()
{
    marker(marker_disarm, nullptr);
}

int run_traced(const std::string &folder, const Plan &plan, Tally *tally,
               const std::function<int()> &body)
{
    Arming arming = arm_for(folder, plan, tally);
    marker(marker_arm, &arming);
    const int result = body();
    disarm();
    return result;
}

} // namespace faults
