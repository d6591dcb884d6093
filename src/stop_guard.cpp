#include "src/stop_guard.h"

#include <algorithm>
#include <string>
#include <utility>

#include "src/status_line.h"

namespace helper {

namespace {

using namespace std::chrono_literals;

constexpr auto WATCH_INTERVAL = 50ms;
// A look that comes this much later than asked for means the process stood still (SIGSTOP,
// a suspended machine): that time is nobody's slowness, and it is taken out of every span.
constexpr auto STOOD_STILL_AFTER = 4 * WATCH_INTERVAL;
constexpr const char* CAPTURE_SLOW_REASON = "stop_capture: capture did not stop within 5 s";
constexpr const char* CEILING_REASON =
    "opus/ogg writer: the output did not take the end of the recording within 10 s";
static_assert(StopGuard::CAPTURE_STOP_LIMIT == 5s && StopGuard::CEILING == 10s,
              "the reasons name the limits");

}  // namespace

StopGuard::StopGuard(opus_ogg::BufferedFile::Progress output_progress)
    : output_progress_(std::move(output_progress)),
      watcher_([this, stopped = Clock::now()] { watch(stopped); }) {}

StopGuard::~StopGuard() {
    claim_status_line();
    watcher_.join();
}

void StopGuard::capture_stopped() {
    std::lock_guard lock(mutex_);
    capture_stopped_ = Clock::now();
    changed_.notify_one();
}

void StopGuard::claim_status_line() {
    // A guard that fired holds the mutex until the process is gone.
    std::lock_guard lock(mutex_);
    claimed_ = true;
    changed_.notify_one();
}

std::uint64_t StopGuard::output_progress() const {
    return output_progress_ ? output_progress_->load(std::memory_order_relaxed) : 0;
}

void StopGuard::watch(Clock::time_point stopped) {
    std::unique_lock lock(mutex_);
    std::uint64_t seen = output_progress();
    Clock::time_point moved = stopped;
    Clock::time_point looked = stopped;
    for (;;) {
        if (claimed_) return;
        const auto now = Clock::now();
        if (const auto still = now - looked - WATCH_INTERVAL; still > STOOD_STILL_AFTER) {
            stopped += still;
            moved += still;
            if (capture_stopped_ && *capture_stopped_ <= looked) *capture_stopped_ += still;
        }
        looked = now;
        if (now - stopped >= CEILING) unavailable(CEILING_REASON);
        if (!capture_stopped_) {
            if (now - stopped >= CAPTURE_STOP_LIMIT) unavailable(CAPTURE_SLOW_REASON);
        } else {
            // The output's time without progress counts from the moment it had the rest.
            if (const std::uint64_t now_seen = output_progress(); now_seen != seen) {
                seen = now_seen;
                moved = now;
            }
            moved = std::max(moved, *capture_stopped_);
            if (now - moved >= OUTPUT_STALL_LIMIT) {
                unavailable(std::string("opus/ogg writer: ") +
                            opus_ogg::BufferedFile::STALLED_TEXT);
            }
        }
        changed_.wait_for(lock, WATCH_INTERVAL);
    }
}

}  // namespace helper
