#include "tests/support/child_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
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

namespace test_support {

namespace {

using namespace std::chrono_literals;

constexpr int REPORT_FD = 3;

std::string errno_text(const std::string& what, int code) {
    return what + ": " + std::strerror(code);
}

double seconds_of(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
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

// One read(2) from fd appended to `text`; returns what read(2) returned.
ssize_t read_into(int fd, std::string& text) {
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
    return n;
}

// The "SigCgt" mask of a process: the signals it has handlers for.
unsigned long long caught_signals(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    }
    return 0;
}

// Descriptors opened for a child; the parent's copies close when spawn() returns, but for
// those it releases.
struct OpenedFds {
    std::vector<int> fds;

    ~OpenedFds() {
        for (int fd : fds) ::close(fd);
    }
    int keep(int fd) {
        fds.push_back(fd);
        return fd;
    }
    int release(int fd) {
        std::erase(fds, fd);
        return fd;
    }
};

// One output stream of the child, as prepared before the fork.
struct OutputEnd {
    int fd = -1;          // the child's copy comes from here
    bool closed = false;  // the child has no such descriptor
    int read_end = -1;    // the parent's end of a piped stream
};

std::expected<OutputEnd, std::string> prepare_output(Output to, int log_fd, OpenedFds& opened) {
    switch (to) {
        case Output::Log:
            return OutputEnd{.fd = log_fd};
        case Output::Closed:
            return OutputEnd{.closed = true};
        case Output::Pipe:
        case Output::ReaderGone: {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(errno_text("pipe2", errno));
            opened.keep(fds[1]);
            // The parent is not listening when the reader is gone: a write then fails.
            if (to == Output::ReaderGone) {
                ::close(fds[0]);
                return OutputEnd{.fd = fds[1]};
            }
            return OutputEnd{.fd = fds[1], .read_end = opened.keep(fds[0])};
        }
    }
    return OutputEnd{.closed = true};
}

// Makes `from` the child's descriptor `to`, open across exec. Async-signal-safe.
bool place(int from, int to) {
    if (from == to) return ::fcntl(to, F_SETFD, 0) == 0;
    return ::dup2(from, to) == to;
}

}  // namespace

std::expected<ChildProcess, std::string> ChildProcess::spawn(const std::vector<std::string>& argv,
                                                             const std::vector<std::string>& env,
                                                             const SpawnOptions& options) {
    if (argv.empty()) return std::unexpected(std::string("spawn: empty argv"));
    // Everything the child needs is prepared here: between fork and exec only
    // async-signal-safe calls are allowed, and other threads may hold the allocator.
    std::vector<std::string> full;
    if (!options.launcher.empty()) full.push_back(options.launcher);
    full.insert(full.end(), argv.begin(), argv.end());
    // The program is found on this process's PATH; the child still gets only `env`.
    const std::string program =
        full[0].find('/') != std::string::npos ? full[0] : find_on_path(full[0]).value_or(full[0]);
    std::vector<char*> c_argv;
    for (const auto& arg : full) c_argv.push_back(const_cast<char*>(arg.c_str()));
    c_argv.push_back(nullptr);
    std::vector<char*> c_env;
    for (const auto& entry : env) c_env.push_back(const_cast<char*>(entry.c_str()));
    c_env.push_back(nullptr);
    const std::string cannot_run = "cannot run " + program + "\n";
    // Told on standard error unless writing there would end the child with SIGPIPE.
    const bool tell_failure = options.stderr_to != Output::ReaderGone;

    OpenedFds opened;
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) return std::unexpected(errno_text("open /dev/null", errno));
    opened.keep(null_fd);
    int log_fd = null_fd;
    if (!options.log_path.empty()) {
        log_fd = ::open(options.log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (log_fd < 0) return std::unexpected(errno_text("open " + options.log_path, errno));
        opened.keep(log_fd);
    }
    const int in = options.stdin_fd >= 0 ? options.stdin_fd : null_fd;
    auto out = options.stdout_fd >= 0 ? OutputEnd{.fd = options.stdout_fd}
                                      : prepare_output(options.stdout_to, log_fd, opened);
    if (!out) return std::unexpected(out.error());
    auto err = prepare_output(options.stderr_to, log_fd, opened);
    if (!err) return std::unexpected(err.error());

    Pipe report;
    if (!options.launcher.empty()) {
        auto made = Pipe::make();
        if (!made) return std::unexpected(made.error());
        report = std::move(*made);
    }
    // Closed by the exec: its end of file tells that the child runs the program now.
    auto exec_done = Pipe::make();
    if (!exec_done) return std::unexpected(exec_done.error());

    sigset_t child_mask;
    sigemptyset(&child_mask);
    if (options.block_stop_signals) {
        sigaddset(&child_mask, SIGINT);
        sigaddset(&child_mask, SIGTERM);
        sigaddset(&child_mask, SIGHUP);
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) return std::unexpected(errno_text("fork", errno));
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        for (int signo = 1; signo < NSIG; ++signo) ::signal(signo, SIG_DFL);
        ::sigprocmask(SIG_SETMASK, &child_mask, nullptr);
        const auto place_output = [](const OutputEnd& end, int to) {
            return end.closed ? ::close(to) == 0 : place(end.fd, to);
        };
        if (!place(in, STDIN_FILENO) || !place_output(*out, STDOUT_FILENO) ||
            !place_output(*err, STDERR_FILENO) ||
            (report.write_fd >= 0 && !place(report.write_fd, REPORT_FD))) {
            ::_exit(127);
        }
        ::execve(program.c_str(), c_argv.data(), c_env.data());
        if (tell_failure) {
            [[maybe_unused]] const ssize_t told =
                ::write(STDERR_FILENO, cannot_run.data(), cannot_run.size());
        }
        ::_exit(127);
    }
    exec_done->close_write();
    char ignored = 0;
    while (::read(exec_done->read_fd, &ignored, 1) < 0 && errno == EINTR) {}

    ChildProcess process;
    process.pid_ = pid;
    if (out->read_end >= 0) process.out_fd_ = opened.release(out->read_end);
    if (err->read_end >= 0) process.err_fd_ = opened.release(err->read_end);
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

ChildProcess ChildProcess::start(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& env, const SpawnOptions& options) {
    auto child = spawn(argv, env, options);
    if (!child) throw std::runtime_error(child.error());
    return std::move(*child);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      target_(std::exchange(other.target_, -1)),
      report_fd_(std::exchange(other.report_fd_, -1)),
      out_fd_(std::exchange(other.out_fd_, -1)),
      err_fd_(std::exchange(other.err_fd_, -1)),
      reaped_(std::exchange(other.reaped_, false)),
      wait_status_(other.wait_status_),
      usage_(other.usage_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0 && !reaped_) kill_now();
        close_fds();
        pid_ = std::exchange(other.pid_, -1);
        target_ = std::exchange(other.target_, -1);
        report_fd_ = std::exchange(other.report_fd_, -1);
        out_fd_ = std::exchange(other.out_fd_, -1);
        err_fd_ = std::exchange(other.err_fd_, -1);
        reaped_ = std::exchange(other.reaped_, false);
        wait_status_ = other.wait_status_;
        usage_ = other.usage_;
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) kill_now();
    close_fds();
}

void ChildProcess::close_fds() {
    close_fd(report_fd_);
    close_fd(out_fd_);
    close_fd(err_fd_);
}

bool ChildProcess::running() const {
    if (pid_ <= 0 || reaped_) return false;
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

bool ChildProcess::signal(int signal_number) const {
    return pid_ > 0 && !reaped_ && ::kill(pid(), signal_number) == 0;
}

bool ChildProcess::stop_handlers_installed() const {
    const unsigned long long mask = caught_signals(pid());
    const auto bit = [](int signal_number) { return 1ULL << (signal_number - 1); };
    return (mask & bit(SIGINT)) != 0 && (mask & bit(SIGTERM)) != 0;
}

bool ChildProcess::wait_for_stop_handlers(std::chrono::milliseconds limit) const {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (!stop_handlers_installed()) {
        if (!running() || std::chrono::steady_clock::now() >= give_up) return false;
        std::this_thread::sleep_for(200us);
    }
    return true;
}

void ChildProcess::reap(int status, long max_rss_kib, double cpu_seconds, long context_switches) {
    reaped_ = true;
    wait_status_ = status;
    usage_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    usage_.cpu_seconds = cpu_seconds;
    usage_.max_rss_kib = max_rss_kib;
    usage_.context_switches = context_switches;
    if (report_fd_ >= 0) {
        // The launcher's own figures include our size; only its report counts.
        Usage reported;
        const std::string line = read_line(report_fd_);
        close_fd(report_fd_);
        if (std::sscanf(line.c_str(), "%d %lf %ld %ld", &reported.status, &reported.cpu_seconds,
                        &reported.max_rss_kib, &reported.context_switches) == 4) {
            usage_ = reported;
        } else {
            usage_ = Usage{};
            usage_.status = 128 + SIGKILL;
        }
    }
}

Usage ChildProcess::wait() {
    if (pid_ <= 0 || reaped_) return usage_;
    int status = 0;
    rusage usage{};
    while (::wait4(pid_, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            reaped_ = true;
            return usage_;
        }
    }
    reap(status, usage.ru_maxrss, seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime),
         usage.ru_nvcsw + usage.ru_nivcsw);
    return usage_;
}

std::optional<Usage> ChildProcess::wait_for(std::chrono::milliseconds limit) {
    if (pid_ <= 0 || reaped_) return usage_;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // A pidfd turns readable the moment the child ends, so the caller learns of the exit
    // without a polling interval blurring it.
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (fd >= 0) {
        pollfd entry{fd, POLLIN, 0};
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const int ready =
                ::poll(&entry, 1, static_cast<int>(std::max<std::int64_t>(0, left.count())));
            if (ready >= 0 || errno != EINTR) break;
        }
        ::close(fd);
        if (entry.revents != 0) return wait();
        return std::nullopt;
    }
    // Without pidfds, a short sleep between checks.
    for (;;) {
        if (!running()) return wait();
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(2ms);
    }
}

Usage ChildProcess::wait_at_most(std::chrono::milliseconds limit) {
    if (const auto ended = wait_for(limit)) return *ended;
    ::kill(pid(), SIGKILL);
    return wait();
}

void ChildProcess::terminate(std::chrono::milliseconds grace) {
    if (!running()) return;
    ::kill(pid(), SIGTERM);
    wait_at_most(grace);
}

Outcome ChildProcess::finish(std::chrono::milliseconds limit) {
    Outcome outcome;
    const auto give_up = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    std::string* texts[2] = {&outcome.out, &outcome.err};
    int open_streams = (out_fd_ >= 0) + (err_fd_ >= 0);
    // Pipes close when the child ends, unless something it started keeps them: then its
    // exit is what counts.
    while (open_streams > 0 && running()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            give_up - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (::poll(fds, 2, static_cast<int>(std::min<std::int64_t>(left.count(), 50))) < 0 &&
            errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read_into(fds[i].fd, *texts[i]);
            if (n == 0 || (n < 0 && errno != EINTR)) {
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        give_up - std::chrono::steady_clock::now());
    if (!wait_for(std::max(left, 0ms))) {
        outcome.hung = true;
        wait_at_most(0ms);
    }
    // Whatever was still in the pipes.
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0) continue;
        ::fcntl(fds[i].fd, F_SETFL, O_NONBLOCK);
        while (read_into(fds[i].fd, *texts[i]) > 0) {}
    }
    close_fd(out_fd_);
    close_fd(err_fd_);
    if (WIFEXITED(wait_status_)) outcome.exit_status = WEXITSTATUS(wait_status_);
    if (WIFSIGNALED(wait_status_)) outcome.term_signal = WTERMSIG(wait_status_);
    outcome.max_rss_kib = usage_.max_rss_kib;
    return outcome;
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

std::optional<std::string> find_on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

}  // namespace test_support
