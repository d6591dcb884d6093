#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "opus_ogg/buffered_file.h"

namespace helper {

// The one watchdog of a stop. A parent must always be able to stop us, so every bound on
// the time from a stop to the status line is held here, and only here, whatever the main
// thread is waiting on (capture, the writer's lock, a write, the line itself), while an
// output that still takes data is let take the rest of the recording.
// Armed when the run stops. Before the line is claimed, it prints "UNAVAILABLE" with the
// part that was slow and ends the process at once when
// - capture has not stopped within CAPTURE_STOP_LIMIT of the stop,
// - the output owes bytes and has taken none for OUTPUT_STALL_LIMIT, or
// - CEILING has passed since the stop (an output that keeps taking a little, slower than
//   the recording grew).
// Once the run has claimed the line, CEILING still holds: a line that cannot go out by then
// (standard output full, nobody reading it) ends the process without one.
// Time the process stood still (stopped by a signal, a suspended machine) counts for none.
class StopGuard {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds CAPTURE_STOP_LIMIT{5000};
    static constexpr std::chrono::milliseconds OUTPUT_STALL_LIMIT{2000};
    static constexpr std::chrono::seconds CEILING{10};

    explicit StopGuard(opus_ogg::BufferedFile::Progress output_progress);
    ~StopGuard();
    StopGuard(const StopGuard&) = delete;
    StopGuard& operator=(const StopGuard&) = delete;

    // Capture has stopped.
    void capture_stopped();

    // The run is about to print its own line: the guard prints none from now on. Never
    // returns once the guard has fired; the process is then ending.
    void claim_status_line();

    // The run's line is out: the watch ends.
    void stand_down();

private:
    void watch(Clock::time_point stopped);

    opus_ogg::BufferedFile::Progress output_progress_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool claimed_ = false;
    bool stood_down_ = false;
    std::optional<Clock::time_point> capture_stopped_;
    std::thread watcher_;
};

}  // namespace helper
