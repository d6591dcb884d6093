#include "src/stop_guard.h"

#include <unistd.h>
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
constexpr const char* STALLED_REASON =
    "opus/ogg writer: the output stopped taking data (nothing written for 2 s)";
constexpr const char* CEILING_REASON =
    "opus/ogg writer: the output did not take the end of the recording within 10 s";
static_assert(StopGuard::CAPTURE_STOP_LIMIT == 5s && StopGuard::OUTPUT_STALL_LIMIT == 2s &&
                  StopGuard::CEILING == 10s,
              "the reasons name the limits");

}  // namespace

StopGuard::StopGuard(opus_ogg::BufferedFile::Progress output_progress)
    : output_progress_(std::move(output_progress)),
      watcher_([this, stopped = Clock::now()] { watch(stopped); }) {}

StopGuard::~StopGuard() {
    stand_down();
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
}

void StopGuard::stand_down() {
    std::lock_guard lock(mutex_);
    claimed_ = true;
    stood_down_ = true;
    changed_.notify_one();
}

void StopGuard::watch(Clock::time_point stopped) {
    std::unique_lock lock(mutex_);
    std::uint64_t seen = 0;
    Clock::time_point moved = stopped;
    Clock::time_point looked = stopped;
    for (;;) {
        if (stood_down_) return;
        const auto now = Clock::now();
        if (const auto still = now - looked - WATCH_INTERVAL; still > STOOD_STILL_AFTER) {
            stopped += still;
            moved += still;
            if (capture_stopped_ && *capture_stopped_ <= looked) *capture_stopped_ += still;
        }
        looked = now;
        // A line of ours may wait for room on standard output, but not past the ceiling.
        const auto ceiling = stopped + CEILING;
        if (now >= ceiling) {
            // The run's own line could not go out in time; nobody is taking it.
            if (claimed_) ::_exit(0);
            unavailable(CEILING_REASON, now);
        }
        if (!claimed_) {
            if (!capture_stopped_ && now - stopped >= CAPTURE_STOP_LIMIT)
                unavailable(CAPTURE_SLOW_REASON, ceiling);
            // Time counts against the output only while it owes bytes: a write under way
            // or refused in part. Asked is read first, so a write that ends in between
            // shows as owing nothing.
            const std::uint64_t asked =
                output_progress_ ? output_progress_->asked.load(std::memory_order_relaxed) : 0;
            const std::uint64_t taken =
                output_progress_ ? output_progress_->taken.load(std::memory_order_relaxed) : 0;
            if (taken != seen || asked <= taken) {
                seen = taken;
                moved = now;
            }
            if (now - moved >= OUTPUT_STALL_LIMIT) unavailable(STALLED_REASON, ceiling);
        }
        changed_.wait_for(lock, WATCH_INTERVAL);
    }
}

}  // namespace helper
