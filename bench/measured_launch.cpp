// measured_launch COMMAND [ARGS...]
//
// Runs COMMAND as its own child and reports on file descriptor 3, first the child's
// pid ("PID\n") once the child has become COMMAND (or failed to), then, once it has ended, "STATUS
// CPU MAXRSS\n": exit status (or 128 + signal), user + system seconds, peak resident KiB. Exits
// with the child's status.
//
// Why a launcher: the kernel carries a process's peak resident size over exec, and a
// forked child starts with its parent's, so wait4 on a child of a large program reports
// at least that program's size. This launcher is linked statically and stays tiny, so
// the figure it forwards belongs to COMMAND.

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
constexpr int REPORT_FD = 3;
}

int main(int argc, char** argv) {
    if (argc < 2 || ::fcntl(REPORT_FD, F_SETFD, FD_CLOEXEC) < 0) return 127;
    // Closed on exec: its end of file tells that the child is COMMAND now, so that
    // whoever is given the pid finds COMMAND there (its name in /proc, its signal
    // handling), never this launcher's copy before the exec.
    int exec_done[2];
    if (::pipe2(exec_done, O_CLOEXEC) < 0) return 127;
    const pid_t self = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) return 127;
    if (pid == 0) {
        // The command must not outlive the launcher, nor the launcher its parent.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != self) ::_exit(127);
        ::execvp(argv[1], argv + 1);
        ::_exit(127);
    }
    ::close(exec_done[1]);
    char ignored = 0;
    while (::read(exec_done[0], &ignored, 1) < 0 && errno == EINTR) {}
    ::close(exec_done[0]);
    ::dprintf(REPORT_FD, "%d\n", static_cast<int>(pid));

    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) return 127;
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    ::dprintf(REPORT_FD, "%d %.6f %ld %ld\n", code, cpu, usage.ru_maxrss,
              usage.ru_nvcsw + usage.ru_nivcsw);
    return code;
}
