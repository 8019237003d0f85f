// Runs a command traced for the fault runner: every process and thread it
// starts, across its execs (wine's loader, its preloader, its threads).
// The Windows fault runner arms and disarms each run with marker calls.
//
//   dravenix_wine_tracer COMMAND [ARGUMENT...]
//
// Exits with the command's status. Start the wineserver beforehand
// (wineserver -p), so that it runs untraced.
#include "syscall_tracer.h"

#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: dravenix_wine_tracer COMMAND [ARGUMENT...]\n");
        return 2;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0)
        return 2;
    if (child == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(127);
        raise(SIGSTOP);
        if (!faults::install_filter())
            _exit(127);
        execvp(argv[1], argv + 1);
        std::fprintf(stderr, "cannot run %s: %s\n", argv[1], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return 2;
    if (!WIFSTOPPED(status))
        return 2;
    const int result = faults::trace(child, true);
    if (result < 0 || result >= 256) {
        std::fprintf(stderr, "dravenix_wine_tracer: %s\n",
                     result < 0 ? "tracing failed" : strsignal(result - 256));
        return 2;
    }
    return result;
}
