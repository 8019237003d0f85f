#include "fault_injector.h"

namespace faults {

const char *syscall_name(int syscall)
{
    static const char *const names[] = {"write", "read", "lseek", "close", "fstat"};
    return names[syscall];
}

const char *kind_name(int kind)
{
    static const char *const names[] = {"EIO", "ENOSPC", "EINTR", "EINVAL", "ESPIPE", "short"};
    return names[kind];
}

int kind_errno(int kind)
{
    // Linux's numbers: the tracer hands them to the kernel's callers.
    static const int codes[] = {5, 28, 4, 22, 29, 28};
    return codes[kind];
}

} // namespace faults
