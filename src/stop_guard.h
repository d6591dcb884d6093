#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace helper {

// Bounds the time from a stop to the status line. Armed when the run stops; if the line is
// not claimed within `limit` (capture stop and finalisation held up, say by an output that
// keeps taking a little at a time, slower than the recording), it prints "UNAVAILABLE
// {reason}" and ends the process at once, as a parent must always be able to stop us.
class StopGuard {
public:
    StopGuard(std::chrono::milliseconds limit, std::string reason);
    ~StopGuard();
    StopGuard(const StopGuard&) = delete;
    StopGuard& operator=(const StopGuard&) = delete;

    // The run is about to print its own line: the guard stands down. Never returns once the
    // guard has fired; the process is then ending.
    void claim_status_line();

private:
    void watch(std::chrono::milliseconds limit);

    std::string reason_;
    std::mutex mutex_;
    std::condition_variable claimed_changed_;
    bool claimed_ = false;
    std::thread watcher_;
};

}  // namespace helper
