#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <sys/types.h>

// Runs a program the way the parent application does: its own environment, standard
// output and standard error on pipes, stopped by signals.
class ChildProcess {
public:
    struct Result {
        int exit_status = -1;  // -1 when the child did not exit normally
        int term_signal = 0;
        std::string out;
        std::string err;
    };

    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void send(int signal_number) const;
    // True while the child has not exited (it is not reaped by asking).
    bool running() const;
    // Collects both streams until the child exits; kills it after `limit`.
    Result finish(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
};
