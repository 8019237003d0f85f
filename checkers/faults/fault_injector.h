// Makes the system calls under the C runtime's streams fail on chosen
// calls, for the fault runner. A preloaded interposer cannot do it: glibc's
// streams call their own internal write, and under wine the calls come from
// wine's own libraries. So a tracer (syscall_tracer.h, Linux x86-64) stops
// the process that makes the calls with ptrace and rewrites the chosen
// system calls on the files named: an error instead of the call (EIO,
// ENOSPC, EINTR, ...), or a write that writes fewer bytes than asked.
//
// On Linux the calls run in a forked child that this process traces. On
// Windows the program runs under wine, itself traced from outside by
// dravenix_wine_tracer, and tells the tracer each run's plan through marker
// system calls that reach the Linux kernel from Windows code.
//
// Only descriptors open on the named files count, so the program's own
// output, its loader and its allocator are never disturbed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace faults {

// The system calls a fault may hit. fstat stands for every call that asks
// a descriptor's length: fstat, and newfstatat and statx on an empty path.
enum Syscall { sys_write, sys_read, sys_lseek, sys_close, sys_fstat, syscall_kinds };
const char *syscall_name(int syscall);

// What a fault does: one of these errors, or a short write.
enum Kind { kind_eio, kind_enospc, kind_eintr, kind_einval, kind_espipe, kind_short, fault_kinds };
const char *kind_name(int kind);
int kind_errno(int kind);

constexpr int max_files = 4;

// Which calls fail: the calls `first` to `first + count - 1` of this kind
// on the named files, counted from 1 in the order the program makes them.
// A short write shortens the first and fails the rest with ENOSPC, as a
// disk that fills up does; with count 1 the next write goes through. A
// persistent fault fails every such call from `first` on.
// Fixed-width fields: the tracer reads it out of a Windows program.
struct Plan {
    std::int32_t syscall = sys_write;
    std::int32_t kind = kind_eio;
    std::int64_t first = 0;  // 0: no fault, only counting
    std::int64_t count = 1;
};
constexpr std::int64_t persistent = INT64_MAX / 2;

// What the tracer saw and did, in the traced program's memory, which the
// tracer writes before the call it counts goes on; the program reads it
// between its calls to learn what each call met. Fixed-width fields: the
// same layout on every build.
struct Tally {
    std::int64_t seen[syscall_kinds];                  // calls on the named files
    std::int64_t injected[syscall_kinds][fault_kinds];
    std::int64_t errors;                               // injected errors, all kinds
    std::int64_t shortened;                            // writes cut short
    std::int64_t seen_by_file[max_files][syscall_kinds];
    std::int64_t failed_writes_by_file[max_files];     // writes answered with an error
    std::int64_t failed_closes_by_file[max_files];
    std::int64_t interrupted_writes_by_file[max_files];  // of those failed, by EINTR
};

// What the program hands the tracer at the start of a run: the plan, where
// its Tally is, and the folder of the files (f0, f1, ... in it).
struct Arming {
    Plan plan;
    std::uint64_t tally_address;
    char folder[1024];
};

// What the arming marker hands the tracer for one run, with the tally
// cleared for it. Output still buffered goes out first, so that none of
// it reaches a file during the run.
inline Arming arm_for(const std::string &folder, const Plan &plan, Tally *tally)
{
    std::memset(static_cast<void *>(tally), 0, sizeof *tally);
    Arming arming{};
    arming.plan = plan;
    arming.tally_address = reinterpret_cast<std::uintptr_t>(tally);
    std::snprintf(arming.folder, sizeof arming.folder, "%s", folder.c_str());
    std::fflush(nullptr);
    return arming;
}

// The marker system call: a number no system has, which the kernel refuses
// with ENOSYS and the tracer reads. Its first argument says what it marks.
constexpr long marker_syscall = 0x4458;
enum Marker { marker_arm = 1, marker_disarm = 2 };

// Tallies of this program's own, in memory a forked child shares.
Tally *shared_tallies(int count);

// Runs body traced under the plan, the files being f0, f1, ... in folder.
// Returns body's result, or 256 + the signal that ended it, or -1 if
// tracing failed. body calls disarm() when it is done with faults.
int run_traced(const std::string &folder, const Plan &plan, Tally *tally,
               const std::function<int()> &body);

// From here on the tracer counts and injects nothing.
void disarm();

} // namespace faults
