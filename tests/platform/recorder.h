// Collects values handed over from platform threads; waits for them with a generous
// bound so a missing callback fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace platform::testing {

inline constexpr auto PATIENCE = std::chrono::seconds(20);

template <class T>
class Recorder {
public:
    // Notifies under the lock: a waiter may destroy the recorder as soon as it sees the value.
    void add(T value) {
        std::lock_guard lock(mutex_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }
    // True once at least count values arrived.
    bool wait_for(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, PATIENCE, [&] { return values_.size() >= count; });
    }
    std::vector<T> values() const {
        std::lock_guard lock(mutex_);
        return values_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        values_.clear();
    }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return values_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

// A gate a platform job can wait on until the test opens it.
class Gate {
public:
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, PATIENCE, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

}  // namespace platform::testing
