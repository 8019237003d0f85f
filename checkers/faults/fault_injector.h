// Makes the system calls under the C runtime's streams fail on chosen
// calls, for the fault runner. A preloaded interposer cannot do it: glibc's
// streams call their own internal write. So the calls run in a forked
// child that this process traces with ptrace, and the tracer rewrites the
// chosen system calls on the files named: an error instead of the call
// (EIO, ENOSPC, EINTR, ...), or a write that writes fewer bytes than asked.
//
// Only descriptors open on the named files count, so the child's own
// output, its loader and its allocator are never disturbed. Linux x86-64.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace faults {

// The system calls a fault may hit.
enum Syscall { sys_write, sys_read, sys_lseek, sys_close, syscall_kinds };
const char *syscall_name(int syscall);

// What a fault does: one of these errors, or a short write.
enum Kind { kind_eio, kind_enospc, kind_eintr, kind_einval, kind_short, fault_kinds };
const char *kind_name(int kind);
int kind_errno(int kind);

constexpr int max_files = 4;

// Which calls fail: the calls `first` to `first + count - 1` of this kind
// on the named files, counted from 1 in the order the child makes them.
// A short write shortens the first and fails the rest with ENOSPC, as a
// disk that fills up does; with count 1 the next write goes through.
struct Plan {
    int syscall = sys_write;
    int kind = kind_eio;
    long first = 0;  // 0: no fault, only counting
    long count = 1;
};

// What the tracer saw and did, in memory shared with the child, which reads
// it between its calls to learn what each call met.
struct Tally {
    long seen[syscall_kinds];                  // calls on the named files
    long injected[syscall_kinds][fault_kinds];
    long errors;                               // injected errors, all kinds
    long shortened;                            // writes cut short
    long seen_by_file[max_files][syscall_kinds];
    long failed_writes_by_file[max_files];     // writes answered with an error
    long failed_closes_by_file[max_files];
    // Set by the child when it is done with faults: the tracer lets go.
    volatile int armed;
};

// Shared memory for a Tally, mapped before the fork; never unmapped.
Tally *shared_tally();

// Runs body in a forked child traced under the plan, the files being those
// at these paths. Returns the child's exit status, or 128 + the signal that
// ended it, or -1 if tracing failed.
int run_traced(const std::vector<std::string> &files, const Plan &plan, Tally *tally,
               const std::function<int()> &body);

} // namespace faults
