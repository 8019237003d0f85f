#include "syscall_tracer.h"

#include "fault_injector.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace faults {

namespace {

// What the filter hands the tracer with each stop (SECCOMP_RET_DATA): the
// call's kind, or the marker, and how to read its arguments.
constexpr unsigned data_kind = 0xff;
constexpr unsigned data_marker = 0x0f;
constexpr unsigned data_32bit = 0x100;      // i386 numbers and registers
constexpr unsigned data_path_first = 0x200; // *at(fd, path, ...): fstat only on ""

struct Watched {
    unsigned number;
    unsigned data;
};

// The calls under the C runtimes' streams, as glibc and wine make them.
const Watched calls_64[] = {
    {0, sys_read},     {1, sys_write},   {3, sys_close},
    {5, sys_fstat},    {8, sys_lseek},   {262, sys_fstat | data_path_first},
    {332, sys_fstat | data_path_first},  {static_cast<unsigned>(marker_syscall), data_marker},
};
const Watched calls_32[] = {
    {3, sys_read},     {4, sys_write},    {6, sys_close},
    {19, sys_lseek},   {140, sys_lseek},  {108, sys_fstat},
    {197, sys_fstat},  {300, sys_fstat | data_path_first},
    {383, sys_fstat | data_path_first},   {static_cast<unsigned>(marker_syscall), data_marker},
};

void add_block(std::vector<sock_filter> &program, const Watched *calls, std::size_t count,
               unsigned extra)
{
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    for (std::size_t i = 0; i < count; ++i) {
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, calls[i].number, 0, 1));
        program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE | calls[i].data | extra));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
}

// One traced run: what the program that armed it asked for.
struct Armed {
    bool on = false;
    pid_t process = 0;
    Plan plan;
    std::uint64_t tally_address = 0;
    Tally tally{};
    std::vector<std::string> endings;  // "/<folder's name>/f0", ...
};

class Tracer {
public:
    explicit Tracer(bool follow) : follow_(follow) {}

    int run(pid_t first)
    {
        long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL;
        if (follow_)
            options |= PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACECLONE |
                       PTRACE_O_TRACEEXEC;
        if (ptrace(PTRACE_SETOPTIONS, first, nullptr, options) != 0)
            return -1;
        known_.insert(first);
        resume(first, PTRACE_CONT, 0);
        for (;;) {
            int status = 0;
            const pid_t pid = waitpid(-1, &status, __WALL);
            if (pid < 0) {
                if (errno == EINTR)
                    continue;
                return -1;
            }
            if (WIFEXITED(status) || WIFSIGNALED(status)) {
                known_.erase(pid);
                processes_.erase(pid);
                pending_.erase(pid);
                if (pid == first)
                    return WIFEXITED(status) ? WEXITSTATUS(status) : 256 + WTERMSIG(status);
                continue;
            }
            if (!WIFSTOPPED(status))
                continue;
            const int signal = WSTOPSIG(status);
            const int event = status >> 16;
            if (known_.insert(pid).second && signal == SIGSTOP) {
                resume(pid, PTRACE_CONT, 0);  // a new process or thread's first stop
            } else if (event == PTRACE_EVENT_SECCOMP) {
                resume(pid, stopped_at_call(pid) ? PTRACE_SYSCALL : PTRACE_CONT, 0);
            } else if (signal == (SIGTRAP | 0x80)) {
                leave_call(pid);
                resume(pid, PTRACE_CONT, 0);
            } else if (event != 0) {
                resume(pid, PTRACE_CONT, 0);  // fork, clone, exec
            } else {
                resume(pid, PTRACE_CONT, signal);  // its own signal: passed on
            }
        }
    }

private:
    static void resume(pid_t pid, int how, int signal)
    {
        ptrace(static_cast<__ptrace_request>(how), pid, nullptr, signal);
    }

    // The process a thread belongs to.
    pid_t process_of(pid_t pid)
    {
        const auto found = processes_.find(pid);
        if (found != processes_.end())
            return found->second;
        pid_t process = pid;
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
        if (std::FILE *status = std::fopen(path, "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, status) != nullptr)
                if (std::sscanf(line, "Tgid: %d", &process) == 1)
                    break;
            std::fclose(status);
        }
        processes_[pid] = process;
        return process;
    }

    bool read_memory(pid_t pid, std::uint64_t address, void *into, std::size_t size)
    {
        iovec local{into, size};
        iovec remote{reinterpret_cast<void *>(address), size};
        return process_vm_readv(pid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
    }

    void publish()
    {
        iovec local{&armed_.tally, sizeof armed_.tally};
        iovec remote{reinterpret_cast<void *>(armed_.tally_address), sizeof armed_.tally};
        process_vm_writev(armed_.process, &local, 1, &remote, 1, 0);
    }

    void arm(pid_t pid, std::uint64_t address)
    {
        Arming arming;
        if (!read_memory(pid, address, &arming, sizeof arming))
            return;
        arming.folder[sizeof arming.folder - 1] = '\0';
        std::string folder = arming.folder;
        while (!folder.empty() && (folder.back() == '/' || folder.back() == '\\'))
            folder.pop_back();
        // The folder's own name: a Windows path names it as wine does not.
        const std::size_t slash = folder.find_last_of("/\\");
        const std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
        armed_ = Armed{};
        descriptors_.clear();
        armed_.on = true;
        armed_.process = process_of(pid);
        armed_.plan = arming.plan;
        armed_.tally_address = arming.tally_address;
        for (int f = 0; f < max_files; ++f)
            armed_.endings.push_back("/" + name + "/f" + std::to_string(f));
        publish();
    }

    // Which of the files the descriptor is open on, or -1. Remembered
    // until the process closes the descriptor (or the next run is armed):
    // a number names another file only after a close.
    int file_of(pid_t pid, int descriptor)
    {
        const auto key = std::make_pair(armed_.process, descriptor);
        const auto found = descriptors_.find(key);
        if (found != descriptors_.end())
            return found->second;
        return descriptors_[key] = look_up(pid, descriptor);
    }

    int look_up(pid_t pid, int descriptor) const
    {
        char link[64], target[4096];
        std::snprintf(link, sizeof link, "/proc/%d/fd/%d", static_cast<int>(pid), descriptor);
        const ssize_t length = readlink(link, target, sizeof target - 1);
        if (length <= 0)
            return -1;
        const std::string path(target, static_cast<std::size_t>(length));
        for (std::size_t i = 0; i < armed_.endings.size(); ++i) {
            const std::string &ending = armed_.endings[i];
            if (path.size() >= ending.size() &&
                path.compare(path.size() - ending.size(), ending.size(), ending) == 0)
                return static_cast<int>(i);
        }
        return -1;
    }

    // At a watched call: counts it, and fails or shortens it if the plan
    // says so. True when its exit must be seen too (a close whose result
    // the fault replaces).
    bool stopped_at_call(pid_t pid)
    {
        unsigned long data = 0;
        user_regs_struct regs;
        if (ptrace(PTRACE_GETEVENTMSG, pid, nullptr, &data) != 0 ||
            ptrace(PTRACE_GETREGS, pid, nullptr, &regs) != 0)
            return false;
        const bool wide = (data & data_32bit) == 0;
        const unsigned long long first_argument = wide ? regs.rdi : regs.rbx & 0xffffffffu;
        const unsigned long long second_argument = wide ? regs.rsi : regs.rcx & 0xffffffffu;
        const unsigned kind = data & data_kind;
        if (kind == data_marker) {
            if (first_argument == marker_arm)
                arm(pid, second_argument);
            else if (first_argument == marker_disarm && armed_.on &&
                     process_of(pid) == armed_.process)
                armed_.on = false;
            return false;
        }
        if (!armed_.on || process_of(pid) != armed_.process)
            return false;
        if (data & data_path_first) {
            char first_byte = 1;
            if (!read_memory(pid, second_argument, &first_byte, 1) || first_byte != '\0')
                return false;  // a path, not the descriptor alone
        }
        const int file = file_of(pid, static_cast<int>(first_argument));
        if (kind == sys_close)
            descriptors_.erase(std::make_pair(armed_.process, static_cast<int>(first_argument)));
        if (file < 0)
            return false;
        Tally &tally = armed_.tally;
        const Plan &plan = armed_.plan;
        const int syscall = static_cast<int>(kind);
        const std::int64_t index = ++tally.seen[syscall];
        ++tally.seen_by_file[file][syscall];
        const bool planned = plan.first != 0 && syscall == plan.syscall && index >= plan.first &&
                             index - plan.first < plan.count;
        if (!planned) {
            publish();
            return false;
        }
        if (plan.kind == kind_short && index == plan.first && (regs.rdx & 0xffffffffu) > 1) {
            regs.rdx = (regs.rdx & 0xffffffffu) / 2;
            ptrace(PTRACE_SETREGS, pid, nullptr, &regs);
            ++tally.injected[syscall][kind_short];
            ++tally.shortened;
            publish();
            return false;
        }
        const int kind_injected = plan.kind == kind_short ? kind_enospc : plan.kind;
        const int error = kind_errno(kind_injected);
        ++tally.injected[syscall][kind_injected];
        ++tally.errors;
        if (syscall == sys_write) {
            ++tally.failed_writes_by_file[file];
            if (kind_injected == kind_eintr)
                ++tally.interrupted_writes_by_file[file];
        }
        publish();
        if (syscall == sys_close) {
            // The descriptor is released all the same, as after a close
            // that reports a deferred write error (NFS): the error replaces
            // the result at the call's exit.
            ++tally.failed_closes_by_file[file];
            publish();
            pending_[pid] = error;
            return true;
        }
        // Skipped: the call appears to return what the return register holds.
        regs.orig_rax = static_cast<unsigned long long>(-1);
        regs.rax = static_cast<unsigned long long>(-static_cast<long long>(error));
        ptrace(PTRACE_SETREGS, pid, nullptr, &regs);
        return false;
    }

    void leave_call(pid_t pid)
    {
        const auto found = pending_.find(pid);
        if (found == pending_.end())
            return;
        user_regs_struct regs;
        if (ptrace(PTRACE_GETREGS, pid, nullptr, &regs) == 0) {
            regs.rax = static_cast<unsigned long long>(-static_cast<long long>(found->second));
            ptrace(PTRACE_SETREGS, pid, nullptr, &regs);
        }
        pending_.erase(found);
    }

    bool follow_;
    Armed armed_;
    std::set<pid_t> known_;
    std::map<pid_t, pid_t> processes_;
    std::map<pid_t, int> pending_;  // errors that replace a result at the exit
    std::map<std::pair<pid_t, int>, int> descriptors_;  // (process, descriptor): file
};

} // namespace

bool install_filter()
{
    std::vector<sock_filter> program;
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    // Instructions 1 and 2 jump to the block of their architecture; a
    // jump counts from the instruction after it.
    const std::size_t start_64 = 4;
    const std::size_t start_32 = start_64 + 2 + 2 * (sizeof calls_64 / sizeof calls_64[0]);
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64,
                               static_cast<unsigned char>(start_64 - 2), 0));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_I386,
                               static_cast<unsigned char>(start_32 - 3), 0));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    add_block(program, calls_64, sizeof calls_64 / sizeof calls_64[0], 0);
    add_block(program, calls_32, sizeof calls_32 / sizeof calls_32[0], data_32bit);
    sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

int trace(pid_t first, bool follow_children)
{
    Tracer tracer(follow_children);
    return tracer.run(first);
}

} // namespace faults
