#pragma once

// The helper binary run the way its parent runs it, with the parent's side of each fault
// under the test's control: what standard output is, when signals come, how long to wait.

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

namespace faults {

enum class Stdout {
    Pipe,                 // read by the test
    ReaderGone,           // a pipe whose read end the parent has already closed
    Closed,               // no descriptor 1 at all
};

struct Outcome {
    bool hung = false;     // still running at the limit (then killed)
    int exit_status = -1;  // -1 unless it exited
    int term_signal = 0;   // the signal that ended it, if one did
    std::string out;
    std::string err;
    long max_rss_kib = 0;
};

class HelperProcess {
public:
    // argv[0] is a path. The child starts with default dispositions and every signal
    // deliverable, whatever the test runner did to its own; or, with block_stop_signals,
    // with SIGINT and SIGTERM blocked, as some parents start their children.
    HelperProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  Stdout stdout_mode = Stdout::Pipe, bool block_stop_signals = false);
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running() const;
    void send(int signal_number) const;
    // True once the process catches both SIGINT and SIGTERM (from /proc): from then on a
    // stop signal is a request, not the end of the process.
    bool stop_handlers_installed() const;
    // Waits (bounded) for stop_handlers_installed().
    bool wait_for_stop_handlers(std::chrono::milliseconds limit) const;

    // Collects both streams until the child exits; kills it after `limit`.
    Outcome finish(std::chrono::milliseconds limit);

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
};

// Everything a sane end looks like: exited by itself within the limit, with `status`,
// without a sanitizer report, and exactly one status line on standard output. Returns a
// description of what is wrong, or an empty string.
std::string check_clean_end(const Outcome& outcome, int status = 0);

// The duration of an output that is exactly one "OK {seconds}" line, or a negative value.
double ok_seconds(const std::string& out);

}  // namespace faults
