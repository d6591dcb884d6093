#pragma once

// Child processes for tests and benchmarks: a program run the way a parent application
// runs it, each caller choosing where its standard streams go, and what the kernel
// accounted for it once it has ended (from wait4: CPU time and peak memory of the child
// and every descendant it waited for).
//
// Every child sees exactly the environment it is given, starts with default signal
// dispositions and no blocked signal (or, if asked, with SIGINT, SIGTERM and SIGHUP
// blocked, as some parents start their children), and is killed by the kernel when the thread that
// spawned it ends, so a test that crashes leaves nothing running: start children from a
// thread that outlives them. argv[0] is looked up on PATH unless it holds a '/'; a program
// that cannot be run ends with status 127. spawn() returns once the child runs the
// program, so a signal sent from then on reaches the program, never this process's copy.
//
// A child forked from this process starts with this process's peak resident size, and the
// kernel keeps it across exec, so a plain child's peak is never below ours. A child that
// must be measured is therefore started through a launcher (bench/measured_launch), a tiny
// static program that runs it as its own child and reports its pid and figures on
// descriptor 3.

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace test_support {

// How a child ended, and what the kernel accounted for it.
struct Usage {
    int status = -1;            // exit status, or 128 + signal
    double cpu_seconds = 0;     // user + system
    long max_rss_kib = 0;       // peak resident set
    long context_switches = 0;  // voluntary and involuntary, all of its threads
};

// A run collected by ChildProcess::finish().
struct Outcome {
    bool hung = false;     // still running at the limit (then killed)
    int exit_status = -1;  // -1 unless it exited
    int term_signal = 0;   // the signal that ended it, if one did
    std::string out;       // what it wrote to a piped standard output
    std::string err;       // what it wrote to a piped standard error
    long max_rss_kib = 0;
};

// Where one of the child's output streams goes.
enum class Output {
    Log,         // appended to SpawnOptions::log_path, or /dev/null without one
    Pipe,        // a pipe that finish() reads
    ReaderGone,  // a pipe whose read end is closed before the child runs: writes fail (EPIPE)
    Closed,      // no descriptor at all
};

struct SpawnOptions {
    int stdin_fd = -1;  // -1: /dev/null
    Output stdout_to = Output::Log;
    int stdout_fd = -1;  // when set, standard output goes to this descriptor instead
    Output stderr_to = Output::Log;
    std::string log_path = {};  // standard error, and standard output unless it goes elsewhere
    bool block_stop_signals = false;
    std::string launcher = {};  // path of measured_launch, or empty to run the program directly
};

// Both output streams on pipes, for finish().
inline const SpawnOptions PIPED{.stdout_to = Output::Pipe, .stderr_to = Output::Pipe};

class ChildProcess {
public:
    static std::expected<ChildProcess, std::string> spawn(const std::vector<std::string>& argv,
                                                          const std::vector<std::string>& env,
                                                          const SpawnOptions& options = {});
    // spawn() for tests: a child that cannot be started throws std::runtime_error, which
    // fails the test.
    static ChildProcess start(const std::vector<std::string>& argv,
                              const std::vector<std::string>& env,
                              const SpawnOptions& options = {});

    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills and reaps a child that is still running.
    ~ChildProcess();

    // The program's pid; through a launcher, that of the program, not of the launcher.
    pid_t pid() const { return target_ > 0 ? target_ : pid_; }
    // True until the child has ended (asking does not reap it).
    bool running() const;
    // False once the child has been reaped: nothing left to signal.
    bool signal(int signal_number) const;
    // True once the program catches both SIGINT and SIGTERM (from /proc): from then on a
    // stop signal is a request, not the end of the process.
    bool stop_handlers_installed() const;
    // Waits (bounded) for stop_handlers_installed().
    bool wait_for_stop_handlers(std::chrono::milliseconds limit) const;

    // Blocks until the child ends and reaps it; a second call returns the same figures.
    Usage wait();
    // The figures once the child has ended within `limit`; nothing while it still runs.
    std::optional<Usage> wait_for(std::chrono::milliseconds limit);
    // Like wait(), but SIGKILLs the program first if it has not ended within `limit`.
    // Through a launcher only the program is killed; the launcher then reports and exits.
    Usage wait_at_most(std::chrono::milliseconds limit);
    // SIGTERM, then SIGKILL if it has not ended within `grace`.
    void terminate(std::chrono::milliseconds grace);
    void kill_now() { wait_at_most(std::chrono::milliseconds(0)); }

    // Collects the piped streams until the child ends and reaps it; kills it after `limit`.
    Outcome finish(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    void reap(int status, long max_rss_kib, double cpu_seconds, long context_switches);
    void close_fds();

    pid_t pid_ = -1;
    pid_t target_ = -1;  // the program, when pid_ is its launcher
    int report_fd_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool reaped_ = false;
    int wait_status_ = 0;  // as waitpid gives it, for finish()
    Usage usage_;
};

// A pipe whose ends are closed on exec unless handed to a child as one of its standard
// streams.
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

// The path of the executable `name` on this process's PATH.
std::optional<std::string> find_on_path(const std::string& name);

}  // namespace test_support
