#include "bench/bench_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {

using namespace std::chrono_literals;

constexpr int REPORT_FD = 3;

std::string errno_text(const char* what, int code) {
    return std::string(what) + ": " + std::strerror(code);
}

double seconds_of(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

int status_code(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// One '\n'-terminated line from fd, read a byte at a time so that nothing after it is
// consumed; empty at end of file.
std::string read_line(int fd) {
    std::string line;
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') return line;
        line.push_back(c);
    }
}

}  // namespace

std::expected<Process, std::string> Process::spawn(const std::vector<std::string>& argv,
                                                   const std::vector<std::string>& env,
                                                   const SpawnOptions& options) {
    if (argv.empty()) return std::unexpected(std::string("spawn: empty argv"));
    // Everything the child needs is prepared here: between fork and exec only
    // async-signal-safe calls are allowed, and other threads may hold the allocator.
    std::vector<std::string> full;
    if (!options.launcher.empty()) full.push_back(options.launcher);
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<char*> c_argv;
    for (const auto& arg : full) c_argv.push_back(const_cast<char*>(arg.c_str()));
    c_argv.push_back(nullptr);
    std::vector<char*> c_env;
    for (const auto& entry : env) c_env.push_back(const_cast<char*>(entry.c_str()));
    c_env.push_back(nullptr);

    Pipe report;
    if (!options.launcher.empty()) {
        auto made = Pipe::make();
        if (!made) return std::unexpected(made.error());
        report = std::move(*made);
    }
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) return std::unexpected(errno_text("open /dev/null", errno));
    int log_fd = null_fd;
    if (!options.log_path.empty()) {
        log_fd = ::open(options.log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (log_fd < 0) {
            const int code = errno;
            ::close(null_fd);
            return std::unexpected(errno_text(("open " + options.log_path).c_str(), code));
        }
    }
    const int in_fd = options.stdin_fd >= 0 ? options.stdin_fd : null_fd;
    const int out_fd = options.stdout_fd >= 0 ? options.stdout_fd : log_fd;
    const int report_fd = report.write_fd;
    const pid_t parent = ::getpid();

    // execvpe searches the PATH of this process's environment, which is what finds the
    // tools; the child still gets only `env`.
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int code = errno;
        ::close(null_fd);
        if (log_fd != null_fd) ::close(log_fd);
        return std::unexpected(errno_text("fork", code));
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int signo = 1; signo < NSIG; ++signo) ::signal(signo, SIG_DFL);
        // dup2 clears close-on-exec on the copies; the originals close at exec.
        if (::dup2(in_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(log_fd, 2) < 0) ::_exit(127);
        if (report_fd >= 0 && ::dup2(report_fd, REPORT_FD) < 0) ::_exit(127);
        ::execvpe(c_argv[0], c_argv.data(), c_env.data());
        ::_exit(127);
    }
    ::close(null_fd);
    if (log_fd != null_fd) ::close(log_fd);

    Process process(pid);
    if (!options.launcher.empty()) {
        report.close_write();
        const std::string line = read_line(report.read_fd);
        const long target = std::strtol(line.c_str(), nullptr, 10);
        if (target <= 0) {
            process.wait_at_most(1s);
            return std::unexpected("cannot start " + argv.front() + " through " + options.launcher);
        }
        process.target_ = static_cast<pid_t>(target);
        process.report_fd_ = std::exchange(report.read_fd, -1);
    }
    return process;
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      target_(std::exchange(other.target_, -1)),
      report_fd_(std::exchange(other.report_fd_, -1)),
      reaped_(std::exchange(other.reaped_, false)),
      usage_(other.usage_) {}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0 && !reaped_) wait_at_most(0ms);
        close_fd(report_fd_);
        pid_ = std::exchange(other.pid_, -1);
        target_ = std::exchange(other.target_, -1);
        report_fd_ = std::exchange(other.report_fd_, -1);
        reaped_ = std::exchange(other.reaped_, false);
        usage_ = other.usage_;
    }
    return *this;
}

Process::~Process() {
    if (pid_ > 0 && !reaped_) wait_at_most(0ms);
    close_fd(report_fd_);
}

bool Process::signal(int signo) const {
    return pid_ > 0 && !reaped_ && ::kill(pid(), signo) == 0;
}

Usage Process::reap(int status, const ::rusage& usage) {
    reaped_ = true;
    usage_.status = status_code(status);
    usage_.cpu_seconds = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
    usage_.max_rss_kib = usage.ru_maxrss;
    if (report_fd_ >= 0) {
        // The launcher's own figures include our size; only its report counts.
        Usage reported;
        const std::string line = read_line(report_fd_);
        close_fd(report_fd_);
        if (std::sscanf(line.c_str(), "%d %lf %ld", &reported.status, &reported.cpu_seconds,
                        &reported.max_rss_kib) == 3) {
            usage_ = reported;
        } else {
            usage_ = Usage{};
            usage_.status = 128 + SIGKILL;
        }
    }
    return usage_;
}

Usage Process::wait() {
    if (pid_ <= 0 || reaped_) return usage_;
    int status = 0;
    rusage usage{};
    while (::wait4(pid_, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            reaped_ = true;
            return usage_;
        }
    }
    return reap(status, usage);
}

Usage Process::wait_at_most(std::chrono::milliseconds limit) {
    if (pid_ <= 0 || reaped_) return usage_;
    // A pidfd turns readable the moment the child ends, so the caller learns of the
    // exit without a polling interval blurring it.
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (fd >= 0) {
        pollfd entry{fd, POLLIN, 0};
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const int ready = ::poll(&entry, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
            if (ready >= 0 || errno != EINTR) break;
        }
        ::close(fd);
        if (entry.revents != 0) return wait();
    } else {
        // Without pidfds, a short sleep between checks.
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == pid_) {
                return wait();
            }
            std::this_thread::sleep_for(2ms);
        }
    }
    // Through a launcher only the command is killed: the launcher then reaps it,
    // reports and exits by itself.
    ::kill(target_ > 0 ? target_ : pid_, SIGKILL);
    return wait();
}

std::expected<Pipe, std::string> Pipe::make() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0) return std::unexpected(errno_text("pipe2", errno));
    Pipe pipe;
    pipe.read_fd = fds[0];
    pipe.write_fd = fds[1];
    return pipe;
}

Pipe::Pipe(Pipe&& other) noexcept
    : read_fd(std::exchange(other.read_fd, -1)), write_fd(std::exchange(other.write_fd, -1)) {}

Pipe& Pipe::operator=(Pipe&& other) noexcept {
    if (this != &other) {
        close_read();
        close_write();
        read_fd = std::exchange(other.read_fd, -1);
        write_fd = std::exchange(other.write_fd, -1);
    }
    return *this;
}

Pipe::~Pipe() {
    close_read();
    close_write();
}

void Pipe::close_read() { close_fd(read_fd); }
void Pipe::close_write() { close_fd(write_fd); }

bool on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace bench
