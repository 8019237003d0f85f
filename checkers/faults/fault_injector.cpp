#include "fault_injector.h"

#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace faults {

const char *syscall_name(int syscall)
{
    static const char *const names[] = {"write", "read", "lseek", "close"};
    return names[syscall];
}

const char *kind_name(int kind)
{
    static const char *const names[] = {"EIO", "ENOSPC", "EINTR", "EINVAL", "short"};
    return names[kind];
}

int kind_errno(int kind)
{
    static const int codes[] = {EIO, ENOSPC, EINTR, EINVAL, ENOSPC};
    return codes[kind];
}

Tally *shared_tally()
{
    void *memory = mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<Tally *>(memory);
}

namespace {

int syscall_of(long number)
{
    switch (number) {
    case SYS_write: return sys_write;
    case SYS_read: return sys_read;
    case SYS_lseek: return sys_lseek;
    case SYS_close: return sys_close;
    default: return -1;
    }
}

class Tracer {
public:
    Tracer(pid_t child, const std::vector<std::string> &files, const Plan &plan, Tally *tally)
        : child_(child), files_(files), plan_(plan), tally_(tally)
    {
    }

    // At a system call's entry: counts it, and fails or shortens it if the
    // plan says so.
    void enter(user_regs_struct &regs)
    {
        pending_error_ = 0;
        const int syscall = syscall_of(static_cast<long>(regs.orig_rax));
        if (syscall < 0)
            return;
        const int file = file_of(static_cast<int>(regs.rdi));
        if (file < 0)
            return;
        const long index = ++tally_->seen[syscall];
        ++tally_->seen_by_file[file][syscall];
        if (plan_.first == 0 || syscall != plan_.syscall || index < plan_.first ||
            index >= plan_.first + plan_.count)
            return;

        if (plan_.kind == kind_short && index == plan_.first && regs.rdx > 1) {
            regs.rdx /= 2;
            ptrace(PTRACE_SETREGS, child_, nullptr, &regs);
            ++tally_->injected[syscall][kind_short];
            ++tally_->shortened;
            return;
        }
        const int kind = plan_.kind == kind_short ? kind_enospc : plan_.kind;
        pending_error_ = kind_errno(kind);
        ++tally_->injected[syscall][kind];
        ++tally_->errors;
        if (syscall == sys_write)
            ++tally_->failed_writes_by_file[file];
        if (syscall == sys_close) {
            // The descriptor is released all the same, as after a close
            // that reports a deferred write error (NFS).
            ++tally_->failed_closes_by_file[file];
            return;
        }
        regs.orig_rax = static_cast<unsigned long long>(-1);  // no such call: skipped
        ptrace(PTRACE_SETREGS, child_, nullptr, &regs);
    }

    // At its exit: the injected error replaces the result.
    void leave()
    {
        if (pending_error_ == 0)
            return;
        user_regs_struct regs;
        ptrace(PTRACE_GETREGS, child_, nullptr, &regs);
        regs.rax = static_cast<unsigned long long>(-static_cast<long>(pending_error_));
        ptrace(PTRACE_SETREGS, child_, nullptr, &regs);
        pending_error_ = 0;
    }

private:
    // Which of the files the descriptor is open on, or -1.
    int file_of(int descriptor) const
    {
        char link[64], target[4096];
        std::snprintf(link, sizeof link, "/proc/%d/fd/%d", static_cast<int>(child_), descriptor);
        const ssize_t length = readlink(link, target, sizeof target - 1);
        if (length <= 0)
            return -1;
        target[length] = '\0';
        for (std::size_t i = 0; i < files_.size() && i < max_files; ++i)
            if (files_[i] == target)
                return static_cast<int>(i);
        return -1;
    }

    pid_t child_;
    const std::vector<std::string> &files_;
    Plan plan_;
    Tally *tally_;
    int pending_error_ = 0;
};

int wait_for(pid_t child, int *status)
{
    for (;;) {
        const pid_t got = waitpid(child, status, 0);
        if (got == child)
            return 0;
        if (got < 0 && errno != EINTR)
            return -1;
    }
}

int exit_code(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

int run_traced(const std::vector<std::string> &files, const Plan &plan, Tally *tally,
               const std::function<int()> &body)
{
    std::memset(static_cast<void *>(tally), 0, sizeof *tally);
    tally->armed = 1;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(127);
        raise(SIGSTOP);
        const int result = body();
        std::fflush(nullptr);
        _exit(result);
    }

    int status = 0;
    if (wait_for(child, &status) != 0 || !WIFSTOPPED(status)) {
        kill(child, SIGKILL);
        wait_for(child, &status);
        return -1;
    }
    ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    Tracer tracer(child, files, plan, tally);
    bool inside = false;  // between a call's entry and its exit
    int signal = 0;
    for (;;) {
        if (ptrace(PTRACE_SYSCALL, child, nullptr, signal) != 0)
            break;
        signal = 0;
        if (wait_for(child, &status) != 0)
            return -1;
        if (WIFEXITED(status) || WIFSIGNALED(status))
            return exit_code(status);
        if (!WIFSTOPPED(status))
            continue;
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            signal = WSTOPSIG(status);  // the child's own signal: pass it on
            continue;
        }
        if (!inside && !tally->armed) {
            // Done with faults: the child checks its files at full speed.
            ptrace(PTRACE_DETACH, child, nullptr, nullptr);
            break;
        }
        if (!inside) {
            user_regs_struct regs;
            ptrace(PTRACE_GETREGS, child, nullptr, &regs);
            tracer.enter(regs);
        } else {
            tracer.leave();
        }
        inside = !inside;
    }
    if (wait_for(child, &status) != 0)
        return -1;
    return exit_code(status);
}

} // namespace faults
