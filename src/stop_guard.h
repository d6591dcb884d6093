#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "opus_ogg/buffered_file.h"

namespace helper {

// Bounds the time from a stop to the status line, as a parent must always be able to stop
// us, while letting an output that still takes data take the rest of the recording.
// Armed when the run stops. If the line has not been claimed when
// - capture has not stopped within CAPTURE_STOP_LIMIT of the stop,
// - the output then takes nothing for OUTPUT_STALL_LIMIT, or
// - CEILING has passed since the stop (an output that keeps taking a little, slower than
//   the recording grew),
// it prints "UNAVAILABLE" with the part that was slow and ends the process at once. Time the
// process stood still (stopped by a signal, a suspended machine) does not count.
class StopGuard {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds CAPTURE_STOP_LIMIT{5000};
    static constexpr std::chrono::milliseconds OUTPUT_STALL_LIMIT =
        opus_ogg::BufferedFile::STALL_LIMIT;
    static constexpr std::chrono::seconds CEILING{10};

    // `output_progress` counts the bytes the output has taken.
    explicit StopGuard(opus_ogg::BufferedFile::Progress output_progress);
    ~StopGuard();
    StopGuard(const StopGuard&) = delete;
    StopGuard& operator=(const StopGuard&) = delete;

    // Capture has stopped; from now on the output's progress is what is watched.
    void capture_stopped();

    // The run is about to print its own line: the guard stands down. Never returns once the
    // guard has fired; the process is then ending.
    void claim_status_line();

private:
    void watch(Clock::time_point stopped);
    std::uint64_t output_progress() const;

    opus_ogg::BufferedFile::Progress output_progress_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool claimed_ = false;
    std::optional<Clock::time_point> capture_stopped_;
    std::thread watcher_;
};

}  // namespace helper
