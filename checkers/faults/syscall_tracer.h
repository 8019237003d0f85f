// The tracer behind the fault runner (fault_injector.h), Linux x86-64: a
// seccomp filter stops the traced processes at the system calls a fault may
// hit and at the marker call, in 64-bit and in 32-bit code alike, and the
// tracer counts the calls on the armed run's files, fails or shortens the
// planned ones and writes the Tally into the program that armed the run.
#pragma once

#include <sys/types.h>

namespace faults {

// In the process to be traced, after PTRACE_TRACEME and its first stop:
// from here on the calls the tracer wants stop it. False on failure.
bool install_filter();

// Traces `first`, stopped and traced already, until it ends; with
// follow_children, every process and thread it starts as well (wine and
// its threads). Returns first's exit status, or 256 + the signal that
// ended it, or -1 if tracing failed.
int trace(pid_t first, bool follow_children);

} // namespace faults
