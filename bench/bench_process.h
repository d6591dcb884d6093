#pragma once

// Child processes for the end-to-end benchmark, with what the kernel accounts for
// them: CPU time and peak resident memory come from wait4, so they cover the child
// and every descendant it waited for.
//
// A child forked from this process starts with this process's peak resident size, and
// the kernel keeps it across exec, so a plain child's peak is never below ours. A child
// that must be measured is therefore started through measured_launch, a tiny static
// program that runs it as its own child and forwards its figures.

#include <chrono>
#include <expected>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

namespace bench {

struct Usage {
    int status = -1;          // exit status, or 128 + signal
    double cpu_seconds = 0;   // user + system
    long max_rss_kib = 0;     // peak resident set
};

struct SpawnOptions {
    int stdin_fd = -1;         // -1: /dev/null
    int stdout_fd = -1;        // -1: the log file (or /dev/null)
    std::string log_path;      // standard error, and standard output unless stdout_fd is set
    std::string launcher;      // path of measured_launch, or empty to run the command directly
};

class Process {
public:
    // argv[0] is looked up on PATH. The child dies with the thread that spawned it,
    // starts with default signal handling, and sees exactly `env`. With a launcher,
    // pid() and signal() address the command itself and wait() reports its figures.
    static std::expected<Process, std::string> spawn(const std::vector<std::string>& argv,
                                                     const std::vector<std::string>& env,
                                                     const SpawnOptions& options = {});

    Process() = default;
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    // Kills and reaps a child that is still running.
    ~Process();

    pid_t pid() const { return target_ > 0 ? target_ : pid_; }
    bool signal(int signo) const;
    // Blocks until the child ends and reaps it; a second call returns the same figures.
    Usage wait();
    // Like wait(), but SIGKILLs the child first if it has not ended within `limit`.
    Usage wait_at_most(std::chrono::milliseconds limit);

private:
    explicit Process(pid_t pid) : pid_(pid) {}
    Usage reap(int status, const ::rusage& usage);

    pid_t pid_ = -1;
    pid_t target_ = -1;  // the command, when pid_ is its launcher
    int report_fd_ = -1;
    bool reaped_ = false;
    Usage usage_;
};

// A pipe whose ends are closed on exec unless handed to a child as one of its
// standard streams.
struct Pipe {
    int read_fd = -1;
    int write_fd = -1;

    static std::expected<Pipe, std::string> make();
    Pipe() = default;
    Pipe(Pipe&& other) noexcept;
    Pipe& operator=(Pipe&& other) noexcept;
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe();
    void close_read();
    void close_write();
};

// Whether `name` is an executable on PATH.
bool on_path(const std::string& name);

}  // namespace bench
