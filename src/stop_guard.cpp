#include "src/stop_guard.h"

#include <utility>

#include "src/status_line.h"

namespace helper {

StopGuard::StopGuard(std::chrono::milliseconds limit, std::string reason)
    : reason_(std::move(reason)), watcher_([this, limit] { watch(limit); }) {}

StopGuard::~StopGuard() {
    claim_status_line();
    watcher_.join();
}

void StopGuard::claim_status_line() {
    // A guard that fired holds the mutex until the process is gone.
    std::lock_guard lock(mutex_);
    claimed_ = true;
    claimed_changed_.notify_one();
}

void StopGuard::watch(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    if (claimed_changed_.wait_for(lock, limit, [this] { return claimed_; })) return;
    unavailable(reason_);
}

}  // namespace helper
